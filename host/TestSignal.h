#pragma once

// pelio::host::TestSignal: sounds that `pelio-host play` makes itself, endless (the player cuts
// them to length):
//   sequence  deterministic, for tests: frame k is left = ((k mod 2^20) + 1) / 2^21, right = -left.
//             Every sample is a whole multiple of 2^-21 below 1, so the value names its frame, and
//             sums of such signals are exact in 32-bit float, whatever the order of addition.
//   sine      a 1 kHz sine on both channels, at -12 dBFS.
//   two-tone  440 Hz on the left and 660 Hz on the right, each at -12 dBFS: each channel shows
//             as its own line in a spectrogram.

#include "SoundSource.h"

#include <optional>
#include <string>

namespace pelio::host {

class TestSignal final : public SoundSource
{
public:
    enum class Kind { Sequence, Sine, TwoTone };

    // The signal a name (as above) stands for, or nothing.
    static std::optional<Kind> KindNamed(const std::string& name);
    // The sequence's left sample of frame k; the right one is its negation.
    static Float32 SequenceSample(UInt64 frame);

    TestSignal(Kind kind, Float64 sampleRate);

    std::size_t Read(Float32* samples, std::size_t frames) override;
    Float64 GetSampleRate() const override { return mSampleRate; }

private:
    const Kind mKind;
    const Float64 mSampleRate;
    UInt64 mFrame = 0;
};

} // namespace pelio::host
