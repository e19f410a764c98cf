// What the IO thread asks of its device, inside non-blocking functions, while host threads change
// the device. Under RealtimeSanitizer the test stops if any of it allocates, formats, locks or
// calls the system; the one lock allowed, the device's IO mutex, is exempted inside the device.

#include "hal/Client.h"
#include "hal/Context.h"
#include "hal/Device.h"
#include "hal/MuteControl.h"
#include "hal/RealTime.h"
#include "hal/Stream.h"
#include "hal/Tracer.h"
#include "hal/VolumeControl.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

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

std::shared_ptr<hal::Context> MakeSilentContext()
{
    return std::make_shared<hal::Context>(
        std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Flat));
}

// The getters read atomics and double buffers only, so they stay real-time safe while host threads
// change the values: with no owner and no host, each setter applies its change at once.
TEST(DeviceRealtime, GettersStayRealtimeSafeWhileSettersRun)
{
    auto context = MakeSilentContext();
    auto device = hal::MakeObject<hal::Device>(context, hal::DeviceParameters{});

    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (UInt32 round = 0; !done.load(std::memory_order_acquire); ++round) {
            device->SetNominalSampleRateAsync(round % 2 == 0 ? 44100.0 : 48000.0);
            device->SetLatencyAsync(round % 64);
            device->SetPreferredChannelsForStereoAsync({1 + round % 2, 2 + round % 2});
            // The channel count derives from the stored list: a getter that copied the list on
            // the IO thread would allocate there.
            device->SetPreferredChannelsAsync(
                std::vector<AudioChannelDescription>(2 + round % 3, AudioChannelDescription{1, 0, {}}));
            device->SetIsHidden(round % 2 == 0);
        }
    });

    for (int cycle = 0; cycle < 20000; ++cycle) {
        const DeviceReadings readings = ReadOnTheIOThread(*device);
        ASSERT_TRUE(readings.NominalSampleRate == 44100.0 || readings.NominalSampleRate == 48000.0);
        ASSERT_LT(readings.Latency, 64u);
        ASSERT_EQ(readings.PreferredChannelsForStereo[1], readings.PreferredChannelsForStereo[0] + 1);
        ASSERT_TRUE(readings.PreferredChannelCount >= 2 && readings.PreferredChannelCount <= 4)
            << readings.PreferredChannelCount;
        ASSERT_TRUE(readings.HasHandlers);
    }
    done.store(true, std::memory_order_release);
    writer.join();
}

constexpr UInt32 kFrames = 512;
constexpr UInt32 kChannels = 2;
constexpr UInt32 kClientID = 1;

struct CycleResult
{
    OSStatus status = 0;
    Float64 sampleTime = 0.0;
    bool willDoWriteMix = false;
};

// One IO cycle as the host runs it on its IO thread: the zero time stamp, the cycle's brackets,
// ProcessMix and WriteMix of the mixed output, and MixOutput of the client's own output, each
// through the default IO handler, which applies the stream's volume and mute controls.
CycleResult RunCycle(hal::Device& device, AudioObjectID streamID, std::vector<Float32>& buffer) HAL_NONBLOCKING
{
    const AudioObjectID id = device.GetID();
    AudioServerPlugInIOCycleInfo cycle{};
    CycleResult result;
    UInt64 hostTime = 0;
    UInt64 seed = 0;
    OSStatus status = device.GetZeroTimeStamp(id, kClientID, &result.sampleTime, &hostTime, &seed);
    Boolean willDo = false;
    Boolean inPlace = false;
    status |= device.WillDoIOOperation(id, kClientID, kAudioServerPlugInIOOperationWriteMix, &willDo, &inPlace);
    result.willDoWriteMix = willDo != 0;
    cycle.mOutputTime.mSampleTime = result.sampleTime;

    status |= device.BeginIOOperation(id, kClientID, kAudioServerPlugInIOOperationCycle, kFrames, &cycle);
    for (const UInt32 operation : {kAudioServerPlugInIOOperationMixOutput, kAudioServerPlugInIOOperationProcessMix,
                                   kAudioServerPlugInIOOperationWriteMix}) {
        status |= device.BeginIOOperation(id, kClientID, operation, kFrames, &cycle);
        status |= device.DoIOOperation(id, streamID, kClientID, operation, kFrames, &cycle, buffer.data(), nullptr);
        status |= device.EndIOOperation(id, kClientID, operation, kFrames, &cycle);
    }
    status |= device.EndIOOperation(id, kClientID, kAudioServerPlugInIOOperationCycle, kFrames, &cycle);
    result.status = status;
    return result;
}

// The IO path while host threads change what it reads: volume and mute, clients coming and going,
// the IO handler replaced, IO started and stopped for a second client. The tracer is enabled (it
// formats every line of the host threads, and prints nothing): the IO path must not reach it while
// real-time tracing is off.
TEST(DeviceRealtime, TheIOPathStaysRealtimeSafeWhileHostThreadsChangeTheDevice)
{
    auto context = std::make_shared<hal::Context>(
        std::make_shared<hal::Tracer>(static_cast<hal::Tracer::Mode>(3), hal::Tracer::Style::Flat));
    auto device = hal::MakeObject<hal::Device>(context, hal::DeviceParameters{});
    hal::StreamParameters parameters;
    parameters.Format = {48000.0, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 8, 1, 8,
                         kChannels, 32, 0};
    const auto stream = device->AddStreamWithControlsAsync(parameters);
    const auto volume = device->GetVolumeControlByIndex(kAudioObjectPropertyScopeOutput, 0);
    const auto mute = device->GetMuteControlByIndex(kAudioObjectPropertyScopeOutput, 0);
    const AudioServerPlugInClientInfo client{kClientID, 100, 1, nullptr};
    ASSERT_EQ(device->AddClient(device->GetID(), &client), 0);
    ASSERT_EQ(device->StartIO(device->GetID(), kClientID), 0);

    std::atomic<bool> done{false};
    std::thread controls([&] {
        for (UInt32 round = 0; !done.load(std::memory_order_acquire); ++round) {
            volume->SetScalarValue(static_cast<Float32>(round % 5) / 4.0f);
            mute->SetIsMuted(round % 7 == 0);
            device->SetIOHandler(std::make_shared<hal::IORequestHandler>());
        }
    });
    std::thread clients([&] {
        for (UInt32 round = 0; !done.load(std::memory_order_acquire); ++round) {
            // The cycle's own client comes and goes too: its last reference must never be the IO
            // thread's.
            const AudioServerPlugInClientInfo info{round % 2 == 0 ? kClientID : 2, 200, 1, nullptr};
            device->AddClient(device->GetID(), &info);
            device->StartIO(device->GetID(), 2);
            device->StopIO(device->GetID(), 2);
            device->RemoveClient(device->GetID(), &info);
        }
    });

    std::vector<Float32> buffer(kFrames * kChannels);
    for (int cycle = 0; cycle < 5000; ++cycle) {
        for (std::size_t index = 0; index < buffer.size(); ++index) {
            buffer[index] = index % 2 == 0 ? 0.5f : -0.5f;
        }
        const CycleResult result = RunCycle(*device, stream->GetID(), buffer);
        ASSERT_EQ(result.status, 0);
        ASSERT_TRUE(result.willDoWriteMix);
        ASSERT_TRUE(std::fabs(buffer[0]) <= 0.5f && std::fabs(buffer[1]) <= 0.5f);
    }
    done.store(true, std::memory_order_release);
    controls.join();
    clients.join();
    EXPECT_EQ(device->StopIO(device->GetID(), kClientID), 0);
}

} // namespace
