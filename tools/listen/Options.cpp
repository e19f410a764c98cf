#include "Options.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace pelio::listen {

const char* const kUsage =
    "usage: pelio-listen [options]\n"
    "\n"
    "Receives the Pelio stream (UDP on 127.0.0.1) until the duration or packet count is reached or\n"
    "it is interrupted (Ctrl-C, SIGTERM), then prints a summary and exits 0.\n"
    "\n"
    "  --port N            UDP port to bind (default 47583; 0 picks a free one)\n"
    "  --seconds S         stop after S seconds\n"
    "  --packets N         stop after N valid datagrams\n"
    "  --wav PATH          write the audio as a 48 kHz stereo float WAV, silence where packets\n"
    "                      were lost; late and duplicate packets are left out\n"
    "  --raw PATH          write the same audio as raw 32-bit float stereo; - is standard output\n"
    "  --spectrogram PATH  draw a PNG spectrogram of the WAV with sox (needs --wav)\n"
    "  --arrivals PATH     write a CSV line per valid datagram: arrival_ns (CLOCK_MONOTONIC),\n"
    "                      sequence, frames, arrival (first, in_order, after_gap, restart, late,\n"
    "                      duplicate)\n"
    "  --json              print the summary as one JSON line\n"
    "  --help              show this text\n"
    "\n"
    "The summary has one 'key: value' line per figure, on standard output, or on standard error\n"
    "when the raw audio goes to standard output. The first line on standard error says where it\n"
    "listens; a status line follows there only when standard error is a terminal.\n";

namespace {

template <class Number>
bool ParseInteger(std::string_view text, Number& value)
{
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && stop == end && !text.empty();
}

bool ParseSeconds(std::string_view text, double& value)
{
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && stop == end && !text.empty() && std::isfinite(value) && value > 0.0;
}

ParsedOptions Wrong(std::string error)
{
    return {std::nullopt, std::move(error)};
}

} // namespace

ParsedOptions ParseOptions(std::span<const char* const> arguments)
{
    Options options;
    for (std::size_t position = 0; position < arguments.size(); ++position) {
        std::string_view name = arguments[position];
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        if (name == "--json") {
            options.json = true;
            continue;
        }

        if (!name.starts_with("--")) {
            return Wrong("unexpected argument '" + std::string(name) + "' (see --help)");
        }
        std::string_view value;
        if (const std::size_t equals = name.find('='); equals != std::string_view::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        } else if (position + 1 < arguments.size()) {
            value = arguments[++position];
        } else {
            return Wrong("missing value for " + std::string(name));
        }

        if (name == "--port") {
            if (!ParseInteger(value, options.port)) {
                return Wrong("--port takes a port number from 0 to 65535, not '" + std::string(value) + "'");
            }
        } else if (name == "--seconds") {
            double seconds = 0.0;
            if (!ParseSeconds(value, seconds)) {
                return Wrong("--seconds takes a positive number, not '" + std::string(value) + "'");
            }
            options.seconds = seconds;
        } else if (name == "--packets") {
            std::uint64_t packets = 0;
            if (!ParseInteger(value, packets) || packets == 0) {
                return Wrong("--packets takes a positive whole number, not '" + std::string(value) + "'");
            }
            options.packets = packets;
        } else if (name == "--wav" || name == "--raw" || name == "--spectrogram" || name == "--arrivals") {
            if (value.empty()) {
                return Wrong(std::string(name) + " takes a path");
            }
            std::string& path = name == "--wav"           ? options.wavPath
                                : name == "--raw"         ? options.rawPath
                                : name == "--spectrogram" ? options.spectrogramPath
                                                          : options.arrivalsPath;
            path = value;
        } else {
            return Wrong("unknown option " + std::string(name) + " (see --help)");
        }
    }
    if (!options.spectrogramPath.empty() && options.wavPath.empty()) {
        return Wrong("--spectrogram draws the WAV, so it needs --wav");
    }
    return {options, {}};
}

} // namespace pelio::listen
