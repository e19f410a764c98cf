#include "hal/Device.h"

#include "hal/Context.h"
#include "hal/Convert.h"
#include "hal/MuteControl.h"
#include "hal/Stream.h"
#include "hal/VolumeControl.h"

#include "CapturingTracer.h"
#include "TraceLines.h"
#include "TestHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace {

using pelio::test::CapturingTracer;
using pelio::test::MessagesOf;
using pelio::test::TestHost;
using Bytes = std::vector<UInt8>;
using Lines = std::vector<std::string>;

constexpr pid_t kClientPID = 77;
constexpr AudioObjectPropertyScope kGlobal = kAudioObjectPropertyScopeGlobal;
constexpr AudioObjectPropertyScope kInput = kAudioObjectPropertyScopeInput;
constexpr AudioObjectPropertyScope kOutput = kAudioObjectPropertyScopeOutput;

template <class Value>
Bytes BytesOf(const Value& value)
{
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

template <class Element>
Bytes BytesOf(const std::vector<Element>& list)
{
    Bytes bytes(list.size() * sizeof(Element));
    if (!list.empty()) {
        std::memcpy(bytes.data(), list.data(), bytes.size());
    }
    return bytes;
}

hal::DeviceParameters Parameters()
{
    hal::DeviceParameters parameters;
    parameters.Name = "Pelio iPhone";
    parameters.Manufacturer = "Pelio Audio";
    parameters.DeviceUID = "local.pelio.audio.iphone.output";
    parameters.ModelUID = "local.pelio.audio.iphone";
    parameters.SerialNumber = "SN-1";
    parameters.FirmwareVersion = "1.2";
    parameters.IconURL = "file:///Library/Pelio/Icon.icns";
    parameters.ConfigurationApplicationBundleID = "local.pelio.settings";
    parameters.CanBeDefaultSystemDevice = false;
    parameters.SampleRate = 48000;
    parameters.Latency = 12;
    parameters.SafetyOffset = 34;
    parameters.ZeroTimeStampPeriod = 512;
    parameters.ClockDomain = 7;
    return parameters;
}

// A device with one stream and one control in each direction's scope, owned directly (the
// device's own member operations are not what this test is about).
class DevicePropertiesTest : public ::testing::Test
{
protected:
    DevicePropertiesTest()
    {
        hal::StreamParameters output;
        output.Direction = hal::Direction::Output;
        hal::StreamParameters input;
        input.Direction = hal::Direction::Input;
        outputStream = hal::MakeObject<hal::Stream>(context, device, output);
        inputStream = hal::MakeObject<hal::Stream>(context, device, input);
        volume = hal::MakeObject<hal::VolumeControl>(context, hal::VolumeControlParameters{.Scope = kOutput});
        mute = hal::MakeObject<hal::MuteControl>(context, hal::MuteControlParameters{.Scope = kInput});
        device->AddOwnedObject(outputStream, kOutput);
        device->AddOwnedObject(inputStream, kInput);
        device->AddOwnedObject(volume, kOutput);
        device->AddOwnedObject(mute, kInput);
        host.SetConfigurationChangeCallbacks(
            [this](AudioObjectID objectID, UInt64 action, void* info) {
                return device->PerformConfigurationChange(objectID, action, info);
            },
            nullptr);
        tracer->ClearLines();
    }

    // Owned, and the host known: the sample rate's changes wait for the host.
    void OwnAndKnowHost()
    {
        device->RequestOwnershipChange(owner.get(), true);
        context->Host.store(host.GetInterface(), std::memory_order_release);
        tracer->ClearLines();
    }

    OSStatus Get(AudioObjectPropertySelector selector, UInt32 size, UInt32* outSize, void* outData,
                 AudioObjectPropertyScope scope = kGlobal) const
    {
        const AudioObjectPropertyAddress address{selector, scope, kAudioObjectPropertyElementMain};
        return device->GetPropertyData(device->GetID(), kClientPID, &address, 0, nullptr, size, outSize, outData);
    }

    OSStatus Set(AudioObjectPropertySelector selector, UInt32 size, const void* data)
    {
        const AudioObjectPropertyAddress address{selector, kGlobal, kAudioObjectPropertyElementMain};
        return device->SetPropertyData(device->GetID(), kClientPID, &address, 0, nullptr, size, data);
    }

    Float64 NominalRateOnTheWire() const
    {
        Float64 rate = 0.0;
        EXPECT_EQ(Get(kAudioDevicePropertyNominalSampleRate, sizeof rate, nullptr, &rate), 0);
        return rate;
    }

    std::shared_ptr<CapturingTracer> tracer =
        std::make_shared<CapturingTracer>(CapturingTracer::Mode::Stderr, CapturingTracer::Style::Flat);
    std::shared_ptr<hal::Context> context = std::make_shared<hal::Context>(tracer);
    TestHost host;
    std::shared_ptr<hal::Object> owner = hal::MakeObject<hal::Object>(context, "Owner");
    std::shared_ptr<hal::Device> device = hal::MakeObject<hal::Device>(context, Parameters());
    std::shared_ptr<hal::Stream> outputStream;
    std::shared_ptr<hal::Stream> inputStream;
    std::shared_ptr<hal::VolumeControl> volume;
    std::shared_ptr<hal::MuteControl> mute;
};

enum class Scopes { Any, InputOrOutput };

// What the host reads for one selector: the bytes, or for a CoreFoundation value its text.
struct Expected
{
    AudioObjectPropertySelector selector;
    Scopes scopes;
    bool isSettable;
    UInt32 size;
    Bytes data;           // empty for the text and URL properties
    std::string text;     // of a CFString or CFURL
    std::string message;
};

// The text a CFString or CFURL reference carries; the reference is released.
std::string TextOfReference(const Bytes& buffer, bool isURL)
{
    CFTypeRef reference = nullptr;
    std::memcpy(&reference, buffer.data(), sizeof reference);
    if (reference == nullptr) {
        return "<null>";
    }
    std::string text;
    if (isURL) {
        EXPECT_EQ(CFGetTypeID(reference), CFURLGetTypeID());
        hal::Convert::FromFoundation(static_cast<CFURLRef>(reference), text);
    } else {
        EXPECT_EQ(CFGetTypeID(reference), CFStringGetTypeID());
        hal::Convert::FromFoundation(static_cast<CFStringRef>(reference), text);
    }
    CFRelease(reference);
    return text;
}

TEST_F(DevicePropertiesTest, EverySelectorAnswersItsSizeDataSettableFlagAndScopes)
{
    const AudioObjectID id = device->GetID();
    const Bytes layout = device->GetPreferredChannelLayout();
    ASSERT_EQ(layout.size(), 52u);
    const std::vector<AudioObjectID> streams{inputStream->GetID(), outputStream->GetID()};  // 'inpt' before 'outp'
    const std::vector<AudioObjectID> controls{mute->GetID(), volume->GetID()};
    const auto ids = [](const std::vector<AudioObjectID>& list) {
        return hal::Convert::FormatArray(std::span<const UInt32>(list));
    };
    const std::string text;

    const std::vector<Expected> table{
        {kAudioObjectPropertyName, Scopes::Any, false, 8, {}, "Pelio iPhone", "returning Name=Pelio iPhone"},
        {kAudioObjectPropertyManufacturer, Scopes::Any, false, 8, {}, "Pelio Audio",
         "returning Manufacturer=Pelio Audio"},
        {kAudioDevicePropertyDeviceUID, Scopes::Any, false, 8, {}, "local.pelio.audio.iphone.output",
         "returning DeviceUID=local.pelio.audio.iphone.output"},
        {kAudioDevicePropertyModelUID, Scopes::Any, false, 8, {}, "local.pelio.audio.iphone",
         "returning ModelUID=local.pelio.audio.iphone"},
        {kAudioObjectPropertySerialNumber, Scopes::Any, false, 8, {}, "SN-1", "returning SerialNumber=SN-1"},
        {kAudioObjectPropertyFirmwareVersion, Scopes::Any, false, 8, {}, "1.2", "returning FirmwareVersion=1.2"},
        {kAudioDevicePropertyIcon, Scopes::Any, false, 8, {}, "file:///Library/Pelio/Icon.icns",
         "returning IconURL=file:///Library/Pelio/Icon.icns"},
        {kAudioDevicePropertyConfigurationApplication, Scopes::Any, false, 8, {}, "local.pelio.settings",
         "returning ConfigurationApplicationBundleID=local.pelio.settings"},
        // Numbers print in decimal, the transport type too.
        {kAudioDevicePropertyTransportType, Scopes::Any, false, 4, BytesOf(UInt32{'virt'}), text,
         "returning TransportType=1986622068"},
        {kAudioDevicePropertyRelatedDevices, Scopes::Any, false, 4, BytesOf(std::vector<AudioObjectID>{id}), text,
         "returning RelatedDeviceIDs=[" + std::to_string(id) + "] (1/1)"},
        {kAudioDevicePropertyClockIsStable, Scopes::Any, false, 4, BytesOf(UInt32{1}), text,
         "returning ClockIsStable=1"},
        {kAudioDevicePropertyClockAlgorithm, Scopes::Any, false, 4, BytesOf(UInt32{'iirf'}), text,
         "returning ClockAlgorithm=1768518246"},
        {kAudioDevicePropertyClockDomain, Scopes::Any, false, 4, BytesOf(UInt32{7}), text,
         "returning ClockDomain=7"},
        {kAudioDevicePropertyLatency, Scopes::InputOrOutput, false, 4, BytesOf(UInt32{12}), text,
         "returning Latency=12"},
        {kAudioDevicePropertySafetyOffset, Scopes::InputOrOutput, false, 4, BytesOf(UInt32{34}), text,
         "returning SafetyOffset=34"},
        {kAudioDevicePropertyZeroTimeStampPeriod, Scopes::Any, false, 4, BytesOf(UInt32{512}), text,
         "returning ZeroTimeStampPeriod=512"},
        {kAudioDevicePropertyNominalSampleRate, Scopes::Any, true, 8, BytesOf(Float64{48000.0}), text,
         "returning NominalSampleRate=48000.000000"},
        {kAudioDevicePropertyAvailableNominalSampleRates, Scopes::Any, false, 16,
         BytesOf(AudioValueRange{48000.0, 48000.0}), text,
         "returning AvailableSampleRates=[{min:48000 max:48000}] (1/1)"},
        {kAudioDevicePropertyPreferredChannelsForStereo, Scopes::InputOrOutput, false, 8,
         BytesOf(std::array<UInt32, 2>{1, 2}), text, "returning PreferredChannelsForStereo=... (2/2)"},
        {kAudioDevicePropertyPreferredChannelLayout, Scopes::InputOrOutput, false, 52, layout, text,
         "returning PreferredChannelLayout=" + hal::Convert::FormatArray(std::span<const UInt8>(layout))
             + " (52/52)"},
        {kAudioDevicePropertyDeviceIsRunning, Scopes::Any, false, 4, BytesOf(UInt32{0}), text,
         "returning IsRunning=0"},
        {kAudioObjectPropertyIdentify, Scopes::Any, true, 4, BytesOf(UInt32{0}), text, "returning IsIdentifying=0"},
        {kAudioDevicePropertyDeviceIsAlive, Scopes::Any, false, 4, BytesOf(UInt32{1}), text, "returning IsAlive=1"},
        {kAudioDevicePropertyIsHidden, Scopes::Any, false, 4, BytesOf(UInt32{0}), text, "returning IsHidden=0"},
        {kAudioDevicePropertyDeviceCanBeDefaultDevice, Scopes::InputOrOutput, false, 4, BytesOf(UInt32{1}), text,
         "returning CanBeDefaultDevice=1"},
        {kAudioDevicePropertyDeviceCanBeDefaultSystemDevice, Scopes::InputOrOutput, false, 4, BytesOf(UInt32{0}),
         text, "returning CanBeDefaultSystemDevice=0"},
        {kAudioDevicePropertyStreams, Scopes::Any, false, 8, BytesOf(streams), text,
         "returning StreamIDs=" + ids(streams) + " (2/2)"},
        {kAudioObjectPropertyControlList, Scopes::Any, false, 8, BytesOf(controls), text,
         "returning ControlIDs=" + ids(controls) + " (2/2)"},
    };

    for (const Expected& row : table) {
        SCOPED_TRACE(row.message);
        const bool isURL = row.selector == kAudioDevicePropertyIcon;
        for (const AudioObjectPropertyScope scope : {kGlobal, kInput, kOutput}) {
            const AudioObjectPropertyAddress address{row.selector, scope, kAudioObjectPropertyElementMain};
            const bool admitted = row.scopes == Scopes::Any || scope != kGlobal;
            tracer->ClearLines();
            EXPECT_EQ(device->HasProperty(id, kClientPID, &address), admitted);
            EXPECT_EQ(MessagesOf(tracer->GetLines()),
                      Lines{admitted ? "returning HasProperty=true" : "returning HasProperty=false (disallowed scope)"});
            if (scope != kGlobal) {
                continue;
            }

            // Only HasProperty looks at the scope: every other operation answers in 'glob'.
            Boolean isSettable = 0xEE;
            EXPECT_EQ(device->IsPropertySettable(id, kClientPID, &address, &isSettable), 0);
            EXPECT_EQ(isSettable, row.isSettable ? 1 : 0);
            UInt32 size = 0xEEEEEEEE;
            EXPECT_EQ(device->GetPropertyDataSize(id, kClientPID, &address, 0, nullptr, &size), 0);
            EXPECT_EQ(size, row.size);

            // A buffer with room to spare: exactly the value is written, and its size.
            Bytes buffer(row.size + 8, 0xEE);
            UInt32 written = 0xEEEEEEEE;
            tracer->ClearLines();
            EXPECT_EQ(device->GetPropertyData(id, kClientPID, &address, 0, nullptr, row.size + 8, &written,
                                              buffer.data()),
                      0);
            EXPECT_EQ(written, row.size);
            EXPECT_TRUE(std::all_of(buffer.begin() + row.size, buffer.end(), [](UInt8 b) { return b == 0xEE; }));
            if (row.data.empty()) {
                EXPECT_EQ(TextOfReference(buffer, isURL), row.text);
            } else {
                EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + row.size), row.data);
            }
            EXPECT_EQ(MessagesOf(tracer->GetLines()), Lines{row.message});
        }
    }
}

TEST_F(DevicePropertiesTest, StreamsFollowTheAddressScopeAndControlsIgnoreIt)
{
    struct Case
    {
        AudioObjectPropertySelector selector;
        AudioObjectPropertyScope scope;
        std::vector<AudioObjectID> expected;
    };
    const Case cases[] = {
        {kAudioDevicePropertyStreams, kOutput, {outputStream->GetID()}},
        {kAudioDevicePropertyStreams, kInput, {inputStream->GetID()}},
        {kAudioDevicePropertyStreams, kAudioObjectPropertyScopePlayThrough, {}},
        {kAudioObjectPropertyControlList, kOutput, {mute->GetID(), volume->GetID()}},
        {kAudioObjectPropertyControlList, kInput, {mute->GetID(), volume->GetID()}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(hal::Convert::FormatArray(std::span<const UInt32>(testCase.expected)));
        const AudioObjectPropertyAddress address{testCase.selector, testCase.scope, kAudioObjectPropertyElementMain};
        UInt32 size = 0xEEEEEEEE;
        EXPECT_EQ(device->GetPropertyDataSize(device->GetID(), kClientPID, &address, 0, nullptr, &size), 0);
        EXPECT_EQ(size, 4 * testCase.expected.size());
        std::vector<AudioObjectID> ids(4, 0);
        EXPECT_EQ(Get(testCase.selector, 16, &size, ids.data(), testCase.scope), 0);
        ids.resize(size / 4);
        EXPECT_EQ(ids, testCase.expected);
    }
}

TEST_F(DevicePropertiesTest, ShortBuffersCutListsButRefuseValuesAndTheLayout)
{
    struct Case
    {
        AudioObjectPropertySelector selector;
        UInt32 offered;
        OSStatus status;
        UInt32 written;  // 0xEEEEEEEE: left alone
        Lines messages;
    };
    constexpr UInt32 kUntouched = 0xEEEEEEEE;
    const std::string firstStream = "returning StreamIDs=[" + std::to_string(inputStream->GetID()) + ", "
                                    + std::to_string(outputStream->GetID()) + "]";
    const Case cases[] = {
        {kAudioObjectPropertyName, 4, kAudioHardwareBadPropertySizeError, kUntouched,
         {"not enough space: need 8, avail 4"}},
        {kAudioDevicePropertyIcon, 7, kAudioHardwareBadPropertySizeError, kUntouched,
         {"not enough space: need 8, avail 7"}},
        {kAudioDevicePropertyNominalSampleRate, 7, kAudioHardwareBadPropertySizeError, kUntouched,
         {"not enough space: need 8, avail 7"}},
        {kAudioDevicePropertyLatency, 3, kAudioHardwareBadPropertySizeError, kUntouched,
         {"not enough space: need 4, avail 3"}},
        {kAudioDevicePropertyPreferredChannelLayout, 51, kAudioHardwareBadPropertySizeError, kUntouched,
         {"not enough space: need 52, avail 51"}},
        {kAudioDevicePropertyStreams, 4, 0, 4, {firstStream + " (1/2)"}},
        {kAudioDevicePropertyStreams, 3, 0, 0, {firstStream + " (0/2)"}},
        {kAudioDevicePropertyPreferredChannelsForStereo, 4, 0, 4, {"returning PreferredChannelsForStereo=... (1/2)"}},
        {kAudioDevicePropertyAvailableNominalSampleRates, 15, 0, 0,
         {"returning AvailableSampleRates=[{min:48000 max:48000}] (0/1)"}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.messages.front());
        Bytes buffer(64, 0xEE);
        UInt32 written = kUntouched;
        tracer->ClearLines();
        EXPECT_EQ(Get(testCase.selector, testCase.offered, &written, buffer.data()), testCase.status);
        EXPECT_EQ(written, testCase.written);
        const std::size_t firstUntouched = testCase.written == kUntouched ? 0 : testCase.written;
        EXPECT_TRUE(std::all_of(buffer.begin() + firstUntouched, buffer.end(), [](UInt8 b) { return b == 0xEE; }));
        EXPECT_EQ(MessagesOf(tracer->GetLines()), testCase.messages);
    }
}

TEST_F(DevicePropertiesTest, NullOutputPointersAreSkippedWithSuccess)
{
    const AudioObjectPropertyAddress name{kAudioObjectPropertyName, kGlobal, kAudioObjectPropertyElementMain};
    EXPECT_EQ(device->IsPropertySettable(device->GetID(), kClientPID, &name, nullptr), 0);
    EXPECT_EQ(device->GetPropertyDataSize(device->GetID(), kClientPID, &name, 0, nullptr, nullptr), 0);
    UInt32 written = 0;
    EXPECT_EQ(Get(kAudioObjectPropertyName, 8, &written, nullptr), 0);
    EXPECT_EQ(written, 8u);
    CFStringRef string = nullptr;
    EXPECT_EQ(Get(kAudioObjectPropertyName, 8, nullptr, &string), 0);
    ASSERT_NE(string, nullptr);
    CFRelease(string);

    // The layout is all or nothing, but its read message is traced with or without a buffer.
    EXPECT_EQ(Get(kAudioDevicePropertyPreferredChannelLayout, 52, &written, nullptr), 0);
    EXPECT_EQ(written, 52u);
    UInt32 latency = 0;
    EXPECT_EQ(Get(kAudioDevicePropertyLatency, 4, nullptr, &latency), 0);
    EXPECT_EQ(latency, 12u);

    const Lines messages = MessagesOf(tracer->GetLines());
    ASSERT_EQ(messages.size(), 9u);
    EXPECT_EQ(Lines(messages.begin(), messages.begin() + 6),
              (Lines{"output buffer is null", "output buffer is null", "data buffer is null", "size buffer is null",
                     "returning Name=Pelio iPhone", "data buffer is null"}));
    EXPECT_EQ(messages[6].rfind("returning PreferredChannelLayout=[", 0), 0u);
    EXPECT_EQ(Lines(messages.begin() + 7, messages.end()), (Lines{"size buffer is null", "returning Latency=12"}));
}

// A string property whose text is not UTF-8 cannot become a CFString: the host would otherwise
// receive a null reference with status 0 and release it.
TEST_F(DevicePropertiesTest, TextThatDoesNotConvertIsRefusedAndNothingIsWritten)
{
    hal::DeviceParameters parameters = Parameters();
    parameters.Name = "Pelio \xFF";
    parameters.IconURL = "file:///\xC3";
    const auto broken = hal::MakeObject<hal::Device>(context, parameters);
    struct Case
    {
        AudioObjectPropertySelector selector;
        std::string message;
    };
    const Case cases[] = {
        {kAudioObjectPropertyName, "cannot convert Name to a CFString"},
        {kAudioDevicePropertyIcon, "cannot convert IconURL to a CFURL"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.message);
        const AudioObjectPropertyAddress address{testCase.selector, kGlobal, kAudioObjectPropertyElementMain};
        Bytes buffer(8, 0xEE);
        UInt32 written = 0xEEEEEEEE;
        tracer->ClearLines();
        EXPECT_EQ(broken->GetPropertyData(broken->GetID(), kClientPID, &address, 0, nullptr, 8, &written,
                                          buffer.data()),
                  kAudioHardwareUnspecifiedError);
        EXPECT_EQ(written, 0xEEEEEEEEu);
        EXPECT_EQ(buffer, Bytes(8, 0xEE));
        EXPECT_EQ(MessagesOf(tracer->GetLines()), Lines{testCase.message});
        EXPECT_EQ(tracer->GetLines().back(), "Device::GetPropertyData() end status=kAudioHardwareUnspecifiedError");

        // Nothing is converted when there is nowhere to put it.
        EXPECT_EQ(broken->GetPropertyData(broken->GetID(), kClientPID, &address, 0, nullptr, 8, &written, nullptr),
                  0);
        EXPECT_EQ(written, 8u);
    }
}

TEST_F(DevicePropertiesTest, SettingTheTwoSettablePropertiesGoesThroughTheirSetters)
{
    OwnAndKnowHost();
    const Float64 unavailable = 44100.0;
    EXPECT_EQ(Set(kAudioDevicePropertyNominalSampleRate, 8, &unavailable), kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(MessagesOf(tracer->GetLines()),
              (Lines{"setting NominalSampleRate=44100.000000", "rate 44100.000000 is not supported",
                     "value is invalid", "setter failed"}));
    EXPECT_TRUE(host.GetConfigurationChangeRequests().empty());

    ASSERT_EQ(device->SetAvailableSampleRatesAsync({{44100.0, 48000.0}}), 0);
    host.PerformPendingConfigurationChanges();
    EXPECT_EQ(Set(kAudioDevicePropertyNominalSampleRate, 8, &unavailable), 0);
    // The rate changes when the host performs the change the setter asked for.
    EXPECT_EQ(NominalRateOnTheWire(), 48000.0);
    host.PerformPendingConfigurationChanges();
    EXPECT_EQ(NominalRateOnTheWire(), 44100.0);

    // Identify: any non-zero word asks for it, and the device's store refuses.
    const UInt32 seven = 7;
    const UInt32 zero = 0;
    tracer->ClearLines();
    EXPECT_EQ(Set(kAudioObjectPropertyIdentify, 4, &seven), kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(Set(kAudioObjectPropertyIdentify, 4, &zero), 0);
    EXPECT_EQ(MessagesOf(tracer->GetLines()),
              (Lines{"setting IsIdentifying=1", "setting value to 1", "setter failed", "setter failed",
                     "setting IsIdentifying=0", "value not changed"}));
    EXPECT_TRUE(host.GetNotifications().empty());
}

TEST_F(DevicePropertiesTest, MalformedSetsAndReadOnlySelectorsAreRefused)
{
    const std::array<UInt8, 16> data{};
    struct Case
    {
        AudioObjectPropertySelector selector;
        UInt32 size;
        const void* data;
        OSStatus status;
        std::string message;
    };
    const Case cases[] = {
        {kAudioDevicePropertyNominalSampleRate, 4, data.data(), kAudioHardwareBadPropertySizeError,
         "invalid size: should be 8, got 4"},
        {kAudioDevicePropertyNominalSampleRate, 8, nullptr, kAudioHardwareIllegalOperationError,
         "input buffer is null"},
        {kAudioObjectPropertyIdentify, 8, data.data(), kAudioHardwareBadPropertySizeError,
         "invalid size: should be 4, got 8"},
        {kAudioObjectPropertyIdentify, 4, nullptr, kAudioHardwareIllegalOperationError, "input buffer is null"},
        // Read-only: the object base does not know them.
        {kAudioDevicePropertyLatency, 4, data.data(), kAudioHardwareUnknownPropertyError, "property not found"},
        {kAudioDevicePropertyIsHidden, 4, data.data(), kAudioHardwareUnknownPropertyError, "property not found"},
        {kAudioObjectPropertyName, 8, data.data(), kAudioHardwareUnknownPropertyError, "property not found"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.message);
        tracer->ClearLines();
        EXPECT_EQ(Set(testCase.selector, testCase.size, testCase.data), testCase.status);
        EXPECT_EQ(MessagesOf(tracer->GetLines()), Lines{testCase.message});
    }
    EXPECT_EQ(device->GetNominalSampleRate(), 48000.0);
    EXPECT_FALSE(device->GetIsHidden());
}

TEST_F(DevicePropertiesTest, NullAddressOtherObjectsAndUnknownSelectorsAreRefused)
{
    const AudioObjectPropertyAddress name{kAudioObjectPropertyName, kGlobal, kAudioObjectPropertyElementMain};
    const AudioObjectPropertyAddress unknown{'zzzz', kGlobal, kAudioObjectPropertyElementMain};
    struct Case
    {
        const char* description;
        AudioObjectID objectID;
        const AudioObjectPropertyAddress* address;
        OSStatus status;
        std::string message;
    };
    const Case cases[] = {
        {"null address", device->GetID(), nullptr, kAudioHardwareIllegalOperationError, "address is null"},
        {"another object's ID", device->GetID() + 100, &name, kAudioHardwareBadObjectError, "object not found"},
        {"unknown selector", device->GetID(), &unknown, kAudioHardwareUnknownPropertyError, "property not found"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.description);
        const AudioObjectID id = testCase.objectID;
        Boolean isSettable = 0xEE;
        UInt32 size = 0xEEEEEEEE;
        Bytes buffer(8, 0xEE);
        tracer->ClearLines();
        EXPECT_FALSE(device->HasProperty(id, kClientPID, testCase.address));
        EXPECT_EQ(device->IsPropertySettable(id, kClientPID, testCase.address, &isSettable), testCase.status);
        EXPECT_EQ(device->GetPropertyDataSize(id, kClientPID, testCase.address, 0, nullptr, &size), testCase.status);
        EXPECT_EQ(device->GetPropertyData(id, kClientPID, testCase.address, 0, nullptr, 8, &size, buffer.data()),
                  testCase.status);
        EXPECT_EQ(device->SetPropertyData(id, kClientPID, testCase.address, 0, nullptr, 8, buffer.data()),
                  testCase.status);
        EXPECT_EQ(isSettable, 0xEE);
        EXPECT_EQ(size, 0xEEEEEEEEu);
        EXPECT_EQ(buffer, Bytes(8, 0xEE));
        EXPECT_EQ(MessagesOf(tracer->GetLines()), Lines(5, testCase.message));
    }
}

TEST_F(DevicePropertiesTest, BaseSelectorsAreAnsweredInsideTheDevicesOwnOperation)
{
    UInt32 classID = 0;
    UInt32 written = 0;
    EXPECT_EQ(Get(kAudioObjectPropertyClass, 4, &written, &classID), 0);
    EXPECT_EQ(classID, kAudioDeviceClassID);
    const std::string id = std::to_string(device->GetID());
    EXPECT_EQ(tracer->GetLines(),
              (Lines{"Device::GetPropertyData() begin kAudioObjectPropertyClass clientPID=77 objectID=" + id
                         + " scope=kAudioObjectPropertyScopeGlobal inSize=4",
                     "Object::GetPropertyData() begin kAudioObjectPropertyClass clientPID=77 objectID=" + id
                         + " scope=kAudioObjectPropertyScopeGlobal inSize=4",
                     "returning Class=1633969526", "Object::GetPropertyData() end status=OK outSize=4",
                     "Device::GetPropertyData() end status=OK outSize=4"}));

    // The owned objects of the address's scope, through the same path.
    std::array<AudioObjectID, 4> owned{};
    EXPECT_EQ(Get(kAudioObjectPropertyOwnedObjects, 16, &written, owned.data(), kOutput), 0);
    EXPECT_EQ(written, 8u);
    EXPECT_EQ(std::vector<AudioObjectID>(owned.begin(), owned.begin() + 2),
              (std::vector<AudioObjectID>{outputStream->GetID(), volume->GetID()}));
}

// A derived device that reports its own state is answered through its getters.
class RunningDevice : public hal::Device
{
public:
    RunningDevice(std::shared_ptr<const hal::Context> context, const hal::DeviceParameters& parameters)
        : Device(std::move(context), parameters)
    {
    }

    bool GetIsRunning() const HAL_NONBLOCKING override { return true; }
    std::string GetName() const override { return "Derived"; }
    UInt32 GetLatency() const HAL_NONBLOCKING override { return 99; }
};

TEST_F(DevicePropertiesTest, ValuesComeFromTheVirtualGetters)
{
    const auto derived = hal::MakeObject<RunningDevice>(context, Parameters());
    const auto read = [&](AudioObjectPropertySelector selector, void* data, UInt32 size) {
        const AudioObjectPropertyAddress address{selector, kOutput, kAudioObjectPropertyElementMain};
        return derived->GetPropertyData(derived->GetID(), 0, &address, 0, nullptr, size, nullptr, data);
    };
    UInt32 isRunning = 0;
    UInt32 latency = 0;
    CFStringRef name = nullptr;
    EXPECT_EQ(read(kAudioDevicePropertyDeviceIsRunning, &isRunning, 4), 0);
    EXPECT_EQ(read(kAudioDevicePropertyLatency, &latency, 4), 0);
    EXPECT_EQ(read(kAudioObjectPropertyName, &name, 8), 0);
    EXPECT_EQ(isRunning, 1u);
    EXPECT_EQ(latency, 99u);
    std::string text;
    ASSERT_TRUE(hal::Convert::FromFoundation(name, text));
    EXPECT_EQ(text, "Derived");
    CFRelease(name);
}

} // namespace
