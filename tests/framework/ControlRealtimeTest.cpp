#include "hal/Context.h"
#include "hal/Dispatcher.h"
#include "hal/MuteControl.h"
#include "hal/RealTime.h"
#include "hal/Tracer.h"
#include "hal/VolumeControl.h"

#include "TestHost.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <thread>

namespace {

using pelio::test::TestHost;

constexpr UInt32 kFrames = 512;
constexpr UInt32 kChannels = 2;
using Buffer = std::array<Float32, kFrames * kChannels>;

struct Readings
{
    Float32 ScalarValue;
    Float32 DecibelValue;
    bool IsMuted;
};

// What the IO thread asks of the controls in one cycle: volume first, then mute, as a stream
// applies them. Under RealtimeSanitizer the test stops if any of it allocates, locks or calls the
// system.
Readings ProcessOnTheIOThread(const hal::VolumeControl& volume, const hal::MuteControl& mute,
                              Buffer& samples) HAL_NONBLOCKING
{
    volume.ApplyProcessing(samples.data(), kFrames, kChannels);
    mute.ApplyProcessing(samples.data(), kFrames, kChannels);
    return Readings{volume.GetScalarValue(), volume.GetDecibelValue(), mute.GetIsMuted()};
}

// The shipped configuration: tracing disabled, the host known, so setters notify.
class ControlRealtimeTest : public ::testing::Test
{
protected:
    ControlRealtimeTest() { context->Host.store(host.GetInterface(), std::memory_order_release); }

    std::shared_ptr<hal::Context> context = std::make_shared<hal::Context>(
        std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Flat),
        std::make_shared<hal::Dispatcher>(nullptr, 1000));
    TestHost host;
    std::shared_ptr<hal::VolumeControl> volume =
        hal::MakeObject<hal::VolumeControl>(context, hal::VolumeControlParameters{});
    std::shared_ptr<hal::MuteControl> mute = hal::MakeObject<hal::MuteControl>(context, hal::MuteControlParameters{});
};

TEST_F(ControlRealtimeTest, ProcessingGivesUnityAttenuatedAndMutedSamples)
{
    struct Case {
        const char* description;
        SInt32 raw;
        bool isMuted;
        Float32 expected;  // from an input of 0.5 everywhere
    };
    const Case cases[] = {
        {"unity", 96, false, 0.5f},
        {"attenuated to a quarter", 48, false, 0.125f},
        {"muted at full volume", 96, true, 0.0f},
        {"muted while attenuated", 48, true, 0.0f},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.description);
        ASSERT_EQ(volume->SetRawValue(testCase.raw), 0);
        ASSERT_EQ(mute->SetIsMuted(testCase.isMuted), 0);
        Buffer samples;
        samples.fill(0.5f);

        const Readings readings = ProcessOnTheIOThread(*volume, *mute, samples);

        EXPECT_EQ(readings.IsMuted, testCase.isMuted);
        for (const Float32 sample : samples) {
            ASSERT_EQ(sample, testCase.expected);
        }
    }
}

TEST_F(ControlRealtimeTest, ProcessingStaysNonBlockingWhileSettersRun)
{
    std::atomic<bool> done{false};
    // Host threads change both controls flat out; each change takes the write mutex and notifies.
    std::thread setter([&] {
        for (int change = 0; !done.load(std::memory_order_acquire); ++change) {
            (void)volume->SetScalarValue(change % 2 == 0 ? 0.5f : 1.0f);
            (void)mute->SetIsMuted(change % 3 == 0);
        }
    });

    int mixedBuffers = 0;
    for (int cycle = 0; cycle < 500; ++cycle) {
        Buffer samples;
        samples.fill(1.0f);
        (void)ProcessOnTheIOThread(*volume, *mute, samples);
        // One gain and one mute flag per call: every sample of a buffer agrees.
        for (const Float32 sample : samples) {
            if (sample != samples[0]) {
                ++mixedBuffers;
                break;
            }
        }
    }
    done.store(true, std::memory_order_release);
    setter.join();

    EXPECT_EQ(mixedBuffers, 0);
}

} // namespace
