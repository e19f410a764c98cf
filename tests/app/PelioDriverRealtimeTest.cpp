// The whole IO path of the assembled Pelio driver (pelio::createDriver), through its interface
// table, as the simulated server's IO thread calls it: the zero time stamp, then the cycle's
// brackets around Begin, Do and End of ProcessMix and WriteMix, with the cycle info filled in as
// the server fills it; WriteMix ends in the Pelio handler's OnWriteMixedOutput. Each cycle runs
// inside a non-blocking function: under RealtimeSanitizer the test stops if anything on the path
// allocates, formats, takes a lock or calls the system, the device's IO mutex (exempted inside
// the device) being the only lock allowed. Between cycles the test sleeps, as the server does,
// outside the real-time part, and the datagrams must arrive in order at the Pelio port.

#include "DatagramReceiver.h"
#include "MixedOutputCycle.h"
#include "PelioAssembly.h"
#include "TestHost.h"

#include "hal/Driver.h"
#include "hal/RealTime.h"

#include <CoreAudio/AudioServerPlugIn.h>
#include <gtest/gtest.h>

#include <mach/mach_time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr AudioObjectID kDeviceID = 2;
constexpr AudioObjectID kStreamID = 3;
constexpr UInt32 kClientID = 9;
constexpr UInt32 kFrames = 512;
constexpr int kCycles = 150;

// One cycle as the server's IO thread runs it; the statuses or'ed together.
OSStatus RunCycle(const AudioServerPlugInDriverInterface& table, AudioServerPlugInDriverRef reference,
                  AudioServerPlugInIOCycleInfo& cycle, Float32* mix) HAL_NONBLOCKING
{
    Float64 sampleTime = 0;
    UInt64 hostTime = 0;
    UInt64 seed = 0;
    OSStatus status = table.GetZeroTimeStamp(reference, kDeviceID, kClientID, &sampleTime, &hostTime, &seed);
    ++cycle.mIOCycleCounter;
    cycle.mCurrentTime.mSampleTime = sampleTime + static_cast<Float64>(kFrames) * static_cast<Float64>(cycle.mIOCycleCounter);
    cycle.mCurrentTime.mHostTime = mach_absolute_time();
    cycle.mOutputTime = cycle.mCurrentTime;
    cycle.mOutputTime.mSampleTime += kFrames;
    cycle.mInputTime = cycle.mCurrentTime;
    cycle.mInputTime.mSampleTime -= kFrames;
    return status
           | pelio::test::RunMixedOutputOperations(table, reference, kDeviceID, kStreamID, kClientID, kFrames, cycle, mix);
}

TEST(PelioDriverRealtime, TheIOPathIsRealtimeSafeFromTheTableToTheHandler)
{
    std::string whyNot;
    const auto receiver = pelio::DatagramReceiver::OnPelioPort(whyNot);
    ASSERT_NE(receiver, nullptr) << whyNot;
    pelio::test::TestHost host;
    const std::shared_ptr<hal::Driver> driver = pelio::createDriver();
    AudioServerPlugInDriverRef reference = driver->GetReference();
    const AudioServerPlugInDriverInterface& table = **reference;
    ASSERT_EQ(table.Initialize(reference, host.GetInterface()), 0);

    // What the server does before the first cycle: the client, the operations it will run, start.
    const AudioServerPlugInClientInfo client{kClientID, getpid(), 1, nullptr};
    ASSERT_EQ(table.AddDeviceClient(reference, kDeviceID, &client), 0);
    for (const UInt32 operation : {kAudioServerPlugInIOOperationProcessMix, kAudioServerPlugInIOOperationWriteMix}) {
        Boolean willDo = false;
        Boolean inPlace = false;
        ASSERT_EQ(table.WillDoIOOperation(reference, kDeviceID, kClientID, operation, &willDo, &inPlace), 0);
        ASSERT_TRUE(willDo && inPlace);
    }
    ASSERT_EQ(table.StartIO(reference, kDeviceID, kClientID), 0);

    std::vector<Float32> mix(2 * kFrames);
    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mNominalIOBufferFrameSize = kFrames;
    for (int index = 0; index < kCycles; ++index) {
        for (std::size_t sample = 0; sample < mix.size(); ++sample) {
            mix[sample] = static_cast<Float32>(index) / kCycles;
        }
        ASSERT_EQ(RunCycle(table, reference, cycle, mix.data()), 0) << "cycle " << index;
        std::this_thread::sleep_for(10ms);
    }
    // The last drain pass sends what the ring still holds before the stop.
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(table.StopIO(reference, kDeviceID, kClientID), 0);
    ASSERT_EQ(table.RemoveDeviceClient(reference, kDeviceID, &client), 0);

    const std::vector<pelio::Datagram> datagrams = receiver->ReceiveUntilQuiet(200ms);
    ASSERT_EQ(datagrams.size(), static_cast<std::size_t>(kCycles));
    for (std::size_t index = 0; index < datagrams.size(); ++index) {
        EXPECT_EQ(datagrams[index].GetSequence(), 100 + index);
        EXPECT_EQ(datagrams[index].GetFrameCount(), kFrames);
    }
}

} // namespace
