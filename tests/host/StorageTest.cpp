// A plug-in's storage and the server's settings: property lists kept in a file across runs.

#include "HostTestSupport.h"
#include "PropertyListFile.h"
#include "Storage.h"

#include <AudioServer/Text.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace pelio::host::test {
namespace {


CFStringRef Key(const char* text)
{
    return audioserver::CreateString(text);
}

// Every kind of value a property list holds, at its edges.
CFTypeRef MakeValue()
{
    CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                                  &kCFTypeDictionaryValueCallBacks);
    const auto put = [&](const char* key, CFTypeRef value) {
        Held keyString(Key(key));
        Held held(value);
        CFDictionarySetValue(dictionary, keyString.object, value);
    };
    const SInt64 smallest = INT64_MIN;
    const SInt64 negative = -5;
    const Float64 fraction = 0.1;
    const UInt8 bytes[] = {0, 1, 0xFE, 0xFF};
    put("smallest", CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &smallest));
    put("negative", CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &negative));
    put("fraction", CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &fraction));
    put("text", audioserver::CreateString("caf\xC3\xA9 <&>"));
    put("bytes", CFDataCreate(kCFAllocatorDefault, bytes, sizeof(bytes)));
    put("empty", CFDataCreate(kCFAllocatorDefault, nullptr, 0));
    put("flag", CFRetain(kCFBooleanFalse));
    CFMutableArrayRef list = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
    Held inner(CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                         &kCFTypeDictionaryValueCallBacks));
    CFArrayAppendValue(list, inner.object);
    CFArrayAppendValue(list, kCFBooleanTrue);
    put("list", list);
    return dictionary;
}

TEST(Storage, KeepsEveryValueKindAcrossSaveAndLoad)
{
    const TemporaryFolder folder;
    Held value(MakeValue());
    Held key(Key("settings"));
    {
        Storage storage(folder / "plugin.plist");
        std::string error;
        ASSERT_TRUE(storage.Load(error));
        ASSERT_EQ(storage.Write(static_cast<CFStringRef>(key.object), value.object), 0);
        ASSERT_TRUE(storage.Save(error)) << error;
    }
    Storage storage(folder / "plugin.plist");
    std::string error;
    ASSERT_TRUE(storage.Load(error)) << error;
    CFPropertyListRef copy = nullptr;
    ASSERT_EQ(storage.Copy(static_cast<CFStringRef>(key.object), &copy), 0);
    Held held(copy);
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(CFEqual(copy, value.object));
}

TEST(Storage, HandsOutCopiesAndRefusesWhatIsNoPropertyList)
{
    const TemporaryFolder folder;
    Storage storage(folder / "plugin.plist");
    Held key(Key("k"));
    const auto keyString = static_cast<CFStringRef>(key.object);

    CFPropertyListRef missing = reinterpret_cast<CFPropertyListRef>(1);
    EXPECT_EQ(storage.Copy(keyString, &missing), 0);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(storage.Delete(keyString), 0);

    // The caller's later changes never reach what was stored.
    CFMutableArrayRef list = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
    Held heldList(list);
    ASSERT_EQ(storage.Write(keyString, list), 0);
    CFArrayAppendValue(list, kCFBooleanTrue);
    CFPropertyListRef copy = nullptr;
    ASSERT_EQ(storage.Copy(keyString, &copy), 0);
    EXPECT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(copy)), 0);
    CFRelease(copy);

    Held uuid(CFUUIDCreate(kCFAllocatorDefault));
    EXPECT_EQ(storage.Write(keyString, uuid.object), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(storage.Write(nullptr, kCFBooleanTrue), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(storage.Write(static_cast<CFStringRef>(uuid.object), kCFBooleanTrue),
              kAudioHardwareIllegalOperationError);

    EXPECT_EQ(storage.Delete(keyString), 0);
    ASSERT_EQ(storage.Copy(keyString, &copy), 0);
    EXPECT_EQ(copy, nullptr);
}

TEST(Storage, WritesOnlyWhatChangedAndStartsEmptyFromABadFile)
{
    const TemporaryFolder folder;
    std::string error;
    {
        Storage storage(folder / "untouched.plist");
        ASSERT_TRUE(storage.Load(error));
        ASSERT_TRUE(storage.Save(error));
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "untouched.plist"));

    struct Case
    {
        const char* name;
        const char* text;
    };
    const Case cases[] = {
        {"not a property list", "garbage"},
        {"no dictionary", "<plist version=\"1.0\"><array/></plist>"},
        {"a date inside", "<plist version=\"1.0\"><dict><key>d</key><date>2024-01-01T00:00:00Z</date></dict></plist>"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const std::string path = folder / "bad.plist";
        std::ofstream(path) << testCase.text;
        Storage storage(path);
        EXPECT_FALSE(storage.Load(error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(storage.CopyText("d"), "");
    }
}

} // namespace
} // namespace pelio::host::test
