#pragma once

// The simulated audio server's log: one line per call on standard error, prefixed "pelio-host: ".
// Any thread; lines never interleave. Formats and writes, so never for a real-time thread.

#include <string>

namespace pelio::host {

[[gnu::format(printf, 1, 2)]] void Log(const char* format, ...);

// A status as people read it: its four characters in quotes when it is a four-character code
// ('stop'), its decimal value otherwise.
std::string StatusText(int status);

} // namespace pelio::host
