#pragma once

// `pelio-host play`: an application that plays, on the default output device or the one
// --device names:
//     pelio-host play [--device UID] [--seconds S] FILE       a sound file (libsndfile)
//     pelio-host play [--device UID] [--seconds S] -          raw stereo 32-bit float at 48000 Hz
//                                                             from standard input
//     pelio-host play [--device UID] [--seconds S] --signal NAME    sequence, sine or two-tone
// A sound at another rate than the device's is converted (libsamplerate). It plays for its length
// (a signal: 5 seconds) or --seconds, whichever is shorter, then waits until the device has played
// it and prints one line: what played, for how long, on which device.
//
// It finds the device and its rate with the platform's client calls and plays through a
// PlayClient of its own. Exit status: 0 when it played, 1 after a line on `errors` saying what
// went wrong, 2 for a wrong command line.

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace pelio::host {

struct PlayOptions
{
    std::string file;     // a path, or "-" for standard input
    std::string signal;   // a TestSignal name
    std::string deviceUID;
    std::optional<double> seconds;
};

// The options of the arguments after "play", or nothing with the reason in `error`.
std::optional<PlayOptions> ParsePlayOptions(const std::vector<std::string>& arguments, std::string& error);

int Play(const PlayOptions& options, std::FILE* out, std::FILE* errors);

} // namespace pelio::host
