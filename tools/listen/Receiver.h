#pragma once

// Everything pelio-listen does with a datagram short of I/O: checks it, places it in the
// sequence, decodes its samples, and keeps the figures for the summary and the status line.
//
// Accept says what to put into the output stream for each datagram: first `silenceFrames`
// frames of silence where packets were lost (each lost packet is taken to be as long as the last
// packet that went into the stream), then `samples`. The stream is only ever appended to, so a
// late packet, whose place is already taken by silence, and a duplicate are counted and left out;
// so are refused datagrams. Nothing is silence-filled at a restart of the sender except the
// packets its previous run left unsent.
//
// Memory is fixed apart from the jitter record (4 bytes a packet). No I/O; the caller supplies
// arrival times. Not thread-safe: one thread receives.

#include "ArrivalJitter.h"
#include "ChannelLevels.h"
#include "Datagram.h"
#include "SequenceTracker.h"
#include "Summary.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace pelio::listen {

struct Delivery {
    DatagramError error = DatagramError::None;
    Datagram datagram;               // the checked header and bytes, when error is None
    SequenceStep step;               // where it belongs, when error is None
    std::uint64_t silenceFrames = 0; // to write before the samples
    std::span<const float> samples;  // interleaved L R, to write; empty when left out
};

class Receiver
{
public:
    // `arrivalNanoseconds` is when the datagram arrived, on a monotonic clock. The delivered
    // samples stay valid until the next call.
    Delivery Accept(std::span<const std::byte> bytes, std::uint64_t arrivalNanoseconds);

    Summary GetSummary() const;

    // The same without the jitter percentiles (left NaN), which take a pass over every
    // measurement: cheap enough for a status line redrawn several times a second.
    Summary GetSummaryWithoutJitter() const;

    std::uint64_t GetPacketCount() const { return mPackets; }

    // The peak of each channel in dBFS since the previous call, for a level meter.
    std::array<double, 2> TakeRecentPeaksDbfs();

private:
    void Measure(const Delivery& delivery, std::uint64_t arrivalNanoseconds);

    SequenceTracker mTracker;
    ChannelLevels mLevels;
    ChannelLevels mRecentLevels;
    ArrivalJitter mJitter;

    std::uint64_t mPackets = 0;
    std::uint64_t mFrames = 0;
    std::uint64_t mSilenceFrames = 0;
    std::array<std::uint64_t, kDatagramErrorCount> mBadByError{};

    // The last packet that went into the stream: its length stands in for lost packets, and its
    // arrival starts the next jitter measurement.
    std::uint16_t mLastFrameCount = 0;
    std::uint64_t mLastArrivalNanoseconds = 0;

    std::array<float, kMaxFrameCount * kChannelCount> mSamples{};
};

} // namespace pelio::listen
