// A custom property under a selector that the class answers itself would be shadowed for every
// query but reached by some sets: registering one is refused, on every class.

#include "hal/CodeNames.h"
#include "hal/Context.h"
#include "hal/Device.h"
#include "hal/MuteControl.h"
#include "hal/Object.h"
#include "hal/Stream.h"
#include "hal/VolumeControl.h"

#include "CapturingTracer.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using pelio::test::CapturingTracer;
using Selectors = std::vector<AudioObjectPropertySelector>;

// Every object answers these.
const Selectors kBaseSelectors{kAudioObjectPropertyBaseClass, kAudioObjectPropertyClass, kAudioObjectPropertyOwner,
                               kAudioObjectPropertyOwnedObjects, kAudioObjectPropertyCustomPropertyInfoList};

struct ClassCase
{
    const char* name;
    std::function<std::shared_ptr<hal::Object>(const std::shared_ptr<const hal::Context>&)> make;
    Selectors own;                          // answered by the class itself
    AudioObjectPropertySelector foreign;    // answered by another class only: free for a custom property
};

std::vector<ClassCase> Classes()
{
    return {
        {"Object", [](const auto& context) { return hal::MakeObject<hal::Object>(context, "Object"); }, {},
         kAudioObjectPropertyName},
        {"Device",
         [](const auto& context) { return hal::MakeObject<hal::Device>(context, hal::DeviceParameters{}); },
         {kAudioObjectPropertyName, kAudioDevicePropertyIcon, kAudioDevicePropertyLatency,
          kAudioDevicePropertyNominalSampleRate, kAudioDevicePropertyPreferredChannelLayout,
          kAudioObjectPropertyIdentify, kAudioDevicePropertyStreams, kAudioObjectPropertyControlList},
         kAudioStreamPropertyIsActive},
        {"Stream",
         [](const auto& context) {
             return hal::MakeObject<hal::Stream>(context, std::shared_ptr<hal::Device>(), hal::StreamParameters{});
         },
         {kAudioStreamPropertyIsActive, kAudioStreamPropertyDirection, kAudioStreamPropertyLatency,
          kAudioStreamPropertyPhysicalFormat, kAudioStreamPropertyAvailableVirtualFormats},
         kAudioObjectPropertyName},
        {"VolumeControl",
         [](const auto& context) {
             return hal::MakeObject<hal::VolumeControl>(context, hal::VolumeControlParameters{});
         },
         {kAudioControlPropertyScope, kAudioLevelControlPropertyScalarValue,
          kAudioLevelControlPropertyConvertDecibelsToScalar},
         kAudioBooleanControlPropertyValue},
        {"MuteControl",
         [](const auto& context) { return hal::MakeObject<hal::MuteControl>(context, hal::MuteControlParameters{}); },
         {kAudioBooleanControlPropertyValue, kAudioControlPropertyElement}, kAudioLevelControlPropertyScalarValue},
    };
}

CFStringRef NoString()
{
    return nullptr;
}

TEST(BuiltInPropertyTest, CustomPropertiesUnderTheClassesOwnSelectorsAreRefused)
{
    const auto tracer = std::make_shared<CapturingTracer>(hal::Tracer::Mode::Stderr, hal::Tracer::Style::Flat);
    const auto context = std::make_shared<const hal::Context>(tracer);
    const CFStringRef value = CFStringCreateWithCString(kCFAllocatorDefault, "value", kCFStringEncodingUTF8);

    for (const ClassCase& classCase : Classes()) {
        SCOPED_TRACE(classCase.name);
        const std::shared_ptr<hal::Object> object = classCase.make(context);
        int sets = 0;
        const hal::Object::StringSetter countSets = [&sets](CFStringRef) { ++sets; };
        const hal::Object::PropertyListSetter countListSets = [&sets](CFPropertyListRef) { ++sets; };

        Selectors refused = classCase.own;
        refused.insert(refused.end(), kBaseSelectors.begin(), kBaseSelectors.end());
        for (const AudioObjectPropertySelector selector : refused) {
            SCOPED_TRACE(hal::PropertySelectorToString(selector));
            tracer->ClearLines();
            EXPECT_FALSE(object->RegisterCustomProperty(selector, hal::Object::StringGetter(NoString), countSets));
            EXPECT_FALSE(object->RegisterCustomProperty(selector, hal::Object::PropertyListGetter(), countListSets));
            const std::string line = "Object::RegisterCustomProperty() objectID=" + std::to_string(object->GetID())
                                     + " not registering " + hal::PropertySelectorToString(selector)
                                     + ": the object answers it itself";
            EXPECT_EQ(tracer->GetLines(), (std::vector<std::string>{line, line}));

            // Nothing was registered: no set can reach the refused setter.
            const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                                     kAudioObjectPropertyElementMain};
            (void)object->SetPropertyData(object->GetID(), 0, &address, 0, nullptr, sizeof value, &value);
        }
        EXPECT_TRUE(object->GetCustomProperties().empty());
        EXPECT_EQ(sets, 0);

        // A selector that only another class answers is the application's to use.
        EXPECT_TRUE(object->RegisterCustomProperty(classCase.foreign, hal::Object::StringGetter(NoString), countSets));
        ASSERT_EQ(object->GetCustomProperties().size(), 1u);
        EXPECT_EQ(object->GetCustomProperties().front().mSelector, classCase.foreign);
        const AudioObjectPropertyAddress address{classCase.foreign, kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};
        EXPECT_EQ(object->SetPropertyData(object->GetID(), 0, &address, 0, nullptr, sizeof value, &value), 0);
        EXPECT_EQ(sets, 1);
    }
    CFRelease(value);
}

} // namespace
