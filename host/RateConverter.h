#pragma once

// pelio::host::RateConverter: another source's sound at another rate, converted with libsamplerate
// (its medium-quality sinc converter), stereo, frame by frame as it is read.

#include "SoundSource.h"

#include <memory>
#include <string>
#include <vector>

namespace pelio::host {

class RateConverter final : public SoundSource
{
public:
    // The converter, or null with libsamplerate's reason in `error` (a ratio it cannot do).
    static std::unique_ptr<RateConverter> Make(std::unique_ptr<SoundSource> source, Float64 sampleRate,
                                               std::string& error);
    ~RateConverter() override;

    std::size_t Read(Float32* samples, std::size_t frames) override;
    Float64 GetSampleRate() const override { return mSampleRate; }

private:
    struct State;

    RateConverter(std::unique_ptr<SoundSource> source, std::unique_ptr<State> state, Float64 sampleRate);

    std::unique_ptr<SoundSource> mSource;
    std::unique_ptr<State> mState;
    const Float64 mSampleRate;
    std::vector<Float32> mInput;
    std::size_t mInputStart = 0;
    std::size_t mInputFrames = 0;
    bool mInputEnded = false;
    bool mEnded = false;
};

} // namespace pelio::host
