#include "hal/Context.h"
#include "hal/Device.h"
#include "hal/RealTime.h"
#include "hal/Tracer.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <thread>

namespace {

struct DeviceReadings
{
    Float64 NominalSampleRate;
    UInt32 Latency;
    UInt32 SafetyOffset;
    UInt32 ZeroTimeStampPeriod;
    UInt32 PreferredChannelCount;
    std::array<UInt32, 2> PreferredChannelsForStereo;
    bool IsRunning;
    bool IsHidden;
    bool HasHandlers;
};

// What the IO thread may ask of its device in a cycle. Under RealtimeSanitizer the test stops if
// any of it allocates, locks or calls the system.
DeviceReadings ReadOnTheIOThread(const hal::Device& device) HAL_NONBLOCKING
{
    return DeviceReadings{
        device.GetNominalSampleRate(),
        device.GetLatency(),
        device.GetSafetyOffset(),
        device.GetZeroTimeStampPeriod(),
        device.GetPreferredChannelCount(),
        device.GetPreferredChannelsForStereo(),
        device.GetIsRunning(),
        device.GetIsHidden(),
        device.GetControlHandler() != nullptr && device.GetIOHandler() != nullptr,
    };
}

// The getters read atomics and double buffers only, so they stay real-time safe while host threads
// change the values: with no owner and no host, each setter applies its change at once.
TEST(DeviceRealtime, GettersStayRealtimeSafeWhileSettersRun)
{
    auto context = std::make_shared<hal::Context>(
        std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Flat));
    auto device = hal::MakeObject<hal::Device>(context, hal::DeviceParameters{});

    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (UInt32 round = 0; !done.load(std::memory_order_acquire); ++round) {
            device->SetNominalSampleRateAsync(round % 2 == 0 ? 44100.0 : 48000.0);
            device->SetLatencyAsync(round % 64);
            device->SetPreferredChannelsForStereoAsync({1 + round % 2, 2 + round % 2});
            device->SetIsHidden(round % 2 == 0);
        }
    });

    for (int cycle = 0; cycle < 20000; ++cycle) {
        const DeviceReadings readings = ReadOnTheIOThread(*device);
        ASSERT_TRUE(readings.NominalSampleRate == 44100.0 || readings.NominalSampleRate == 48000.0);
        ASSERT_LT(readings.Latency, 64u);
        ASSERT_EQ(readings.PreferredChannelsForStereo[1], readings.PreferredChannelsForStereo[0] + 1);
        ASSERT_TRUE(readings.HasHandlers);
    }
    done.store(true, std::memory_order_release);
    writer.join();
}

} // namespace
