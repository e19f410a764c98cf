// Every entry of the assembled driver's interface table, called the way a confused host might:
// null pointers, zero and huge sizes, IDs of no object or of the wrong kind of object, qualifiers
// of the wrong size or type. Each call must come back with a status (a refusal, or a read that
// succeeds within what was offered) and leave the driver as it was: every property of every
// object reads the same afterwards, and the host hears of no change and no request.

#include "PelioAssembly.h"
#include "PropertySelectors.h"
#include "TestHost.h"

#include "hal/CodeNames.h"
#include "hal/Driver.h"

#include <CoreAudio/AudioServerPlugIn.h>
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

using pelio::test::TestHost;

constexpr AudioObjectID kPlugInID = kAudioObjectPlugInObject;
constexpr AudioObjectID kDeviceID = 2;
constexpr AudioObjectID kStreamID = 3;
constexpr AudioObjectID kNoObject = 4242;
constexpr UInt32 kClientID = 7;
constexpr UInt32 kHuge = std::numeric_limits<UInt32>::max();

AudioObjectPropertyAddress Global(AudioObjectPropertySelector selector)
{
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

// Text for a value that a property read handed out: the object's own text for strings and URLs
// (released here), the bytes in hex otherwise.
std::string Describe(AudioObjectPropertySelector selector, const std::uint8_t* data, UInt32 size)
{
    if (pelio::test::ReturnsObject(selector) && size == sizeof(CFTypeRef)) {
        CFTypeRef object = nullptr;
        std::memcpy(&object, data, sizeof object);
        CFStringRef text = CFGetTypeID(object) == CFURLGetTypeID() ? CFURLGetString(static_cast<CFURLRef>(object))
                                                                    : static_cast<CFStringRef>(object);
        char characters[512] = {};
        CFStringGetCString(text, characters, sizeof characters, kCFStringEncodingUTF8);
        CFRelease(object);
        return characters;
    }
    std::string hex;
    for (UInt32 index = 0; index < size; ++index) {
        static constexpr char kDigits[] = "0123456789abcdef";
        hex += kDigits[data[index] >> 4];
        hex += kDigits[data[index] & 15];
    }
    return hex;
}

class PelioDriverBadInput : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(table.Initialize(reference, host.GetInterface()), 0);
        ASSERT_EQ(table.AddDeviceClient(reference, kDeviceID, &client), 0);
        host.ClearNotifications();
    }

    // Everything the host can read, and what the host has been told.
    std::vector<std::string> Snapshot()
    {
        std::vector<std::string> lines;
        for (const AudioObjectID objectID : {kPlugInID, kDeviceID, kStreamID}) {
            for (const AudioObjectPropertySelector selector : pelio::test::kKnownSelectors) {
                for (const AudioObjectPropertyScope scope : {kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyScopeOutput}) {
                    const AudioObjectPropertyAddress address{selector, scope, kAudioObjectPropertyElementMain};
                    std::array<std::uint8_t, 4096> data{};
                    UInt32 size = 0;
                    const OSStatus status =
                        table.GetPropertyData(reference, objectID, 0, &address, 0, nullptr, data.size(), &size, data.data());
                    lines.push_back(std::to_string(objectID) + " " + hal::PropertySelectorToString(selector) + " "
                                    + hal::PropertyScopeToString(scope)
                                    + " has=" + std::to_string(table.HasProperty(reference, objectID, 0, &address))
                                    + " status=" + hal::StatusToString(status)
                                    + (status == 0 ? " value=" + Describe(selector, data.data(), size) : ""));
                }
            }
        }
        lines.push_back("notifications=" + std::to_string(host.GetNotifications().size()));
        lines.push_back("requests=" + std::to_string(host.GetConfigurationChangeRequests().size()));
        return lines;
    }

    TestHost host;
    std::shared_ptr<hal::Driver> driver = pelio::createDriver();
    AudioServerPlugInDriverRef reference = driver->GetReference();
    const AudioServerPlugInDriverInterface& table = **reference;
    const AudioServerPlugInClientInfo client{kClientID, 4242, 1, nullptr};
};

struct Case
{
    const char* name;
    OSStatus expected;
    std::function<OSStatus(const AudioServerPlugInDriverInterface&, AudioServerPlugInDriverRef)> call;
};

TEST_F(PelioDriverBadInput, EveryEntryAnswersWithAStatusAndChangesNothing)
{
    using Table = AudioServerPlugInDriverInterface;
    using Reference = AudioServerPlugInDriverRef;
    const auto isRunning = Global(kAudioDevicePropertyDeviceIsRunning);
    const auto name = Global(kAudioObjectPropertyName);
    const auto sampleRate = Global(kAudioDevicePropertyNominalSampleRate);
    const auto format = Global(kAudioStreamPropertyPhysicalFormat);
    const auto translate = Global(kAudioPlugInPropertyTranslateUIDToDevice);
    const auto unknown = Global('zzzz');
    const CFStringRef uid = CFStringCreateWithCString(nullptr, pelio::kDeviceUID, kCFStringEncodingUTF8);
    const SInt64 number = 2;
    const CFNumberRef notAString = CFNumberCreate(nullptr, kCFNumberSInt64Type, &number);
    const AudioServerPlugInClientInfo stranger{99, 1, 1, nullptr};
    const AudioServerPlugInClientInfo withNumberForBundle{kClientID, 1, 1, reinterpret_cast<CFStringRef>(notAString)};
    const AudioServerPlugInIOCycleInfo cycle{};
    std::vector<Float32> mix(2 * 512, 0.5f);
    std::array<std::uint8_t, 4096> out{};
    UInt32 outSize = 0;
    Boolean flag = 0;
    Float64 time = 0;
    UInt64 ticks = 0;
    UInt64 seed = 0;
    void* answer = nullptr;
    const Float64 unavailableRate = 44100.0;
    const Float64 notARate = std::nan("");
    AudioStreamBasicDescription otherFormat{44100.0, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat, 4, 1, 4, 1, 32, 0};

    const std::vector<Case> cases = {
        // The driver's own entries.
        {"QueryInterface without a driver", E_NOINTERFACE,
         [&](const Table& t, Reference) { return t.QueryInterface(nullptr, CFUUIDGetUUIDBytes(IUnknownUUID), &answer); }},
        {"QueryInterface of an unknown interface", E_NOINTERFACE,
         [&](const Table& t, Reference r) { return t.QueryInterface(r, CFUUIDGetUUIDBytes(kAudioServerPlugInTypeUUID), &answer); }},
        {"QueryInterface with no place for the answer", E_NOINTERFACE,
         [&](const Table& t, Reference r) { return t.QueryInterface(r, CFUUIDGetUUIDBytes(IUnknownUUID), nullptr); }},
        {"AddRef without a driver", 0, [&](const Table& t, Reference) { return static_cast<OSStatus>(t.AddRef(nullptr)); }},
        {"Release without a driver", 0, [&](const Table& t, Reference) { return static_cast<OSStatus>(t.Release(nullptr)); }},
        {"Initialize without a driver", kAudioHardwareUnspecifiedError,
         [&](const Table& t, Reference) { return t.Initialize(nullptr, host.GetInterface()); }},
        {"CreateDevice with nothing", kAudioHardwareUnsupportedOperationError,
         [&](const Table& t, Reference r) { return t.CreateDevice(r, nullptr, nullptr, nullptr); }},
        {"DestroyDevice of the device", kAudioHardwareUnsupportedOperationError,
         [&](const Table& t, Reference r) { return t.DestroyDevice(r, kDeviceID); }},
        // Clients.
        {"AddDeviceClient without a record", kAudioHardwareIllegalOperationError,
         [&](const Table& t, Reference r) { return t.AddDeviceClient(r, kDeviceID, nullptr); }},
        {"AddDeviceClient to the stream", kAudioHardwareBadObjectError,
         [&](const Table& t, Reference r) { return t.AddDeviceClient(r, kStreamID, &stranger); }},
        {"AddDeviceClient without a driver", kAudioHardwareUnspecifiedError,
         [&](const Table& t, Reference) { return t.AddDeviceClient(nullptr, kDeviceID, &stranger); }},
        {"RemoveDeviceClient without a record", kAudioHardwareIllegalOperationError,
         [&](const Table& t, Reference r) { return t.RemoveDeviceClient(r, kDeviceID, nullptr); }},
        {"RemoveDeviceClient of a client never added", kAudioHardwareIllegalOperationError,
         [&](const Table& t, Reference r) { return t.RemoveDeviceClient(r, kDeviceID, &stranger); }},
        {"RemoveDeviceClient from the plug-in object", kAudioHardwareBadObjectError,
         [&](const Table& t, Reference r) { return t.RemoveDeviceClient(r, kPlugInID, &withNumberForBundle); }},
        // Configuration changes nobody asked for.
        {"PerformDeviceConfigurationChange never requested", 0,
         [&](const Table& t, Reference r) { return t.PerformDeviceConfigurationChange(r, kDeviceID, 12345, nullptr); }},
        {"AbortDeviceConfigurationChange never requested", 0,
         [&](const Table& t, Reference r) { return t.AbortDeviceConfigurationChange(r, kDeviceID, kHuge, nullptr); }},
        {"PerformDeviceConfigurationChange on the stream", kAudioHardwareBadObjectError,
         [&](const Table& t, Reference r) { return t.PerformDeviceConfigurationChange(r, kStreamID, 1, nullptr); }},
        // Properties.
        {"HasProperty without an address", false,
         [&](const Table& t, Reference r) { return static_cast<OSStatus>(t.HasProperty(r, kDeviceID, 0, nullptr)); }},
        {"HasProperty of no object", false,
         [&](const Table& t, Reference r) { return static_cast<OSStatus>(t.HasProperty(r, kNoObject, 0, &name)); }},
        {"IsPropertySettable without an address", kAudioHardwareIllegalOperationError,
         [&](const Table& t, Reference r) { return t.IsPropertySettable(r, kDeviceID, 0, nullptr, &flag); }},
        {"IsPropertySettable with no place for the answer", 0,
         [&](const Table& t, Reference r) { return t.IsPropertySettable(r, kDeviceID, 0, &sampleRate, nullptr); }},
        {"IsPropertySettable of an unknown property", kAudioHardwareUnknownPropertyError,
         [&](const Table& t, Reference r) { return t.IsPropertySettable(r, kDeviceID, 0, &unknown, &flag); }},
        {"GetPropertyDataSize without an address", kAudioHardwareIllegalOperationError,
         [&](const Table& t, Reference r) { return t.GetPropertyDataSize(r, kDeviceID, 0, nullptr, 0, nullptr, &outSize); }},
        {"GetPropertyDataSize with no place for the answer", 0,
         [&](const Table& t, Reference r) { return t.GetPropertyDataSize(r, kDeviceID, 0, &name, 0, nullptr, nullptr); }},
        {"GetPropertyDataSize of no object", kAudioHardwareBadObjectError,
         [&](const Table& t, Reference r) { return t.GetPropertyDataSize(r, 0, 0, &name, 0, nullptr, &outSize); }},
        {"GetPropertyDataSize with a huge qualifier size", 0,
         [&](const Table& t, Reference r) { return t.GetPropertyDataSize(r, kPlugInID, 0, &translate, kHuge, &uid, &outSize); }},
        {"GetPropertyData into no room", kAudioHardwareBadPropertySizeError,
         [&](const Table& t, Reference r) { return t.GetPropertyData(r, kDeviceID, 0, &isRunning, 0, nullptr, 0, &outSize, out.data()); }},
        {"GetPropertyData into too little room", kAudioHardwareBadPropertySizeError,
         [&](const Table& t, Reference r) { return t.GetPropertyData(r, kDeviceID, 0, &isRunning, 0, nullptr, 3, &outSize, out.data()); }},
        {"GetPropertyData of a string into too little room", kAudioHardwareBadPropertySizeError,
         [&](const Table& t, Reference r) { return t.GetPropertyData(r, kDeviceID, 0, &name, 0, nullptr, 4, &outSize, out.data()); }},
        {"GetPropertyData offering a huge size", 0,
         [&](const Table& t, Reference r) { return t.GetPropertyData(r, kDeviceID, 0, &isRunning, 0, nullptr, kHuge, &outSize, out.data()); }},
        {"GetPropertyData with no buffer", 0,
         [&](const Table& t, Reference r) { return t.GetPropertyData(r, kDeviceID, 0, &isRunning, 0, nullptr, 4, &outSize, nullptr); }},
        {"GetPropertyData without an address", kAudioHardwareIllegalOperationError,
         [&](const Table& t, Reference r) { return t.GetPropertyData(r, kDeviceID, 0, nullptr, 0, nullptr, 4, &outSize, out.data()); }},
        {"GetPropertyData of the plug-in's property from the device", kAudioHardwareUnknownPropertyError,
         [&](const Table& t, Reference r) { return t.GetPropertyData(r, kDeviceID, 0, &translate, sizeof uid, &uid, 4, &outSize, out.data()); }},
        {"GetPropertyData of an unknown property", kAudioHardwareUnknownPropertyError,
         [&](const Table& t, Reference r) { return t.GetPropertyData(r, kStreamID, 0, &unknown, 0, nullptr, 4, &outSize, out.data()); }},
        {"GetPropertyData with a qualifier of the wrong size", kAudioHardwareBadPropertySizeError,
         [&](const Table& t, Reference r) { return t.GetPropertyData(r, kPlugInID, 0, &translate, 4, &uid, 4, &outSize, out.data()); }},
        {"GetPropertyData with a qualifier of the right size and no data", kAudioHardwareBadPropertySizeError,
         [&](const Table& t, Reference r) { return t.GetPropertyData(r, kPlugInID, 0, &translate, sizeof uid, nullptr, 4, &outSize, out.data()); }},
        {"GetPropertyData with a qualifier of the wrong type", 0,
         [&](const Table& t, Reference r) { return t.GetPropertyData(r, kPlugInID, 0, &translate, sizeof notAString, &notAString, 4, &outSize, out.data()); }},
        {"SetPropertyData with too few bytes", kAudioHardwareBadPropertySizeError,
         [&](const Table& t, Reference r) { return t.SetPropertyData(r, kDeviceID, 0, &sampleRate, 0, nullptr, 4, &unavailableRate); }},
        {"SetPropertyData with a huge size", kAudioHardwareBadPropertySizeError,
         [&](const Table& t, Reference r) { return t.SetPropertyData(r, kDeviceID, 0, &sampleRate, 0, nullptr, kHuge, &unavailableRate); }},
        {"SetPropertyData with no data", kAudioHardwareIllegalOperationError,
         [&](const Table& t, Reference r) { return t.SetPropertyData(r, kDeviceID, 0, &sampleRate, 0, nullptr, 8, nullptr); }},
        {"SetPropertyData of a rate the device does not have", kAudioHardwareUnsupportedOperationError,
         [&](const Table& t, Reference r) { return t.SetPropertyData(r, kDeviceID, 0, &sampleRate, 0, nullptr, 8, &unavailableRate); }},
        {"SetPropertyData of a rate that is not a number", kAudioHardwareUnsupportedOperationError,
         [&](const Table& t, Reference r) { return t.SetPropertyData(r, kDeviceID, 0, &sampleRate, kHuge, &uid, 8, &notARate); }},
        {"SetPropertyData of a format the stream does not offer", kAudioDeviceUnsupportedFormatError,
         [&](const Table& t, Reference r) { return t.SetPropertyData(r, kStreamID, 0, &format, 0, nullptr, sizeof otherFormat, &otherFormat); }},
        {"SetPropertyData of a property that cannot be set", kAudioHardwareUnknownPropertyError,
         [&](const Table& t, Reference r) { return t.SetPropertyData(r, kDeviceID, 0, &name, 0, nullptr, sizeof uid, &uid); }},
        {"SetPropertyData on no object", kAudioHardwareBadObjectError,
         [&](const Table& t, Reference r) { return t.SetPropertyData(r, kNoObject, 0, &sampleRate, 0, nullptr, 8, &unavailableRate); }},
        // IO.
        {"StartIO on the stream", kAudioHardwareBadObjectError,
         [&](const Table& t, Reference r) { return t.StartIO(r, kStreamID, kClientID); }},
        {"StartIO on no object", kAudioHardwareBadObjectError,
         [&](const Table& t, Reference r) { return t.StartIO(r, kNoObject, kClientID); }},
        {"StopIO while stopped", kAudioHardwareIllegalOperationError,
         [&](const Table& t, Reference r) { return t.StopIO(r, kDeviceID, kClientID); }},
        {"GetZeroTimeStamp of the plug-in object", kAudioHardwareBadObjectError,
         [&](const Table& t, Reference r) { return t.GetZeroTimeStamp(r, kPlugInID, kClientID, &time, &ticks, &seed); }},
        {"GetZeroTimeStamp with no place for the answers", 0,
         [&](const Table& t, Reference r) { return t.GetZeroTimeStamp(r, kDeviceID, kClientID, nullptr, nullptr, nullptr); }},
        {"WillDoIOOperation with no place for the answers", 0,
         [&](const Table& t, Reference r) { return t.WillDoIOOperation(r, kDeviceID, kClientID, kAudioServerPlugInIOOperationWriteMix, nullptr, nullptr); }},
        {"WillDoIOOperation of no object", kAudioHardwareBadObjectError,
         [&](const Table& t, Reference r) { return t.WillDoIOOperation(r, kNoObject, kClientID, kAudioServerPlugInIOOperationWriteMix, &flag, &flag); }},
        {"BeginIOOperation without a cycle", kAudioHardwareIllegalOperationError,
         [&](const Table& t, Reference r) { return t.BeginIOOperation(r, kDeviceID, kClientID, kAudioServerPlugInIOOperationWriteMix, 512, nullptr); }},
        {"EndIOOperation on the stream", kAudioHardwareBadObjectError,
         [&](const Table& t, Reference r) { return t.EndIOOperation(r, kStreamID, kClientID, kAudioServerPlugInIOOperationWriteMix, 512, &cycle); }},
        {"DoIOOperation without a buffer", kAudioHardwareIllegalOperationError,
         [&](const Table& t, Reference r) { return t.DoIOOperation(r, kDeviceID, kStreamID, kClientID, kAudioServerPlugInIOOperationWriteMix, 512, &cycle, nullptr, nullptr); }},
        {"DoIOOperation of a huge size without a buffer", kAudioHardwareIllegalOperationError,
         [&](const Table& t, Reference r) { return t.DoIOOperation(r, kDeviceID, kStreamID, kClientID, kAudioServerPlugInIOOperationProcessMix, kHuge, &cycle, nullptr, nullptr); }},
        {"DoIOOperation without a cycle", kAudioHardwareIllegalOperationError,
         [&](const Table& t, Reference r) { return t.DoIOOperation(r, kDeviceID, kStreamID, kClientID, kAudioServerPlugInIOOperationWriteMix, 512, nullptr, mix.data(), nullptr); }},
        {"DoIOOperation on the device as its own stream", kAudioHardwareIllegalOperationError,
         [&](const Table& t, Reference r) { return t.DoIOOperation(r, kDeviceID, kDeviceID, kClientID, kAudioServerPlugInIOOperationWriteMix, 512, &cycle, mix.data(), nullptr); }},
        {"DoIOOperation for no device", kAudioHardwareBadObjectError,
         [&](const Table& t, Reference r) { return t.DoIOOperation(r, kStreamID, kStreamID, kClientID, kAudioServerPlugInIOOperationWriteMix, 512, &cycle, mix.data(), nullptr); }},
        {"DoIOOperation without a driver", kAudioHardwareUnspecifiedError,
         [&](const Table& t, Reference) { return t.DoIOOperation(nullptr, kDeviceID, kStreamID, kClientID, kAudioServerPlugInIOOperationWriteMix, 512, &cycle, mix.data(), nullptr); }},
    };

    const std::vector<std::string> before = Snapshot();
    for (const Case& each : cases) {
        SCOPED_TRACE(each.name);
        EXPECT_EQ(hal::StatusToString(each.call(table, reference)), hal::StatusToString(each.expected));
        const std::vector<std::string> after = Snapshot();
        ASSERT_EQ(after.size(), before.size());
        for (std::size_t line = 0; line < after.size(); ++line) {
            EXPECT_EQ(after[line], before[line]);
        }
    }
    CFRelease(uid);
    CFRelease(notAString);
}

} // namespace
