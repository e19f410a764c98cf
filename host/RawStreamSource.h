#pragma once

// pelio::host::RawStreamSource: raw interleaved stereo 32-bit float (native byte order) from a
// file descriptor, standard input for `pelio-host play -`, as
//     sox song.flac -t f32 -r 48000 -c 2 - | pelio-host play -
// writes it. The stream carries no rate: it is the one given (48000 Hz for the command). A
// trailing part of a frame at the end is dropped. Reads block until the frames asked for or the end
// of the stream are there.

#include "SoundSource.h"

namespace pelio::host {

class RawStreamSource final : public SoundSource
{
public:
    RawStreamSource(int descriptor, Float64 sampleRate);

    std::size_t Read(Float32* samples, std::size_t frames) override;
    Float64 GetSampleRate() const override { return mSampleRate; }

private:
    const int mDescriptor;
    const Float64 mSampleRate;
    bool mEnded = false;
};

} // namespace pelio::host
