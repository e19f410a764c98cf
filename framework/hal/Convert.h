#pragma once

// Value conversions at the platform boundary, text forms of platform records, and random UIDs.
//
// hal::Convert::ToFoundation creates a new CoreFoundation object from a plain value; the caller
// owns the result and must release it (a null result means the value was refused, for example
// text that is not valid UTF-8). hal::Convert::FromFoundation reads a plain value back and
// returns whether it succeeded; a reference of the wrong type (or a null one) fails and leaves
// the value untouched, except where a function says otherwise. Text with an embedded NUL is
// refused both ways (no object; false with the text cleared): as a C string it would be cut short.
//
// hal::Convert::FormatValue and FormatArray write platform records as text for trace messages;
// numbers appear as a default output stream writes them (doubles with at most six significant
// digits, like printf's %g).
//
// Threads and cost: every function is safe from any thread at once. All of them allocate, and the
// conversions call into CoreFoundation: none belongs on the real-time IO thread.

#include <CoreAudio/AudioServerPlugIn.h>
#include <CoreFoundation/CoreFoundation.h>

#include <span>
#include <string>
#include <vector>

namespace hal {

namespace Convert {

// ---- Text, URLs, bytes, booleans and numbers to and from CoreFoundation objects ----------------

void ToFoundation(const std::string& text, CFStringRef& outString);
// A null reference, a string that does not convert to UTF-8, or one that holds a NUL: the text is
// cleared, false.
bool FromFoundation(CFStringRef string, std::string& outText);

// The platform percent-escapes what may not stand in a URL as it is ("a b" becomes "a%20b", each
// byte of a non-ASCII character %XX), so text reads back unchanged only when it is URL text
// already (escaped text included).
void ToFoundation(const std::string& text, CFURLRef& outURL);
// The URL's text, escapes and all. A null reference: the text is cleared, false.
bool FromFoundation(CFURLRef url, std::string& outText);

void ToFoundation(const std::vector<UInt8>& bytes, CFTypeRef& outData);
bool FromFoundation(CFTypeRef object, std::vector<UInt8>& outBytes);

void ToFoundation(const std::string& text, CFTypeRef& outString);
bool FromFoundation(CFTypeRef object, std::string& outText);

void ToFoundation(bool value, CFTypeRef& outBoolean);
bool FromFoundation(CFTypeRef object, bool& outValue);

void ToFoundation(SInt64 value, CFTypeRef& outNumber);
// A number that does not convert without loss: the value is set to 0, false.
bool FromFoundation(CFTypeRef object, SInt64& outValue);

void ToFoundation(Float64 value, CFTypeRef& outNumber);
// A number that does not convert without loss: the value is set to 0, false.
bool FromFoundation(CFTypeRef object, Float64& outValue);

// A pointer would otherwise convert silently to bool and become a CFBoolean: a C string or a
// CoreFoundation reference passed as a value is a mistake that must not compile.
template <class Pointee>
void ToFoundation(const Pointee* value, CFTypeRef& outObject) = delete;

// ---- Text forms, for trace messages -----------------------------------------------------------

// {min:44100 max:48000}
std::string FormatValue(const AudioValueRange& range);
// {id:kAudioFormatLinearPCM flags:kAudioFormatFlagIsFloat|kAudioFormatFlagIsPacked rate:48000
// bits:32 chans:2 pkt:1}; the bytes per packet and per frame are not shown.
std::string FormatValue(const AudioStreamBasicDescription& format);
// As the format, with " minRate:... maxRate:..." before the closing brace.
std::string FormatValue(const AudioStreamRangedDescription& format);

// "[", the elements joined by ", ", "]"; "[]" when empty. Integers print as decimal numbers,
// channel descriptions and custom property infos as "..." each.
std::string FormatArray(std::span<const AudioValueRange> list);
std::string FormatArray(std::span<const AudioStreamRangedDescription> list);
std::string FormatArray(std::span<const UInt8> list);
std::string FormatArray(std::span<const UInt32> list);
std::string FormatArray(std::span<const AudioChannelDescription> list);
std::string FormatArray(std::span<const AudioServerPlugInCustomPropertyInfo> list);

std::string ToString(const std::string& text);

}  // namespace Convert

// A new random UID of 16 lower-case hexadecimal digits in four groups: "xxxx-xxxx-xxxx-xxxx".
// Each thread draws from its own generator, seeded once from the system's random device on the
// thread's first call, so calls on different threads never share state or wait for each other.
std::string GenerateUID();

}  // namespace hal
