// URLs: the string they were made from and an optional base.
#include "Object.h"

struct __CFURL final : cf::Object {
    static constexpr CFTypeID kTypeID = cf::kURLTypeID;

    // Takes over the reference to string; retains base.
    __CFURL(CFStringRef ownedString, CFURLRef baseURL)
        : Object(kTypeID, Lifetime::Counted), string(ownedString), base(baseURL) {
        if (base != nullptr) CFRetain(base);
    }
    ~__CFURL() override {
        CFRelease(string);
        if (base != nullptr) CFRelease(base);
    }

    bool Equals(const Object& other) const override {
        const auto& that = static_cast<const __CFURL&>(other);
        if ((base == nullptr) != (that.base == nullptr)) return false;
        return CFEqual(string, that.string) && (base == nullptr || CFEqual(base, that.base));
    }
    CFHashCode Hash() const override { return CFHash(string); }

    const CFStringRef string;
    const CFURLRef base;
};

extern "C" {

CFTypeID CFURLGetTypeID(void) { return __CFURL::kTypeID; }

CFURLRef CFURLCreateWithBytes(CFAllocatorRef allocator, const UInt8* URLBytes, CFIndex length,
                              CFStringEncoding encoding, CFURLRef baseURL) {
    const CFStringRef string = CFStringCreateWithBytes(allocator, URLBytes, length, encoding, false);
    if (string == nullptr) return nullptr;
    return new __CFURL(string, baseURL);
}

CFURLRef CFURLCreateWithString(CFAllocatorRef allocator, CFStringRef URLString, CFURLRef baseURL) {
    if (URLString == nullptr) return nullptr;
    return new __CFURL(CFStringCreateCopy(allocator, URLString), baseURL);
}

CFStringRef CFURLGetString(CFURLRef anURL) { return cf::Checked(anURL, "CFURLGetString").string; }

CFURLRef CFURLGetBaseURL(CFURLRef anURL) { return cf::Checked(anURL, "CFURLGetBaseURL").base; }

}  // extern "C"
