#include "hal/CustomProperty.h"
#include "hal/Object.h"

#include "hal/Context.h"
#include "hal/Dispatcher.h"
#include "hal/Tracer.h"

#include "CapturingTracer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// For comparing lists of records; internal, so it cannot clash with another test's.
static bool operator==(const AudioServerPlugInCustomPropertyInfo& left, const AudioServerPlugInCustomPropertyInfo& right)
{
    return left.mSelector == right.mSelector && left.mPropertyDataType == right.mPropertyDataType
        && left.mQualifierDataType == right.mQualifierDataType;
}

namespace {

using hal::MakeObject;
using hal::Object;
using pelio::test::CapturingTracer;
using Lines = std::vector<std::string>;

constexpr pid_t kClientPID = 42;

Lines MessagesOf(const Lines& lines)
{
    if (lines.size() < 2) {
        ADD_FAILURE() << "expected a begin and an end line, got " << lines.size() << " lines";
        return {};
    }
    return Lines(lines.begin() + 1, lines.end() - 1);
}

CFStringRef MakeString(const char* text)
{
    return CFStringCreateWithCString(kCFAllocatorDefault, text, kCFStringEncodingUTF8);
}

class CustomPropertyTest : public ::testing::Test
{
protected:
    AudioObjectPropertyAddress Address(AudioObjectPropertySelector selector,
                                       AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal)
    {
        return AudioObjectPropertyAddress{selector, scope, kAudioObjectPropertyElementMain};
    }

    std::shared_ptr<CapturingTracer> tracer =
        std::make_shared<CapturingTracer>(hal::Tracer::Mode::Stderr, hal::Tracer::Style::Flat);
    std::shared_ptr<const hal::Context> context =
        std::make_shared<const hal::Context>(tracer, std::make_shared<hal::Dispatcher>(nullptr, 1000));
    std::shared_ptr<Object> object = MakeObject<Object>(context, "Object");
};

TEST(CustomPropertyRecordTest, CreateWrapsTypedCallbacksAndLeavesEmptyOnesEmpty)
{
    CFStringRef received = nullptr;
    auto property = hal::CustomProperty::Create<CFStringRef>(
        kAudioServerPlugInCustomPropertyDataTypeCFString, [] { return CFSTR("text"); },
        [&received](CFStringRef value) { received = value; });
    EXPECT_EQ(property->GetDataType(), kAudioServerPlugInCustomPropertyDataTypeCFString);
    EXPECT_EQ(property->GetDataSize(), 8u);
    ASSERT_TRUE(property->HasGetter());
    ASSERT_TRUE(property->HasSetter());

    // The host's buffers need not be aligned for a pointer.
    std::array<unsigned char, 9> buffer{};
    property->Get(buffer.data() + 1);
    CFStringRef written = nullptr;
    std::memcpy(&written, buffer.data() + 1, sizeof written);
    ASSERT_NE(written, nullptr);
    EXPECT_TRUE(CFEqual(written, CFSTR("text")));
    property->Set(buffer.data() + 1);
    ASSERT_NE(received, nullptr);
    EXPECT_TRUE(CFEqual(received, CFSTR("text")));

    auto readOnly = hal::CustomProperty::Create<CFPropertyListRef>(
        kAudioServerPlugInCustomPropertyDataTypeCFPropertyList, [] { return CFPropertyListRef(CFSTR("list")); },
        nullptr);
    EXPECT_EQ(readOnly->GetDataType(), kAudioServerPlugInCustomPropertyDataTypeCFPropertyList);
    EXPECT_TRUE(readOnly->HasGetter());
    EXPECT_FALSE(readOnly->HasSetter());
}

TEST_F(CustomPropertyTest, CustomPropertyListHasOneRecordPerSelectorInAscendingOrder)
{
    object->RegisterCustomProperty('zzz2', Object::PropertyListGetter([] { return CFPropertyListRef(CFSTR("z")); }),
                                   nullptr);
    object->RegisterCustomProperty('aaa1', Object::StringGetter([] { return CFSTR("first"); }), nullptr);
    // Registering a selector again replaces the property, kind included.
    object->RegisterCustomProperty('aaa1', Object::PropertyListGetter([] { return CFPropertyListRef(CFSTR("second")); }),
                                   nullptr);

    const std::vector<AudioServerPlugInCustomPropertyInfo> expected{
        {'aaa1', kAudioServerPlugInCustomPropertyDataTypeCFPropertyList, kAudioServerPlugInCustomPropertyDataTypeNone},
        {'zzz2', kAudioServerPlugInCustomPropertyDataTypeCFPropertyList, kAudioServerPlugInCustomPropertyDataTypeNone}};
    EXPECT_EQ(object->GetCustomProperties(), expected);

    const AudioObjectPropertyAddress address = Address('aaa1');
    CFPropertyListRef value = nullptr;
    UInt32 size = 0;
    ASSERT_EQ(object->GetPropertyData(object->GetID(), kClientPID, &address, 0, nullptr, sizeof value, &size, &value), 0);
    ASSERT_NE(value, nullptr);
    EXPECT_TRUE(CFEqual(value, CFSTR("second")));
}

// The reference counts below are counted on texts long enough that no platform keeps them in
// tagged pointers or shares them.
TEST_F(CustomPropertyTest, GetHandsTheGettersReferenceToTheHostWithoutRetainingIt)
{
    CFStringRef kept = MakeString("the value that the object keeps");
    ASSERT_EQ(CFGetRetainCount(kept), 1);
    // The getter hands out a reference of its own, which the host releases when done.
    object->RegisterCustomProperty('strg', Object::StringGetter([&] { return static_cast<CFStringRef>(CFRetain(kept)); }),
                                   nullptr);
    const AudioObjectPropertyAddress address = Address('strg');

    CFStringRef received = nullptr;
    UInt32 size = 0;
    ASSERT_EQ(object->GetPropertyData(object->GetID(), kClientPID, &address, 0, nullptr, sizeof received, &size,
                                      &received),
              0);
    EXPECT_EQ(size, 8u);
    ASSERT_NE(received, nullptr);
    EXPECT_TRUE(CFEqual(received, kept));
    EXPECT_EQ(CFGetRetainCount(kept), 2) << "one count for the object, one for the host; none kept in between";

    CFRelease(received); // as the host does
    EXPECT_EQ(CFGetRetainCount(kept), 1);
    CFRelease(kept);
}

TEST_F(CustomPropertyTest, SetPassesTheHostsReferenceToTheSetterWithoutTakingOwnership)
{
    CFStringRef kept = MakeString("the value before the host sets it");
    CFIndex countSeenBySetter = 0;
    int setterCalls = 0;
    object->RegisterCustomProperty('strg', Object::StringGetter([&] { return static_cast<CFStringRef>(CFRetain(kept)); }),
                                   Object::StringSetter([&](CFStringRef value) {
                                       ++setterCalls;
                                       countSeenBySetter = CFGetRetainCount(value);
                                       // A setter that keeps the value retains it.
                                       CFRetain(value);
                                       CFRelease(kept);
                                       kept = value;
                                   }));
    const AudioObjectPropertyAddress address = Address('strg');

    CFStringRef incoming = MakeString("the value that the host sets");
    ASSERT_EQ(object->SetPropertyData(object->GetID(), kClientPID, &address, 0, nullptr, sizeof incoming, &incoming), 0);
    EXPECT_EQ(setterCalls, 1);
    EXPECT_EQ(countSeenBySetter, 1) << "the setter gets the host's reference as it is";
    EXPECT_TRUE(CFEqual(kept, incoming));
    EXPECT_EQ(CFGetRetainCount(incoming), 2);

    CFRelease(incoming); // the host's own reference
    EXPECT_EQ(CFGetRetainCount(kept), 1);

    CFStringRef readBack = nullptr;
    UInt32 size = 0;
    ASSERT_EQ(object->GetPropertyData(object->GetID(), kClientPID, &address, 0, nullptr, sizeof readBack, &size,
                                      &readBack),
              0);
    EXPECT_TRUE(CFEqual(readBack, CFSTR("the value that the host sets")));
    CFRelease(readBack);
    CFRelease(kept);
}

// A list of one number: a container, so its references can be counted (a small number may be a
// shared cached object).
CFArrayRef MakeList(SInt64 value)
{
    const CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
    const void* values[] = {number};
    const CFArrayRef list = CFArrayCreate(kCFAllocatorDefault, values, 1, &kCFTypeArrayCallBacks);
    CFRelease(number);
    return list;
}

TEST_F(CustomPropertyTest, PropertyListValuesGoBothWays)
{
    CFPropertyListRef kept = MakeList(7);
    object->RegisterCustomProperty('plst', Object::PropertyListGetter([&] { return CFRetain(kept); }),
                                   Object::PropertyListSetter([&](CFPropertyListRef value) {
                                       CFRetain(value);
                                       CFRelease(kept);
                                       kept = value;
                                   }));
    const AudioObjectPropertyAddress address = Address('plst');
    EXPECT_EQ(object->GetCustomProperties().at(0).mPropertyDataType,
              kAudioServerPlugInCustomPropertyDataTypeCFPropertyList);

    CFPropertyListRef incoming = MakeList(11);
    ASSERT_EQ(object->SetPropertyData(object->GetID(), kClientPID, &address, 0, nullptr, sizeof incoming, &incoming), 0);
    CFRelease(incoming);

    CFPropertyListRef received = nullptr;
    UInt32 size = 0;
    ASSERT_EQ(object->GetPropertyData(object->GetID(), kClientPID, &address, 0, nullptr, sizeof received, &size,
                                      &received),
              0);
    ASSERT_NE(received, nullptr);
    const CFArrayRef expected = MakeList(11);
    EXPECT_TRUE(CFEqual(received, expected));
    CFRelease(expected);
    EXPECT_EQ(CFGetRetainCount(received), 2);
    CFRelease(received);
    EXPECT_EQ(CFGetRetainCount(kept), 1);
    CFRelease(kept);
}

// 'strg' reads and writes; 'nget' has no getter; 'nset' has no setter; 'plsw' takes property lists.
class CustomPropertyStatusTest : public CustomPropertyTest
{
protected:
    CustomPropertyStatusTest()
    {
        object->RegisterCustomProperty('strg', Object::StringGetter([this] {
                                           ++getterCalls;
                                           return CFSTR("value");
                                       }),
                                       Object::StringSetter([this](CFStringRef) { ++setterCalls; }));
        object->RegisterCustomProperty('plsw', nullptr,
                                       Object::PropertyListSetter([this](CFPropertyListRef) { ++setterCalls; }));
        object->RegisterCustomProperty('nget', nullptr, Object::StringSetter([this](CFStringRef) { ++setterCalls; }));
        object->RegisterCustomProperty('nset', Object::PropertyListGetter([this] {
                                           ++getterCalls;
                                           return CFPropertyListRef(CFSTR("list"));
                                       }),
                                       nullptr);
    }

    int getterCalls = 0;
    int setterCalls = 0;
};

TEST_F(CustomPropertyStatusTest, GetPropertyDataChecksGetterThenSizeThenPointers)
{
    constexpr UInt32 kUntouchedSize = 0xEEEEEEEE;
    const UInt32 qualifier = 'qual';
    struct Case {
        const char* description;
        AudioObjectPropertySelector selector;
        bool otherObject;
        UInt32 inDataSize;
        bool qualifier;
        bool sizePointer;
        bool dataPointer;
        OSStatus status;
        UInt32 outDataSize;
        bool valueWritten;
        Lines messages;
    };
    const Case cases[] = {
        {"exact buffer", 'strg', false, 8, false, true, true, 0, 8, true, {"returning property from custom property map"}},
        {"larger buffer", 'strg', false, 16, false, true, true, 0, 8, true, {"returning property from custom property map"}},
        {"a qualifier is not read", 'strg', false, 8, true, true, true, 0, 8, true,
         {"returning property from custom property map"}},
        {"buffer too small", 'strg', false, 4, false, true, true, kAudioHardwareBadPropertySizeError, kUntouchedSize,
         false, {"not enough space: need 8, avail 4"}},
        {"no size pointer", 'strg', false, 8, false, false, true, 0, kUntouchedSize, true,
         {"size buffer is null", "returning property from custom property map"}},
        {"no data pointer", 'strg', false, 8, false, true, false, 0, 8, false, {"data buffer is null"}},
        {"no getter, before the size", 'nget', false, 4, false, true, true, kAudioHardwareUnknownPropertyError,
         kUntouchedSize, false, {"property does not have getter"}},
        {"read-only property reads", 'nset', false, 8, false, true, true, 0, 8, true,
         {"returning property from custom property map"}},
        {"unknown selector", 'none', false, 8, false, true, true, kAudioHardwareUnknownPropertyError, kUntouchedSize,
         false, {"property not found"}},
        {"another object's ID", 'strg', true, 8, false, true, true, kAudioHardwareBadObjectError, kUntouchedSize, false,
         {"object not found"}},
    };

    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.description);
        const AudioObjectPropertyAddress address = Address(testCase.selector);
        std::array<CFTypeRef, 2> buffer{nullptr, nullptr};
        UInt32 outDataSize = kUntouchedSize;
        getterCalls = 0;
        tracer->ClearLines();

        const OSStatus status = object->GetPropertyData(
            testCase.otherObject ? object->GetID() + 1 : object->GetID(), kClientPID, &address,
            testCase.qualifier ? sizeof qualifier : 0, testCase.qualifier ? &qualifier : nullptr, testCase.inDataSize,
            testCase.sizePointer ? &outDataSize : nullptr, testCase.dataPointer ? buffer.data() : nullptr);

        EXPECT_EQ(status, testCase.status);
        EXPECT_EQ(outDataSize, testCase.outDataSize);
        EXPECT_EQ(getterCalls, testCase.valueWritten ? 1 : 0);
        EXPECT_EQ(buffer[0] != nullptr, testCase.valueWritten);
        EXPECT_EQ(buffer[1], nullptr) << "one reference only";
        EXPECT_EQ(MessagesOf(tracer->GetLines()), testCase.messages);
    }
}

TEST_F(CustomPropertyStatusTest, SetPropertyDataChecksSetterThenExactSizeThenData)
{
    struct Case {
        const char* description;
        AudioObjectPropertySelector selector;
        bool otherObject;
        UInt32 inDataSize;
        bool data;
        OSStatus status;
        Lines messages;
    };
    const Case cases[] = {
        {"exact size", 'strg', false, 8, true, 0, {"setting property in custom property map"}},
        {"too small", 'strg', false, 4, true, kAudioHardwareBadPropertySizeError, {"invalid size: should be 8, got 4"}},
        {"larger is refused too", 'strg', false, 16, true, kAudioHardwareBadPropertySizeError,
         {"invalid size: should be 8, got 16"}},
        {"no data", 'strg', false, 8, false, kAudioHardwareIllegalOperationError, {"input buffer is null"}},
        {"no data, size checked first", 'strg', false, 0, false, kAudioHardwareBadPropertySizeError,
         {"invalid size: should be 8, got 0"}},
        {"write-only property writes", 'nget', false, 8, true, 0, {"setting property in custom property map"}},
        {"no setter, before the size", 'nset', false, 4, true, kAudioHardwareUnknownPropertyError,
         {"property does not have setter"}},
        {"unknown selector", 'none', false, 8, true, kAudioHardwareUnknownPropertyError, {"property not found"}},
        {"another object's ID", 'strg', true, 8, true, kAudioHardwareBadObjectError, {"object not found"}},
    };

    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.description);
        const AudioObjectPropertyAddress address = Address(testCase.selector);
        const std::array<CFTypeRef, 2> data{CFSTR("new value"), nullptr};
        setterCalls = 0;
        tracer->ClearLines();

        const OSStatus status = object->SetPropertyData(testCase.otherObject ? object->GetID() + 1 : object->GetID(),
                                                        kClientPID, &address, 0, nullptr, testCase.inDataSize,
                                                        testCase.data ? data.data() : nullptr);

        EXPECT_EQ(status, testCase.status);
        EXPECT_EQ(setterCalls, testCase.status == 0 ? 1 : 0);
        EXPECT_EQ(MessagesOf(tracer->GetLines()), testCase.messages);
    }
}

// The host's 8 bytes can name any object, or none. A setter is only ever handed a reference of its
// property's type: one that converts its string with hal::Convert would otherwise abort the driver
// on a number.
TEST_F(CustomPropertyStatusTest, SetPropertyDataHandsTheSetterOnlyAValueOfItsType)
{
    const SInt64 one = 1;
    const CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &one);
    const CFDataRef data = CFDataCreate(kCFAllocatorDefault, nullptr, 0);
    const CFUUIDRef uuid = CFUUIDCreate(kCFAllocatorDefault);
    const CFURLRef url = CFURLCreateWithString(kCFAllocatorDefault, CFSTR("file:///tmp/"), nullptr);
    const void* elements[] = {CFSTR("text"), uuid};
    const CFArrayRef listWithUUID = CFArrayCreate(kCFAllocatorDefault, elements, 2, &kCFTypeArrayCallBacks);
    const void* keys[] = {number};
    const void* values[] = {CFSTR("value")};
    const CFDictionaryRef numberKey = CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1,
                                                         &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks);
    const CFArrayRef list = MakeList(42);

    struct Case {
        const char* description;
        AudioObjectPropertySelector selector;
        CFTypeRef value;
        bool accepted;
    };
    const Case cases[] = {
        {"a string to a string property", 'strg', CFSTR("new value"), true},
        {"a number to a string property", 'strg', number, false},
        {"a boolean to a string property", 'strg', kCFBooleanTrue, false},
        {"a list to a string property", 'strg', list, false},
        {"a null reference to a string property", 'strg', nullptr, false},
        {"a string to a property-list property", 'plsw', CFSTR("new value"), true},
        {"a number to a property-list property", 'plsw', number, true},
        {"data to a property-list property", 'plsw', data, true},
        {"a list to a property-list property", 'plsw', list, true},
        {"a UUID to a property-list property", 'plsw', uuid, false},
        {"a URL to a property-list property", 'plsw', url, false},
        {"a list holding a UUID to a property-list property", 'plsw', listWithUUID, false},
        {"a dictionary with a number key to a property-list property", 'plsw', numberKey, false},
        {"a null reference to a property-list property", 'plsw', nullptr, false},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.description);
        const AudioObjectPropertyAddress address = Address(testCase.selector);
        setterCalls = 0;
        tracer->ClearLines();

        const OSStatus status = object->SetPropertyData(object->GetID(), kClientPID, &address, 0, nullptr,
                                                        sizeof testCase.value, &testCase.value);

        EXPECT_EQ(status, testCase.accepted ? 0 : kAudioHardwareIllegalOperationError);
        EXPECT_EQ(setterCalls, testCase.accepted ? 1 : 0);
        EXPECT_EQ(MessagesOf(tracer->GetLines()),
                  Lines{testCase.accepted ? "setting property in custom property map" : "input value has the wrong type"});
    }

    for (CFTypeRef created : std::initializer_list<CFTypeRef>{number, data, uuid, url, listWithUUID, numberKey, list}) {
        CFRelease(created);
    }
}

TEST_F(CustomPropertyTest, ACallbackThatThrowsBecomesAStatusNotAnException)
{
    object->RegisterCustomProperty('thrw', Object::StringGetter([]() -> CFStringRef { throw std::runtime_error("no value"); }),
                                   Object::StringSetter([](CFStringRef) { throw 17; }));
    const AudioObjectPropertyAddress address = Address('thrw');
    CFStringRef value = CFSTR("unchanged");
    UInt32 size = 0;

    tracer->ClearLines();
    EXPECT_EQ(object->GetPropertyData(object->GetID(), kClientPID, &address, 0, nullptr, sizeof value, &size, &value),
              kAudioHardwareUnspecifiedError);
    EXPECT_TRUE(CFEqual(value, CFSTR("unchanged")));
    EXPECT_EQ(MessagesOf(tracer->GetLines()),
              (Lines{"returning property from custom property map", "caught exception: no value"}));

    tracer->ClearLines();
    EXPECT_EQ(object->SetPropertyData(object->GetID(), kClientPID, &address, 0, nullptr, sizeof value, &value),
              kAudioHardwareUnspecifiedError);
    EXPECT_EQ(MessagesOf(tracer->GetLines()),
              (Lines{"setting property in custom property map", "caught unknown exception"}));
}

} // namespace
