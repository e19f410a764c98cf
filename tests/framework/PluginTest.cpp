#include "hal/Plugin.h"

#include "hal/Context.h"
#include "hal/Device.h"

#include "CapturingTracer.h"
#include "TestHost.h"
#include "TraceLines.h"

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using pelio::test::CapturingTracer;
using pelio::test::MessagesOf;
using pelio::test::TestHost;
using Lines = std::vector<std::string>;

constexpr AudioObjectPropertyScope kGlobal = kAudioObjectPropertyScopeGlobal;

class PluginTest : public ::testing::Test
{
protected:
    std::shared_ptr<hal::Device> MakeDevice(const std::string& uid)
    {
        hal::DeviceParameters parameters;
        parameters.DeviceUID = uid;
        // An empty UID parameter makes the device generate one; the tests that want a device
        // without UID override the getter instead.
        return hal::MakeObject<hal::Device>(context, parameters);
    }

    UInt32 ReadUInt32(AudioObjectPropertySelector selector, OSStatus expected = 0)
    {
        const AudioObjectPropertyAddress address{selector, kGlobal, 0};
        UInt32 value = 0xFFFFFFFF;
        UInt32 size = 0;
        EXPECT_EQ(plugin->GetPropertyData(plugin->GetID(), 0, &address, 0, nullptr, sizeof value, &size, &value),
                  expected);
        return value;
    }

    std::vector<AudioObjectID> ReadDeviceList(UInt32 bufferSize = 64, UInt32* outSize = nullptr)
    {
        const AudioObjectPropertyAddress address{kAudioPlugInPropertyDeviceList, kGlobal, 0};
        std::vector<AudioObjectID> ids(16, 0);
        UInt32 size = 0;
        EXPECT_EQ(plugin->GetPropertyData(plugin->GetID(), 0, &address, 0, nullptr, bufferSize, &size, ids.data()), 0);
        if (outSize != nullptr) {
            *outSize = size;
        }
        ids.resize(size / sizeof(AudioObjectID));
        return ids;
    }

    std::string ReadText(AudioObjectPropertySelector selector)
    {
        const AudioObjectPropertyAddress address{selector, kGlobal, 0};
        CFStringRef text = nullptr;
        UInt32 size = 0;
        EXPECT_EQ(plugin->GetPropertyData(plugin->GetID(), 0, &address, 0, nullptr, sizeof text, &size, &text), 0);
        EXPECT_EQ(size, sizeof text);
        std::string result;
        if (text != nullptr) {
            char buffer[256] = {};
            CFStringGetCString(text, buffer, sizeof buffer, kCFStringEncodingUTF8);
            result = buffer;
            CFRelease(text);
        }
        return result;
    }

    // The 'uidd' answer for `uid`, with its status, the size stored and the ID written.
    struct Translation
    {
        OSStatus status;
        UInt32 size;
        AudioObjectID deviceID;
    };
    Translation Translate(const char* uid, UInt32 qualifierSize = sizeof(CFStringRef), UInt32 bufferSize = 4,
                          bool nullQualifier = false)
    {
        const AudioObjectPropertyAddress address{kAudioPlugInPropertyTranslateUIDToDevice, kGlobal, 0};
        CFStringRef qualifier = CFStringCreateWithCString(kCFAllocatorDefault, uid, kCFStringEncodingUTF8);
        Translation answer{0, 0, 0xFFFFFFFF};
        answer.status = plugin->GetPropertyData(plugin->GetID(), 0, &address, qualifierSize,
                                                nullQualifier ? nullptr : &qualifier, bufferSize, &answer.size,
                                                &answer.deviceID);
        CFRelease(qualifier);
        return answer;
    }

    std::shared_ptr<CapturingTracer> tracer =
        std::make_shared<CapturingTracer>(CapturingTracer::Mode::Stderr, CapturingTracer::Style::Flat);
    std::shared_ptr<hal::Context> context = std::make_shared<hal::Context>(tracer);
    std::shared_ptr<hal::Plugin> plugin = hal::MakeObject<hal::Plugin>(context);
};

TEST_F(PluginTest, AFreshPluginAnswersItsIdentityAndNoDevices)
{
    EXPECT_EQ(plugin->GetID(), kAudioObjectPlugInObject);
    EXPECT_EQ(ReadUInt32(kAudioObjectPropertyClass), kAudioPlugInClassID);
    EXPECT_EQ(ReadUInt32(kAudioObjectPropertyBaseClass), kAudioObjectClassID);
    EXPECT_TRUE(ReadDeviceList().empty());
    EXPECT_EQ(ReadText(kAudioObjectPropertyManufacturer), "Virtual Audio");
    EXPECT_EQ(ReadText(kAudioPlugInPropertyResourceBundle), "");
    EXPECT_EQ(plugin->GetDeviceCount(), 0u);
    EXPECT_EQ(plugin->GetDeviceByIndex(0), nullptr);

    // Only the four selectors are the plug-in's own; nothing is settable; the box and clock
    // device lists are not answered.
    for (const AudioObjectPropertySelector selector : std::vector<AudioObjectPropertySelector>{
             kAudioPlugInPropertyDeviceList, kAudioObjectPropertyManufacturer, kAudioPlugInPropertyResourceBundle,
          kAudioPlugInPropertyTranslateUIDToDevice}) {
        SCOPED_TRACE(selector);
        for (const AudioObjectPropertyScope scope : std::vector<AudioObjectPropertyScope>{
                 kGlobal, kAudioObjectPropertyScopeInput, kAudioObjectPropertyScopeOutput}) {
            const AudioObjectPropertyAddress address{selector, scope, 3};
            EXPECT_TRUE(plugin->HasProperty(plugin->GetID(), 0, &address));
        }
        const AudioObjectPropertyAddress address{selector, kGlobal, 0};
        Boolean isSettable = true;
        EXPECT_EQ(plugin->IsPropertySettable(plugin->GetID(), 0, &address, &isSettable), 0);
        EXPECT_FALSE(isSettable);
        EXPECT_EQ(plugin->IsPropertySettable(plugin->GetID(), 0, &address, nullptr), 0);
        UInt32 value = 0;
        EXPECT_EQ(plugin->SetPropertyData(plugin->GetID(), 0, &address, 0, nullptr, sizeof value, &value),
                  kAudioHardwareUnknownPropertyError);
    }
    const AudioObjectPropertyAddress boxes{kAudioPlugInPropertyBoxList, kGlobal, 0};
    EXPECT_FALSE(plugin->HasProperty(plugin->GetID(), 0, &boxes));
    UInt32 size = 0;
    EXPECT_EQ(plugin->GetPropertyDataSize(plugin->GetID(), 0, &boxes, 0, nullptr, &size),
              kAudioHardwareUnknownPropertyError);
}

TEST_F(PluginTest, AnAddedDeviceIsListedFoundAndOwned)
{
    TestHost host;
    context->Host.store(host.GetInterface());
    const auto device = MakeDevice("uid-A");
    plugin->AddDevice(device);

    EXPECT_EQ(ReadDeviceList(), std::vector<AudioObjectID>{device->GetID()});
    const Translation found = Translate("uid-A");
    EXPECT_EQ(found.status, 0);
    EXPECT_EQ(found.size, 4u);
    EXPECT_EQ(found.deviceID, device->GetID());
    EXPECT_EQ(plugin->GetDeviceCount(), 1u);
    EXPECT_EQ(plugin->GetDeviceByIndex(0), device);
    EXPECT_EQ(plugin->GetDeviceByID(device->GetID()), device);
    EXPECT_TRUE(plugin->HasDevice(device));
    EXPECT_EQ(device->GetOwnerID(), plugin->GetID());

    const std::vector<AudioObjectPropertyAddress> changed{{kAudioObjectPropertyOwnedObjects, kGlobal, 0},
                                                          {kAudioPlugInPropertyDeviceList, kGlobal, 0}};
    EXPECT_EQ(host.GetNotifications(),
              (std::vector<TestHost::Notification>{{plugin->GetID(), changed}}));

    host.ClearNotifications();
    plugin->RemoveDevice(device);
    EXPECT_TRUE(ReadDeviceList().empty());
    EXPECT_EQ(Translate("uid-A").deviceID, kAudioObjectUnknown);
    EXPECT_EQ(plugin->GetDeviceByID(device->GetID()), nullptr);
    EXPECT_FALSE(device->HasOwner());
    EXPECT_EQ(host.GetNotifications(),
              (std::vector<TestHost::Notification>{{plugin->GetID(), changed}}));
    context->Host.store(nullptr);
}

TEST_F(PluginTest, DevicesThatCannotBeAddedOrRemovedChangeNothing)
{
    const auto device = MakeDevice("uid-A");
    plugin->AddDevice(device);
    const auto other = hal::MakeObject<hal::Object>(context, "Owner");
    const auto foreign = MakeDevice("uid-B");
    other->AddOwnedObject(foreign, kGlobal);
    const auto loose = MakeDevice("uid-C");
    tracer->ClearLines();

    plugin->AddDevice(device);
    plugin->AddDevice(foreign);
    plugin->RemoveDevice(loose);
    plugin->AddDevice(nullptr);
    plugin->RemoveDevice(nullptr);

    const auto id = [](const std::shared_ptr<hal::Device>& d) { return std::to_string(d->GetID()); };
    EXPECT_EQ(MessagesOf(tracer->GetLines()),
              (Lines{"Plugin::AddDevice() device already added devID=" + id(device) + " pluginID=1",
                     "Plugin::AddDevice() unexpected device owner devID=" + id(foreign) + " devOwnerID=" +
                         std::to_string(other->GetID()) + " pluginID=1",
                     "Plugin::RemoveDevice() device already removed devID=" + id(loose) + " pluginID=1",
                     "Plugin::AddDevice() device is null pluginID=1",
                     "Plugin::RemoveDevice() device is null pluginID=1"}));
    EXPECT_EQ(plugin->GetDeviceCount(), 1u);
    EXPECT_EQ(ReadDeviceList(), std::vector<AudioObjectID>{device->GetID()});
    EXPECT_EQ(foreign->GetOwnerID(), other->GetID());
}

TEST_F(PluginTest, TheUIDTableFollowsTheLastDeviceAddedUnderAUID)
{
    const auto first = MakeDevice("shared");
    const auto second = MakeDevice("shared");
    plugin->AddDevice(first);
    plugin->AddDevice(second);
    EXPECT_EQ(Translate("shared").deviceID, second->GetID());
    // Removing either device erases the one entry the UID has.
    plugin->RemoveDevice(first);
    EXPECT_EQ(Translate("shared").deviceID, kAudioObjectUnknown);
    EXPECT_EQ(plugin->GetDeviceByID(second->GetID()), second);
}

TEST_F(PluginTest, ADeviceWithoutUIDIsListedButNeverTranslated)
{
    class NamelessDevice : public hal::Device
    {
    public:
        NamelessDevice(std::shared_ptr<const hal::Context> context, const hal::DeviceParameters& parameters)
            : Device(std::move(context), parameters)
        {
        }
        std::string GetDeviceUID() const override { return {}; }
    };
    const auto device = hal::MakeObject<NamelessDevice>(context, hal::DeviceParameters{});
    plugin->AddDevice(device);
    EXPECT_EQ(ReadDeviceList(), std::vector<AudioObjectID>{device->GetID()});
    EXPECT_EQ(plugin->GetDeviceByID(device->GetID()), device);
    EXPECT_EQ(Translate("").deviceID, kAudioObjectUnknown);
}

TEST_F(PluginTest, TheDeviceListIsByIDAndCutToTheBuffer)
{
    // Added in falling ID order: the list property follows the IDs, the index the additions.
    const auto low = MakeDevice("low");
    const auto high = MakeDevice("high");
    plugin->AddDevice(high);
    plugin->AddDevice(low);
    EXPECT_EQ(ReadDeviceList(), (std::vector<AudioObjectID>{low->GetID(), high->GetID()}));
    EXPECT_EQ(plugin->GetDeviceByIndex(0), high);
    EXPECT_EQ(plugin->GetDeviceByIndex(1), low);

    UInt32 size = 0;
    EXPECT_EQ(ReadDeviceList(4, &size), std::vector<AudioObjectID>{low->GetID()});
    EXPECT_EQ(size, 4u);
    EXPECT_TRUE(ReadDeviceList(3, &size).empty());
    EXPECT_EQ(size, 0u);

    const AudioObjectPropertyAddress address{kAudioPlugInPropertyDeviceList, kGlobal, 0};
    EXPECT_EQ(plugin->GetPropertyDataSize(plugin->GetID(), 0, &address, 0, nullptr, &size), 0);
    EXPECT_EQ(size, 8u);
}

TEST_F(PluginTest, TranslationChecksBufferThenQualifier)
{
    const auto device = MakeDevice("uid-A");
    plugin->AddDevice(device);

    struct Case
    {
        const char* name;
        UInt32 qualifierSize;
        UInt32 bufferSize;
        bool nullQualifier;
        OSStatus status;
        UInt32 size;  // what the size pointer holds afterwards
    };
    const Case cases[] = {
        {"good", 8, 4, false, 0, 4},
        {"short buffer, before the qualifier is looked at", 4, 3, false, kAudioHardwareBadPropertySizeError, 0},
        {"qualifier of the wrong size, after the size is stored", 4, 4, false, kAudioHardwareBadPropertySizeError, 4},
        {"no qualifier at all", 0, 4, false, kAudioHardwareBadPropertySizeError, 4},
        {"null qualifier pointer", 8, 4, true, kAudioHardwareBadPropertySizeError, 4},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const Translation answer = Translate("uid-A", testCase.qualifierSize, testCase.bufferSize, testCase.nullQualifier);
        EXPECT_EQ(answer.status, testCase.status);
        EXPECT_EQ(answer.size, testCase.size);
        EXPECT_EQ(answer.deviceID, testCase.status == 0 ? device->GetID() : 0xFFFFFFFF);
    }

    tracer->ClearLines();
    const Translation unknown = Translate("nobody");
    EXPECT_EQ(unknown.status, 0);
    EXPECT_EQ(unknown.deviceID, kAudioObjectUnknown);
    EXPECT_EQ(MessagesOf(tracer->GetLines()),
              (Lines{"obtained qualifier DeviceIDByUID=nobody", "returning DeviceIDByUID=0"}));
}

TEST_F(PluginTest, TextPropertiesRefuseShortBuffersAndTextThatDoesNotConvert)
{
    const AudioObjectPropertyAddress address{kAudioObjectPropertyManufacturer, kGlobal, 0};
    tracer->ClearLines();
    UInt32 word = 0;
    UInt32 size = 0;
    EXPECT_EQ(plugin->GetPropertyData(plugin->GetID(), 0, &address, 0, nullptr, sizeof word, &size, &word),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(MessagesOf(tracer->GetLines()), (Lines{"not enough space: need 8, avail 4"}));

    // A manufacturer that is not UTF-8 never reaches the host as a null reference.
    hal::PluginParameters parameters;
    parameters.Manufacturer = "\xff\xfe";
    const auto otherContext = std::make_shared<hal::Context>(tracer);
    const auto broken = hal::MakeObject<hal::Plugin>(otherContext, parameters);
    CFStringRef text = reinterpret_cast<CFStringRef>(0x1);
    size = 0;
    EXPECT_EQ(broken->GetPropertyData(broken->GetID(), 0, &address, 0, nullptr, sizeof text, &size, &text),
              kAudioHardwareUnspecifiedError);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(text, reinterpret_cast<CFStringRef>(0x1));
}

TEST_F(PluginTest, CustomPropertiesCannotShadowThePluginsOwn)
{
    EXPECT_FALSE(plugin->RegisterCustomProperty(kAudioPlugInPropertyDeviceList, hal::Object::StringGetter{},
                                                hal::Object::StringSetter{}));
    EXPECT_TRUE(plugin->RegisterCustomProperty('plgx', hal::Object::StringGetter{}, hal::Object::StringSetter{}));
}

} // namespace
