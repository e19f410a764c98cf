// The device's streams and controls: what the lookups see at once, what the host sees only when
// the change runs, and what removal, refusal and out-of-order changes leave behind.

#include "hal/Device.h"

#include "hal/MuteControl.h"
#include "hal/Stream.h"
#include "hal/VolumeControl.h"

#include "HostedDevice.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using pelio::test::HostedDevice;
using IDs = std::vector<AudioObjectID>;

constexpr AudioServerPlugInIOCycleInfo kCycle{};

class DeviceMembersTest : public ::testing::Test
{
protected:
    // One ProcessMix of one stereo frame for `stream`, through the default IO handler.
    OSStatus ProcessOneFrame(const hal::Stream& stream, std::vector<Float32>& frame)
    {
        return hosted.device->DoIOOperation(hosted.device->GetID(), stream.GetID(), 0,
                                            kAudioServerPlugInIOOperationProcessMix, 1, &kCycle, frame.data(),
                                            nullptr);
    }

    HostedDevice<> hosted;
    hal::Device& device = *hosted.device;
};

// The assembly of an output device: added before the device has an owner, the stream is owned,
// counted and listed before the call returns.
TEST_F(DeviceMembersTest, AStreamAddedBeforeTheDeviceIsOwnedIsMemberAtOnce)
{
    hal::StreamParameters parameters;
    const auto stream = device.AddStreamAsync(parameters);

    EXPECT_EQ(stream->GetOwnerID(), device.GetID());
    EXPECT_EQ(device.GetStreamIDs(kAudioObjectPropertyScopeOutput), IDs{stream->GetID()});
    EXPECT_EQ(device.GetStreamCount(hal::Direction::Output), 1u);
    EXPECT_EQ(device.GetStreamByID(stream->GetID()), stream);
    EXPECT_EQ(device.GetStreamByIndex(hal::Direction::Output, 0), stream);
    EXPECT_EQ(device.GetStreamByIndex(hal::Direction::Output, 1), nullptr);
    EXPECT_EQ(device.GetStreamByID(stream->GetID() + 100), nullptr);
    EXPECT_EQ(hosted.WillDo(kAudioServerPlugInIOOperationWriteMix), std::make_pair(true, true));
    EXPECT_EQ(hosted.RequestCount(), 0u);
}

TEST_F(DeviceMembersTest, StreamsFromADirectionNumberTheirChannelsPerDirection)
{
    const auto first = device.AddStreamAsync(hal::Direction::Output);
    const auto second = device.AddStreamAsync(hal::Direction::Output);
    const auto input = device.AddStreamAsync(hal::Direction::Input);

    EXPECT_EQ(first->GetStartingChannel(), 1u);
    EXPECT_EQ(second->GetStartingChannel(), 3u);
    EXPECT_EQ(input->GetStartingChannel(), 1u);
    EXPECT_EQ(input->GetDirection(), hal::Direction::Input);

    const AudioStreamBasicDescription format = first->GetPhysicalFormat();
    EXPECT_EQ(format.mSampleRate, device.GetNominalSampleRate());
    EXPECT_EQ(format.mFormatID, kAudioFormatLinearPCM);
    EXPECT_EQ(format.mFormatFlags, kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked);
    EXPECT_EQ(format.mBitsPerChannel, 16u);
    EXPECT_EQ(format.mChannelsPerFrame, 2u);
    EXPECT_EQ(format.mBytesPerFrame, 4u);
    EXPECT_EQ(format.mBytesPerPacket, 4u);
    EXPECT_EQ(format.mFramesPerPacket, 1u);
    EXPECT_EQ(first->GetLatency(), 0u);

    EXPECT_EQ(device.GetStreamCount(hal::Direction::Output), 2u);
    EXPECT_EQ(device.GetStreamByIndex(hal::Direction::Output, 1), second);
    // 'inpt' sorts before 'outp'.
    EXPECT_EQ(device.GetStreamIDs(kAudioObjectPropertyScopeGlobal),
              (IDs{input->GetID(), first->GetID(), second->GetID()}));
}

// Two views: the lookups and the IO operations follow the tables at once; the owned objects, the
// stream counts and with them WillDoIOOperation only when the host performs the change.
TEST_F(DeviceMembersTest, AnAddedStreamIsListedForTheHostOnlyWhenTheChangeRuns)
{
    hosted.OwnAndKnowHost();
    const auto stream = device.AddStreamAsync(hal::Direction::Output);

    EXPECT_EQ(device.GetStreamByID(stream->GetID()), stream);
    EXPECT_EQ(device.GetStreamCount(hal::Direction::Output), 1u);
    EXPECT_TRUE(device.GetStreamIDs(kAudioObjectPropertyScopeGlobal).empty());
    EXPECT_FALSE(stream->HasOwner());
    EXPECT_EQ(hosted.WillDo(kAudioServerPlugInIOOperationWriteMix), std::make_pair(false, false));

    EXPECT_EQ(hosted.PerformAll(), 1u);
    EXPECT_EQ(device.GetStreamIDs(kAudioObjectPropertyScopeOutput), IDs{stream->GetID()});
    EXPECT_EQ(stream->GetOwnerID(), device.GetID());
    EXPECT_EQ(hosted.WillDo(kAudioServerPlugInIOOperationWriteMix), std::make_pair(true, true));
}

// The host still lists a stream whose removal it has not performed, and may run IO for it until
// then: the device keeps serving it.
TEST_F(DeviceMembersTest, ARemovedStreamIsServedUntilTheHostPerformsTheRemoval)
{
    const auto stream = device.AddStreamAsync(hal::Direction::Output);
    hosted.OwnAndKnowHost();

    device.RemoveStreamAsync(stream);
    std::vector<Float32> frame{0.5f, -0.5f};
    EXPECT_EQ(ProcessOneFrame(*stream, frame), 0);
    EXPECT_EQ(device.GetStreamByID(stream->GetID()), stream);
    EXPECT_EQ(device.GetStreamIDs(kAudioObjectPropertyScopeGlobal), IDs{stream->GetID()});

    EXPECT_EQ(hosted.PerformAll(), 1u);
    EXPECT_EQ(ProcessOneFrame(*stream, frame), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(device.GetStreamByID(stream->GetID()), nullptr);
    EXPECT_EQ(device.GetStreamCount(hal::Direction::Output), 0u);
    EXPECT_TRUE(device.GetStreamIDs(kAudioObjectPropertyScopeGlobal).empty());
    EXPECT_FALSE(stream->HasOwner());
    EXPECT_EQ(hosted.WillDo(kAudioServerPlugInIOOperationWriteMix), std::make_pair(false, false));
}

TEST_F(DeviceMembersTest, AStreamWithControlsGetsAVolumeAndAMuteControlAppliedByItsProcessing)
{
    hosted.OwnAndKnowHost();
    const auto stream = device.AddStreamWithControlsAsync(hal::Direction::Output);
    ASSERT_EQ(device.GetVolumeControlCount(kAudioObjectPropertyScopeOutput), 1u);
    ASSERT_EQ(device.GetMuteControlCount(kAudioObjectPropertyScopeOutput), 1u);
    const auto volume = device.GetVolumeControlByIndex(kAudioObjectPropertyScopeOutput, 0);
    const auto mute = device.GetMuteControlByIndex(kAudioObjectPropertyScopeOutput, 0);
    EXPECT_EQ(device.GetVolumeControlByID(volume->GetID()), volume);
    EXPECT_EQ(device.GetMuteControlByID(mute->GetID()), mute);

    EXPECT_EQ(volume->GetScope(), UInt32{kAudioObjectPropertyScopeOutput});
    EXPECT_EQ(volume->GetRawRange().mMinimum, 0.0);
    EXPECT_EQ(volume->GetRawRange().mMaximum, 96.0);
    EXPECT_EQ(volume->GetDecibelRange().mMinimum, -96.0);
    EXPECT_EQ(volume->GetDecibelRange().mMaximum, 0.0);
    EXPECT_EQ(mute->GetScope(), UInt32{kAudioObjectPropertyScopeOutput});

    // Stream, volume, mute: three changes in that order.
    const auto requests = hosted.host.GetConfigurationChangeRequests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_TRUE(device.GetControlIDs(kAudioObjectPropertyScopeGlobal).empty());
    EXPECT_EQ(hosted.PerformAll(), 3u);
    EXPECT_EQ(device.GetControlIDs(kAudioObjectPropertyScopeGlobal).size(), 2u);
    EXPECT_EQ(device.GetStreamIDs(kAudioObjectPropertyScopeOutput), IDs{stream->GetID()});

    ASSERT_EQ(volume->SetScalarValue(0.25f), 0);
    std::vector<Float32> frame{0.5f, -0.5f};
    ASSERT_EQ(ProcessOneFrame(*stream, frame), 0);
    EXPECT_FLOAT_EQ(frame[0], 0.5f * volume->GetScalarValue());
    ASSERT_EQ(mute->SetIsMuted(true), 0);
    ASSERT_EQ(ProcessOneFrame(*stream, frame), 0);
    EXPECT_EQ(frame, (std::vector<Float32>{0.0f, 0.0f}));

    const auto input = device.AddStreamWithControlsAsync(hal::Direction::Input);
    EXPECT_EQ(device.GetVolumeControlByIndex(kAudioObjectPropertyScopeInput, 0)->GetScope(),
              UInt32{kAudioObjectPropertyScopeInput});
    EXPECT_EQ(device.GetMuteControlCount(kAudioObjectPropertyScopeInput), 1u);
    EXPECT_EQ(input->GetStartingChannel(), 1u);
}

// A removed control would otherwise go on being applied with nothing left to change it: a muted
// stream would stay silent for good.
TEST_F(DeviceMembersTest, RemovingAControlDetachesItFromEveryStreamThatHasIt)
{
    const auto stream = device.AddStreamWithControlsAsync(hal::Direction::Output);
    const auto other = device.AddStreamAsync(hal::Direction::Output);
    const auto volume = device.GetVolumeControlByIndex(kAudioObjectPropertyScopeOutput, 0);
    const auto mute = device.GetMuteControlByIndex(kAudioObjectPropertyScopeOutput, 0);
    // The other stream shares the mute control but has a volume control of its own.
    const auto otherVolume = device.AddVolumeControlAsync(kAudioObjectPropertyScopeOutput);
    other->AttachMuteControl(mute);
    other->AttachVolumeControl(otherVolume);
    ASSERT_EQ(mute->SetIsMuted(true), 0);
    ASSERT_EQ(volume->SetScalarValue(0.0f), 0);
    ASSERT_EQ(otherVolume->SetScalarValue(0.0f), 0);
    hosted.OwnAndKnowHost();

    device.RemoveMuteControlAsync(mute);
    device.RemoveVolumeControlAsync(volume);
    // Out of the tables at once, still attached and owned until the host performs.
    EXPECT_EQ(device.GetMuteControlByID(mute->GetID()), nullptr);
    EXPECT_EQ(device.GetVolumeControlCount(kAudioObjectPropertyScopeOutput), 1u);
    std::vector<Float32> frame{0.5f, -0.5f};
    ASSERT_EQ(ProcessOneFrame(*stream, frame), 0);
    EXPECT_EQ(frame, (std::vector<Float32>{0.0f, 0.0f}));
    EXPECT_EQ(mute->GetOwnerID(), device.GetID());

    EXPECT_EQ(hosted.PerformAll(), 2u);
    EXPECT_FALSE(mute->HasOwner());
    EXPECT_FALSE(volume->HasOwner());
    EXPECT_EQ(device.GetControlIDs(kAudioObjectPropertyScopeGlobal), IDs{otherVolume->GetID()});
    frame = {0.5f, -0.5f};
    ASSERT_EQ(ProcessOneFrame(*stream, frame), 0);
    EXPECT_EQ(frame, (std::vector<Float32>{0.5f, -0.5f})) << "neither control may still apply";
    frame = {0.5f, -0.5f};
    ASSERT_EQ(ProcessOneFrame(*other, frame), 0);
    EXPECT_EQ(frame, (std::vector<Float32>{0.0f, -0.0f})) << "the other stream keeps its own volume control";
}

// Members the device does not hold, or holds already, and null ones: traced, nothing requested,
// nothing changed.
TEST_F(DeviceMembersTest, NullDuplicateAndForeignMembersChangeNothing)
{
    const auto stream = device.AddStreamWithControlsAsync(hal::Direction::Output);
    const auto volume = device.GetVolumeControlByIndex(kAudioObjectPropertyScopeOutput, 0);
    const auto mute = device.GetMuteControlByIndex(kAudioObjectPropertyScopeOutput, 0);
    const auto foreignStream = hal::MakeObject<hal::Stream>(hosted.context, hosted.device, hal::StreamParameters{});
    const auto foreignVolume = hal::MakeObject<hal::VolumeControl>(hosted.context, hal::VolumeControlParameters{});
    const auto foreignMute = hal::MakeObject<hal::MuteControl>(hosted.context, hal::MuteControlParameters{});
    hosted.OwnAndKnowHost();

    struct Case
    {
        const char* description;
        std::function<void()> call;
        std::string message;
    };
    const std::string streamID = std::to_string(stream->GetID());
    const Case cases[] = {
        {"null stream added", [&] { device.AddStreamAsync(std::shared_ptr<hal::Stream>()); }, "stream is null"},
        {"null stream removed", [&] { device.RemoveStreamAsync(nullptr); }, "stream is null"},
        {"stream added twice", [&] { device.AddStreamAsync(stream); }, "stream " + streamID + " is already added"},
        {"foreign stream removed", [&] { device.RemoveStreamAsync(foreignStream); },
         "stream " + std::to_string(foreignStream->GetID()) + " is not a member"},
        {"null volume added", [&] { device.AddVolumeControlAsync(std::shared_ptr<hal::VolumeControl>()); },
         "control is null"},
        {"null mute removed", [&] { device.RemoveMuteControlAsync(nullptr); }, "control is null"},
        {"volume added twice", [&] { device.AddVolumeControlAsync(volume); },
         "control " + std::to_string(volume->GetID()) + " is already added"},
        {"mute added twice", [&] { device.AddMuteControlAsync(mute); },
         "control " + std::to_string(mute->GetID()) + " is already added"},
        {"foreign volume removed", [&] { device.RemoveVolumeControlAsync(foreignVolume); },
         "control " + std::to_string(foreignVolume->GetID()) + " is not a member"},
        {"foreign mute removed", [&] { device.RemoveMuteControlAsync(foreignMute); },
         "control " + std::to_string(foreignMute->GetID()) + " is not a member"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        hosted.tracer->ClearLines();
        c.call();
        EXPECT_EQ(hosted.RequestCount(), 0u);
        EXPECT_TRUE(hosted.TracedInOrder({c.message}));
    }
    EXPECT_EQ(device.GetStreamCount(hal::Direction::Output), 1u);
    EXPECT_EQ(device.GetVolumeControlCount(kAudioObjectPropertyScopeOutput), 1u);
    EXPECT_EQ(device.GetMuteControlCount(kAudioObjectPropertyScopeOutput), 1u);
    EXPECT_EQ(device.GetControlIDs(kAudioObjectPropertyScopeGlobal).size(), 2u);
}

// The host may say no: an addition, or a control's removal, that will never run leaves the tables
// as they were.
TEST_F(DeviceMembersTest, ARefusedChangeLeavesTheTablesAsTheyWere)
{
    const auto volume = device.AddVolumeControlAsync(kAudioObjectPropertyScopeOutput);
    hosted.OwnAndKnowHost();
    hosted.host.RefuseConfigurationChangesWith(kAudioHardwareUnspecifiedError);

    const auto stream = device.AddStreamAsync(hal::Direction::Output);
    const auto mute = device.AddMuteControlAsync(kAudioObjectPropertyScopeOutput);
    device.RemoveVolumeControlAsync(volume);

    EXPECT_EQ(device.GetStreamByID(stream->GetID()), nullptr);
    EXPECT_EQ(device.GetStreamCount(hal::Direction::Output), 0u);
    EXPECT_EQ(device.GetMuteControlCount(kAudioObjectPropertyScopeOutput), 0u);
    EXPECT_EQ(device.GetVolumeControlByID(volume->GetID()), volume);
    EXPECT_EQ(device.GetControlIDs(kAudioObjectPropertyScopeGlobal), IDs{volume->GetID()});
    EXPECT_EQ(hosted.RequestCount(), 3u);
    EXPECT_EQ(hosted.PerformAll(), 0u);
}

// The host may abort an addition and perform a removal, or perform them out of order: the
// counts follow the owned streams and never wrap below zero.
TEST_F(DeviceMembersTest, ChangesPerformedOutOfOrderOrAbortedKeepTheCountsTrue)
{
    hosted.OwnAndKnowHost();
    const auto stream = device.AddStreamAsync(hal::Direction::Output);
    device.RemoveStreamAsync(stream);
    const auto requests = hosted.host.TakePendingConfigurationChanges();
    ASSERT_EQ(requests.size(), 2u);

    // Removal first, then the addition: nothing is left to own.
    EXPECT_EQ(device.PerformConfigurationChange(device.GetID(), requests[1].changeAction, nullptr), 0);
    EXPECT_EQ(device.PerformConfigurationChange(device.GetID(), requests[0].changeAction, nullptr), 0);
    EXPECT_FALSE(stream->HasOwner());
    EXPECT_EQ(device.GetStreamCount(hal::Direction::Output), 0u);
    EXPECT_EQ(hosted.WillDo(kAudioServerPlugInIOOperationWriteMix), std::make_pair(false, false));

    // An aborted addition, then the removal of the stream that never became owned.
    const auto second = device.AddStreamAsync(hal::Direction::Output);
    ASSERT_EQ(hosted.host.AbortPendingConfigurationChanges().size(), 1u);
    device.RemoveStreamAsync(second);
    EXPECT_EQ(hosted.PerformAll(), 1u);
    EXPECT_EQ(device.GetStreamByID(second->GetID()), nullptr);
    EXPECT_EQ(hosted.WillDo(kAudioServerPlugInIOOperationWriteMix), std::make_pair(false, false));

    const auto third = device.AddStreamAsync(hal::Direction::Output);
    EXPECT_EQ(hosted.PerformAll(), 1u);
    EXPECT_EQ(hosted.WillDo(kAudioServerPlugInIOOperationWriteMix), std::make_pair(true, true));
    EXPECT_EQ(device.GetStreamIDs(kAudioObjectPropertyScopeOutput), IDs{third->GetID()});
}

TEST_F(DeviceMembersTest, MemberOperationsAreTraced)
{
    hosted.OwnAndKnowHost();
    const std::string id = std::to_string(device.GetID());
    const auto stream = device.AddStreamAsync(hal::Direction::Output);
    hosted.PerformAll();
    device.RemoveStreamAsync(stream);

    EXPECT_TRUE(hosted.TracedInOrder({
        "Device::AddStreamAsync() begin objectID=" + id,
        "Device::RequestConfigurationChange() enqueueing change reqID=0",
        "Device::AddStreamAsync() end status=OK",
        "Device::PerformConfigurationChange() performing queued change reqID=0",
        "Device::RemoveStreamAsync() begin objectID=" + id,
        "Device::RequestConfigurationChange() enqueueing change reqID=1",
        "Device::RemoveStreamAsync() end status=OK",
    }));
}

} // namespace
