// The device's clock on a host clock that the test moves by hand: where a run starts, when a stamp
// advances, how a late host catches up, and the new timeline (and seed) after the period or the
// rate changes while running. The hand-moved clock is a seam of the substitute platform, so these
// tests exist where the substitute does.

#if !defined(__APPLE__)

#include "hal/Device.h"

#include "hal/Stream.h"

#include "HostedDevice.h"

#include <substitute/host_clock.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

using pelio::test::HostedDevice;

std::atomic<UInt64> gNow{0};

uint64_t ReadManualClock()
{
    return gNow.load();
}

struct Stamp
{
    Float64 sampleTime = -1.0;
    UInt64 hostTime = 0;
    UInt64 seed = 0;

    friend bool operator==(const Stamp&, const Stamp&) = default;
};

std::ostream& operator<<(std::ostream& out, const Stamp& stamp)
{
    return out << "{" << stamp.sampleTime << ", " << stamp.hostTime << ", seed " << stamp.seed << "}";
}

// Apple silicon's timebase, so that ticks are not nanoseconds: 48000 Hz is 500 ticks per frame.
constexpr mach_timebase_info_data_t kTimebase{125, 3};
constexpr UInt64 kTicksPerFrame = 500;
constexpr UInt64 kStart = 1'000'000;

class DeviceClockTest : public ::testing::Test
{
protected:
    DeviceClockTest()
        : hosted(Parameters())
    {
        gNow = kStart;
        EXPECT_EQ(pelio_set_host_clock(&ReadManualClock, kTimebase), KERN_SUCCESS);
    }

    ~DeviceClockTest() override { pelio_set_host_clock(nullptr, {}); }

    static hal::DeviceParameters Parameters()
    {
        hal::DeviceParameters parameters;
        parameters.SampleRate = 48000;
        parameters.ZeroTimeStampPeriod = 480;
        return parameters;
    }

    Stamp Next()
    {
        Stamp stamp;
        EXPECT_EQ(device.GetZeroTimeStamp(device.GetID(), 0, &stamp.sampleTime, &stamp.hostTime, &stamp.seed), 0);
        return stamp;
    }

    static constexpr UInt64 kPeriodTicks = 480 * kTicksPerFrame;

    HostedDevice<> hosted;
    hal::Device& device = *hosted.device;
};

TEST_F(DeviceClockTest, ARunStartsAtZeroAndStepsOnePeriodOnceItHasPassed)
{
    ASSERT_EQ(device.StartIO(device.GetID(), 0), 0);
    EXPECT_EQ(Next(), (Stamp{0.0, kStart, 1}));

    gNow = kStart + kPeriodTicks - 1;
    EXPECT_EQ(Next(), (Stamp{0.0, kStart, 1}));
    gNow = kStart + kPeriodTicks;
    EXPECT_EQ(Next(), (Stamp{480.0, kStart + kPeriodTicks, 1}));
    EXPECT_EQ(Next(), (Stamp{480.0, kStart + kPeriodTicks, 1}));

    // The IO handler is given the latest stamp's sample time.
    struct ZeroTimeStampHandler : hal::IORequestHandler
    {
        void OnWriteMixedOutput(const std::shared_ptr<hal::Stream>&, Float64 zeroTimeStamp, Float64, const void*,
                                UInt32) override
        {
            seen = zeroTimeStamp;
        }
        Float64 seen = -1.0;
    };
    ZeroTimeStampHandler handler;
    device.SetIOHandler(&handler);
    const auto stream = device.AddStreamAsync(hal::StreamParameters{});
    const AudioServerPlugInIOCycleInfo cycle{};
    std::vector<Float32> buffer(16);
    ASSERT_EQ(device.DoIOOperation(device.GetID(), stream->GetID(), 0, kAudioServerPlugInIOOperationWriteMix, 4,
                                   &cycle, buffer.data(), nullptr),
              0);
    EXPECT_EQ(handler.seen, 480.0);
    device.SetIOHandler(std::shared_ptr<hal::IORequestHandler>());
}

TEST_F(DeviceClockTest, AHostThatAsksLateCatchesUpOnePeriodPerCall)
{
    ASSERT_EQ(device.StartIO(device.GetID(), 0), 0);
    gNow = kStart + 3 * kPeriodTicks + kPeriodTicks / 2;

    EXPECT_EQ(Next().sampleTime, 480.0);
    EXPECT_EQ(Next().sampleTime, 960.0);
    EXPECT_EQ(Next(), (Stamp{1440.0, kStart + 3 * kPeriodTicks, 1}));
    EXPECT_EQ(Next().sampleTime, 1440.0);
    gNow = kStart + 4 * kPeriodTicks;
    EXPECT_EQ(Next().sampleTime, 1920.0);
}

// Carried on with the new length from the old anchor, the timeline would jump back (or ahead) in
// host time under the same seed, and the host would take it for the same timeline.
TEST_F(DeviceClockTest, ANewPeriodOrRateWhileRunningStartsANewTimelineUnderANewSeed)
{
    ASSERT_EQ(device.SetAvailableSampleRatesAsync({{24000.0, 48000.0}}), 0);
    ASSERT_EQ(device.StartIO(device.GetID(), 0), 0);
    gNow = kStart + 2 * kPeriodTicks;
    Next();
    ASSERT_EQ(Next().sampleTime, 960.0);

    // Not owned: the change applies at once.
    ASSERT_EQ(device.SetZeroTimeStampPeriodAsync(960), 0);
    const UInt64 changedAt = gNow += 100;
    EXPECT_EQ(Next(), (Stamp{0.0, changedAt, 2}));
    gNow = changedAt + 960 * kTicksPerFrame;
    EXPECT_EQ(Next(), (Stamp{960.0, changedAt + 960 * kTicksPerFrame, 2}));

    // 24000 Hz: twice the ticks per frame.
    ASSERT_EQ(device.SetNominalSampleRateAsync(24000.0), 0);
    const UInt64 rateChangedAt = gNow += 7;
    EXPECT_EQ(Next(), (Stamp{0.0, rateChangedAt, 3}));
    gNow = rateChangedAt + 960 * 2 * kTicksPerFrame - 1;
    EXPECT_EQ(Next().sampleTime, 0.0);
    gNow += 1;
    EXPECT_EQ(Next(), (Stamp{960.0, rateChangedAt + 960 * 2 * kTicksPerFrame, 3}));

    // A new run starts at zero on its own anchor and keeps the seed, even after a change made
    // while stopped.
    ASSERT_EQ(device.StopIO(device.GetID(), 0), 0);
    ASSERT_EQ(device.SetZeroTimeStampPeriodAsync(480), 0);
    const UInt64 restartedAt = gNow += 5000;
    ASSERT_EQ(device.StartIO(device.GetID(), 0), 0);
    EXPECT_EQ(Next(), (Stamp{0.0, restartedAt, 3}));
}

// A rate of zero would turn the ticks per frame infinite, and converting that to host time is
// undefined: the device has no clock then.
TEST(DeviceClockWithoutRateTest, ADeviceWithoutASampleRateHasNoTimeStamp)
{
    hal::DeviceParameters parameters;
    parameters.SampleRate = 0;
    HostedDevice<> hosted(parameters);
    ASSERT_EQ(hosted.device->StartIO(hosted.device->GetID(), 0), 0);
    Float64 sampleTime = -1.0;
    UInt64 hostTime = 7;
    UInt64 seed = 7;
    EXPECT_EQ(hosted.device->GetZeroTimeStamp(hosted.device->GetID(), 0, &sampleTime, &hostTime, &seed),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(sampleTime, -1.0);
    EXPECT_EQ(hostTime, 7u);
}

} // namespace

#endif // !defined(__APPLE__)
