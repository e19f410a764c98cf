#pragma once

// pelio::host::SoundSource: where `pelio-host play` takes its sound from: interleaved stereo
// 32-bit float frames at the source's own rate, read in order. One thread at a time; reading may
// block (a pipe) and allocates nothing per frame.

#include <MacTypes.h>

#include <cstddef>

namespace pelio::host {

class SoundSource
{
public:
    static constexpr std::size_t kChannels = 2;

    virtual ~SoundSource() = default;

    // Fills up to `frames` frames; fewer only at the end of the sound, 0 once it is over.
    virtual std::size_t Read(Float32* samples, std::size_t frames) = 0;
    virtual Float64 GetSampleRate() const = 0;
};

} // namespace pelio::host
