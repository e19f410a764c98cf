#pragma once

// Where the received audio goes: interleaved stereo 32-bit float at 48 kHz, appended in order.
//
// A sink reports a failed write by returning false; it does not retry. Not thread-safe.

#include <cstdint>
#include <span>

namespace pelio::listen {

class AudioSink
{
public:
    virtual ~AudioSink() = default;

    // Appends whole frames: `samples` holds left and right of each frame in turn.
    virtual bool Write(std::span<const float> samples) = 0;

    // Appends `frames` frames of silence, in pieces of bounded size.
    bool WriteSilence(std::uint64_t frames);

    // Finishes the output (for a file, its header and its close); false if that fails.
    virtual bool Finish() = 0;
};

} // namespace pelio::listen
