#pragma once

// Names of platform codes for trace lines and messages: class IDs, property selectors, scopes, IO
// operation IDs, statuses, format IDs and format flags, each by the SDK constant's name.
//
// A code that a function does not know prints in the four-character form of CodeToString, so no
// code is ever lost from a trace line. The tables are fixed; they name the codes that the
// framework and its host use, not every code the platform defines.
//
// Threads and cost: pure functions, safe from any thread at once. Each call builds a new string
// (it allocates), so they belong on the tracing path only, never on the real-time IO thread while
// tracing is disabled.

#include <CoreAudio/AudioServerPlugIn.h>

#include <string>

namespace hal {

// The four bytes of `code` between single quotes, most significant first and copied whatever
// their value, then the code in lower-case hexadecimal: 'glob' (0x676c6f62).
std::string CodeToString(UInt32 code);

std::string ClassIDToString(UInt32 classID);
std::string PropertySelectorToString(UInt32 selector);
std::string PropertyScopeToString(UInt32 scope);
std::string OperationIDToString(UInt32 operationID);
// "OK" for 0; an unknown status prints as CodeToString of its 32 bits.
std::string StatusToString(OSStatus status);
std::string FormatIDToString(UInt32 formatID);
// The names of the known flags that are set, joined by "|"; empty when none is. Unknown bits are
// left out.
std::string FormatFlagsToString(UInt32 flags);

}  // namespace hal
