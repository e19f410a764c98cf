// Answering a fixed-size property allocates nothing, takes no lock and makes no system call while
// tracing is disabled. The property operations are not meant for the IO thread, but a host asks
// for such values all the time; under RealtimeSanitizer this test stops at the first allocation
// on those paths.

#include "hal/Context.h"
#include "hal/Device.h"
#include "hal/MuteControl.h"
#include "hal/RealTime.h"
#include "hal/Stream.h"
#include "hal/Tracer.h"
#include "hal/VolumeControl.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>

namespace {

struct Answers
{
    OSStatus status = 0;
    UInt32 sizes = 0;
    UInt32 settable = 0;
    UInt32 present = 0;
};

// One read of `selector` through all four query operations.
void Ask(const hal::Object& object, AudioObjectPropertySelector selector, void* data, UInt32 size,
         Answers& answers) HAL_NONBLOCKING
{
    const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeOutput,
                                             kAudioObjectPropertyElementMain};
    const AudioObjectID id = object.GetID();
    answers.present += object.HasProperty(id, 0, &address) ? 1 : 0;
    Boolean isSettable = false;
    answers.status |= object.IsPropertySettable(id, 0, &address, &isSettable);
    answers.settable += isSettable ? 1 : 0;
    UInt32 dataSize = 0;
    answers.status |= object.GetPropertyDataSize(id, 0, &address, 0, nullptr, &dataSize);
    answers.sizes += dataSize;
    UInt32 written = 0;
    answers.status |= object.GetPropertyData(id, 0, &address, 0, nullptr, size, &written, data);
}

TEST(PropertyRealtimeTest, FixedSizeAnswersNeitherAllocateNorBlock)
{
    const auto context = std::make_shared<hal::Context>(
        std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Flat));
    const auto device = hal::MakeObject<hal::Device>(context, hal::DeviceParameters{});
    const auto stream = hal::MakeObject<hal::Stream>(context, device, hal::StreamParameters{});
    const auto volume = hal::MakeObject<hal::VolumeControl>(context, hal::VolumeControlParameters{});
    const auto mute = hal::MakeObject<hal::MuteControl>(context, hal::MuteControlParameters{});

    UInt32 word = 0;
    Float32 level = 0.5f;
    Float64 rate = 0.0;
    std::array<UInt32, 2> pair{};
    AudioStreamBasicDescription format{};
    Answers answers;
    const auto askAll = [&]() HAL_NONBLOCKING {
        Ask(*device, kAudioDevicePropertyDeviceIsRunning, &word, 4, answers);
        Ask(*device, kAudioDevicePropertyLatency, &word, 4, answers);
        Ask(*device, kAudioDevicePropertyNominalSampleRate, &rate, 8, answers);
        Ask(*device, kAudioDevicePropertyPreferredChannelsForStereo, pair.data(), 8, answers);
        Ask(*device, kAudioObjectPropertyClass, &word, 4, answers);
        Ask(*stream, kAudioStreamPropertyIsActive, &word, 4, answers);
        Ask(*stream, kAudioStreamPropertyVirtualFormat, &format, 40, answers);
        Ask(*volume, kAudioLevelControlPropertyScalarValue, &level, 4, answers);
        Ask(*volume, kAudioLevelControlPropertyConvertScalarToDecibels, &level, 4, answers);
        Ask(*mute, kAudioBooleanControlPropertyValue, &word, 4, answers);
    };
    for (int round = 0; round < 100; ++round) {
        askAll();
    }

    EXPECT_EQ(answers.status, 0);
    EXPECT_EQ(answers.present, 100u * 10);
    // Settable: the nominal rate, the active flag, the virtual format, the scalar value, the mute.
    EXPECT_EQ(answers.settable, 100u * 5);
    EXPECT_EQ(answers.sizes, 100u * (4 + 4 + 8 + 8 + 4 + 4 + 40 + 4 + 4 + 4));
    EXPECT_EQ(rate, 44100.0);
    EXPECT_EQ(format.mSampleRate, 44100.0);
}

} // namespace
