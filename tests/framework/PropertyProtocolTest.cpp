// The kinds of property data that no class of the framework uses yet, on a class of the test's
// own that declares its properties the way every class does.

#include "hal/PropertyProtocol.h"

#include "hal/Context.h"
#include "hal/Direction.h"
#include "hal/Object.h"

#include "CapturingTracer.h"
#include "TraceLines.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace {

using pelio::test::CapturingTracer;
using pelio::test::MessagesOf;
using Lines = std::vector<std::string>;

constexpr AudioObjectPropertySelector kTranslate = 'uidd';
constexpr AudioObjectPropertySelector kDouble = 'dubl';

// Translates names to IDs, as the plug-in object translates device UIDs.
class Registry : public hal::Object
{
public:
    AudioObjectID GetIDByName(const std::string& name) const { return name == "local.first" ? 7 : 0; }
    UInt32 GetDoubled(UInt32 value) const noexcept { return 2 * value; }

    Boolean HasProperty(AudioObjectID objectID, pid_t pid, const AudioObjectPropertyAddress* address) const override;
    OSStatus IsPropertySettable(AudioObjectID objectID, pid_t pid, const AudioObjectPropertyAddress* address,
                                Boolean* outIsSettable) const override;
    OSStatus GetPropertyDataSize(AudioObjectID objectID, pid_t pid, const AudioObjectPropertyAddress* address,
                                 UInt32 qualifierSize, const void* qualifier, UInt32* outDataSize) const override;
    OSStatus GetPropertyData(AudioObjectID objectID, pid_t pid, const AudioObjectPropertyAddress* address,
                             UInt32 qualifierSize, const void* qualifier, UInt32 inDataSize, UInt32* outDataSize,
                             void* outData) const override;

protected:
    explicit Registry(std::shared_ptr<const hal::Context> context) : Object(std::move(context), "Registry") {}

private:
    template <class T, class... Arguments>
    friend std::shared_ptr<T> hal::MakeObject(Arguments&&... arguments);
};

using hal::PropertyProtocol::Qualified;

constexpr auto kProperties = hal::PropertyProtocol::MakeTable<Registry>({
    {kTranslate, "DeviceIDByUID", Qualified<&Registry::GetIDByName>},
    {kDouble,    "Doubled",       Qualified<&Registry::GetDoubled>},
});

Boolean Registry::HasProperty(AudioObjectID objectID, pid_t pid, const AudioObjectPropertyAddress* address) const
{
    return AnswerHasProperty("Registry::HasProperty()", kProperties, objectID, pid, address,
                             [&] { return Object::HasProperty(objectID, pid, address); });
}

OSStatus Registry::IsPropertySettable(AudioObjectID objectID, pid_t pid, const AudioObjectPropertyAddress* address,
                                      Boolean* outIsSettable) const
{
    return AnswerIsPropertySettable("Registry::IsPropertySettable()", kProperties, objectID, pid, address,
                                    outIsSettable,
                                    [&] { return Object::IsPropertySettable(objectID, pid, address, outIsSettable); });
}

OSStatus Registry::GetPropertyDataSize(AudioObjectID objectID, pid_t pid, const AudioObjectPropertyAddress* address,
                                       UInt32 qualifierSize, const void* qualifier, UInt32* outDataSize) const
{
    return AnswerGetPropertyDataSize("Registry::GetPropertyDataSize()", kProperties, objectID, pid, address,
                                     qualifierSize, qualifier, outDataSize, [&] {
        return Object::GetPropertyDataSize(objectID, pid, address, qualifierSize, qualifier, outDataSize);
    });
}

OSStatus Registry::GetPropertyData(AudioObjectID objectID, pid_t pid, const AudioObjectPropertyAddress* address,
                                   UInt32 qualifierSize, const void* qualifier, UInt32 inDataSize, UInt32* outDataSize,
                                   void* outData) const
{
    return AnswerGetPropertyData("Registry::GetPropertyData()", kProperties, objectID, pid, address, qualifierSize,
                                 qualifier, inDataSize, outDataSize, outData, [&] {
        return Object::GetPropertyData(objectID, pid, address, qualifierSize, qualifier, inDataSize, outDataSize,
                                       outData);
    });
}

class PropertyProtocolTest : public ::testing::Test
{
protected:
    ~PropertyProtocolTest() override
    {
        CFRelease(first);
        CFRelease(number);
    }

    OSStatus Read(AudioObjectPropertySelector selector, UInt32 qualifierSize, const void* qualifier, UInt32 inDataSize,
                  UInt32* outDataSize, void* outData)
    {
        const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};
        tracer->ClearLines();
        return registry->GetPropertyData(registry->GetID(), 0, &address, qualifierSize, qualifier, inDataSize,
                                         outDataSize, outData);
    }

    std::shared_ptr<CapturingTracer> tracer =
        std::make_shared<CapturingTracer>(hal::Tracer::Mode::Stderr, hal::Tracer::Style::Flat);
    std::shared_ptr<const hal::Context> context = std::make_shared<const hal::Context>(tracer);
    std::shared_ptr<Registry> registry = hal::MakeObject<Registry>(context);
    CFStringRef first = CFStringCreateWithCString(kCFAllocatorDefault, "local.first", kCFStringEncodingUTF8);
    CFNumberRef number = [] {
        const SInt64 value = 7;
        return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
    }();
};

TEST_F(PropertyProtocolTest, QualifiedValueTranslatesItsQualifierAfterTheBufferChecks)
{
    constexpr UInt32 kUntouched = 0xEEEEEEEE;
    const CFStringRef nothing = nullptr;
    struct Case
    {
        const char* description;
        UInt32 qualifierSize;
        const void* qualifier;
        UInt32 inDataSize;
        bool withData;
        OSStatus status;
        UInt32 size;
        UInt32 value;
        Lines messages;
    };
    const Case cases[] = {
        {"known name", 8, &first, 4, true, 0, 4, 7,
         {"obtained qualifier DeviceIDByUID=local.first", "returning DeviceIDByUID=7"}},
        {"unknown name answers no object, with success", 8, &nothing, 4, true, 0, 4, 0,
         {"obtained qualifier DeviceIDByUID=", "returning DeviceIDByUID=0"}},
        {"a qualifier that is not a string reads as the empty name", 8, &number, 4, true, 0, 4, 0,
         {"obtained qualifier DeviceIDByUID=", "returning DeviceIDByUID=0"}},
        {"short buffer, before the qualifier is looked at", 4, &first, 3, true, kAudioHardwareBadPropertySizeError,
         kUntouched, kUntouched, {"not enough space: need 4, avail 3"}},
        {"qualifier of another size, after the size is stored", 4, &first, 4, true,
         kAudioHardwareBadPropertySizeError, 4, kUntouched, {"invalid qualifier size: should be 8, got 4"}},
        {"no qualifier", 8, nullptr, 4, true, kAudioHardwareBadPropertySizeError, 4, kUntouched,
         {"qualifier buffer is null"}},
        {"no data buffer: nothing to translate", 0, nullptr, 4, false, 0, 4, kUntouched, {"data buffer is null"}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.description);
        UInt32 size = kUntouched;
        UInt32 value = kUntouched;
        EXPECT_EQ(Read(kTranslate, testCase.qualifierSize, testCase.qualifier, testCase.inDataSize, &size,
                       testCase.withData ? &value : nullptr),
                  testCase.status);
        EXPECT_EQ(size, testCase.size);
        EXPECT_EQ(value, testCase.value);
        EXPECT_EQ(MessagesOf(tracer->GetLines()), testCase.messages);
    }
}

TEST_F(PropertyProtocolTest, QualifiedValueOfAPlainQualifierAndItsOtherOperations)
{
    const UInt32 qualifier = 21;
    UInt32 size = 0;
    UInt32 value = 0;
    EXPECT_EQ(Read(kDouble, 4, &qualifier, 4, &size, &value), 0);
    EXPECT_EQ(value, 42u);
    EXPECT_EQ(MessagesOf(tracer->GetLines()), (Lines{"obtained qualifier Doubled=21", "returning Doubled=42"}));
    EXPECT_EQ(Read(kDouble, 8, &qualifier, 4, &size, &value), kAudioHardwareBadPropertySizeError);

    // Neither the size nor the settable flag needs the qualifier; a qualified value is never settable.
    const AudioObjectPropertyAddress address{kTranslate, kAudioObjectPropertyScopeOutput, 3};
    EXPECT_TRUE(registry->HasProperty(registry->GetID(), 0, &address));
    size = 0;
    EXPECT_EQ(registry->GetPropertyDataSize(registry->GetID(), 0, &address, 0, nullptr, &size), 0);
    EXPECT_EQ(size, 4u);
    Boolean isSettable = true;
    EXPECT_EQ(registry->IsPropertySettable(registry->GetID(), 0, &address, &isSettable), 0);
    EXPECT_FALSE(isSettable);
    EXPECT_EQ(registry->SetPropertyData(registry->GetID(), 0, &address, 8, &first, 4, &value),
              kAudioHardwareUnknownPropertyError);
}

TEST(PropertyDescribeTest, ValuesReadAsTheirMessagesPrintThem)
{
    using hal::PropertyProtocol::Describe;
    EXPECT_EQ(Describe(true), "1");
    EXPECT_EQ(Describe(false), "0");
    EXPECT_EQ(Describe(UInt32{4294967295u}), "4294967295");
    EXPECT_EQ(Describe(SInt32{-5}), "-5");
    EXPECT_EQ(Describe(hal::Direction::Input), "1");
    EXPECT_EQ(Describe(Float64{48000.0}), "48000.000000");
    EXPECT_EQ(Describe(Float32{-0.25f}), "-0.250000");
    EXPECT_EQ(Describe(Float64{1e300}).size(), 301u + 7u);
    EXPECT_EQ(Describe(std::string("text")), "text");
    EXPECT_EQ(Describe(AudioValueRange{44100.0, 48000.0}), "{min:44100 max:48000}");
}

} // namespace
