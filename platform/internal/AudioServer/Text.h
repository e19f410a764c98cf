// AudioServer/Text.h — CFString to and from UTF-8 text, for the client calls and the simulated
// audio server. Allocates; any thread.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <string>
#include <string_view>

namespace audioserver {

// The string's text as UTF-8; false (and the text untouched) for a null string or one that
// cannot be converted.
bool CopyText(CFStringRef string, std::string& text);

// A new string (the caller releases it), or null when the text is not valid UTF-8.
CFStringRef CreateString(std::string_view text);

}  // namespace audioserver
