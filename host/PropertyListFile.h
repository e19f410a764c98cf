#pragma once

// Property-list files, read and written with libplist and handed around as CoreFoundation
// property lists, as the platform's own property-list functions would: Info.plist of a bundle
// (XML or binary), the storage of a plug-in and the server's settings (written as XML).
//
// Strings, data, integers (signed 64-bit), reals, booleans, arrays and dictionaries with string
// keys cross both ways; anything else (dates, UIDs, non-string keys, deeper nesting than 64) makes
// the whole conversion fail. Stateless; any thread. Allocates and does file IO.

#include <CoreFoundation/CoreFoundation.h>

#include <string>

namespace pelio::host {

// A new property list from the file (the caller releases it), or null with the reason in `error`.
// A file larger than 16 MiB is refused unread.
CFPropertyListRef ReadPropertyListFile(const std::string& path, std::string& error);

// Replaces the file with `list` as XML, through a temporary file renamed over it, so a reader
// never sees half a file. False with the reason in `error`.
bool WritePropertyListFile(const std::string& path, CFPropertyListRef list, std::string& error);

} // namespace pelio::host
