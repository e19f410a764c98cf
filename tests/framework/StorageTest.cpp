#include "hal/Storage.h"

#include "hal/Context.h"

#include "CapturingTracer.h"
#include "TestHost.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

using pelio::test::CapturingTracer;
using pelio::test::TestHost;
using testing::ElementsAre;
using testing::IsEmpty;
using Lines = std::vector<std::string>;

// A dictionary holding a list: a property list that only containers make up, so that its
// references can be counted (leaves may be shared objects).
CFPropertyListRef MakeSettings()
{
    const SInt64 rate = 48000;
    const CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &rate);
    const void* elements[] = {number, CFSTR("Pelio iPhone")};
    const CFArrayRef list = CFArrayCreate(kCFAllocatorDefault, elements, 2, &kCFTypeArrayCallBacks);
    const void* keys[] = {CFSTR("device")};
    const void* values[] = {list};
    const CFDictionaryRef settings = CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1,
                                                        &kCFTypeDictionaryKeyCallBacks,
                                                        &kCFTypeDictionaryValueCallBacks);
    CFRelease(list);
    CFRelease(number);
    return settings;
}

// Every read of `key` fails with its type's empty value.
void ExpectEveryReadFindsNothing(const hal::Storage& storage, const std::string& key)
{
    EXPECT_EQ(storage.ReadBytes(key), std::make_pair(std::vector<UInt8>{}, false));
    EXPECT_EQ(storage.ReadString(key), std::make_pair(std::string{}, false));
    EXPECT_EQ(storage.ReadBoolean(key), std::make_pair(false, false));
    EXPECT_EQ(storage.ReadInt(key), std::make_pair(SInt64{0}, false));
    EXPECT_EQ(storage.ReadFloat(key), std::make_pair(0.0, false));
    EXPECT_EQ(storage.ReadCustom(key), std::make_pair(CFPropertyListRef{nullptr}, false));
}

class StorageTest : public ::testing::Test
{
protected:
    StorageTest()
    {
        context->Host.store(host.GetInterface(), std::memory_order_release);
    }

    // What the host keeps under `key`: its type ID, or 0 for nothing.
    CFTypeID StoredTypeID(const std::string& key) const
    {
        const CFPropertyListRef stored = host.CopyStoredValue(key);
        if (stored == nullptr) {
            return 0;
        }
        const CFTypeID typeID = CFGetTypeID(stored);
        CFRelease(stored);
        return typeID;
    }

    Lines TakeLines()
    {
        Lines lines = tracer->GetLines();
        tracer->ClearLines();
        return lines;
    }

    std::shared_ptr<CapturingTracer> tracer =
        std::make_shared<CapturingTracer>(CapturingTracer::Mode::Stderr, CapturingTracer::Style::Flat);
    std::shared_ptr<hal::Context> context = std::make_shared<hal::Context>(tracer);
    TestHost host;
    hal::Storage storage{context};
};

// ---- Round trips --------------------------------------------------------------------------------

TEST_F(StorageTest, EachTypeComesBackAsItWasWrittenInItsOwnEncoding)
{
    for (const std::vector<UInt8>& bytes : std::vector<std::vector<UInt8>>{{}, {0}, {0, 1, 0x7F, 0x80, 0xFF}}) {
        ASSERT_TRUE(storage.WriteBytes("bytes", bytes));
        EXPECT_EQ(StoredTypeID("bytes"), CFDataGetTypeID());
        EXPECT_EQ(storage.ReadBytes("bytes"), std::make_pair(bytes, true));
    }
    for (const std::string text : {"", "Pelio iPhone", "Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x8E\xA7"}) {
        ASSERT_TRUE(storage.WriteString("text", text));
        EXPECT_EQ(StoredTypeID("text"), CFStringGetTypeID());
        EXPECT_EQ(storage.ReadString("text"), std::make_pair(text, true));
    }
    for (const bool value : {true, false}) {
        ASSERT_TRUE(storage.WriteBoolean("flag", value));
        EXPECT_EQ(StoredTypeID("flag"), CFBooleanGetTypeID());
        EXPECT_EQ(storage.ReadBoolean("flag"), std::make_pair(value, true));
    }
    // The extremes would not survive the other number encoding.
    for (const SInt64 value : {std::numeric_limits<SInt64>::min(), SInt64{-1}, SInt64{0}, SInt64{7},
                               std::numeric_limits<SInt64>::max()}) {
        ASSERT_TRUE(storage.WriteInt("count", value));
        EXPECT_EQ(StoredTypeID("count"), CFNumberGetTypeID());
        EXPECT_EQ(storage.ReadInt("count"), std::make_pair(value, true));
    }
    for (const Float64 value : {0.0, 0.25, -1e300, 48000.5, std::numeric_limits<Float64>::denorm_min(),
                                std::numeric_limits<Float64>::infinity()}) {
        ASSERT_TRUE(storage.WriteFloat("level", value));
        EXPECT_EQ(StoredTypeID("level"), CFNumberGetTypeID());
        EXPECT_EQ(storage.ReadFloat("level"), std::make_pair(value, true));
    }
    ASSERT_TRUE(storage.WriteFloat("level", std::numeric_limits<Float64>::quiet_NaN()));
    const auto [nan, found] = storage.ReadFloat("level");
    EXPECT_TRUE(found);
    EXPECT_TRUE(std::isnan(nan));

    EXPECT_THAT(host.GetStoredKeys(), ElementsAre("bytes", "count", "flag", "level", "text"));
}

TEST_F(StorageTest, CustomValuesPassBothWaysAsTheyAreAndOwnershipStaysPut)
{
    const CFPropertyListRef settings = MakeSettings();
    ASSERT_TRUE(storage.WriteCustom("settings", settings));
    EXPECT_EQ(CFGetRetainCount(settings), 1) << "the caller's reference is neither taken nor dropped";

    const auto [read, found] = storage.ReadCustom("settings");
    ASSERT_TRUE(found);
    ASSERT_NE(read, nullptr);
    EXPECT_TRUE(CFEqual(read, settings));
    EXPECT_EQ(CFGetRetainCount(read), 1) << "the host's reference, now the caller's alone";
    CFRelease(read);
    CFRelease(settings);

    // Custom values are not decoded: whatever the host keeps comes back, of any type.
    ASSERT_TRUE(storage.WriteInt("count", 7));
    const auto [number, foundNumber] = storage.ReadCustom("count");
    ASSERT_TRUE(foundNumber);
    EXPECT_EQ(CFGetTypeID(number), CFNumberGetTypeID());
    CFRelease(number);
}

TEST_F(StorageTest, EachOperationReportsTheHostsStatusUnderItsTypeName)
{
    struct Case
    {
        const char* description;
        std::function<bool(hal::Storage&)> operation;
        const char* line;
    };
    const Case cases[] = {
        {"bytes", [](hal::Storage& s) { return s.WriteBytes("key", {1}); },
         "Storage::WriteToStorage() type=CFData key=\"key\" status=OK"},
        {"bytes", [](hal::Storage& s) { return s.ReadBytes("key").second; },
         "Storage::CopyFromStorage() type=CFData key=\"key\" status=OK hasValue=yes"},
        {"string", [](hal::Storage& s) { return s.WriteString("key", "text"); },
         "Storage::WriteToStorage() type=CFString key=\"key\" status=OK"},
        {"string", [](hal::Storage& s) { return s.ReadString("key").second; },
         "Storage::CopyFromStorage() type=CFString key=\"key\" status=OK hasValue=yes"},
        {"boolean", [](hal::Storage& s) { return s.WriteBoolean("key", true); },
         "Storage::WriteToStorage() type=CFBoolean key=\"key\" status=OK"},
        {"boolean", [](hal::Storage& s) { return s.ReadBoolean("key").second; },
         "Storage::CopyFromStorage() type=CFBoolean key=\"key\" status=OK hasValue=yes"},
        {"integer", [](hal::Storage& s) { return s.WriteInt("key", 1); },
         "Storage::WriteToStorage() type=CFNumber key=\"key\" status=OK"},
        {"integer", [](hal::Storage& s) { return s.ReadInt("key").second; },
         "Storage::CopyFromStorage() type=CFNumber key=\"key\" status=OK hasValue=yes"},
        {"float", [](hal::Storage& s) { return s.WriteFloat("key", 0.5); },
         "Storage::WriteToStorage() type=CFNumber key=\"key\" status=OK"},
        {"float", [](hal::Storage& s) { return s.ReadFloat("key").second; },
         "Storage::CopyFromStorage() type=CFNumber key=\"key\" status=OK hasValue=yes"},
        {"custom", [](hal::Storage& s) { return s.WriteCustom("key", CFSTR("text")); },
         "Storage::WriteToStorage() type=CFPropertyList key=\"key\" status=OK"},
        {"custom", [](hal::Storage& s) {
             const auto [value, found] = s.ReadCustom("key");
             if (found) {
                 CFRelease(value);
             }
             return found;
         },
         "Storage::CopyFromStorage() type=CFPropertyList key=\"key\" status=OK hasValue=yes"},
        {"delete", [](hal::Storage& s) { return s.Delete("key"); },
         "Storage::DeleteFromStorage() key=\"key\" status=OK"},
        // A missing key: the host answers 0 and no value; deleting it again is still a success.
        {"missing", [](hal::Storage& s) { return !s.ReadInt("key").second; },
         "Storage::CopyFromStorage() type=CFNumber key=\"key\" status=OK hasValue=no"},
        {"missing", [](hal::Storage& s) { return s.Delete("key"); },
         "Storage::DeleteFromStorage() key=\"key\" status=OK"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.line);
        TakeLines();
        EXPECT_TRUE(testCase.operation(storage)) << testCase.description;
        EXPECT_THAT(TakeLines(), ElementsAre(testCase.line));
    }
}

TEST_F(StorageTest, AMissingKeyReadsAsTheEmptyValueOfEveryType)
{
    ExpectEveryReadFindsNothing(storage, "absent");
}

// ---- Failures ----------------------------------------------------------------------------------

// A value of another type, or a number that does not convert exactly, is not decoded.
TEST_F(StorageTest, AStoredValueOfAnotherTypeCannotBeDecoded)
{
    const SInt64 beyondDoublePrecision = (SInt64{1} << 53) + 1;
    const CFPropertyListRef settings = MakeSettings();
    ASSERT_TRUE(storage.WriteInt("integer", 7));
    ASSERT_TRUE(storage.WriteInt("huge", beyondDoublePrecision));
    ASSERT_TRUE(storage.WriteFloat("fraction", 2.5));
    ASSERT_TRUE(storage.WriteString("text", "7"));
    ASSERT_TRUE(storage.WriteBoolean("flag", true));
    ASSERT_TRUE(storage.WriteBytes("bytes", {'7'}));
    ASSERT_TRUE(storage.WriteCustom("list", settings));
    CFRelease(settings);

    struct Case
    {
        const char* key;
        const char* typeName;
        std::function<bool(const hal::Storage&)> readIsEmpty;
    };
    const auto bytes = [](const char* key) {
        return [key](const hal::Storage& s) { return s.ReadBytes(key) == std::make_pair(std::vector<UInt8>{}, false); };
    };
    const auto text = [](const char* key) {
        return [key](const hal::Storage& s) { return s.ReadString(key) == std::make_pair(std::string{}, false); };
    };
    const auto boolean = [](const char* key) {
        return [key](const hal::Storage& s) { return s.ReadBoolean(key) == std::make_pair(false, false); };
    };
    const auto integer = [](const char* key) {
        return [key](const hal::Storage& s) { return s.ReadInt(key) == std::make_pair(SInt64{0}, false); };
    };
    const auto floating = [](const char* key) {
        return [key](const hal::Storage& s) { return s.ReadFloat(key) == std::make_pair(0.0, false); };
    };
    const Case cases[] = {
        {"integer", "CFString", text("integer")},   {"integer", "CFData", bytes("integer")},
        {"integer", "CFBoolean", boolean("integer")}, {"text", "CFNumber", integer("text")},
        {"text", "CFNumber", floating("text")},      {"text", "CFData", bytes("text")},
        {"flag", "CFNumber", integer("flag")},       {"bytes", "CFString", text("bytes")},
        {"fraction", "CFNumber", integer("fraction")}, {"huge", "CFNumber", floating("huge")},
        {"list", "CFData", bytes("list")},           {"list", "CFString", text("list")},
        {"list", "CFBoolean", boolean("list")},      {"list", "CFNumber", integer("list")},
        {"list", "CFNumber", floating("list")},
    };
    for (const Case& testCase : cases) {
        const std::string prefix = std::string("Storage::CopyFromStorage() type=") + testCase.typeName + " key=\""
                                   + testCase.key + "\" ";
        SCOPED_TRACE(prefix);
        TakeLines();
        EXPECT_TRUE(testCase.readIsEmpty(storage));
        EXPECT_THAT(TakeLines(), ElementsAre(prefix + "status=OK hasValue=yes", prefix + "can't decode value"));
    }
}

TEST_F(StorageTest, EveryOperationFailsUntilTheDriverKnowsItsHost)
{
    context->Host.store(nullptr, std::memory_order_release);
    const CFPropertyListRef settings = MakeSettings();

    EXPECT_FALSE(storage.WriteBytes("key", {1}));
    EXPECT_FALSE(storage.WriteString("key", "text"));
    EXPECT_FALSE(storage.WriteBoolean("key", true));
    EXPECT_FALSE(storage.WriteInt("key", 1));
    EXPECT_FALSE(storage.WriteFloat("key", 1.0));
    EXPECT_FALSE(storage.WriteCustom("key", settings));
    ExpectEveryReadFindsNothing(storage, "key");
    EXPECT_FALSE(storage.Delete("key"));

    const std::string notInitialized = "Context.Host is NULL (driver is not initialized yet)";
    EXPECT_THAT(TakeLines(),
                ElementsAre("Storage::WriteToStorage() type=CFData key=\"key\" " + notInitialized,
                            "Storage::WriteToStorage() type=CFString key=\"key\" " + notInitialized,
                            "Storage::WriteToStorage() type=CFBoolean key=\"key\" " + notInitialized,
                            "Storage::WriteToStorage() type=CFNumber key=\"key\" " + notInitialized,
                            "Storage::WriteToStorage() type=CFNumber key=\"key\" " + notInitialized,
                            "Storage::WriteToStorage() type=CFPropertyList key=\"key\" " + notInitialized,
                            "Storage::CopyFromStorage() type=CFData key=\"key\" " + notInitialized,
                            "Storage::CopyFromStorage() type=CFString key=\"key\" " + notInitialized,
                            "Storage::CopyFromStorage() type=CFBoolean key=\"key\" " + notInitialized,
                            "Storage::CopyFromStorage() type=CFNumber key=\"key\" " + notInitialized,
                            "Storage::CopyFromStorage() type=CFNumber key=\"key\" " + notInitialized,
                            "Storage::CopyFromStorage() type=CFPropertyList key=\"key\" " + notInitialized,
                            "Storage::DeleteFromStorage() key=\"key\" " + notInitialized));
    EXPECT_THAT(host.GetStoredKeys(), IsEmpty());
    EXPECT_EQ(CFGetRetainCount(settings), 1);
    CFRelease(settings);
}

TEST_F(StorageTest, AHostErrorFailsTheOperationWithItsStatus)
{
    ASSERT_TRUE(storage.WriteInt("count", 7));
    host.FailStorageWith(kAudioHardwareUnspecifiedError);
    TakeLines();

    EXPECT_FALSE(storage.WriteInt("count", 8));
    EXPECT_EQ(storage.ReadInt("count"), std::make_pair(SInt64{0}, false));
    EXPECT_FALSE(storage.Delete("count"));
    EXPECT_THAT(TakeLines(),
                ElementsAre("Storage::WriteToStorage() type=CFNumber key=\"count\" status=kAudioHardwareUnspecifiedError",
                            "Storage::CopyFromStorage() type=CFNumber key=\"count\" status=kAudioHardwareUnspecifiedError "
                            "hasValue=no",
                            "Storage::DeleteFromStorage() key=\"count\" status=kAudioHardwareUnspecifiedError"));

    host.FailStorageWith(0);
    EXPECT_EQ(storage.ReadInt("count"), std::make_pair(SInt64{7}, true)) << "nothing changed";

    // A custom value that the host cannot keep (no property list) fails with the host's status.
    const CFUUIDRef uuid = CFUUIDCreate(kCFAllocatorDefault);
    TakeLines();
    EXPECT_FALSE(storage.WriteCustom("uuid", uuid));
    EXPECT_THAT(TakeLines(), ElementsAre("Storage::WriteToStorage() type=CFPropertyList key=\"uuid\" "
                                         "status=kAudioHardwareIllegalOperationError"));
    CFRelease(uuid);
}

// The key is checked first, then the value, then the host; none of these reaches the host.
TEST_F(StorageTest, KeysAndValuesThatCannotBeEncodedAreRefusedBeforeTheHost)
{
    for (const std::string& key : {std::string("key\xC3\x28"), std::string("a\0b", 3)}) {
        SCOPED_TRACE(testing::PrintToString(key));
        const std::string quoted = "key=\"" + std::string(key.c_str()) + "\" can't encode key";
        for (const bool hostKnown : {true, false}) {
            context->Host.store(hostKnown ? host.GetInterface() : nullptr, std::memory_order_release);
            TakeLines();
            EXPECT_FALSE(storage.WriteInt(key, 1));
            EXPECT_FALSE(storage.WriteCustom(key, nullptr));
            EXPECT_EQ(storage.ReadString(key), std::make_pair(std::string{}, false));
            EXPECT_EQ(storage.ReadCustom(key), std::make_pair(CFPropertyListRef{nullptr}, false));
            EXPECT_FALSE(storage.Delete(key));
            EXPECT_THAT(TakeLines(), ElementsAre("Storage::WriteToStorage() type=CFNumber " + quoted,
                                                 "Storage::WriteToStorage() type=CFPropertyList " + quoted,
                                                 "Storage::CopyFromStorage() type=CFString " + quoted,
                                                 "Storage::CopyFromStorage() type=CFPropertyList " + quoted,
                                                 "Storage::DeleteFromStorage() " + quoted));
        }
    }

    // A null custom value would reach the host as a value: refused like any value that cannot be
    // encoded, as is text that is no UTF-8 or holds a NUL.
    for (const bool hostKnown : {true, false}) {
        SCOPED_TRACE(hostKnown ? "host known" : "host not known yet");
        context->Host.store(hostKnown ? host.GetInterface() : nullptr, std::memory_order_release);
        TakeLines();
        EXPECT_FALSE(storage.WriteCustom("settings", nullptr));
        EXPECT_FALSE(storage.WriteString("name", "\xFF"));
        EXPECT_FALSE(storage.WriteString("name", std::string("a\0b", 3)));
        EXPECT_THAT(TakeLines(),
                    ElementsAre("Storage::WriteToStorage() type=CFPropertyList key=\"settings\" can't encode value",
                                "Storage::WriteToStorage() type=CFString key=\"name\" can't encode value",
                                "Storage::WriteToStorage() type=CFString key=\"name\" can't encode value"));
    }
    EXPECT_THAT(host.GetStoredKeys(), IsEmpty());
}

} // namespace
