#pragma once

// The command line of pelio-listen, read without side effects so that tests can check it.

#include "Datagram.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace pelio::listen {

struct Options {
    std::uint16_t port = kDefaultPort;    // 0 lets the system pick a free port
    std::optional<double> seconds;        // stop after this long
    std::optional<std::uint64_t> packets; // stop after this many valid datagrams
    std::string wavPath;
    std::string rawPath;                  // "-" is standard output
    std::string spectrogramPath;          // drawn from the WAV, so needs wavPath
    std::string arrivalsPath;
    bool json = false;
    bool help = false;
};

struct ParsedOptions {
    std::optional<Options> options; // empty when the command line is wrong
    std::string error;              // why, as one line for standard error
};

// `arguments` are those after the program name. Each option takes its value as the next
// argument or after "=" ("--port 5000", "--port=5000").
ParsedOptions ParseOptions(std::span<const char* const> arguments);

// The --help text.
extern const char* const kUsage;

} // namespace pelio::listen
