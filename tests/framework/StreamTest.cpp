#include "hal/Stream.h"

#include "hal/Context.h"
#include "hal/Convert.h"
#include "hal/Device.h"
#include "hal/IORequestHandler.h"
#include "hal/MuteControl.h"
#include "hal/VolumeControl.h"

#include "CapturingTracer.h"
#include "TestHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace {

using pelio::test::CapturingTracer;
using pelio::test::TestHost;
using Lines = std::vector<std::string>;

constexpr AudioStreamBasicDescription kInt16Stereo44100{
    44100.0, kAudioFormatLinearPCM, kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked, 4, 1, 4, 2, 16, 0};
constexpr AudioStreamBasicDescription kFloatStereo48000{
    48000.0, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 8, 1, 8, 2, 32, 0};
constexpr AudioStreamBasicDescription kFloatMono48000{
    48000.0, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 4, 1, 4, 1, 32, 0};

AudioStreamRangedDescription Offered(const AudioStreamBasicDescription& format, Float64 minimum, Float64 maximum)
{
    return AudioStreamRangedDescription{format, AudioValueRange{minimum, maximum}};
}

AudioStreamRangedDescription OfferedAtItsRate(const AudioStreamBasicDescription& format)
{
    return Offered(format, format.mSampleRate, format.mSampleRate);
}

// Byte for byte: what the host would see.
template <class Value>
bool SameBytes(const Value& left, const Value& right)
{
    return std::memcmp(&left, &right, sizeof(Value)) == 0;
}

::testing::AssertionResult SameFormat(const AudioStreamBasicDescription& actual,
                                      const AudioStreamBasicDescription& expected)
{
    if (SameBytes(actual, expected)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << hal::Convert::FormatValue(actual) << " is not "
                                         << hal::Convert::FormatValue(expected);
}

::testing::AssertionResult SameList(const std::vector<AudioStreamRangedDescription>& actual,
                                    const std::vector<AudioStreamRangedDescription>& expected)
{
    if (actual.size() == expected.size() && std::equal(actual.begin(), actual.end(), expected.begin(),
                                                         [](const auto& a, const auto& b) { return SameBytes(a, b); })) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << hal::Convert::FormatArray(std::span<const AudioStreamRangedDescription>(actual))
                                         << " is not "
                                         << hal::Convert::FormatArray(std::span<const AudioStreamRangedDescription>(expected));
}

AudioObjectPropertyAddress Address(AudioObjectPropertySelector selector)
{
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

// A stream whose stores can be made to refuse, and which counts the latency stores.
class RefusingStream : public hal::Stream
{
public:
    RefusingStream(std::shared_ptr<const hal::Context> context, std::shared_ptr<hal::Device> device,
                   const hal::StreamParameters& parameters)
        : Stream(std::move(context), std::move(device), parameters)
    {
    }

    OSStatus refusal = 0;
    int latencyStores = 0;

protected:
    OSStatus SetIsActiveImpl(bool isActive) override
    {
        return refusal != 0 ? refusal : Stream::SetIsActiveImpl(isActive);
    }
    OSStatus SetLatencyImpl(UInt32 latency) override
    {
        ++latencyStores;
        return refusal != 0 ? refusal : Stream::SetLatencyImpl(latency);
    }
};

class StreamTest : public ::testing::Test
{
protected:
    StreamTest()
    {
        host.SetConfigurationChangeCallbacks(
            [this](AudioObjectID objectID, UInt64 action, void* info) {
                return device->PerformConfigurationChange(objectID, action, info);
            },
            [this](AudioObjectID objectID, UInt64 action, void* info) {
                return device->AbortConfigurationChange(objectID, action, info);
            });
    }

    static hal::StreamParameters Parameters()
    {
        hal::StreamParameters parameters;
        parameters.Direction = hal::Direction::Output;
        parameters.StartingChannel = 3;
        parameters.Format = kFloatStereo48000;
        parameters.Latency = 7;
        return parameters;
    }

    // The state in which the device's changes wait for the host: owned, and the host known.
    void OwnAndKnowHost()
    {
        device->RequestOwnershipChange(owner.get(), true);
        context->Host.store(host.GetInterface(), std::memory_order_release);
        device->AddOwnedObject(stream, kAudioObjectPropertyScopeOutput);
        tracer->ClearLines();
    }

    size_t RequestCount() const { return host.GetConfigurationChangeRequests().size(); }

    // Every line of `expected`, in this order, among the traced lines.
    bool TracedInOrder(const Lines& expected) const
    {
        const Lines lines = tracer->GetLines();
        auto next = lines.begin();
        for (const std::string& line : expected) {
            next = std::find(next, lines.end(), line);
            if (next == lines.end()) {
                ADD_FAILURE() << "not traced (in this order): " << line;
                return false;
            }
            ++next;
        }
        return true;
    }

    bool Traced(const std::string& line) const { return TracedInOrder({line}); }

    OSStatus GetData(AudioObjectPropertySelector selector, UInt32 size, UInt32* outSize, void* outData,
                     AudioObjectID objectID = 0) const
    {
        const AudioObjectPropertyAddress address = Address(selector);
        return stream->GetPropertyData(objectID == 0 ? stream->GetID() : objectID, 0, &address, 0, nullptr, size,
                                       outSize, outData);
    }

    OSStatus SetData(AudioObjectPropertySelector selector, UInt32 size, const void* data, AudioObjectID objectID = 0)
    {
        const AudioObjectPropertyAddress address = Address(selector);
        return stream->SetPropertyData(objectID == 0 ? stream->GetID() : objectID, 0, &address, 0, nullptr, size,
                                       data);
    }

    std::shared_ptr<CapturingTracer> tracer =
        std::make_shared<CapturingTracer>(CapturingTracer::Mode::Stderr, CapturingTracer::Style::Flat);
    std::shared_ptr<hal::Context> context = std::make_shared<hal::Context>(tracer);
    TestHost host;
    std::shared_ptr<hal::Object> owner = hal::MakeObject<hal::Object>(context, "Owner");
    std::shared_ptr<hal::Device> device = hal::MakeObject<hal::Device>(context, hal::DeviceParameters{});
    std::shared_ptr<RefusingStream> stream = hal::MakeObject<RefusingStream>(context, device, Parameters());
};

// ---- State after construction ------------------------------------------------------------------------

TEST_F(StreamTest, NewStreamReportsItsParametersAndOffersItsOwnFormat)
{
    for (const auto direction : {hal::Direction::Output, hal::Direction::Input}) {
        hal::StreamParameters parameters = Parameters();
        parameters.Direction = direction;
        const auto newStream = hal::MakeObject<hal::Stream>(context, device, parameters);

        EXPECT_EQ(newStream->GetDirection(), direction);
        EXPECT_EQ(newStream->GetTerminalType(), direction == hal::Direction::Input
                                                    ? UInt32{kAudioStreamTerminalTypeMicrophone}
                                                    : UInt32{kAudioStreamTerminalTypeSpeaker});
        EXPECT_TRUE(newStream->GetIsActive());
        EXPECT_EQ(newStream->GetStartingChannel(), 3u);
        EXPECT_EQ(newStream->GetLatency(), 7u);
        EXPECT_TRUE(SameFormat(newStream->GetPhysicalFormat(), kFloatStereo48000));
        EXPECT_TRUE(SameFormat(newStream->GetVirtualFormat(), kFloatStereo48000));
        EXPECT_EQ(newStream->GetChannelCount(), 2u);
        EXPECT_EQ(newStream->GetSampleRate(), 48000.0);
        EXPECT_TRUE(SameList(newStream->GetAvailablePhysicalFormats(), {OfferedAtItsRate(kFloatStereo48000)}));
        EXPECT_TRUE(SameList(newStream->GetAvailableVirtualFormats(), {OfferedAtItsRate(kFloatStereo48000)}));
    }
}

TEST_F(StreamTest, IsAStreamAndAnAudioObjectOnly)
{
    EXPECT_EQ(stream->GetClass(), kAudioStreamClassID);
    EXPECT_EQ(stream->GetBaseClass(), kAudioObjectClassID);
    for (const AudioClassID classID : std::initializer_list<AudioClassID>{
             kAudioStreamClassID, kAudioObjectClassID, kAudioDeviceClassID, kAudioControlClassID, 0}) {
        EXPECT_EQ(stream->IsInstance(classID), classID == kAudioStreamClassID || classID == kAudioObjectClassID)
            << classID;
    }
    // The base answers the class through the stream's own operation.
    UInt32 classID = 0;
    EXPECT_EQ(GetData(kAudioObjectPropertyClass, 4, nullptr, &classID), 0);
    EXPECT_EQ(classID, kAudioStreamClassID);
}

TEST_F(StreamTest, DefaultParametersDescribeADefaultDevicesStream)
{
    const auto defaultStream = hal::MakeObject<hal::Stream>(context, device, hal::StreamParameters{});
    EXPECT_EQ(defaultStream->GetDirection(), hal::Direction::Output);
    EXPECT_EQ(defaultStream->GetStartingChannel(), 1u);
    EXPECT_EQ(defaultStream->GetLatency(), 0u);
    EXPECT_TRUE(SameFormat(defaultStream->GetPhysicalFormat(), kInt16Stereo44100));
}

// ---- Property protocol ---------------------------------------------------------------------------

struct SelectorCase
{
    AudioObjectPropertySelector selector;
    bool isSettable;
    UInt32 size; // for the lists: per entry
};

constexpr std::array kOwnSelectors{
    SelectorCase{kAudioStreamPropertyIsActive, true, 4},
    SelectorCase{kAudioStreamPropertyDirection, false, 4},
    SelectorCase{kAudioStreamPropertyTerminalType, false, 4},
    SelectorCase{kAudioStreamPropertyStartingChannel, false, 4},
    SelectorCase{kAudioStreamPropertyLatency, false, 4},
    SelectorCase{kAudioStreamPropertyVirtualFormat, true, 40},
    SelectorCase{kAudioStreamPropertyAvailableVirtualFormats, false, 56},
    SelectorCase{kAudioStreamPropertyPhysicalFormat, true, 40},
    SelectorCase{kAudioStreamPropertyAvailablePhysicalFormats, false, 56},
};

constexpr AudioObjectPropertySelector kUnknownSelector = 'abcd';

TEST_F(StreamTest, HasItsNineSelectorsAndLeavesTheRestToTheBase)
{
    const AudioObjectID ownID = stream->GetID();
    for (const SelectorCase& c : kOwnSelectors) {
        const AudioObjectPropertyAddress address = Address(c.selector);
        EXPECT_TRUE(stream->HasProperty(ownID, 0, &address)) << c.selector;
        // Another object's ID is not this stream's business, whatever the selector.
        EXPECT_FALSE(stream->HasProperty(ownID + 100, 0, &address)) << c.selector;
    }
    const AudioObjectPropertyAddress baseSelector = Address(kAudioObjectPropertyOwner);
    const AudioObjectPropertyAddress unknown = Address(kUnknownSelector);
    EXPECT_TRUE(stream->HasProperty(ownID, 0, &baseSelector));
    EXPECT_FALSE(stream->HasProperty(ownID, 0, &unknown));
    EXPECT_FALSE(stream->HasProperty(ownID, 0, nullptr));
    EXPECT_TRUE(Traced("address is null"));
}

TEST_F(StreamTest, SettableFlagsOfEachSelector)
{
    const AudioObjectID ownID = stream->GetID();
    for (const SelectorCase& c : kOwnSelectors) {
        const AudioObjectPropertyAddress address = Address(c.selector);
        Boolean isSettable = 2;
        EXPECT_EQ(stream->IsPropertySettable(ownID, 0, &address, &isSettable), 0) << c.selector;
        EXPECT_EQ(isSettable, c.isSettable ? 1 : 0) << c.selector;
        EXPECT_EQ(stream->IsPropertySettable(ownID + 100, 0, &address, &isSettable), kAudioHardwareBadObjectError);
    }

    const AudioObjectPropertyAddress unknown = Address(kUnknownSelector);
    const AudioObjectPropertyAddress baseSelector = Address(kAudioObjectPropertyClass);
    Boolean isSettable = 2;
    EXPECT_EQ(stream->IsPropertySettable(ownID, 0, &unknown, &isSettable), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(stream->IsPropertySettable(ownID, 0, nullptr, &isSettable), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(stream->IsPropertySettable(ownID, 0, &baseSelector, &isSettable), 0);
    EXPECT_EQ(isSettable, 0);

    // A null answer pointer is answered with success and nothing written.
    const AudioObjectPropertyAddress isActive = Address(kAudioStreamPropertyIsActive);
    EXPECT_EQ(stream->IsPropertySettable(ownID, 0, &isActive, nullptr), 0);
    EXPECT_TRUE(Traced("output buffer is null"));
}

TEST_F(StreamTest, SizesOfEachSelectorFollowTheCurrentLists)
{
    // Stored at once: the device has no owner yet.
    ASSERT_EQ(stream->SetAvailablePhysicalFormatsAsync({OfferedAtItsRate(kFloatStereo48000),
                                                        OfferedAtItsRate(kFloatMono48000),
                                                        Offered(kInt16Stereo44100, 8000, 96000)}),
              0);
    ASSERT_EQ(stream->SetAvailableVirtualFormatsAsync({}), 0);

    const AudioObjectID ownID = stream->GetID();
    for (const SelectorCase& c : kOwnSelectors) {
        const AudioObjectPropertyAddress address = Address(c.selector);
        UInt32 size = 12345;
        EXPECT_EQ(stream->GetPropertyDataSize(ownID, 0, &address, 0, nullptr, &size), 0) << c.selector;
        const UInt32 expected = c.selector == kAudioStreamPropertyAvailablePhysicalFormats ? 3 * c.size
                                : c.selector == kAudioStreamPropertyAvailableVirtualFormats ? 0
                                                                                             : c.size;
        EXPECT_EQ(size, expected) << c.selector;
        EXPECT_EQ(stream->GetPropertyDataSize(ownID + 100, 0, &address, 0, nullptr, &size),
                  kAudioHardwareBadObjectError);
    }
    const AudioObjectPropertyAddress unknown = Address(kUnknownSelector);
    UInt32 size = 0;
    EXPECT_EQ(stream->GetPropertyDataSize(ownID, 0, &unknown, 0, nullptr, &size), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(stream->GetPropertyDataSize(ownID, 0, nullptr, 0, nullptr, &size), kAudioHardwareIllegalOperationError);
    EXPECT_TRUE(TracedInOrder({"returning PropertySize=0", "returning PropertySize=168"}));
}

TEST_F(StreamTest, SingleValuesReadWithExactSizesAndRefuseShortBuffers)
{
    ASSERT_EQ(stream->SetIsActive(false), 0);
    struct Case
    {
        AudioObjectPropertySelector selector;
        std::vector<UInt8> expected;
        std::string message;
    };
    const auto bytesOf = [](const auto& value) {
        const auto* bytes = reinterpret_cast<const UInt8*>(&value);
        return std::vector<UInt8>(bytes, bytes + sizeof value);
    };
    const std::vector<Case> cases{
        {kAudioStreamPropertyIsActive, bytesOf(UInt32{0}), "returning IsActive=0"},
        {kAudioStreamPropertyDirection, bytesOf(UInt32{0}), "returning Direction=0"},
        {kAudioStreamPropertyTerminalType, bytesOf(UInt32{kAudioStreamTerminalTypeSpeaker}),
         "returning TerminalType=" + std::to_string(UInt32{kAudioStreamTerminalTypeSpeaker})},
        {kAudioStreamPropertyStartingChannel, bytesOf(UInt32{3}), "returning StartingChannel=3"},
        {kAudioStreamPropertyLatency, bytesOf(UInt32{7}), "returning Latency=7"},
        {kAudioStreamPropertyVirtualFormat, bytesOf(kFloatStereo48000),
         "returning VirtualFormat=" + hal::Convert::FormatValue(kFloatStereo48000)},
        {kAudioStreamPropertyPhysicalFormat, bytesOf(kFloatStereo48000),
         "returning PhysicalFormat=" + hal::Convert::FormatValue(kFloatStereo48000)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const UInt32 size = static_cast<UInt32>(c.expected.size());

        // Exact size, and a larger buffer: the value and its size.
        for (const UInt32 offered : {size, size + 8}) {
            std::vector<UInt8> buffer(offered, 0xEE);
            UInt32 written = 0;
            tracer->ClearLines();
            EXPECT_EQ(GetData(c.selector, offered, &written, buffer.data()), 0);
            EXPECT_EQ(written, size);
            EXPECT_EQ(std::vector<UInt8>(buffer.begin(), buffer.begin() + size), c.expected);
            EXPECT_TRUE(std::all_of(buffer.begin() + size, buffer.end(), [](UInt8 b) { return b == 0xEE; }));
            EXPECT_TRUE(Traced(c.message));
        }

        // One byte short: refused, nothing written.
        std::vector<UInt8> buffer(size, 0xEE);
        UInt32 written = 999;
        tracer->ClearLines();
        EXPECT_EQ(GetData(c.selector, size - 1, &written, buffer.data()), kAudioHardwareBadPropertySizeError);
        EXPECT_EQ(written, 999u);
        EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](UInt8 b) { return b == 0xEE; }));
        EXPECT_TRUE(Traced("not enough space: need " + std::to_string(size) + ", avail " + std::to_string(size - 1)));

        // Null pointers are skipped, not refused.
        EXPECT_EQ(GetData(c.selector, size, nullptr, buffer.data()), 0);
        EXPECT_EQ(std::vector<UInt8>(buffer.begin(), buffer.end()), c.expected);
        EXPECT_EQ(GetData(c.selector, size, &written, nullptr), 0);
        EXPECT_EQ(written, size);
        EXPECT_TRUE(TracedInOrder({"size buffer is null", "data buffer is null"}));

        // Another object's ID goes to the base, which does not know it.
        EXPECT_EQ(GetData(c.selector, size, &written, buffer.data(), stream->GetID() + 100),
                  kAudioHardwareBadObjectError);
    }
    UInt32 value = 0;
    EXPECT_EQ(GetData(kUnknownSelector, 4, nullptr, &value), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(stream->GetPropertyData(stream->GetID(), 0, nullptr, 0, nullptr, 4, nullptr, &value),
              kAudioHardwareIllegalOperationError);
}

TEST_F(StreamTest, FormatListsTruncateToWholeEntries)
{
    const std::vector<AudioStreamRangedDescription> physical{OfferedAtItsRate(kFloatStereo48000),
                                                             Offered(kFloatMono48000, 8000, 48000)};
    ASSERT_EQ(stream->SetAvailablePhysicalFormatsAsync(physical), 0);

    struct Case
    {
        UInt32 bufferSize;
        UInt32 count;
    };
    for (const Case c : {Case{0, 0}, Case{55, 0}, Case{56, 1}, Case{100, 1}, Case{112, 2}, Case{200, 2}}) {
        SCOPED_TRACE(c.bufferSize);
        std::vector<AudioStreamRangedDescription> buffer(4);
        UInt32 written = 999;
        tracer->ClearLines();
        EXPECT_EQ(GetData(kAudioStreamPropertyAvailablePhysicalFormats, c.bufferSize, &written, buffer.data()), 0);
        EXPECT_EQ(written, 56 * c.count);
        EXPECT_TRUE(SameList(std::vector(buffer.begin(), buffer.begin() + c.count),
                             std::vector(physical.begin(), physical.begin() + c.count)));
        EXPECT_TRUE(Traced("returning AvailablePhysicalFormats="
                           + hal::Convert::FormatArray(std::span<const AudioStreamRangedDescription>(physical)) + " ("
                           + std::to_string(c.count) + "/2)"));
    }

    // The virtual list was never set: the current virtual format, at exactly its rate.
    AudioStreamRangedDescription entry{};
    UInt32 written = 0;
    EXPECT_EQ(GetData(kAudioStreamPropertyAvailableVirtualFormats, 56, &written, &entry), 0);
    EXPECT_EQ(written, 56u);
    EXPECT_TRUE(SameBytes(entry, OfferedAtItsRate(kFloatStereo48000)));
    EXPECT_EQ(GetData(kAudioStreamPropertyAvailableVirtualFormats, 56, &written, nullptr), 0);
    EXPECT_TRUE(Traced("data buffer is null"));
}

TEST_F(StreamTest, SetPropertyDataRefusesWrongSizesNullDataAndReadOnlySelectors)
{
    const std::array<UInt8, 48> data{};
    struct Case
    {
        AudioObjectPropertySelector selector;
        UInt32 size;
        const void* data;
        OSStatus status;
        std::string message;
    };
    const std::vector<Case> cases{
        {kAudioStreamPropertyIsActive, 3, data.data(), kAudioHardwareBadPropertySizeError,
         "invalid size: should be 4, got 3"},
        {kAudioStreamPropertyIsActive, 8, data.data(), kAudioHardwareBadPropertySizeError,
         "invalid size: should be 4, got 8"},
        {kAudioStreamPropertyIsActive, 4, nullptr, kAudioHardwareIllegalOperationError, "input buffer is null"},
        {kAudioStreamPropertyPhysicalFormat, 39, data.data(), kAudioHardwareBadPropertySizeError,
         "invalid size: should be 40, got 39"},
        {kAudioStreamPropertyVirtualFormat, 41, data.data(), kAudioHardwareBadPropertySizeError,
         "invalid size: should be 40, got 41"},
        {kAudioStreamPropertyVirtualFormat, 40, nullptr, kAudioHardwareIllegalOperationError, "input buffer is null"},
        {kAudioStreamPropertyDirection, 4, data.data(), kAudioHardwareUnknownPropertyError, "property not found"},
        {kAudioStreamPropertyLatency, 4, data.data(), kAudioHardwareUnknownPropertyError, "property not found"},
        {kAudioStreamPropertyAvailablePhysicalFormats, 0, data.data(), kAudioHardwareUnknownPropertyError,
         "property not found"},
        {kAudioObjectPropertyClass, 4, data.data(), kAudioHardwareUnknownPropertyError, "property not found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message + " for " + std::to_string(c.selector));
        tracer->ClearLines();
        EXPECT_EQ(SetData(c.selector, c.size, c.data), c.status);
        EXPECT_TRUE(Traced(c.message));
    }
    EXPECT_EQ(SetData(kAudioStreamPropertyIsActive, 4, data.data(), stream->GetID() + 100),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(stream->SetPropertyData(stream->GetID(), 0, nullptr, 0, nullptr, 4, data.data()),
              kAudioHardwareIllegalOperationError);

    EXPECT_TRUE(stream->GetIsActive());
    EXPECT_TRUE(SameFormat(stream->GetVirtualFormat(), kFloatStereo48000));
    EXPECT_TRUE(host.GetNotifications().empty());
}

TEST_F(StreamTest, IsActiveSetThroughTheProtocolNotifiesEachChangeOnce)
{
    context->Host.store(host.GetInterface(), std::memory_order_release);
    const UInt32 inactive = 0;
    const UInt32 seven = 7;

    EXPECT_EQ(SetData(kAudioStreamPropertyIsActive, 4, &inactive), 0);
    EXPECT_FALSE(stream->GetIsActive());
    EXPECT_TRUE(TracedInOrder({"setting IsActive=0", "setting value to 0"}));
    const TestHost::Notification expected{stream->GetID(), {Address(kAudioStreamPropertyIsActive)}};
    EXPECT_EQ(host.GetNotifications(), std::vector{expected});

    tracer->ClearLines();
    EXPECT_EQ(SetData(kAudioStreamPropertyIsActive, 4, &inactive), 0);
    EXPECT_TRUE(Traced("value not changed"));
    EXPECT_EQ(host.GetNotifications().size(), 1u);

    // Any non-zero value means active.
    EXPECT_EQ(SetData(kAudioStreamPropertyIsActive, 4, &seven), 0);
    EXPECT_TRUE(stream->GetIsActive());
    EXPECT_EQ(host.GetNotifications().size(), 2u);
}

TEST_F(StreamTest, RefusedIsActiveStoreIsReturnedWithoutNotification)
{
    context->Host.store(host.GetInterface(), std::memory_order_release);
    stream->refusal = kAudioHardwareUnsupportedOperationError;
    const UInt32 inactive = 0;

    EXPECT_EQ(SetData(kAudioStreamPropertyIsActive, 4, &inactive), kAudioHardwareUnsupportedOperationError);
    EXPECT_TRUE(TracedInOrder({"setting value to 0", "setter failed", "setter failed"}));
    EXPECT_TRUE(stream->GetIsActive());
    EXPECT_TRUE(host.GetNotifications().empty());
}

// ---- Format, latency and list changes --------------------------------------------------------------

struct FormatSide
{
    const char* name;
    AudioObjectPropertySelector selector;
    AudioStreamBasicDescription (hal::Stream::*get)() const;
    OSStatus (hal::Stream::*setAvailable)(std::vector<AudioStreamRangedDescription>);
    OSStatus (hal::Stream::*set)(AudioStreamBasicDescription);
};

const std::array kFormatSides{
    FormatSide{"physical", kAudioStreamPropertyPhysicalFormat, &hal::Stream::GetPhysicalFormat,
               &hal::Stream::SetAvailablePhysicalFormatsAsync, &hal::Stream::SetPhysicalFormatAsync},
    FormatSide{"virtual", kAudioStreamPropertyVirtualFormat, &hal::Stream::GetVirtualFormat,
               &hal::Stream::SetAvailableVirtualFormatsAsync, &hal::Stream::SetVirtualFormatAsync},
};

TEST_F(StreamTest, FormatChangeFromTheHostWaitsForThePerform)
{
    for (const FormatSide& side : kFormatSides) {
        ASSERT_EQ(((*stream).*side.setAvailable)(
                      {OfferedAtItsRate(kFloatStereo48000), OfferedAtItsRate(kFloatMono48000)}),
                  0);
    }
    OwnAndKnowHost();

    for (const FormatSide& side : kFormatSides) {
        SCOPED_TRACE(side.name);
        const size_t requestsBefore = RequestCount();
        EXPECT_EQ(SetData(side.selector, 40, &kFloatMono48000), 0);
        EXPECT_EQ(RequestCount(), requestsBefore + 1);
        EXPECT_TRUE(SameFormat(((*stream).*side.get)(), kFloatStereo48000));

        EXPECT_EQ(host.PerformPendingConfigurationChanges(), std::vector<OSStatus>{0});
        EXPECT_TRUE(SameFormat(((*stream).*side.get)(), kFloatMono48000));
    }
    EXPECT_EQ(stream->GetChannelCount(), 1u);
    EXPECT_TRUE(host.GetNotifications().empty());
}

TEST_F(StreamTest, AbortedFormatChangeIsNeverApplied)
{
    ASSERT_EQ(stream->SetAvailablePhysicalFormatsAsync({OfferedAtItsRate(kFloatStereo48000),
                                                        OfferedAtItsRate(kFloatMono48000)}),
              0);
    OwnAndKnowHost();

    EXPECT_EQ(stream->SetPhysicalFormatAsync(kFloatMono48000), 0);
    EXPECT_EQ(host.AbortPendingConfigurationChanges(), std::vector<OSStatus>{0});
    EXPECT_TRUE(SameFormat(stream->GetPhysicalFormat(), kFloatStereo48000));
    EXPECT_EQ(device->PerformConfigurationChange(device->GetID(), 0, nullptr), 0);
    EXPECT_TRUE(SameFormat(stream->GetPhysicalFormat(), kFloatStereo48000));
}

TEST_F(StreamTest, LatencyAndFormatListsWaitForThePerformToo)
{
    OwnAndKnowHost();
    const std::vector<AudioStreamRangedDescription> list{Offered(kFloatMono48000, 44100, 48000)};

    EXPECT_EQ(stream->SetLatencyAsync(256), 0);
    EXPECT_EQ(stream->SetAvailableVirtualFormatsAsync(list), 0);
    EXPECT_EQ(stream->SetAvailablePhysicalFormatsAsync({}), 0);
    EXPECT_EQ(RequestCount(), 3u);
    EXPECT_EQ(stream->GetLatency(), 7u);
    EXPECT_TRUE(SameList(stream->GetAvailableVirtualFormats(), {OfferedAtItsRate(kFloatStereo48000)}));

    EXPECT_EQ(host.PerformPendingConfigurationChanges(), (std::vector<OSStatus>{0, 0, 0}));
    EXPECT_EQ(stream->GetLatency(), 256u);
    EXPECT_TRUE(SameList(stream->GetAvailableVirtualFormats(), list));
    // A list stored empty stays set: it reads empty rather than as the current format.
    EXPECT_TRUE(stream->GetAvailablePhysicalFormats().empty());
    EXPECT_TRUE(TracedInOrder({"Stream::SetLatencyAsync() begin objectID=" + std::to_string(stream->GetID()),
                               "Device::RequestConfigurationChange() enqueueing change reqID=0",
                               "Stream::SetLatencyImpl() begin objectID=" + std::to_string(stream->GetID()),
                               "setting value to 256"}));
}

TEST_F(StreamTest, ChangesApplyBeforeReturningUntilTheDeviceIsOwnedWithAKnownHost)
{
    EXPECT_EQ(stream->SetLatencyAsync(64), 0);
    EXPECT_EQ(stream->GetLatency(), 64u);

    device->RequestOwnershipChange(owner.get(), true);
    EXPECT_EQ(stream->SetLatencyAsync(128), 0);
    EXPECT_EQ(stream->GetLatency(), 128u);
    EXPECT_EQ(RequestCount(), 0u);
}

TEST_F(StreamTest, FormatOutsideTheAvailableListIsRefused)
{
    const AudioStreamRangedDescription offered = Offered(kFloatStereo48000, 44100, 96000);
    OwnAndKnowHost();
    for (const FormatSide& side : kFormatSides) {
        ASSERT_EQ(((*stream).*side.setAvailable)({offered}), 0);
    }
    host.PerformPendingConfigurationChanges();
    const size_t requestsBefore = RequestCount();

    AudioStreamBasicDescription otherRate = kFloatStereo48000;
    otherRate.mSampleRate = 44100.0; // inside the entry's range, which is not consulted
    AudioStreamBasicDescription otherFlags = kFloatStereo48000;
    otherFlags.mFormatFlags |= kAudioFormatFlagIsNonMixable;
    for (const FormatSide& side : kFormatSides) {
        for (const AudioStreamBasicDescription& format : {otherRate, otherFlags, kFloatMono48000}) {
            SCOPED_TRACE(std::string(side.name) + " " + hal::Convert::FormatValue(format));
            tracer->ClearLines();
            EXPECT_EQ(((*stream).*side.set)(format), kAudioDeviceUnsupportedFormatError);
            EXPECT_TRUE(TracedInOrder({"format is not supported", "value is invalid"}));
            // The same through the host's call.
            EXPECT_EQ(SetData(side.selector, 40, &format), kAudioDeviceUnsupportedFormatError);
            EXPECT_TRUE(Traced("setter failed"));
            EXPECT_TRUE(SameFormat(((*stream).*side.get)(), kFloatStereo48000));
        }
    }
    EXPECT_EQ(RequestCount(), requestsBefore);
}

TEST_F(StreamTest, FormatDifferingOnlyInReservedIsOfferedAndEqualFormatRequestsNothing)
{
    ASSERT_EQ(stream->SetAvailablePhysicalFormatsAsync({OfferedAtItsRate(kFloatStereo48000),
                                                        OfferedAtItsRate(kFloatMono48000)}),
              0);
    OwnAndKnowHost();

    AudioStreamBasicDescription current = kFloatStereo48000;
    current.mReserved = 99;
    EXPECT_EQ(stream->SetPhysicalFormatAsync(current), 0);
    EXPECT_TRUE(Traced("value not changed"));
    EXPECT_EQ(RequestCount(), 0u);

    AudioStreamBasicDescription mono = kFloatMono48000;
    mono.mReserved = 42;
    EXPECT_EQ(stream->SetPhysicalFormatAsync(mono), 0);
    EXPECT_EQ(RequestCount(), 1u);
    host.PerformPendingConfigurationChanges();
    EXPECT_EQ(stream->GetChannelCount(), 1u);
}

// Each field that format equality compares, changed on its own, makes another format: one that a
// list holding only the first does not offer, and one that a setter asks to change to. mReserved
// alone takes no part. The formats are compressed, so that no change makes one malformed.
TEST_F(StreamTest, EachComparedFieldOnItsOwnMakesAnotherFormat)
{
    const AudioStreamBasicDescription base{44100.0, kAudioFormatMPEG4AAC, 0, 0, 1024, 0, 2, 0, 0};
    struct Case
    {
        const char* field;
        void (*change)(AudioStreamBasicDescription&);
        bool differs;
    };
    const Case cases[] = {
        {"mSampleRate", [](auto& f) { f.mSampleRate = 48000.0; }, true},
        {"mSampleRate, beyond a float's precision", [](auto& f) { f.mSampleRate = 44100.000001; }, true},
        {"mFormatID", [](auto& f) { f.mFormatID = kAudioFormatAC3; }, true},
        {"mFormatFlags", [](auto& f) { f.mFormatFlags = 1; }, true},
        {"mBytesPerPacket", [](auto& f) { f.mBytesPerPacket = 512; }, true},
        {"mFramesPerPacket", [](auto& f) { f.mFramesPerPacket = 2048; }, true},
        {"mBytesPerFrame", [](auto& f) { f.mBytesPerFrame = 4; }, true},
        {"mChannelsPerFrame", [](auto& f) { f.mChannelsPerFrame = 1; }, true},
        {"mBitsPerChannel", [](auto& f) { f.mBitsPerChannel = 16; }, true},
        {"mReserved", [](auto& f) { f.mReserved = 7; }, false},
    };
    // Applied at once: the device has no owner yet.
    for (const FormatSide& side : kFormatSides) {
        ASSERT_EQ(((*stream).*side.setAvailable)({OfferedAtItsRate(base)}), 0);
        ASSERT_EQ(((*stream).*side.set)(base), 0);
        ASSERT_TRUE(SameFormat(((*stream).*side.get)(), base));
    }
    OwnAndKnowHost();

    // Sets, on each side, the base format with one field changed; `check` sees what followed.
    const auto setEachVariant = [&](const char* against,
                                    const std::function<void(const FormatSide&, const Case&, OSStatus)>& check) {
        for (const FormatSide& side : kFormatSides) {
            for (const Case& c : cases) {
                SCOPED_TRACE(std::string(side.name) + ", only " + c.field + " differs, against " + against);
                AudioStreamBasicDescription format = base;
                c.change(format);
                const size_t requestsBefore = RequestCount();
                tracer->ClearLines();
                const OSStatus status = ((*stream).*side.set)(format);
                check(side, c, status);
                EXPECT_EQ(RequestCount(), requestsBefore + (status == 0 && c.differs ? 1 : 0));
                host.AbortPendingConfigurationChanges();
                EXPECT_TRUE(SameFormat(((*stream).*side.get)(), base));
            }
        }
    };

    setEachVariant("the list that offers only the base format", [&](const FormatSide&, const Case& c, OSStatus status) {
        EXPECT_EQ(status, c.differs ? kAudioDeviceUnsupportedFormatError : 0);
        EXPECT_TRUE(Traced(c.differs ? "format is not supported" : "value not changed"));
    });

    for (const FormatSide& side : kFormatSides) {
        ASSERT_EQ(((*stream).*side.setAvailable)({}), 0);
    }
    host.PerformPendingConfigurationChanges();
    setEachVariant("the current format, with a list that offers everything",
                   [&](const FormatSide&, const Case& c, OSStatus status) {
                       EXPECT_EQ(status, 0);
                       if (!c.differs) {
                           EXPECT_TRUE(Traced("value not changed"));
                       }
                   });
}

TEST_F(StreamTest, EmptyListOffersEveryWellFormedFormat)
{
    OwnAndKnowHost();
    ASSERT_EQ(stream->SetAvailableVirtualFormatsAsync({}), 0);
    host.PerformPendingConfigurationChanges();
    EXPECT_TRUE(stream->GetAvailableVirtualFormats().empty());
    UInt32 size = 99;
    const AudioObjectPropertyAddress address = Address(kAudioStreamPropertyAvailableVirtualFormats);
    EXPECT_EQ(stream->GetPropertyDataSize(stream->GetID(), 0, &address, 0, nullptr, &size), 0);
    EXPECT_EQ(size, 0u);
    AudioStreamRangedDescription untouched{};
    EXPECT_EQ(stream->GetPropertyData(stream->GetID(), 0, &address, 0, nullptr, 56, &size, &untouched), 0);
    EXPECT_EQ(size, 0u);

    AudioStreamBasicDescription surround = kFloatStereo48000;
    surround.mChannelsPerFrame = 6;
    surround.mBytesPerFrame = surround.mBytesPerPacket = 24;
    surround.mSampleRate = 96000.0;
    EXPECT_EQ(SetData(kAudioStreamPropertyVirtualFormat, 40, &surround), 0);
    host.PerformPendingConfigurationChanges();
    EXPECT_TRUE(SameFormat(stream->GetVirtualFormat(), surround));
}

// A host can send any 40 bytes. None of these describes audio that the stream could process, and
// each is refused whatever the list says, an empty one included.
TEST_F(StreamTest, MalformedFormatsAreRefusedEvenByAnEmptyList)
{
    for (const FormatSide& side : kFormatSides) {
        ASSERT_EQ(((*stream).*side.setAvailable)({}), 0);
    }
    OwnAndKnowHost();

    struct Case
    {
        const char* description;
        void (*spoil)(AudioStreamBasicDescription&);
    };
    const Case cases[] = {
        {"NaN rate", [](auto& f) { f.mSampleRate = std::numeric_limits<Float64>::quiet_NaN(); }},
        {"infinite rate", [](auto& f) { f.mSampleRate = std::numeric_limits<Float64>::infinity(); }},
        {"zero rate", [](auto& f) { f.mSampleRate = 0.0; }},
        {"negative rate", [](auto& f) { f.mSampleRate = -48000.0; }},
        {"no channels", [](auto& f) { f.mChannelsPerFrame = 0; }},
        {"no bytes per frame", [](auto& f) { f.mBytesPerFrame = f.mBytesPerPacket = 0; }},
        {"frame too small for its samples", [](auto& f) { f.mChannelsPerFrame = 4; }},
        {"channel count that wraps a 32-bit product",
         [](auto& f) { f.mChannelsPerFrame = 0x08000000; }}, // × 32 bits = 2^32
        {"no bits per channel", [](auto& f) { f.mBitsPerChannel = 0; }},
        {"two frames per packet", [](auto& f) { f.mFramesPerPacket = 2; }},
        {"packet size unlike the frame's", [](auto& f) { f.mBytesPerPacket = 16; }},
    };
    for (const FormatSide& side : kFormatSides) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(side.name) + ": " + c.description);
            AudioStreamBasicDescription format = kFloatStereo48000;
            c.spoil(format);
            tracer->ClearLines();
            EXPECT_EQ(SetData(side.selector, 40, &format), kAudioDeviceUnsupportedFormatError);
            EXPECT_TRUE(TracedInOrder({"format is malformed", "value is invalid", "setter failed"}));
        }
    }
    EXPECT_EQ(RequestCount(), 0u);

    // Non-interleaved: a frame holds one channel's sample. Other formats are not looked into.
    AudioStreamBasicDescription planar = kFloatStereo48000;
    planar.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
    planar.mBytesPerFrame = planar.mBytesPerPacket = 4;
    EXPECT_EQ(stream->SetPhysicalFormatAsync(planar), 0);
    const AudioStreamBasicDescription compressed{44100.0, kAudioFormatMPEG4AAC, 0, 0, 1024, 0, 2, 0, 0};
    EXPECT_EQ(stream->SetVirtualFormatAsync(compressed), 0);
    EXPECT_EQ(RequestCount(), 2u);
}

TEST_F(StreamTest, DeferredStepComparesAgainWhenItRuns)
{
    OwnAndKnowHost();
    EXPECT_EQ(stream->SetLatencyAsync(10), 0);
    EXPECT_EQ(stream->SetLatencyAsync(10), 0); // still 7 now: requested again
    EXPECT_EQ(RequestCount(), 2u);

    host.PerformPendingConfigurationChanges();
    EXPECT_EQ(stream->GetLatency(), 10u);
    EXPECT_EQ(stream->latencyStores, 1);
    EXPECT_TRUE(TracedInOrder({"setting value to 10", "value not changed"}));
}

TEST_F(StreamTest, StoreRefusedInTheDeferredStepShowsOnlyInTheTrace)
{
    stream->refusal = kAudioHardwareIllegalOperationError;
    EXPECT_EQ(stream->SetLatencyAsync(10), 0); // applied in place: no owner yet
    EXPECT_EQ(stream->GetLatency(), 7u);
    const Lines lines = tracer->GetLines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.starts_with("Stream::SetLatencyImpl() end status=") && line.find("OK") == std::string::npos;
    }));
}

TEST_F(StreamTest, StreamWhoseDeviceIsGoneAcceptsChangesAndAppliesNone)
{
    device.reset();
    EXPECT_EQ(stream->SetLatencyAsync(5), 0);
    EXPECT_EQ(stream->SetAvailablePhysicalFormatsAsync({}), 0);
    EXPECT_EQ(stream->GetLatency(), 7u);
    EXPECT_EQ(stream->GetAvailablePhysicalFormats().size(), 1u);
}

TEST_F(StreamTest, PendingChangeOutlivesTheApplicationsReferenceToTheStream)
{
    OwnAndKnowHost();
    ASSERT_EQ(stream->SetLatencyAsync(32), 0);
    const std::weak_ptr<hal::Stream> watcher = stream;
    device->RemoveOwnedObject(stream->GetID());
    stream.reset();
    EXPECT_FALSE(watcher.expired());

    EXPECT_EQ(host.PerformPendingConfigurationChanges(), std::vector<OSStatus>{0});
    EXPECT_TRUE(watcher.expired());
}

// ---- Conversions -----------------------------------------------------------------------------------

TEST_F(StreamTest, FramesAndBytesConvertByThePhysicalFramesSize)
{
    struct Case
    {
        UInt32 bytesPerFrame;
        UInt32 frames;
        UInt32 bytes;
        UInt32 framesOfBytes; // of `bytes` + bytesPerFrame - 1: rounds down
    };
    for (const Case c : {Case{8, 512, 4096, 512}, Case{4, 3, 12, 3}, Case{6, 0, 0, 0},
                         Case{2, 0x80000000u, 0, 0}}) { // wraps in 32 bits, as the host's sizes do
        SCOPED_TRACE(c.bytesPerFrame);
        hal::StreamParameters parameters = Parameters();
        parameters.Format.mBytesPerFrame = c.bytesPerFrame;
        const auto sized = hal::MakeObject<hal::Stream>(context, device, parameters);
        EXPECT_EQ(sized->ConvertFramesToBytes(c.frames), c.bytes);
        EXPECT_EQ(sized->ConvertBytesToFrames(c.bytes + c.bytesPerFrame - 1), c.framesOfBytes);
    }
    hal::StreamParameters parameters = Parameters();
    parameters.Format.mBytesPerFrame = 0;
    const auto empty = hal::MakeObject<hal::Stream>(context, device, parameters);
    EXPECT_EQ(empty->ConvertBytesToFrames(4096), 0u);
    EXPECT_EQ(empty->ConvertFramesToBytes(512), 0u);
}

// ---- Processing ------------------------------------------------------------------------------------

constexpr UInt32 kFrames = 512;
constexpr UInt32 kChannels = 2;

// A ramp across [-1.5, 1.5], so that some samples need the volume's limit.
std::vector<Float32> TestSignal()
{
    std::vector<Float32> samples(kFrames * kChannels);
    for (size_t index = 0; index < samples.size(); ++index) {
        samples[index] = -1.5f + 3.0f * static_cast<Float32>(index) / static_cast<Float32>(samples.size() - 1);
    }
    return samples;
}

class StreamProcessingTest : public StreamTest
{
protected:
    StreamProcessingTest()
    {
        stream->AttachVolumeControl(volume);
        stream->AttachMuteControl(mute);
    }

    std::vector<Float32> Processed()
    {
        std::vector<Float32> samples = TestSignal();
        stream->ApplyProcessing(samples.data(), kFrames, kChannels);
        return samples;
    }

    std::shared_ptr<hal::VolumeControl> volume =
        hal::MakeObject<hal::VolumeControl>(context, hal::VolumeControlParameters{});
    std::shared_ptr<hal::MuteControl> mute = hal::MakeObject<hal::MuteControl>(context, hal::MuteControlParameters{});
};

TEST_F(StreamProcessingTest, VolumeScalesAndLimitsThenMuteSilences)
{
    struct Case
    {
        const char* description;
        Float32 scalar;
        bool muted;
        Float32 gain; // what the samples are multiplied by
    };
    for (const Case c : {Case{"unity", 1.0f, false, 1.0f}, Case{"attenuated", 0.5f, false, 0.5017361f},
                         Case{"silent volume", 0.0f, false, 0.0f}, Case{"muted at unity", 1.0f, true, 0.0f},
                         Case{"muted and attenuated", 0.5f, true, 0.0f}}) {
        SCOPED_TRACE(c.description);
        ASSERT_EQ(volume->SetScalarValue(c.scalar), 0);
        ASSERT_EQ(mute->SetIsMuted(c.muted), 0);

        const std::vector<Float32> input = TestSignal();
        const std::vector<Float32> output = Processed();
        for (size_t index = 0; index < input.size(); ++index) {
            const Float32 expected = std::clamp(input[index] * c.gain, -1.0f, 1.0f);
            ASSERT_FLOAT_EQ(output[index], expected) << "sample " << index;
        }
    }
}

TEST_F(StreamProcessingTest, DetachedControlsNoLongerProcess)
{
    ASSERT_EQ(volume->SetScalarValue(0.5f), 0);
    ASSERT_EQ(mute->SetIsMuted(true), 0);

    stream->AttachMuteControl(nullptr);
    std::vector<Float32> output = Processed();
    EXPECT_FLOAT_EQ(output[kFrames], TestSignal()[kFrames] * 0.5017361f);

    stream->AttachVolumeControl(nullptr);
    EXPECT_EQ(Processed(), TestSignal());

    // Only the mute control attached.
    stream->AttachMuteControl(mute);
    EXPECT_EQ(Processed(), std::vector<Float32>(kFrames * kChannels, 0.0f));
}

TEST_F(StreamProcessingTest, DefaultIOHandlerProcessesThroughTheStream)
{
    ASSERT_EQ(mute->SetIsMuted(true), 0);
    hal::IORequestHandler handler;
    const std::shared_ptr<hal::Stream> asStream = stream;
    const std::vector<Float32> silence(kFrames * kChannels, 0.0f);

    std::vector<Float32> samples = TestSignal();
    handler.OnProcessClientInput(nullptr, asStream, 0.0, 0.0, samples.data(), kFrames, kChannels);
    EXPECT_EQ(samples, silence);
    samples = TestSignal();
    handler.OnProcessClientOutput(nullptr, asStream, 0.0, 0.0, samples.data(), kFrames, kChannels);
    EXPECT_EQ(samples, silence);
    samples = TestSignal();
    handler.OnProcessMixedOutput(asStream, 0.0, 0.0, samples.data(), kFrames, kChannels);
    EXPECT_EQ(samples, silence);

    // Only the frames and channels it is given.
    samples = TestSignal();
    handler.OnProcessMixedOutput(asStream, 0.0, 0.0, samples.data(), kFrames / 2, kChannels);
    EXPECT_TRUE(std::all_of(samples.begin(), samples.begin() + kFrames, [](Float32 s) { return s == 0.0f; }));
    EXPECT_TRUE(std::equal(samples.begin() + kFrames, samples.end(), TestSignal().begin() + kFrames));

    // Without a stream there is nothing to apply.
    samples = TestSignal();
    handler.OnProcessMixedOutput(nullptr, 0.0, 0.0, samples.data(), kFrames, kChannels);
    EXPECT_EQ(samples, TestSignal());
}

} // namespace
