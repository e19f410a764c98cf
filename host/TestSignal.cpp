#include "TestSignal.h"

#include <cmath>
#include <numbers>

namespace pelio::host {

namespace {

constexpr Float64 kAmplitude = 0.25; // -12 dBFS
constexpr UInt64 kSequenceLength = UInt64{1} << 20;
constexpr Float32 kSequenceStep = 1.0f / static_cast<Float32>(UInt64{1} << 21);

Float32 Tone(Float64 frequency, UInt64 frame, Float64 sampleRate)
{
    // From the frame number rather than an accumulated phase, so that no error builds up.
    const Float64 cycles = std::fmod(frequency * static_cast<Float64>(frame) / sampleRate, 1.0);
    return static_cast<Float32>(kAmplitude * std::sin(2.0 * std::numbers::pi * cycles));
}

} // namespace

std::optional<TestSignal::Kind> TestSignal::KindNamed(const std::string& name)
{
    if (name == "sequence") {
        return Kind::Sequence;
    }
    if (name == "sine") {
        return Kind::Sine;
    }
    if (name == "two-tone") {
        return Kind::TwoTone;
    }
    return std::nullopt;
}

Float32 TestSignal::SequenceSample(UInt64 frame)
{
    return static_cast<Float32>(frame % kSequenceLength + 1) * kSequenceStep;
}

TestSignal::TestSignal(Kind kind, Float64 sampleRate)
    : mKind(kind)
    , mSampleRate(sampleRate)
{
}

std::size_t TestSignal::Read(Float32* samples, std::size_t frames)
{
    for (std::size_t index = 0; index < frames; ++index, ++mFrame) {
        Float32* frame = samples + index * kChannels;
        switch (mKind) {
        case Kind::Sequence:
            frame[0] = SequenceSample(mFrame);
            frame[1] = -frame[0];
            break;
        case Kind::Sine:
            frame[0] = frame[1] = Tone(1000.0, mFrame, mSampleRate);
            break;
        case Kind::TwoTone:
            frame[0] = Tone(440.0, mFrame, mSampleRate);
            frame[1] = Tone(660.0, mFrame, mSampleRate);
            break;
        }
    }
    return frames;
}

} // namespace pelio::host
