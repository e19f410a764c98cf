#pragma once

// The figures pelio-listen ends with, and their two printed forms.
//
// The text form is one "key: value" line per figure, always the same keys in the same order, so
// that a script can read it with a split on ": ". Numbers print in the C locale; a level of
// silence prints as -inf and a jitter that could not be measured as nan (both read back as
// floats by the usual parsers). The JSON form is one line with the same keys, where those two
// become null. Not for a real-time thread: both allocate.

#include "Datagram.h"
#include "SequenceTracker.h"

#include <array>
#include <cstdint>
#include <limits>
#include <string>

namespace pelio::listen {

struct Summary {
    std::uint64_t packets = 0;       // valid datagrams received, late and duplicate ones included
    std::uint64_t frames = 0;        // frames of audio that went into the stream
    std::uint64_t silenceFrames = 0; // frames of silence that stand in for lost packets
    SequenceCounts sequence;
    std::uint64_t bad = 0;                                   // datagrams refused
    std::array<std::uint64_t, kDatagramErrorCount> badByError{}; // indexed by DatagramError
    std::array<double, 2> peakDbfs{};                        // left, right
    std::array<double, 2> rmsDbfs{};
    double jitterP50Milliseconds = std::numeric_limits<double>::quiet_NaN(); // NaN: not measured
    double jitterP99Milliseconds = std::numeric_limits<double>::quiet_NaN();
    double jitterMaxMilliseconds = std::numeric_limits<double>::quiet_NaN();

    // Seconds of audio received: frames / 48000.
    double GetSeconds() const;
};

std::string FormatSummaryText(const Summary& summary);
std::string FormatSummaryJson(const Summary& summary);

} // namespace pelio::listen
