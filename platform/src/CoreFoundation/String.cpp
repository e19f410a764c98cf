// Strings: UTF-8 text with its length in UTF-16 code units, and the interned CFSTR constants.
#include "Object.h"

#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace {

// The number of UTF-16 code units of well-formed UTF-8 text, or nothing when the text is not
// well-formed (truncated or stray sequences, overlong forms, surrogates, values above U+10FFFF).
std::optional<CFIndex> CountUTF16Units(std::string_view text) {
    CFIndex units = 0;
    size_t index = 0;
    while (index < text.size()) {
        const auto lead = static_cast<unsigned char>(text[index]);
        // The lead byte gives the number of continuation bytes, its own payload bits and the
        // smallest code point that needs this many bytes (anything below is an overlong form).
        size_t trailing = 0;
        char32_t codePoint = lead;
        char32_t smallest = 0;
        if (lead >= 0x80) {
            if ((lead & 0xE0) == 0xC0) {
                trailing = 1;
                codePoint = lead & 0x1F;
                smallest = 0x80;
            } else if ((lead & 0xF0) == 0xE0) {
                trailing = 2;
                codePoint = lead & 0x0F;
                smallest = 0x800;
            } else if ((lead & 0xF8) == 0xF0) {
                trailing = 3;
                codePoint = lead & 0x07;
                smallest = 0x10000;
            } else {
                return std::nullopt;
            }
        }
        if (trailing > text.size() - index - 1) return std::nullopt;
        for (size_t k = 1; k <= trailing; ++k) {
            const auto next = static_cast<unsigned char>(text[index + k]);
            if ((next & 0xC0) != 0x80) return std::nullopt;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        if (codePoint < smallest || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return std::nullopt;
        units += codePoint >= 0x10000 ? 2 : 1;
        index += trailing + 1;
    }
    return units;
}

bool IsASCII(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// Encodings whose text the strings can take in and hand out; ASCII is a subset of UTF-8.
bool IsSupported(CFStringEncoding encoding) {
    return encoding == kCFStringEncodingUTF8 || encoding == kCFStringEncodingASCII;
}

}  // namespace

struct __CFString final : cf::Object {
    static constexpr CFTypeID kTypeID = cf::kStringTypeID;

    __CFString(std::string text, CFIndex utf16Length, Lifetime lifetime)
        : Object(kTypeID, lifetime), utf8(std::move(text)), length(utf16Length) {}

    // Takes text in encoding; NULL when it is not valid there.
    static __CFString* Create(std::string_view text, CFStringEncoding encoding, Lifetime lifetime) {
        if (!IsSupported(encoding)) return nullptr;
        if (encoding == kCFStringEncodingASCII && !IsASCII(text)) return nullptr;
        // A byte order mark says how the bytes are encoded; it is not part of the text.
        constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
        if (encoding == kCFStringEncodingUTF8 && text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
        const std::optional<CFIndex> units = CountUTF16Units(text);
        if (!units) return nullptr;
        return new __CFString(std::string(text), *units, lifetime);
    }

    bool Equals(const Object& other) const override { return utf8 == static_cast<const __CFString&>(other).utf8; }
    CFHashCode Hash() const override { return std::hash<std::string>{}(utf8); }
    CFTypeRef CopyPropertyList(CFOptionFlags) const override { return new __CFString(utf8, length, Lifetime::Counted); }
    bool IsPropertyList(CFPropertyListFormat) const override { return true; }

    const std::string utf8;
    const CFIndex length;
};

namespace {

// The CFSTR constants, one per distinct text. The table is never destroyed, so the constants stay
// reachable (for leak checkers) and valid for static destructors at exit.
class ConstantStrings {
public:
    static ConstantStrings& Shared() {
        static ConstantStrings& shared = *new ConstantStrings;
        return shared;
    }

    CFStringRef Intern(const char* literal) {
        std::lock_guard lock(mutex_);
        auto [entry, inserted] = strings_.try_emplace(literal, nullptr);
        if (inserted) {
            entry->second = __CFString::Create(entry->first, kCFStringEncodingUTF8, cf::Object::Lifetime::Immortal);
            if (entry->second == nullptr) cf::Fail("CFSTR", "the literal is not valid UTF-8");
        }
        return entry->second;
    }

private:
    std::mutex mutex_;
    std::unordered_map<std::string, const __CFString*> strings_;
};

}  // namespace

extern "C" {

CFTypeID CFStringGetTypeID(void) { return __CFString::kTypeID; }

CFStringRef __CFStringMakeConstantString(const char* cStr) {
    if (cStr == nullptr) cf::Fail("CFSTR", "NULL text");
    return ConstantStrings::Shared().Intern(cStr);
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding encoding) {
    if (cStr == nullptr) return nullptr;
    return __CFString::Create(cStr, encoding, cf::Object::Lifetime::Counted);
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes, CFStringEncoding encoding,
                                    Boolean) {
    if (numBytes < 0 || (bytes == nullptr && numBytes > 0)) return nullptr;
    const std::string_view text =
        numBytes == 0 ? std::string_view() : std::string_view(reinterpret_cast<const char*>(bytes), size_t(numBytes));
    return __CFString::Create(text, encoding, cf::Object::Lifetime::Counted);
}

CFStringRef CFStringCreateCopy(CFAllocatorRef, CFStringRef theString) {
    const __CFString& string = cf::Checked(theString, "CFStringCreateCopy");
    return new __CFString(string.utf8, string.length, cf::Object::Lifetime::Counted);
}

CFIndex CFStringGetLength(CFStringRef theString) { return cf::Checked(theString, "CFStringGetLength").length; }

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    if (length < 0) return kCFNotFound;
    if (encoding == kCFStringEncodingASCII) return length;
    if (encoding == kCFStringEncodingUTF8) {
        // A unit of the basic plane takes at most 3 bytes; a surrogate pair (2 units) takes 4.
        if (length > std::numeric_limits<CFIndex>::max() / 3) return kCFNotFound;
        return length * 3;
    }
    return kCFNotFound;
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding) {
    const __CFString& string = cf::Checked(theString, "CFStringGetCString");
    const bool fits = bufferSize > 0 && string.utf8.size() < size_t(bufferSize);
    const bool representable =
        IsSupported(encoding) && (encoding != kCFStringEncodingASCII || IsASCII(string.utf8));
    if (buffer == nullptr || !fits || !representable) {
        // Leaves no partial text behind for a caller that ignores the result.
        if (buffer != nullptr && bufferSize > 0) buffer[0] = '\0';
        return false;
    }
    std::memcpy(buffer, string.utf8.data(), string.utf8.size());
    buffer[string.utf8.size()] = '\0';
    return true;
}

const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding) {
    const __CFString& string = cf::Checked(theString, "CFStringGetCStringPtr");
    if (!IsSupported(encoding) || (encoding == kCFStringEncodingASCII && !IsASCII(string.utf8))) return nullptr;
    // A C string would end at an embedded NUL and silently lose the rest of the text.
    if (string.utf8.find('\0') != std::string::npos) return nullptr;
    return string.utf8.c_str();
}

}  // extern "C"
