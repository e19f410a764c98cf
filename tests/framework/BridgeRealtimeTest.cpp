// The IO thread's entries of the interface table, as the host calls them, inside non-blocking
// functions. Under RealtimeSanitizer the test stops if any of them allocates, formats, locks or
// calls the system; the device's IO mutex, the one lock allowed, is exempted inside the device.

#include "MixedOutputCycle.h"

#include "hal/Context.h"
#include "hal/Device.h"
#include "hal/Dispatcher.h"
#include "hal/Driver.h"
#include "hal/Plugin.h"
#include "hal/RealTime.h"
#include "hal/Stream.h"
#include "hal/Tracer.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <vector>

namespace {

constexpr UInt32 kFrames = 512;
constexpr UInt32 kClientID = 1;

// One cycle as the host's IO thread runs it: the zero time stamp, the cycle's brackets, and
// ProcessMix and WriteMix of the mixed output on the stream. Returns the statuses or'ed together.
OSStatus RunCycle(const AudioServerPlugInDriverInterface& table, AudioServerPlugInDriverRef reference,
                  AudioObjectID deviceID, AudioObjectID streamID, Float32* buffer) HAL_NONBLOCKING
{
    Float64 sampleTime = 0;
    UInt64 hostTime = 0;
    UInt64 seed = 0;
    OSStatus status = table.GetZeroTimeStamp(reference, deviceID, kClientID, &sampleTime, &hostTime, &seed);
    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mOutputTime.mSampleTime = sampleTime;
    return status
           | pelio::test::RunMixedOutputOperations(table, reference, deviceID, streamID, kClientID, kFrames, cycle, buffer);
}

// The same entries aimed at `objectID`, which names no device: each must answer
// kAudioHardwareBadObjectError without a word.
bool RefusesSilently(const AudioServerPlugInDriverInterface& table, AudioServerPlugInDriverRef reference,
                     AudioObjectID objectID, AudioObjectID streamID, Float32* buffer) HAL_NONBLOCKING
{
    Float64 sampleTime = 0;
    UInt64 hostTime = 0;
    UInt64 seed = 0;
    Boolean willDo = false;
    Boolean inPlace = false;
    const AudioServerPlugInIOCycleInfo cycle{};
    const UInt32 operation = kAudioServerPlugInIOOperationWriteMix;
    const std::array<OSStatus, 5> statuses = {
        table.GetZeroTimeStamp(reference, objectID, kClientID, &sampleTime, &hostTime, &seed),
        table.WillDoIOOperation(reference, objectID, kClientID, operation, &willDo, &inPlace),
        table.BeginIOOperation(reference, objectID, kClientID, operation, kFrames, &cycle),
        table.DoIOOperation(reference, objectID, streamID, kClientID, operation, kFrames, &cycle, buffer, nullptr),
        table.EndIOOperation(reference, objectID, kClientID, operation, kFrames, &cycle),
    };
    for (const OSStatus status : statuses) {
        if (status != kAudioHardwareBadObjectError) {
            return false;
        }
    }
    return true;
}

TEST(BridgeRealtime, TheIOEntriesNeitherAllocateNorFormatNorLock)
{
    // An enabled tracer that prints nothing, for the objects and the dispatcher alike: any message
    // on these paths would be formatted.
    const auto tracer = std::make_shared<hal::Tracer>(static_cast<hal::Tracer::Mode>(3), hal::Tracer::Style::Flat);
    auto context = std::make_shared<hal::Context>(tracer, std::make_shared<hal::Dispatcher>(tracer, 1000));
    auto plugin = hal::MakeObject<hal::Plugin>(context);
    auto device = hal::MakeObject<hal::Device>(context, hal::DeviceParameters{});
    hal::StreamParameters parameters;
    parameters.Format = {48000.0, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 8, 1, 8,
                         2, 32, 0};
    const auto stream = device->AddStreamWithControlsAsync(parameters);
    plugin->AddDevice(device);
    hal::Driver driver(context, plugin);
    AudioServerPlugInDriverRef reference = driver.GetReference();
    const AudioServerPlugInDriverInterface& table = **reference;

    const AudioServerPlugInClientInfo client{kClientID, 100, 1, nullptr};
    ASSERT_EQ(table.AddDeviceClient(reference, device->GetID(), &client), 0);
    ASSERT_EQ(table.StartIO(reference, device->GetID(), kClientID), 0);
    Boolean willDo = false;
    Boolean inPlace = false;
    ASSERT_EQ(table.WillDoIOOperation(reference, device->GetID(), kClientID, kAudioServerPlugInIOOperationWriteMix,
                                      &willDo, &inPlace),
              0);
    ASSERT_TRUE(willDo);

    std::vector<Float32> buffer(kFrames * 2, 0.25f);
    for (int cycle = 0; cycle < 2000; ++cycle) {
        ASSERT_EQ(RunCycle(table, reference, device->GetID(), stream->GetID(), buffer.data()), 0);
        // A stale ID, object 0, the plug-in object and a stream, as a confused host would send them.
        for (const AudioObjectID objectID : {AudioObjectID{4242}, AudioObjectID{0}, plugin->GetID(), stream->GetID()}) {
            ASSERT_TRUE(RefusesSilently(table, reference, objectID, stream->GetID(), buffer.data())) << objectID;
        }
    }
    EXPECT_EQ(table.StopIO(reference, device->GetID(), kClientID), 0);
}

} // namespace
