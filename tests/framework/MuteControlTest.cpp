#include "hal/MuteControl.h"

#include "hal/CodeNames.h"
#include "hal/Context.h"
#include "hal/Dispatcher.h"
#include "hal/RealTime.h"
#include "hal/Tracer.h"

#include "CapturingTracer.h"
#include "TraceLines.h"
#include "TestHost.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace {

using hal::MakeObject;
using hal::MuteControl;
using hal::MuteControlParameters;
using pelio::test::CapturingTracer;
using pelio::test::MessagesOf;
using pelio::test::TestHost;
using Lines = std::vector<std::string>;

constexpr pid_t kClientPID = 52;

AudioObjectPropertyAddress Address(AudioObjectPropertySelector selector)
{
    return AudioObjectPropertyAddress{selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

// A control whose store refuses every value, as a derived control backed by hardware might.
class RefusingMuteControl : public MuteControl
{
public:
    RefusingMuteControl(std::shared_ptr<const hal::Context> context, const MuteControlParameters& parameters)
        : MuteControl(std::move(context), parameters)
    {
    }

protected:
    OSStatus SetIsMutedImpl(bool /*isMuted*/) override { return kAudioHardwareNotReadyError; }
};

// Answers every read of the flag with the other value, as a setter racing the IO thread could make
// it: a buffer processed with more than one read comes out partly cleared.
class FlickeringMuteControl : public MuteControl
{
public:
    FlickeringMuteControl(std::shared_ptr<const hal::Context> context, const MuteControlParameters& parameters)
        : MuteControl(std::move(context), parameters)
    {
    }

    bool GetIsMuted() const HAL_NONBLOCKING override { return ++reads % 2 == 1; }

    mutable int reads = 0;
};

// An output mute control; the host is known, so the setter notifies it.
class MuteControlTest : public ::testing::Test
{
protected:
    MuteControlTest()
    {
        mutableContext->Host.store(host.GetInterface(), std::memory_order_release);
        control = MakeObject<MuteControl>(context, MuteControlParameters{kAudioObjectPropertyScopeOutput});
        tracer->ClearLines();
    }

    OSStatus SetValue(UInt32 value)
    {
        const AudioObjectPropertyAddress address = Address(kAudioBooleanControlPropertyValue);
        return control->SetPropertyData(control->GetID(), kClientPID, &address, 0, nullptr, sizeof value, &value);
    }

    std::vector<TestHost::Notification> ValueChanged() const
    {
        return {{control->GetID(),
                 {{kAudioBooleanControlPropertyValue, kAudioObjectPropertyScopeOutput,
                   kAudioObjectPropertyElementMain}}}};
    }

    // Flat, so that lines compare without depth prefixes.
    std::shared_ptr<CapturingTracer> tracer =
        std::make_shared<CapturingTracer>(hal::Tracer::Mode::Stderr, hal::Tracer::Style::Flat);
    std::shared_ptr<hal::Context> mutableContext =
        std::make_shared<hal::Context>(tracer, std::make_shared<hal::Dispatcher>(nullptr, 1000));
    std::shared_ptr<const hal::Context> context = mutableContext;
    TestHost host;
    std::shared_ptr<MuteControl> control;
};

TEST_F(MuteControlTest, NewControlIsNotMutedAndLeavesBuffersUntouched)
{
    EXPECT_EQ(control->GetClass(), kAudioMuteControlClassID);
    EXPECT_EQ(control->GetBaseClass(), kAudioBooleanControlClassID);
    for (const AudioClassID classID :
         std::initializer_list<AudioClassID>{kAudioMuteControlClassID, kAudioBooleanControlClassID,
                                             kAudioControlClassID, kAudioObjectClassID}) {
        EXPECT_TRUE(control->IsInstance(classID)) << hal::ClassIDToString(classID);
    }
    for (const AudioClassID classID :
         std::initializer_list<AudioClassID>{kAudioVolumeControlClassID, kAudioLevelControlClassID,
                                             kAudioStreamClassID}) {
        EXPECT_FALSE(control->IsInstance(classID)) << hal::ClassIDToString(classID);
    }
    EXPECT_EQ(control->GetScope(), kAudioObjectPropertyScopeOutput);
    EXPECT_EQ(control->GetElement(), kAudioObjectPropertyElementMain);
    EXPECT_FALSE(control->GetIsMuted());

    std::vector<Float32> samples{0.5f, -1.5f, 2.0f, 0.25f};
    control->ApplyProcessing(samples.data(), 2, 2);
    EXPECT_EQ(samples, (std::vector<Float32>{0.5f, -1.5f, 2.0f, 0.25f}));
}

TEST_F(MuteControlTest, QueriesAnswerTheControlsSelectorsAndPassTheRestToTheBase)
{
    enum class Target { Self, OtherObject, NullAddress };
    struct Case {
        const char* description;
        AudioObjectPropertySelector selector;
        Target target;
        Boolean hasProperty;
        OSStatus status;  // of IsPropertySettable and GetPropertyDataSize
        Boolean isSettable;
        UInt32 size;
        Lines messages;  // of HasProperty, IsPropertySettable and GetPropertyDataSize in turn
    };
    constexpr Boolean kUntouched = 0xEE;
    constexpr UInt32 kUntouchedSize = 0xEEEEEEEE;
    const Lines readOnly{"returning HasProperty=true", "returning IsSettable=false", "returning PropertySize=4"};
    const Case cases[] = {
        {"value", kAudioBooleanControlPropertyValue, Target::Self, true, 0, true, 4,
         {"returning HasProperty=true", "returning IsSettable=true", "returning PropertySize=4"}},
        {"scope", kAudioControlPropertyScope, Target::Self, true, 0, false, 4, readOnly},
        {"element", kAudioControlPropertyElement, Target::Self, true, 0, false, 4, readOnly},
        {"base class, from the base", kAudioObjectPropertyBaseClass, Target::Self, true, 0, false, 4, readOnly},
        {"a volume selector", kAudioLevelControlPropertyScalarValue, Target::Self, false,
         kAudioHardwareUnknownPropertyError, kUntouched, kUntouchedSize,
         {"property not found", "property not found", "property not found"}},
        {"own selector of another object", kAudioBooleanControlPropertyValue, Target::OtherObject, false,
         kAudioHardwareBadObjectError, kUntouched, kUntouchedSize,
         {"object not found", "object not found", "object not found"}},
        {"null address", kAudioBooleanControlPropertyValue, Target::NullAddress, false,
         kAudioHardwareIllegalOperationError, kUntouched, kUntouchedSize,
         {"address is null", "address is null", "address is null"}},
    };

    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.description);
        // Scope and element are not looked at.
        const AudioObjectPropertyAddress address{testCase.selector, kAudioObjectPropertyScopeInput, 3};
        const AudioObjectPropertyAddress* addressPointer = testCase.target == Target::NullAddress ? nullptr : &address;
        const AudioObjectID objectID = testCase.target == Target::OtherObject ? control->GetID() + 1 : control->GetID();
        tracer->ClearLines();

        EXPECT_EQ(control->HasProperty(objectID, kClientPID, addressPointer), testCase.hasProperty);
        Boolean isSettable = kUntouched;
        EXPECT_EQ(control->IsPropertySettable(objectID, kClientPID, addressPointer, &isSettable), testCase.status);
        EXPECT_EQ(isSettable, testCase.isSettable);
        UInt32 size = kUntouchedSize;
        EXPECT_EQ(control->GetPropertyDataSize(objectID, kClientPID, addressPointer, 0, nullptr, &size),
                  testCase.status);
        EXPECT_EQ(size, testCase.size);
        EXPECT_EQ(MessagesOf(tracer->GetLines()), testCase.messages);
    }

    const AudioObjectPropertyAddress address = Address(kAudioBooleanControlPropertyValue);
    tracer->ClearLines();
    EXPECT_EQ(control->IsPropertySettable(control->GetID(), kClientPID, &address, nullptr), 0);
    EXPECT_EQ(control->GetPropertyDataSize(control->GetID(), kClientPID, &address, 0, nullptr, nullptr), 0);
    EXPECT_EQ(tracer->GetLines(),
              (Lines{"MuteControl::IsPropertySettable() begin kAudioBooleanControlPropertyValue clientPID=52 "
                     "objectID=2 scope=kAudioObjectPropertyScopeGlobal",
                     "output buffer is null", "MuteControl::IsPropertySettable() end status=OK",
                     "MuteControl::GetPropertyDataSize() begin kAudioBooleanControlPropertyValue clientPID=52 "
                     "objectID=2 scope=kAudioObjectPropertyScopeGlobal",
                     "output buffer is null", "MuteControl::GetPropertyDataSize() end status=OK"}));
}

TEST_F(MuteControlTest, GetPropertyDataWritesEachValueAndRefusesShortBuffers)
{
    ASSERT_EQ(control->SetIsMuted(true), 0);
    struct Case {
        AudioObjectPropertySelector selector;
        UInt32 offered;
        OSStatus status;
        UInt32 expected;  // the word written, or the untouched filling
        Lines messages;
    };
    constexpr UInt32 kUntouched = 0xEEEEEEEE;
    const Case cases[] = {
        {kAudioBooleanControlPropertyValue, 4, 0, 1, {"returning IsMuted=1"}},
        {kAudioControlPropertyScope, 4, 0, kAudioObjectPropertyScopeOutput, {"returning Scope=1869968496"}},
        {kAudioControlPropertyElement, 8, 0, 0, {"returning Element=0"}},
        {kAudioBooleanControlPropertyValue, 2, kAudioHardwareBadPropertySizeError, kUntouched,
         {"not enough space: need 4, avail 2"}},
        {kAudioControlPropertyScope, 0, kAudioHardwareBadPropertySizeError, kUntouched,
         {"not enough space: need 4, avail 0"}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(::testing::Message() << hal::PropertySelectorToString(testCase.selector) << " in "
                                          << testCase.offered << " bytes");
        const AudioObjectPropertyAddress address = Address(testCase.selector);
        // One byte in: the host's buffer need not be aligned for the value.
        std::vector<UInt8> buffer(9, 0xEE);
        UInt32 size = kUntouched;
        tracer->ClearLines();

        EXPECT_EQ(control->GetPropertyData(control->GetID(), kClientPID, &address, 0, nullptr, testCase.offered, &size,
                                           buffer.data() + 1),
                  testCase.status);

        UInt32 written = 0;
        std::memcpy(&written, buffer.data() + 1, sizeof written);
        EXPECT_EQ(written, testCase.expected);
        EXPECT_EQ(size, testCase.status == 0 ? 4u : kUntouched);
        EXPECT_EQ(MessagesOf(tracer->GetLines()), testCase.messages);
    }

    const AudioObjectPropertyAddress address = Address(kAudioBooleanControlPropertyValue);
    UInt32 value = 7;
    UInt32 size = 0;
    tracer->ClearLines();
    EXPECT_EQ(control->GetPropertyData(control->GetID(), kClientPID, &address, 0, nullptr, 4, nullptr, &value), 0);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(control->GetPropertyData(control->GetID(), kClientPID, &address, 0, nullptr, 4, &size, nullptr), 0);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(MessagesOf(tracer->GetLines()),
              (Lines{"size buffer is null", "returning IsMuted=1", "data buffer is null"}));
}

TEST_F(MuteControlTest, SettingTheValueMutesOnAnyNonZeroWordAndNotifiesOnlyChanges)
{
    EXPECT_EQ(SetValue(2), 0);
    EXPECT_TRUE(control->GetIsMuted());
    EXPECT_EQ(host.GetNotifications(), ValueChanged());
    EXPECT_EQ(tracer->GetLines(),
              (Lines{"MuteControl::SetPropertyData() begin kAudioBooleanControlPropertyValue clientPID=52 objectID=2 "
                     "scope=kAudioObjectPropertyScopeGlobal inSize=4",
                     "setting IsMuted=1", "MuteControl::SetIsMuted() begin objectID=2", "setting value to 1",
                     "Object::NotifyPropertiesChanged() sending notification for kAudioBooleanControlPropertyValue",
                     "MuteControl::SetIsMuted() end status=OK", "MuteControl::SetPropertyData() end status=OK"}));

    host.ClearNotifications();
    tracer->ClearLines();
    EXPECT_EQ(SetValue(1), 0);
    EXPECT_TRUE(host.GetNotifications().empty());
    EXPECT_EQ(MessagesOf(tracer->GetLines()), (Lines{"setting IsMuted=1", "value not changed"}));

    EXPECT_EQ(SetValue(0), 0);
    EXPECT_FALSE(control->GetIsMuted());
    EXPECT_EQ(SetValue(0x80000000), 0);
    EXPECT_TRUE(control->GetIsMuted());
    const std::vector<TestHost::Notification> twice{ValueChanged()[0], ValueChanged()[0]};
    EXPECT_EQ(host.GetNotifications(), twice);

    // Directly, without a host: stored, nobody to tell.
    auto quietContext = std::make_shared<const hal::Context>(tracer, std::make_shared<hal::Dispatcher>(nullptr, 1000));
    auto quiet = MakeObject<MuteControl>(quietContext, MuteControlParameters{kAudioObjectPropertyScopeInput});
    EXPECT_EQ(quiet->SetIsMuted(true), 0);
    EXPECT_TRUE(quiet->GetIsMuted());
    EXPECT_EQ(host.GetNotifications(), twice);
}

TEST_F(MuteControlTest, MalformedSetRequestsAreRefusedBeforeAnyChange)
{
    enum class Target { Self, OtherObject, NullAddress };
    struct Case {
        const char* description;
        AudioObjectPropertySelector selector;
        Target target;
        UInt32 size;
        bool withData;
        OSStatus status;
        Lines messages;
    };
    constexpr auto value = kAudioBooleanControlPropertyValue;
    const Case cases[] = {
        {"short value", value, Target::Self, 2, true, kAudioHardwareBadPropertySizeError,
         {"invalid size: should be 4, got 2"}},
        {"long value", value, Target::Self, 8, true, kAudioHardwareBadPropertySizeError,
         {"invalid size: should be 4, got 8"}},
        {"no data", value, Target::Self, 4, false, kAudioHardwareIllegalOperationError, {"input buffer is null"}},
        {"read-only scope", kAudioControlPropertyScope, Target::Self, 4, true, kAudioHardwareUnknownPropertyError,
         {"property not found"}},
        {"read-only element", kAudioControlPropertyElement, Target::Self, 4, true, kAudioHardwareUnknownPropertyError,
         {"property not found"}},
        {"another object", value, Target::OtherObject, 4, true, kAudioHardwareBadObjectError, {"object not found"}},
        {"null address", value, Target::NullAddress, 4, true, kAudioHardwareIllegalOperationError,
         {"address is null"}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.description);
        const AudioObjectPropertyAddress address = Address(testCase.selector);
        const UInt32 data[2] = {1, 1};
        const AudioObjectID objectID = testCase.target == Target::OtherObject ? control->GetID() + 1 : control->GetID();
        tracer->ClearLines();

        const AudioObjectPropertyAddress* addressPointer = testCase.target == Target::NullAddress ? nullptr : &address;

        EXPECT_EQ(control->SetPropertyData(objectID, kClientPID, addressPointer, 0, nullptr, testCase.size,
                                           testCase.withData ? data : nullptr),
                  testCase.status);

        EXPECT_FALSE(control->GetIsMuted());
        EXPECT_TRUE(host.GetNotifications().empty());
        EXPECT_EQ(MessagesOf(tracer->GetLines()), testCase.messages);
    }
}

TEST_F(MuteControlTest, StoreThatRefusesReachesTheHostAndNotifiesNothing)
{
    auto refusing = MakeObject<RefusingMuteControl>(context, MuteControlParameters{});
    const AudioObjectPropertyAddress address = Address(kAudioBooleanControlPropertyValue);
    const UInt32 muted = 1;
    tracer->ClearLines();

    EXPECT_EQ(refusing->SetIsMuted(true), kAudioHardwareNotReadyError);
    EXPECT_EQ(refusing->SetPropertyData(refusing->GetID(), kClientPID, &address, 0, nullptr, 4, &muted),
              kAudioHardwareNotReadyError);

    EXPECT_FALSE(refusing->GetIsMuted());
    EXPECT_TRUE(host.GetNotifications().empty());
    EXPECT_EQ(MessagesOf(tracer->GetLines()),
              (Lines{"setting value to 1", "setter failed", "setting IsMuted=1", "setting value to 1", "setter failed",
                     "setter failed"}));
    EXPECT_EQ(tracer->GetLines().back(), "MuteControl::SetPropertyData() end status=kAudioHardwareNotReadyError");
}

TEST_F(MuteControlTest, MutedProcessingClearsExactlyTheFramesGiven)
{
    ASSERT_EQ(control->SetIsMuted(true), 0);
    constexpr UInt32 kFrames = 512;
    constexpr UInt32 kChannels = 2;
    // 4096 bytes of samples between two guard samples.
    std::vector<Float32> buffer(kFrames * kChannels + 2, 0.75f);

    control->ApplyProcessing(buffer.data() + 1, kFrames, kChannels);

    EXPECT_EQ(buffer.front(), 0.75f);
    EXPECT_EQ(buffer.back(), 0.75f);
    std::vector<UInt8> cleared(kFrames * kChannels * sizeof(Float32));
    std::memcpy(cleared.data(), buffer.data() + 1, cleared.size());
    EXPECT_EQ(cleared, std::vector<UInt8>(4096, 0)) << "all bytes zero, no negative zeros";

    control->ApplyProcessing(nullptr, 0, 2);
    control->ApplyProcessing(nullptr, kFrames, kChannels);
}

TEST_F(MuteControlTest, ProcessingReadsTheFlagOncePerBuffer)
{
    auto flickering = MakeObject<FlickeringMuteControl>(context, MuteControlParameters{});
    std::vector<Float32> samples(8, 0.5f);

    flickering->ApplyProcessing(samples.data(), 4, 2);

    EXPECT_EQ(flickering->reads, 1);
    EXPECT_EQ(samples, std::vector<Float32>(8, 0.0f));
}

} // namespace
