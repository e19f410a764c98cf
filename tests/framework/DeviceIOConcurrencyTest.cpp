// The device while the host drives it from all sides at once: one thread runs IO cycles, another
// starts and stops IO, others add and remove clients and streams, read properties, change
// settings and replace the IO handler, and the host performs every change it was asked for.
// Under ThreadSanitizer any data race, and anywhere a lock-order inversion, fails the test; the
// checks below catch torn values, handler calls out of turn and IO that fails for a stream the
// device still holds.

#include "hal/Context.h"
#include "hal/Device.h"
#include "hal/MuteControl.h"
#include "hal/Stream.h"
#include "hal/Tracer.h"
#include "hal/VolumeControl.h"

#include "TestHost.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

using pelio::test::TestHost;

constexpr UInt32 kFrames = 64;
constexpr UInt32 kChannels = 2;
constexpr UInt32 kStartingClient = 1;

// Counts the control handler's calls and checks that starts and stops alternate.
class AlternationCheckingHandler : public hal::ControlRequestHandler
{
public:
    OSStatus OnStartIO() override
    {
        outOfTurn += running.exchange(true) ? 1 : 0;
        ++starts;
        return 0;
    }
    void OnStopIO() override { outOfTurn += running.exchange(false) ? 0 : 1; }

    std::atomic<bool> running{false};
    std::atomic<int> starts{0};
    std::atomic<int> outOfTurn{0};
};

TEST(DeviceIOConcurrencyTest, IOCyclesRunWhileTheHostChangesEverythingElse)
{
    const auto context = std::make_shared<hal::Context>(
        std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Flat));
    TestHost host;
    const auto owner = hal::MakeObject<hal::Object>(context, "Owner");
    const auto device = hal::MakeObject<hal::Device>(context, hal::DeviceParameters{});
    host.SetConfigurationChangeCallbacks(
        [&](AudioObjectID objectID, UInt64 action, void* info) {
            return device->PerformConfigurationChange(objectID, action, info);
        },
        {});

    // Built in place, as an application assembles its device; then owned with the host known.
    hal::StreamParameters parameters;
    parameters.Format = {44100.0, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 8, 1, 8,
                         kChannels, 32, 0};
    const auto stream = device->AddStreamWithControlsAsync(parameters);
    const auto volume = device->GetVolumeControlByIndex(kAudioObjectPropertyScopeOutput, 0);
    const auto mute = device->GetMuteControlByIndex(kAudioObjectPropertyScopeOutput, 0);
    const auto control = std::make_shared<AlternationCheckingHandler>();
    device->SetControlHandler(control);
    device->RequestOwnershipChange(owner.get(), true);
    context->Host.store(host.GetInterface(), std::memory_order_release);

    // Each host thread counts its rounds, so that the IO thread runs until every one of them has
    // had its turns, however the scheduler treats them.
    constexpr UInt32 kRoundsEach = 200;
    constexpr std::size_t kMostPendingChanges = 16;
    std::atomic<bool> done{false};
    std::atomic<int> threadsDone{0};
    std::vector<std::thread> hostThreads;
    const auto repeat = [&](std::function<void(UInt32)> body) {
        hostThreads.emplace_back([&done, &threadsDone, body = std::move(body)] {
            for (UInt32 round = 0; !done.load(std::memory_order_acquire); ++round) {
                body(round);
                threadsDone += round + 1 == kRoundsEach ? 1 : 0;
            }
        });
    };

    repeat([&](UInt32) {
        // Starts and stops the device's only starting client: every round reaches the handler.
        device->StartIO(device->GetID(), kStartingClient);
        device->StopIO(device->GetID(), kStartingClient);
    });
    repeat([&](UInt32 round) {
        const AudioServerPlugInClientInfo info{10 + round % 4, 500, 1, nullptr};
        device->AddClient(device->GetID(), &info);
        if (round % 2 == 1) {
            device->RemoveClient(device->GetID(), &info);
        }
    });
    repeat([&](UInt32 round) {
        // Streams come and go through the host's performs; IO for the first one never fails. A
        // stream stays in the device's tables until its removal is performed, so this thread waits
        // for the host to keep up: unfair scheduling could otherwise let the requests run ahead of
        // the performs, and every table copy grow with the backlog until the test never ends.
        while (host.GetPendingConfigurationChangeCount() > kMostPendingChanges && !done.load()) {
            std::this_thread::yield();
        }
        const auto extra = device->AddStreamAsync(hal::Direction::Output);
        device->SetLatencyAsync(round % 32);
        device->RemoveStreamAsync(extra);
        volume->SetScalarValue(static_cast<Float32>(round % 3) / 2.0f);
        mute->SetIsMuted(round % 5 == 0);
        device->SetIOHandler(std::make_shared<hal::IORequestHandler>());
    });
    repeat([&](UInt32) { host.PerformPendingConfigurationChanges(); });
    std::atomic<int> badReads{0};
    repeat([&](UInt32) {
        // Through the object base's protocol: the owned objects the host lists.
        const AudioObjectPropertyAddress owned{kAudioObjectPropertyOwnedObjects, kAudioObjectPropertyScopeGlobal,
                                               kAudioObjectPropertyElementMain};
        AudioObjectID ids[16] = {};
        UInt32 size = 0;
        if (device->GetPropertyData(device->GetID(), 0, &owned, 0, nullptr, sizeof ids, &size, ids) != 0
            || size < 3 * sizeof(AudioObjectID)) {
            ++badReads;
        }
        const AudioObjectPropertyAddress format{kAudioStreamPropertyVirtualFormat, kAudioObjectPropertyScopeGlobal,
                                                kAudioObjectPropertyElementMain};
        AudioStreamBasicDescription description{};
        if (stream->GetPropertyData(stream->GetID(), 0, &format, 0, nullptr, sizeof description, &size,
                                    &description)
                != 0
            || description.mChannelsPerFrame != kChannels) {
            ++badReads;
        }
        badReads += device->GetLatency() >= 32 ? 1 : 0;
        badReads += device->GetStreamByID(stream->GetID()) == stream ? 0 : 1;
    });

    // The IO thread.
    std::vector<Float32> buffer(kFrames * kChannels);
    AudioServerPlugInIOCycleInfo cycle{};
    int failedOperations = 0;
    const int hostThreadCount = static_cast<int>(hostThreads.size());
    for (int round = 0; round < 3000 || threadsDone.load() < hostThreadCount; ++round) {
        Float64 sampleTime = 0;
        UInt64 hostTime = 0;
        UInt64 seed = 0;
        failedOperations += device->GetZeroTimeStamp(device->GetID(), kStartingClient, &sampleTime, &hostTime, &seed)
                            != 0;
        for (const UInt32 operation : {kAudioServerPlugInIOOperationMixOutput,
                                       kAudioServerPlugInIOOperationProcessMix,
                                       kAudioServerPlugInIOOperationWriteMix}) {
            failedOperations += device->BeginIOOperation(device->GetID(), 10, operation, kFrames, &cycle) != 0;
            failedOperations += device->DoIOOperation(device->GetID(), stream->GetID(), 10, operation, kFrames,
                                                      &cycle, buffer.data(), nullptr)
                                != 0;
            failedOperations += device->EndIOOperation(device->GetID(), 10, operation, kFrames, &cycle) != 0;
        }
        for (const Float32 sample : buffer) {
            // Volume at most 1 and a limit of 1: the mix can only shrink.
            failedOperations += std::fabs(sample) > 0.25f ? 1 : 0;
        }
        for (std::size_t index = 0; index < buffer.size(); ++index) {
            buffer[index] = index % 2 == 0 ? 0.25f : -0.25f;
        }
    }
    done.store(true, std::memory_order_release);
    for (std::thread& thread : hostThreads) {
        thread.join();
    }
    host.PerformPendingConfigurationChanges();

    EXPECT_EQ(failedOperations, 0);
    EXPECT_EQ(badReads.load(), 0);
    EXPECT_EQ(control->outOfTurn.load(), 0);
    EXPECT_GT(control->starts.load(), 0);
    EXPECT_FALSE(device->GetIsRunning());
    // Every extra stream has left again, through the host: only the first is owned and counted.
    EXPECT_EQ(device->GetStreamIDs(kAudioObjectPropertyScopeOutput), std::vector<AudioObjectID>{stream->GetID()});
    EXPECT_EQ(device->GetStreamCount(hal::Direction::Output), 1u);
    device->SetControlHandler(std::shared_ptr<hal::ControlRequestHandler>());
}

} // namespace
