#include "hal/VolumeControl.h"

#include "hal/CodeNames.h"
#include "hal/Context.h"
#include "hal/Dispatcher.h"
#include "hal/RealTime.h"
#include "hal/Tracer.h"

#include "CapturingTracer.h"
#include "TraceLines.h"
#include "TestHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

using hal::MakeObject;
using hal::VolumeControl;
using hal::VolumeControlParameters;
using pelio::test::CapturingTracer;
using pelio::test::MessagesOf;
using pelio::test::TestHost;
using Lines = std::vector<std::string>;
using Bytes = std::vector<UInt8>;

constexpr pid_t kClientPID = 51;
constexpr Float32 kNaN = std::numeric_limits<Float32>::quiet_NaN();
constexpr Float32 kInfinity = std::numeric_limits<Float32>::infinity();

template <class Value>
Bytes BytesOf(const Value& value)
{
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

AudioObjectPropertyAddress Address(AudioObjectPropertySelector selector,
                                   AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal)
{
    return AudioObjectPropertyAddress{selector, scope, kAudioObjectPropertyElementMain};
}

// A control whose store refuses every value, as a derived control backed by hardware might.
class RefusingVolumeControl : public VolumeControl
{
public:
    RefusingVolumeControl(std::shared_ptr<const hal::Context> context, const VolumeControlParameters& parameters)
        : VolumeControl(std::move(context), parameters)
    {
    }

protected:
    OSStatus SetRawValueImpl(SInt32 /*rawValue*/) override { return kAudioHardwareNotReadyError; }
};

// Answers every read of the gain with another value, as a setter racing the IO thread could make
// it: a buffer processed with more than one read shows two gains.
class DriftingVolumeControl : public VolumeControl
{
public:
    DriftingVolumeControl(std::shared_ptr<const hal::Context> context, const VolumeControlParameters& parameters)
        : VolumeControl(std::move(context), parameters)
    {
    }

    Float32 GetScalarValue() const HAL_NONBLOCKING override { return ++reads % 2 == 1 ? 0.5f : 0.25f; }

    mutable int reads = 0;
};

// A control with the range a device gives the controls it creates with a stream: raw 0 to 96,
// -96 dB to 0 dB. The host is known, so setters notify it.
class VolumeControlTest : public ::testing::Test
{
protected:
    VolumeControlTest()
    {
        mutableContext->Host.store(host.GetInterface(), std::memory_order_release);
        control = MakeObject<VolumeControl>(context, VolumeControlParameters{});
        tracer->ClearLines();
    }

    // Sets the raw value without leaving lines or notifications behind.
    void StartAt(SInt32 rawValue)
    {
        ASSERT_EQ(control->SetRawValue(rawValue), 0);
        ASSERT_EQ(control->GetRawValue(), rawValue);
        tracer->ClearLines();
        host.ClearNotifications();
    }

    OSStatus SetLevel(AudioObjectPropertySelector selector, Float32 value)
    {
        const AudioObjectPropertyAddress address = Address(selector);
        return control->SetPropertyData(control->GetID(), kClientPID, &address, 0, nullptr, sizeof value, &value);
    }

    std::vector<TestHost::Notification> LevelChanged(AudioObjectPropertyScope scope = kAudioObjectPropertyScopeOutput)
    {
        return {{control->GetID(),
                 {{kAudioLevelControlPropertyScalarValue, scope, kAudioObjectPropertyElementMain},
                  {kAudioLevelControlPropertyDecibelValue, scope, kAudioObjectPropertyElementMain}}}};
    }

    // Flat, so that lines compare without depth prefixes.
    std::shared_ptr<CapturingTracer> tracer =
        std::make_shared<CapturingTracer>(hal::Tracer::Mode::Stderr, hal::Tracer::Style::Flat);
    std::shared_ptr<hal::Context> mutableContext =
        std::make_shared<hal::Context>(tracer, std::make_shared<hal::Dispatcher>(nullptr, 1000));
    std::shared_ptr<const hal::Context> context = mutableContext;
    TestHost host;
    std::shared_ptr<VolumeControl> control;
};

// ---- Identity and values -----------------------------------------------------------------------

TEST_F(VolumeControlTest, NewControlWithTheDeviceRangePlaysAtFullVolume)
{
    EXPECT_EQ(control->GetClass(), kAudioVolumeControlClassID);
    EXPECT_EQ(control->GetBaseClass(), kAudioLevelControlClassID);
    for (const AudioClassID classID :
         std::initializer_list<AudioClassID>{kAudioVolumeControlClassID, kAudioLevelControlClassID,
                                             kAudioControlClassID, kAudioObjectClassID}) {
        EXPECT_TRUE(control->IsInstance(classID)) << hal::ClassIDToString(classID);
    }
    for (const AudioClassID classID :
         std::initializer_list<AudioClassID>{kAudioMuteControlClassID, kAudioBooleanControlClassID,
                                             kAudioStreamClassID}) {
        EXPECT_FALSE(control->IsInstance(classID)) << hal::ClassIDToString(classID);
    }

    EXPECT_EQ(control->GetScope(), kAudioObjectPropertyScopeOutput);
    EXPECT_EQ(control->GetElement(), kAudioObjectPropertyElementMain);
    EXPECT_EQ(control->GetRawValue(), 96);
    EXPECT_EQ(control->GetDecibelValue(), 0.0f);
    EXPECT_EQ(control->GetScalarValue(), 1.0f);
    EXPECT_EQ(control->GetRawRange().mMinimum, 0.0);
    EXPECT_EQ(control->GetRawRange().mMaximum, 96.0);
    EXPECT_EQ(control->GetDecibelRange().mMinimum, -96.0);
    EXPECT_EQ(control->GetDecibelRange().mMaximum, 0.0);

    auto second = MakeObject<VolumeControl>(context, VolumeControlParameters{});
    EXPECT_EQ(tracer->GetLines(), Lines{"VolumeControl::VolumeControl() objectID=3"});
}

TEST_F(VolumeControlTest, ConversionsClampTheirInputAndChangeNothing)
{
    struct Case {
        Float32 input;
        Float32 decibelsOfScalar;
        Float32 scalarOfDecibels;
    };
    // Exponent 2: scalar 0.25 is raw position 0.5, raw 48, -48 dB; -6 dB is raw 90, (90/96)^2.
    const Case cases[] = {
        {0.0f, -96.0f, 1.0f},          {0.25f, -48.0f, 1.0f},         {1.0f, 0.0f, 1.0f},
        {-6.0f, -96.0f, 0.87890625f},  {2.0f, 0.0f, 1.0f},            {3.0f, 0.0f, 1.0f},
        {-120.0f, -96.0f, 0.0f},       {kInfinity, 0.0f, 1.0f},       {-kInfinity, -96.0f, 0.0f},
        // A value that names no level converts as the lowest one.
        {kNaN, -96.0f, 0.0f},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.input);
        EXPECT_FLOAT_EQ(control->ConvertScalarToDecibels(testCase.input), testCase.decibelsOfScalar);
        EXPECT_FLOAT_EQ(control->ConvertDecibelsToScalar(testCase.input), testCase.scalarOfDecibels);
    }
    EXPECT_EQ(control->GetRawValue(), 96);
    EXPECT_TRUE(host.GetNotifications().empty());
}

TEST(VolumeControlRangeTest, RangeTheCurveRefusesLeavesASilentControl)
{
    struct Case {
        const char* description;
        VolumeControlParameters parameters;
    };
    const Case cases[] = {
        {"raw range of no width", {kAudioObjectPropertyScopeOutput, 96, 96, -96.0f, 0.0f}},
        {"raw range upside down", {kAudioObjectPropertyScopeOutput, 96, 0, -96.0f, 0.0f}},
        {"decibels falling", {kAudioObjectPropertyScopeOutput, 0, 96, 0.0f, -96.0f}},
        {"NaN decibels", {kAudioObjectPropertyScopeOutput, 0, 96, kNaN, 0.0f}},
        {"infinite decibels", {kAudioObjectPropertyScopeOutput, 0, 96, -kInfinity, 0.0f}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.description);
        auto tracer = std::make_shared<CapturingTracer>(hal::Tracer::Mode::Stderr, hal::Tracer::Style::Flat);
        auto context = std::make_shared<const hal::Context>(tracer, std::make_shared<hal::Dispatcher>(nullptr, 1000));

        auto control = MakeObject<VolumeControl>(context, testCase.parameters);

        const Lines lines = tracer->GetLines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[1].rfind("VolumeControl::VolumeControl() objectID=2 refused the volume range raw ", 0), 0u)
            << lines[1];
        EXPECT_EQ(control->GetRawValue(), 0);
        EXPECT_EQ(control->GetScalarValue(), 0.0f);
        EXPECT_EQ(control->GetDecibelValue(), 0.0f);
        EXPECT_EQ(control->GetRawRange().mMaximum, 0.0);

        // No request makes it louder than silent.
        EXPECT_EQ(control->SetScalarValue(1.0f), 0);
        EXPECT_EQ(control->SetRawValue(96), 0);
        EXPECT_EQ(control->GetRawValue(), 0);
        std::array<Float32, 2> samples{1.0f, -0.5f};
        control->ApplyProcessing(samples.data(), 1, 2);
        EXPECT_EQ(samples, (std::array<Float32, 2>{0.0f, 0.0f}));
    }

    auto tracer = std::make_shared<CapturingTracer>(hal::Tracer::Mode::Stderr, hal::Tracer::Style::Flat);
    auto context = std::make_shared<const hal::Context>(tracer, std::make_shared<hal::Dispatcher>(nullptr, 1000));
    const VolumeControlParameters noWidth{kAudioObjectPropertyScopeInput, 5, 5, -3.0f, 0.0f};
    auto control = MakeObject<VolumeControl>(context, noWidth);
    EXPECT_EQ(tracer->GetLines().back(), "VolumeControl::VolumeControl() objectID=2 refused the volume range raw 5..5, "
                                         "-3.000000..0.000000 dB: the control stays silent");
}

// ---- Property protocol -------------------------------------------------------------------------

TEST_F(VolumeControlTest, QueriesAnswerTheControlsSelectorsAndPassTheRestToTheBase)
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
    const Lines settable{"returning HasProperty=true", "returning IsSettable=true", "returning PropertySize=4"};
    const Case cases[] = {
        {"scope", kAudioControlPropertyScope, Target::Self, true, 0, false, 4, readOnly},
        {"element", kAudioControlPropertyElement, Target::Self, true, 0, false, 4, readOnly},
        {"scalar value", kAudioLevelControlPropertyScalarValue, Target::Self, true, 0, true, 4, settable},
        {"decibel value", kAudioLevelControlPropertyDecibelValue, Target::Self, true, 0, true, 4, settable},
        {"decibel range", kAudioLevelControlPropertyDecibelRange, Target::Self, true, 0, false, 16,
         {"returning HasProperty=true", "returning IsSettable=false", "returning PropertySize=16"}},
        {"scalar to decibels", kAudioLevelControlPropertyConvertScalarToDecibels, Target::Self, true, 0, false, 4,
         readOnly},
        {"decibels to scalar", kAudioLevelControlPropertyConvertDecibelsToScalar, Target::Self, true, 0, false, 4,
         readOnly},
        {"class, from the base", kAudioObjectPropertyClass, Target::Self, true, 0, false, 4, readOnly},
        {"unknown selector", 'zzzz', Target::Self, false, kAudioHardwareUnknownPropertyError, kUntouched,
         kUntouchedSize, {"property not found", "property not found", "property not found"}},
        {"own selector of another object", kAudioLevelControlPropertyScalarValue, Target::OtherObject, false,
         kAudioHardwareBadObjectError, kUntouched, kUntouchedSize,
         {"object not found", "object not found", "object not found"}},
        {"null address", kAudioLevelControlPropertyScalarValue, Target::NullAddress, false,
         kAudioHardwareIllegalOperationError, kUntouched, kUntouchedSize,
         {"address is null", "address is null", "address is null"}},
    };

    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.description);
        // Scope and element are not looked at.
        const AudioObjectPropertyAddress address{testCase.selector, kAudioObjectPropertyScopeInput, 7};
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
}

TEST_F(VolumeControlTest, QueriesAreTracedUnderTheControlsNameAndNullOutputsSucceed)
{
    const AudioObjectPropertyAddress address = Address(kAudioLevelControlPropertyDecibelRange);

    EXPECT_EQ(control->IsPropertySettable(control->GetID(), kClientPID, &address, nullptr), 0);
    EXPECT_EQ(control->GetPropertyDataSize(control->GetID(), kClientPID, &address, 0, nullptr, nullptr), 0);

    EXPECT_EQ(tracer->GetLines(),
              (Lines{"VolumeControl::IsPropertySettable() begin kAudioLevelControlPropertyDecibelRange clientPID=51 "
                     "objectID=2 scope=kAudioObjectPropertyScopeGlobal",
                     "output buffer is null", "VolumeControl::IsPropertySettable() end status=OK",
                     "VolumeControl::GetPropertyDataSize() begin kAudioLevelControlPropertyDecibelRange clientPID=51 "
                     "objectID=2 scope=kAudioObjectPropertyScopeGlobal",
                     "output buffer is null", "VolumeControl::GetPropertyDataSize() end status=OK"}));
}

TEST_F(VolumeControlTest, GetPropertyDataWritesEachValueWithItsMessage)
{
    StartAt(48);
    struct Case {
        AudioObjectPropertySelector selector;
        Bytes input;  // what the host leaves in the buffer
        Bytes expected;
        Lines messages;
    };
    const Bytes none;
    const Case cases[] = {
        {kAudioControlPropertyScope, none, BytesOf(UInt32{kAudioObjectPropertyScopeOutput}),
         {"returning Scope=1869968496"}},
        {kAudioControlPropertyElement, none, BytesOf(UInt32{0}), {"returning Element=0"}},
        {kAudioLevelControlPropertyScalarValue, none, BytesOf(0.25f), {"returning ScalarValue=0.250000"}},
        {kAudioLevelControlPropertyDecibelValue, none, BytesOf(-48.0f), {"returning DecibelValue=-48.000000"}},
        {kAudioLevelControlPropertyDecibelRange, none, BytesOf(AudioValueRange{-96.0, 0.0}),
         {"returning DecibelRange={min:-96 max:0}"}},
        {kAudioLevelControlPropertyConvertScalarToDecibels, BytesOf(0.25f), BytesOf(-48.0f),
         {"obtained input ScalarToDecibels=0.250000", "returning ScalarToDecibels=-48.000000"}},
        {kAudioLevelControlPropertyConvertDecibelsToScalar, BytesOf(-6.0f), BytesOf(0.87890625f),
         {"obtained input DecibelsToScalar=-6.000000", "returning DecibelsToScalar=0.878906"}},
        // The conversion of a NaN input gives the lowest value, like every conversion of the curve.
        {kAudioLevelControlPropertyConvertDecibelsToScalar, BytesOf(kNaN), BytesOf(0.0f),
         {"obtained input DecibelsToScalar=nan", "returning DecibelsToScalar=0.000000"}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(hal::PropertySelectorToString(testCase.selector));
        const AudioObjectPropertyAddress address = Address(testCase.selector);
        const UInt32 valueSize = static_cast<UInt32>(testCase.expected.size());
        // One byte in: the host's buffer need not be aligned for the value.
        Bytes buffer(valueSize + 1, 0xEE);
        std::copy(testCase.input.begin(), testCase.input.end(), buffer.begin() + 1);
        UInt32 size = 0;
        tracer->ClearLines();

        EXPECT_EQ(control->GetPropertyData(control->GetID(), kClientPID, &address, 0, nullptr, valueSize, &size,
                                           buffer.data() + 1),
                  0);
        EXPECT_EQ(size, valueSize);
        EXPECT_EQ(Bytes(buffer.begin() + 1, buffer.end()), testCase.expected);
        EXPECT_EQ(buffer[0], 0xEE);
        EXPECT_EQ(MessagesOf(tracer->GetLines()), testCase.messages);
    }
    EXPECT_EQ(control->GetRawValue(), 48) << "reads change nothing";
}

TEST_F(VolumeControlTest, GetPropertyDataRefusesShortBuffersAndSkipsMissingOutputs)
{
    struct Case {
        AudioObjectPropertySelector selector;
        UInt32 offered;
        Lines messages;
    };
    const Case tooSmall[] = {
        {kAudioControlPropertyScope, 3, {"not enough space: need 4, avail 3"}},
        {kAudioLevelControlPropertyScalarValue, 0, {"not enough space: need 4, avail 0"}},
        {kAudioLevelControlPropertyConvertScalarToDecibels, 3, {"not enough space: need 4, avail 3"}},
        {kAudioLevelControlPropertyDecibelRange, 12, {"not enough space: need 16, avail 12"}},
    };
    for (const Case& testCase : tooSmall) {
        SCOPED_TRACE(hal::PropertySelectorToString(testCase.selector));
        const AudioObjectPropertyAddress address = Address(testCase.selector);
        Bytes buffer(16, 0xEE);
        UInt32 size = 0xEEEEEEEE;
        tracer->ClearLines();

        EXPECT_EQ(control->GetPropertyData(control->GetID(), kClientPID, &address, 0, nullptr, testCase.offered, &size,
                                           buffer.data()),
                  kAudioHardwareBadPropertySizeError);
        EXPECT_EQ(size, 0xEEEEEEEE);
        EXPECT_EQ(buffer, Bytes(16, 0xEE));
        EXPECT_EQ(MessagesOf(tracer->GetLines()), testCase.messages);
    }

    const AudioObjectPropertyAddress address = Address(kAudioLevelControlPropertyDecibelValue);
    Float32 decibels = 1.0f;
    tracer->ClearLines();
    EXPECT_EQ(control->GetPropertyData(control->GetID(), kClientPID, &address, 0, nullptr, 4, nullptr, &decibels), 0);
    EXPECT_EQ(decibels, 0.0f);
    UInt32 size = 0;
    EXPECT_EQ(control->GetPropertyData(control->GetID(), kClientPID, &address, 0, nullptr, 4, &size, nullptr), 0);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(MessagesOf(tracer->GetLines()),
              (Lines{"size buffer is null", "returning DecibelValue=0.000000", "data buffer is null"}));
}

// ---- Setters -----------------------------------------------------------------------------------

TEST_F(VolumeControlTest, SettingALevelThroughTheHostStoresTheNearestRawStepAndNotifies)
{
    struct Case {
        AudioObjectPropertySelector selector;
        Float32 value;
        SInt32 startRaw;
        SInt32 expectedRaw;
    };
    constexpr auto scalar = kAudioLevelControlPropertyScalarValue;
    constexpr auto decibels = kAudioLevelControlPropertyDecibelValue;
    const Case cases[] = {
        {scalar, 0.5f, 96, 68},       {scalar, 0.0f, 96, 0},       {scalar, 1.0f, 0, 96},
        {scalar, 2.0f, 0, 96},        {scalar, -1.0f, 96, 0},      {scalar, kInfinity, 0, 96},
        {decibels, -6.0f, 96, 90},    {decibels, 3.0f, 50, 96},    {decibels, -120.0f, 96, 0},
        {decibels, -kInfinity, 96, 0}, {decibels, kInfinity, 0, 96},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(::testing::Message() << hal::PropertySelectorToString(testCase.selector) << " "
                                          << testCase.value << " from raw " << testCase.startRaw);
        StartAt(testCase.startRaw);

        EXPECT_EQ(SetLevel(testCase.selector, testCase.value), 0);

        EXPECT_EQ(control->GetRawValue(), testCase.expectedRaw);
        EXPECT_EQ(host.GetNotifications(), LevelChanged());
    }

    // The worked example: what reads back after setting the scalar 0.5.
    StartAt(96);
    ASSERT_EQ(SetLevel(scalar, 0.5f), 0);
    EXPECT_FLOAT_EQ(control->GetScalarValue(), 0.5017361f);
    EXPECT_FLOAT_EQ(control->GetDecibelValue(), -28.0f);
    EXPECT_EQ(tracer->GetLines(),
              (Lines{"VolumeControl::SetPropertyData() begin kAudioLevelControlPropertyScalarValue clientPID=51 "
                     "objectID=2 scope=kAudioObjectPropertyScopeGlobal inSize=4",
                     "setting ScalarValue=0.500000", "VolumeControl::SetScalarValue() begin objectID=2",
                     "VolumeControl::SetRawValue() begin objectID=2", "setting raw value to 68",
                     "Object::NotifyPropertiesChanged() sending notification for "
                     "kAudioLevelControlPropertyScalarValue, kAudioLevelControlPropertyDecibelValue",
                     "VolumeControl::SetRawValue() end status=OK", "VolumeControl::SetScalarValue() end status=OK",
                     "VolumeControl::SetPropertyData() end status=OK"}));
}

// A level that is not a number must never raise the volume. A NaN decibel value, which the
// curve's walk would take as its loudest step, is refused; a NaN scalar sets the lowest step.
TEST_F(VolumeControlTest, LevelsThatAreNotANumberNeverRaiseTheVolume)
{
    struct Case {
        AudioObjectPropertySelector selector;
        Float32 value;
    };
    const Float32 negativeNaN = -kNaN;
    const Float32 signalingNaN = std::numeric_limits<Float32>::signaling_NaN();
    const Case cases[] = {
        {kAudioLevelControlPropertyDecibelValue, kNaN},
        {kAudioLevelControlPropertyDecibelValue, negativeNaN},
        {kAudioLevelControlPropertyDecibelValue, signalingNaN},
        {kAudioLevelControlPropertyScalarValue, kNaN},
        {kAudioLevelControlPropertyScalarValue, negativeNaN},
        {kAudioLevelControlPropertyScalarValue, signalingNaN},
    };
    // At a low volume, where taking NaN as the loudest level would show, and at full volume.
    for (const SInt32 startRaw : {10, 96}) {
        for (const Case& testCase : cases) {
            SCOPED_TRACE(::testing::Message() << hal::PropertySelectorToString(testCase.selector) << " "
                                              << testCase.value << " from raw " << startRaw);
            StartAt(startRaw);

            if (testCase.selector == kAudioLevelControlPropertyDecibelValue) {
                EXPECT_EQ(SetLevel(testCase.selector, testCase.value), kAudioHardwareIllegalOperationError);
                EXPECT_EQ(control->GetRawValue(), startRaw);
                EXPECT_TRUE(host.GetNotifications().empty());
            } else {
                EXPECT_EQ(SetLevel(testCase.selector, testCase.value), 0);
                EXPECT_EQ(control->GetRawValue(), 0);
                EXPECT_EQ(control->GetScalarValue(), 0.0f);
                EXPECT_EQ(host.GetNotifications(), LevelChanged());
            }
        }
    }

    StartAt(10);
    EXPECT_EQ(control->SetDecibelValue(kNaN), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(SetLevel(kAudioLevelControlPropertyDecibelValue, kNaN), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(control->GetRawValue(), 10);
    EXPECT_EQ(control->SetScalarValue(kNaN), 0);
    EXPECT_EQ(control->GetRawValue(), 0);
    EXPECT_EQ(MessagesOf(tracer->GetLines()),
              (Lines{"refusing a decibel value that is not a number", "setting DecibelValue=nan",
                     "refusing a decibel value that is not a number", "setter failed", "setting raw value to 0",
                     "Object::NotifyPropertiesChanged() sending notification for "
                     "kAudioLevelControlPropertyScalarValue, kAudioLevelControlPropertyDecibelValue"}));
}

TEST_F(VolumeControlTest, MalformedSetRequestsAreRefusedBeforeAnyChange)
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
    constexpr auto scalar = kAudioLevelControlPropertyScalarValue;
    const Case cases[] = {
        {"short value", scalar, Target::Self, 2, true, kAudioHardwareBadPropertySizeError,
         {"invalid size: should be 4, got 2"}},
        {"long value", kAudioLevelControlPropertyDecibelValue, Target::Self, 8, true,
         kAudioHardwareBadPropertySizeError, {"invalid size: should be 4, got 8"}},
        {"no data", scalar, Target::Self, 4, false, kAudioHardwareIllegalOperationError, {"input buffer is null"}},
        {"read-only decibel range", kAudioLevelControlPropertyDecibelRange, Target::Self, 4, true,
         kAudioHardwareUnknownPropertyError, {"property not found"}},
        {"read-only scope", kAudioControlPropertyScope, Target::Self, 4, true, kAudioHardwareUnknownPropertyError,
         {"property not found"}},
        {"read-only conversion", kAudioLevelControlPropertyConvertScalarToDecibels, Target::Self, 4, true,
         kAudioHardwareUnknownPropertyError, {"property not found"}},
        {"another object", scalar, Target::OtherObject, 4, true, kAudioHardwareBadObjectError, {"object not found"}},
        {"null address", scalar, Target::NullAddress, 4, true, kAudioHardwareIllegalOperationError,
         {"address is null"}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.description);
        StartAt(10);
        const AudioObjectPropertyAddress address = Address(testCase.selector);
        const std::array<Float32, 2> value{0.0f, 0.0f};
        const AudioObjectID objectID = testCase.target == Target::OtherObject ? control->GetID() + 1 : control->GetID();

        const AudioObjectPropertyAddress* addressPointer = testCase.target == Target::NullAddress ? nullptr : &address;

        EXPECT_EQ(control->SetPropertyData(objectID, kClientPID, addressPointer, 0, nullptr, testCase.size,
                                           testCase.withData ? value.data() : nullptr),
                  testCase.status);

        EXPECT_EQ(control->GetRawValue(), 10);
        EXPECT_TRUE(host.GetNotifications().empty());
        EXPECT_EQ(MessagesOf(tracer->GetLines()), testCase.messages);
    }
}

TEST_F(VolumeControlTest, SetRawValueComparesBeforeClampingAndNotifiesEveryStore)
{
    EXPECT_EQ(control->SetRawValue(200), 0);
    EXPECT_EQ(control->GetRawValue(), 96);
    EXPECT_EQ(host.GetNotifications(), LevelChanged()) << "notified although clamping kept the value";

    host.ClearNotifications();
    EXPECT_EQ(control->SetRawValue(96), 0);
    EXPECT_TRUE(host.GetNotifications().empty());

    EXPECT_EQ(control->SetRawValue(-5), 0);
    EXPECT_EQ(control->GetRawValue(), 0);
    EXPECT_EQ(host.GetNotifications(), LevelChanged());

    EXPECT_EQ(MessagesOf(tracer->GetLines()),
              (Lines{"setting raw value to 200",
                     "Object::NotifyPropertiesChanged() sending notification for "
                     "kAudioLevelControlPropertyScalarValue, kAudioLevelControlPropertyDecibelValue",
                     "value not changed", "setting raw value to -5",
                     "Object::NotifyPropertiesChanged() sending notification for "
                     "kAudioLevelControlPropertyScalarValue, kAudioLevelControlPropertyDecibelValue"}));
}

TEST_F(VolumeControlTest, ControlOfTheInputScopeReportsAndNotifiesInItsScope)
{
    auto input = MakeObject<VolumeControl>(context, VolumeControlParameters{.Scope = kAudioObjectPropertyScopeInput});
    const AudioObjectPropertyAddress address = Address(kAudioControlPropertyScope);
    UInt32 scope = 0;
    UInt32 size = 0;

    ASSERT_EQ(input->GetPropertyData(input->GetID(), kClientPID, &address, 0, nullptr, 4, &size, &scope), 0);
    EXPECT_EQ(scope, kAudioObjectPropertyScopeInput);
    ASSERT_EQ(input->SetDecibelValue(-6.0f), 0);
    const std::vector<TestHost::Notification> notifications = host.GetNotifications();
    ASSERT_EQ(notifications.size(), 1u);
    EXPECT_EQ(notifications[0].objectID, input->GetID());
    EXPECT_EQ(notifications[0].addresses.size(), 2u);
    for (const AudioObjectPropertyAddress& changed : notifications[0].addresses) {
        EXPECT_EQ(changed.mScope, kAudioObjectPropertyScopeInput);
    }
}

TEST_F(VolumeControlTest, SetterWithoutAKnownHostStoresWithoutNotifying)
{
    auto quietContext = std::make_shared<const hal::Context>(tracer, std::make_shared<hal::Dispatcher>(nullptr, 1000));
    auto quiet = MakeObject<VolumeControl>(quietContext, VolumeControlParameters{});

    EXPECT_EQ(quiet->SetScalarValue(0.5f), 0);
    EXPECT_EQ(quiet->GetRawValue(), 68);
    EXPECT_TRUE(host.GetNotifications().empty());
}

TEST_F(VolumeControlTest, StoreThatRefusesReachesEverySetterAndNotifiesNothing)
{
    auto refusing = MakeObject<RefusingVolumeControl>(context, VolumeControlParameters{});
    const AudioObjectPropertyAddress address = Address(kAudioLevelControlPropertyDecibelValue);
    const Float32 decibels = -6.0f;
    tracer->ClearLines();

    EXPECT_EQ(refusing->SetRawValue(10), kAudioHardwareNotReadyError);
    EXPECT_EQ(refusing->SetScalarValue(0.5f), kAudioHardwareNotReadyError);
    EXPECT_EQ(refusing->SetDecibelValue(-6.0f), kAudioHardwareNotReadyError);
    EXPECT_EQ(refusing->SetPropertyData(refusing->GetID(), kClientPID, &address, 0, nullptr, 4, &decibels),
              kAudioHardwareNotReadyError);
    // Unchanged values are compared before the store is asked.
    EXPECT_EQ(refusing->SetRawValue(96), 0);

    EXPECT_EQ(refusing->GetRawValue(), 96);
    EXPECT_TRUE(host.GetNotifications().empty());
    EXPECT_EQ(MessagesOf(tracer->GetLines()),
              (Lines{"setting raw value to 10", "SetRawValueImpl() failed", "setting raw value to 68",
                     "SetRawValueImpl() failed", "setting raw value to 90", "SetRawValueImpl() failed",
                     "setting DecibelValue=-6.000000", "setting raw value to 90", "SetRawValueImpl() failed",
                     "setter failed", "value not changed"}));
    EXPECT_EQ(tracer->GetLines().back(), "VolumeControl::SetRawValue() end status=OK");
}

// ---- Processing --------------------------------------------------------------------------------

TEST_F(VolumeControlTest, ProcessingScalesByTheScalarValueAndLimitsEverySample)
{
    struct Case {
        const char* description;
        SInt32 raw;
        std::vector<Float32> input;
        std::vector<Float32> expected;
    };
    const Case cases[] = {
        {"unity", 96, {0.5f, -0.5f, 1.0f, -1.0f, 0.0f, 0.123f}, {0.5f, -0.5f, 1.0f, -1.0f, 0.0f, 0.123f}},
        {"unity, beyond full scale", 96, {1.5f, -1.5f, 100.0f, -kInfinity}, {1.0f, -1.0f, 1.0f, -1.0f}},
        // Raw 48 of 96 with exponent 2: gain 0.25.
        {"attenuated", 48, {1.0f, -0.5f, 0.25f, -1.0f}, {0.25f, -0.125f, 0.0625f, -0.25f}},
        {"attenuated, beyond full scale", 48, {8.0f, -8.0f, 4.0f, 2.0f}, {1.0f, -1.0f, 1.0f, 0.5f}},
        {"minimum", 0, {1.0f, -0.75f, 1e30f, 0.5f}, {0.0f, 0.0f, 0.0f, 0.0f}},
        // Never NaN out, never a full-scale sample for a NaN in.
        {"NaN at unity", 96, {kNaN, 0.5f, -kNaN, 0.25f}, {0.0f, 0.5f, 0.0f, 0.25f}},
        {"infinity at the minimum", 0, {kInfinity, -kInfinity, 0.5f, 0.5f}, {0.0f, 0.0f, 0.0f, 0.0f}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.description);
        StartAt(testCase.raw);
        // Two stereo frames, and one sample past them that must stay as it is.
        std::vector<Float32> samples = testCase.input;
        samples.push_back(7.0f);

        control->ApplyProcessing(samples.data(), 2, 2);

        EXPECT_EQ(std::vector<Float32>(samples.begin(), samples.end() - 1), testCase.expected);
        EXPECT_EQ(samples.back(), 7.0f);

        // The same four samples behind 0 to 5 silent ones, so that each of them passes both the
        // four-wide loop and the loop over the rest.
        for (std::size_t lead = 0; lead <= 5; ++lead) {
            SCOPED_TRACE(lead);
            std::vector<Float32> shifted(lead, 0.0f);
            shifted.insert(shifted.end(), testCase.input.begin(), testCase.input.begin() + 4);
            shifted.push_back(7.0f);
            control->ApplyProcessing(shifted.data(), static_cast<UInt32>(lead + 4), 1);
            std::vector<Float32> expected(lead, 0.0f);
            expected.insert(expected.end(), testCase.expected.begin(), testCase.expected.begin() + 4);
            expected.push_back(7.0f);
            EXPECT_EQ(shifted, expected);
        }
    }

    control->ApplyProcessing(nullptr, 512, 2);
    EXPECT_TRUE(tracer->GetLines().empty()) << "processing traces nothing";
}

TEST_F(VolumeControlTest, ProcessingReadsTheGainOncePerBuffer)
{
    auto drifting = MakeObject<DriftingVolumeControl>(context, VolumeControlParameters{});
    std::vector<Float32> samples(8, 1.0f);

    drifting->ApplyProcessing(samples.data(), 4, 2);

    EXPECT_EQ(drifting->reads, 1);
    EXPECT_EQ(samples, std::vector<Float32>(8, 0.5f));
}

} // namespace
