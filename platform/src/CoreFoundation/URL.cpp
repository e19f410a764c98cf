// URLs: the string they were made from, percent-escaped where it is not URL text, and an optional
// base.
#include "Object.h"

#include <string>
#include <string_view>

namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Letters, digits, and the marks and delimiters that URLs use as they are (the unreserved and
// reserved characters, with the brackets of IPv6 hosts). A '%' is legal only when it starts an
// escape; everything else is escaped.
bool IsLegalAsIs(char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("-._~:/?#[]@!$&'()*+,;=").find(c) != std::string_view::npos;
}

// Each byte that may not stand in a URL as it is becomes %XX (upper-case hex): a space, quotes,
// angle brackets and the like, control characters, and every byte of a non-ASCII character. Text
// already escaped is left alone: an escape is legal, and only a '%' that starts none is escaped.
std::string PercentEscaped(std::string_view text) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(text.size());
    for (size_t index = 0; index < text.size(); ++index) {
        const char c = text[index];
        const bool startsEscape =
            c == '%' && index + 2 < text.size() && IsHexDigit(text[index + 1]) && IsHexDigit(text[index + 2]);
        if (IsLegalAsIs(c) || startsEscape) {
            escaped += c;
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        escaped += '%';
        escaped += kHexDigits[byte >> 4];
        escaped += kHexDigits[byte & 0x0F];
    }
    return escaped;
}

}  // namespace

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
    // The bytes must be text in their encoding, as for a string, before they are escaped.
    const CFStringRef verbatim = CFStringCreateWithBytes(allocator, URLBytes, length, encoding, false);
    if (verbatim == nullptr) return nullptr;
    CFRelease(verbatim);
    const std::string_view text =
        length == 0 ? std::string_view() : std::string_view(reinterpret_cast<const char*>(URLBytes), size_t(length));
    // A NUL ends a URL's text wherever it is read as a C string: no URL holds one.
    if (text.find('\0') != std::string_view::npos) return nullptr;
    const std::string escaped = PercentEscaped(text);
    const CFStringRef string = CFStringCreateWithBytes(allocator, reinterpret_cast<const UInt8*>(escaped.data()),
                                                       CFIndex(escaped.size()), kCFStringEncodingASCII, false);
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
