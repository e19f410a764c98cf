#include "RateConverter.h"

#include <samplerate.h>

#include <algorithm>
#include <utility>

namespace pelio::host {

namespace {

constexpr std::size_t kInputFrames = 4096;

} // namespace

struct RateConverter::State
{
    SRC_STATE* converter = nullptr;
    Float64 ratio = 1.0;

    ~State()
    {
        if (converter != nullptr) {
            src_delete(converter);
        }
    }
};

std::unique_ptr<RateConverter> RateConverter::Make(std::unique_ptr<SoundSource> source, Float64 sampleRate,
                                                   std::string& error)
{
    auto state = std::make_unique<State>();
    state->ratio = sampleRate / source->GetSampleRate();
    if (!src_is_valid_ratio(state->ratio)) {
        error = "libsamplerate cannot convert " + std::to_string(source->GetSampleRate()) + " Hz to "
            + std::to_string(sampleRate) + " Hz";
        return nullptr;
    }
    int failure = 0;
    state->converter = src_new(SRC_SINC_MEDIUM_QUALITY, static_cast<int>(kChannels), &failure);
    if (state->converter == nullptr) {
        error = src_strerror(failure);
        return nullptr;
    }
    return std::unique_ptr<RateConverter>(new RateConverter(std::move(source), std::move(state), sampleRate));
}

RateConverter::RateConverter(std::unique_ptr<SoundSource> source, std::unique_ptr<State> state, Float64 sampleRate)
    : mSource(std::move(source))
    , mState(std::move(state))
    , mSampleRate(sampleRate)
    , mInput(kInputFrames * kChannels)
{
}

RateConverter::~RateConverter() = default;

std::size_t RateConverter::Read(Float32* samples, std::size_t frames)
{
    std::size_t done = 0;
    while (done < frames && !mEnded) {
        if (mInputFrames == 0 && !mInputEnded) {
            mInputStart = 0;
            mInputFrames = mSource->Read(mInput.data(), kInputFrames);
            mInputEnded = mInputFrames < kInputFrames;
        }
        SRC_DATA data{};
        data.data_in = mInput.data() + mInputStart * kChannels;
        data.input_frames = static_cast<long>(mInputFrames);
        data.data_out = samples + done * kChannels;
        data.output_frames = static_cast<long>(frames - done);
        data.end_of_input = mInputEnded ? 1 : 0;
        data.src_ratio = mState->ratio;
        if (src_process(mState->converter, &data) != 0) {
            mEnded = true;
            break;
        }
        mInputStart += static_cast<std::size_t>(data.input_frames_used);
        mInputFrames -= static_cast<std::size_t>(data.input_frames_used);
        done += static_cast<std::size_t>(data.output_frames_gen);
        // With all input given, a call that makes nothing more means the converter is drained.
        if (mInputEnded && mInputFrames == 0 && data.output_frames_gen == 0) {
            mEnded = true;
        }
    }
    return done;
}

} // namespace pelio::host
