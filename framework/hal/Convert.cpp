#include "hal/Convert.h"

#include "hal/CodeNames.h"

#include <locale>
#include <random>
#include <sstream>

namespace hal {

namespace Convert {

namespace {

// Text crosses the boundary as C strings, which a NUL would cut short.
bool HasEmbeddedNul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

// The UTF-16 units of well-formed UTF-8 text: one per lead byte, two for a 4-byte sequence.
CFIndex CountUTF16Units(const char* text) {
    CFIndex units = 0;
    for (; *text != '\0'; ++text) {
        const auto byte = static_cast<unsigned char>(*text);
        if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;
    }
    return units;
}

bool IsOfType(CFTypeRef object, CFTypeID typeID) {
    // CFGetTypeID of null would crash: a null reference is simply not an object of the type.
    return object != nullptr && CFGetTypeID(object) == typeID;
}

template <class Value>
bool NumberToValue(CFTypeRef object, CFNumberType numberType, Value& outValue) {
    if (!IsOfType(object, CFNumberGetTypeID())) return false;
    Value value = 0;
    if (!CFNumberGetValue(static_cast<CFNumberRef>(object), numberType, &value)) {
        // What the platform writes after a loss is a plain cast of no use to anyone: never read.
        outValue = 0;
        return false;
    }
    outValue = value;
    return true;
}

// As a default-configured output stream writes a double (like printf's %g). The classic locale
// keeps the text independent of the process's global locale.
std::string FormatNumber(Float64 number) {
    std::ostringstream stream;
    stream.imbue(std::locale::classic());
    stream << number;
    return stream.str();
}

// The fields shared by the plain and the ranged format, without the closing brace.
std::string FormatFormatFields(const AudioStreamBasicDescription& format) {
    std::string text = "{id:";
    text += FormatIDToString(format.mFormatID);
    text += " flags:";
    text += FormatFlagsToString(format.mFormatFlags);
    text += " rate:";
    text += FormatNumber(format.mSampleRate);
    text += " bits:";
    text += std::to_string(format.mBitsPerChannel);
    text += " chans:";
    text += std::to_string(format.mChannelsPerFrame);
    text += " pkt:";
    text += std::to_string(format.mFramesPerPacket);
    return text;
}

template <class Element, class FormatElement>
std::string FormatList(std::span<const Element> list, FormatElement formatElement) {
    std::string text = "[";
    for (std::size_t index = 0; index < list.size(); ++index) {
        if (index != 0) text += ", ";
        text += formatElement(list[index]);
    }
    text += ']';
    return text;
}

}  // namespace

void ToFoundation(const std::string& text, CFStringRef& outString) {
    outString = HasEmbeddedNul(text) ? nullptr
                                     : CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
}

bool FromFoundation(CFStringRef string, std::string& outText) {
    outText.clear();
    if (string == nullptr) return false;
    const CFIndex maximumSize =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8);
    if (maximumSize < 0) return false;
    // One byte beyond the size given to the platform stays zero, so the text is terminated even
    // if the platform fills the whole buffer it was told about.
    std::vector<char> buffer(static_cast<std::size_t>(maximumSize) + 2, '\0');
    if (!CFStringGetCString(string, buffer.data(), maximumSize + 1, kCFStringEncodingUTF8)) return false;
    // A string that holds a NUL is copied whole, but reads as text only up to it: fewer units
    // than the string has means the rest would be lost.
    if (CountUTF16Units(buffer.data()) != CFStringGetLength(string)) return false;
    outText = buffer.data();
    return true;
}

void ToFoundation(const std::string& text, CFURLRef& outURL) {
    // Refused here rather than left to the platform, which may keep the bytes.
    outURL = HasEmbeddedNul(text) ? nullptr
                                  : CFURLCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                                         static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8,
                                                         nullptr);
}

bool FromFoundation(CFURLRef url, std::string& outText) {
    if (url == nullptr) {
        // CFURLGetString of null would crash; a missing URL reads like a missing string.
        outText.clear();
        return false;
    }
    return FromFoundation(CFURLGetString(url), outText);
}

void ToFoundation(const std::vector<UInt8>& bytes, CFTypeRef& outData) {
    outData = CFDataCreate(kCFAllocatorDefault, bytes.data(), static_cast<CFIndex>(bytes.size()));
}

bool FromFoundation(CFTypeRef object, std::vector<UInt8>& outBytes) {
    if (!IsOfType(object, CFDataGetTypeID())) return false;
    const auto data = static_cast<CFDataRef>(object);
    const UInt8* bytes = CFDataGetBytePtr(data);
    const CFIndex length = CFDataGetLength(data);
    if (bytes == nullptr || length <= 0) {
        outBytes.clear();
    } else {
        outBytes.assign(bytes, bytes + length);
    }
    return true;
}

void ToFoundation(const std::string& text, CFTypeRef& outString) {
    CFStringRef string = nullptr;
    ToFoundation(text, string);
    outString = string;
}

bool FromFoundation(CFTypeRef object, std::string& outText) {
    if (!IsOfType(object, CFStringGetTypeID())) return false;
    return FromFoundation(static_cast<CFStringRef>(object), outText);
}

void ToFoundation(bool value, CFTypeRef& outBoolean) {
    // The boolean constants are not owned; a copy is, like every other result here.
    outBoolean = CFPropertyListCreateDeepCopy(kCFAllocatorDefault, value ? kCFBooleanTrue : kCFBooleanFalse,
                                              kCFPropertyListImmutable);
}

bool FromFoundation(CFTypeRef object, bool& outValue) {
    if (!IsOfType(object, CFBooleanGetTypeID())) return false;
    outValue = CFBooleanGetValue(static_cast<CFBooleanRef>(object));
    return true;
}

void ToFoundation(SInt64 value, CFTypeRef& outNumber) {
    outNumber = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
}

bool FromFoundation(CFTypeRef object, SInt64& outValue) {
    return NumberToValue(object, kCFNumberSInt64Type, outValue);
}

void ToFoundation(Float64 value, CFTypeRef& outNumber) {
    outNumber = CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &value);
}

bool FromFoundation(CFTypeRef object, Float64& outValue) {
    return NumberToValue(object, kCFNumberFloat64Type, outValue);
}

std::string FormatValue(const AudioValueRange& range) {
    return "{min:" + FormatNumber(range.mMinimum) + " max:" + FormatNumber(range.mMaximum) + "}";
}

std::string FormatValue(const AudioStreamBasicDescription& format) {
    return FormatFormatFields(format) + "}";
}

std::string FormatValue(const AudioStreamRangedDescription& format) {
    return FormatFormatFields(format.mFormat) + " minRate:" + FormatNumber(format.mSampleRateRange.mMinimum) +
           " maxRate:" + FormatNumber(format.mSampleRateRange.mMaximum) + "}";
}

std::string FormatArray(std::span<const AudioValueRange> list) {
    return FormatList(list, [](const AudioValueRange& range) { return FormatValue(range); });
}

std::string FormatArray(std::span<const AudioStreamRangedDescription> list) {
    return FormatList(list, [](const AudioStreamRangedDescription& format) { return FormatValue(format); });
}

std::string FormatArray(std::span<const UInt8> list) {
    // As numbers, not as characters.
    return FormatList(list, [](UInt8 value) { return std::to_string(static_cast<unsigned>(value)); });
}

std::string FormatArray(std::span<const UInt32> list) {
    return FormatList(list, [](UInt32 value) { return std::to_string(value); });
}

std::string FormatArray(std::span<const AudioChannelDescription> list) {
    return FormatList(list, [](const AudioChannelDescription&) { return std::string("..."); });
}

std::string FormatArray(std::span<const AudioServerPlugInCustomPropertyInfo> list) {
    return FormatList(list, [](const AudioServerPlugInCustomPropertyInfo&) { return std::string("..."); });
}

std::string ToString(const std::string& text) { return text; }

}  // namespace Convert

std::string GenerateUID() {
    static constexpr char kDigits[] = "0123456789abcdef";
    // Per thread, so that no lock is needed and no two threads share a generator state.
    thread_local std::random_device device("/dev/urandom");
    thread_local std::mt19937 generator(static_cast<std::mt19937::result_type>(device()));
    std::uniform_int_distribution<int> digit(0, 15);
    std::string uid;
    uid.reserve(19);
    for (int index = 0; index < 16; ++index) {
        if (index != 0 && index % 4 == 0) uid += '-';
        uid += kDigits[digit(generator)];
    }
    return uid;
}

}  // namespace hal
