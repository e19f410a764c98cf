// Data, arrays, dictionaries and deep copies of property lists.
#include "CFTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using cftest::CountingCallBacks;
using cftest::MakeNumber;
using cftest::MakeString;
using cftest::Own;
using cftest::Owned;

TEST(CFData, CopiesTheBytesAndComparesByThem) {
    std::vector<UInt8> bytes = {0, 1, 2, 0xFF};
    auto data = Own(CFDataCreate(nullptr, bytes.data(), CFIndex(bytes.size())));
    bytes[0] = 42;  // the object owns a copy
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(CFDataGetLength(data.get()), 4);
    EXPECT_EQ(CFDataGetBytePtr(data.get())[0], 0);
    EXPECT_EQ(CFDataGetBytePtr(data.get())[3], 0xFF);

    UInt8 middle[2] = {};
    CFDataGetBytes(data.get(), CFRangeMake(1, 2), middle);
    EXPECT_EQ(middle[0], 1);
    EXPECT_EQ(middle[1], 2);

    auto same = Own(CFDataCreate(nullptr, CFDataGetBytePtr(data.get()), 4));
    auto shorter = Own(CFDataCreate(nullptr, CFDataGetBytePtr(data.get()), 3));
    EXPECT_TRUE(CFEqual(data.get(), same.get()));
    EXPECT_EQ(CFHash(data.get()), CFHash(same.get()));
    EXPECT_FALSE(CFEqual(data.get(), shorter.get()));
}

TEST(CFData, EmptyDataIsValid) {
    auto fromNull = Own(CFDataCreate(nullptr, nullptr, 0));
    const UInt8 byte = 1;
    auto fromBytes = Own(CFDataCreate(nullptr, &byte, 0));
    ASSERT_NE(fromNull, nullptr);
    EXPECT_EQ(CFDataGetLength(fromNull.get()), 0);
    EXPECT_TRUE(CFEqual(fromNull.get(), fromBytes.get()));
    EXPECT_EQ(CFDataCreate(nullptr, nullptr, 3), nullptr);
    EXPECT_EQ(CFDataCreate(nullptr, &byte, -1), nullptr);
}

TEST(CFData, MutableDataGrows) {
    auto data = Own(CFDataCreateMutable(nullptr, 0));
    const UInt8 first[] = {1, 2};
    const UInt8 second[] = {3};
    CFDataAppendBytes(data.get(), first, 2);
    CFDataAppendBytes(data.get(), second, 1);
    CFDataAppendBytes(data.get(), nullptr, 0);
    ASSERT_EQ(CFDataGetLength(data.get()), 3);
    CFDataGetMutableBytePtr(data.get())[0] = 9;
    const UInt8 expected[] = {9, 2, 3};
    EXPECT_EQ(std::memcmp(CFDataGetBytePtr(data.get()), expected, 3), 0);
}

// Counted on texts long enough that no platform keeps them in tagged pointers or shares them.
TEST(CFArray, TypeCallBacksRetainAndNullCallBacksDoNot) {
    auto element = MakeString("an element whose references are counted");
    const void* values[] = {element.get(), element.get()};
    {
        auto retaining = Own(CFArrayCreate(nullptr, values, 2, &kCFTypeArrayCallBacks));
        auto plain = Own(CFArrayCreate(nullptr, values, 2, nullptr));
        EXPECT_EQ(CFGetRetainCount(element.get()), 3);
        EXPECT_EQ(CFArrayGetCount(plain.get()), 2);
        EXPECT_TRUE(CFEqual(CFArrayGetValueAtIndex(plain.get(), 1), element.get()));
    }
    EXPECT_EQ(CFGetRetainCount(element.get()), 1);
}

TEST(CFArray, MutableArrayAppendsAndRemoves) {
    CountingCallBacks::Reset();
    {
        auto array = Own(CFArrayCreateMutable(nullptr, 0, &CountingCallBacks::kArray));
        for (SInt64 i = 0; i < 3; ++i) CFArrayAppendValue(array.get(), MakeNumber(i).get());
        CFArrayRemoveValueAtIndex(array.get(), 0);
        ASSERT_EQ(CFArrayGetCount(array.get()), 2);
        EXPECT_TRUE(CFEqual(CFArrayGetValueAtIndex(array.get(), 0), MakeNumber(SInt64{1}).get()));
        EXPECT_EQ(CountingCallBacks::releases, 1);

        auto copy = Own(CFArrayCreateCopy(nullptr, array.get()));
        EXPECT_TRUE(CFEqual(copy.get(), array.get()));
        CFArrayRemoveAllValues(array.get());
        EXPECT_EQ(CFArrayGetCount(array.get()), 0);
        EXPECT_FALSE(CFEqual(copy.get(), array.get()));
        EXPECT_EQ(CFArrayGetCount(copy.get()), 2);
    }
    EXPECT_EQ(CountingCallBacks::retains, 5);
    EXPECT_EQ(CountingCallBacks::releases, 5);
}

TEST(CFDictionary, FindsKeysByEqualityAndReplacesValues) {
    CountingCallBacks::Reset();
    auto dictionary =
        Own(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &CountingCallBacks::kDictionaryValues));
    auto first = MakeString("the first value under the key");
    CFDictionarySetValue(dictionary.get(), CFSTR("key"), first.get());
    EXPECT_EQ(CFGetRetainCount(first.get()), 2);

    // A distinct but equal key finds the entry.
    auto key = MakeString("key");
    EXPECT_TRUE(CFEqual(CFDictionaryGetValue(dictionary.get(), key.get()), first.get()));

    // Setting the value it already holds, when it holds the only reference, must not free it on
    // the way (the sanitizers see a use after free).
    CFDictionarySetValue(dictionary.get(), CFSTR("sole"), MakeString("a value with a sole owner").get());
    const void* sole = CFDictionaryGetValue(dictionary.get(), CFSTR("sole"));
    CFDictionarySetValue(dictionary.get(), CFSTR("sole"), sole);
    EXPECT_EQ(CFGetRetainCount(sole), 1);
    EXPECT_TRUE(CFEqual(sole, CFSTR("a value with a sole owner")));
    CFDictionaryRemoveValue(dictionary.get(), CFSTR("sole"));

    auto second = MakeString("the second value under the key");
    CFDictionarySetValue(dictionary.get(), key.get(), second.get());
    EXPECT_EQ(CFGetRetainCount(first.get()), 1);
    EXPECT_EQ(CFDictionaryGetCount(dictionary.get()), 1);
    CFDictionaryAddValue(dictionary.get(), key.get(), first.get());  // present: no change
    EXPECT_TRUE(CFEqual(CFDictionaryGetValue(dictionary.get(), CFSTR("key")), second.get()));

    const void* value = nullptr;
    EXPECT_FALSE(CFDictionaryGetValueIfPresent(dictionary.get(), CFSTR("absent"), &value));
    EXPECT_EQ(CFDictionaryGetValue(dictionary.get(), CFSTR("absent")), nullptr);
    CFDictionaryRemoveValue(dictionary.get(), CFSTR("key"));
    EXPECT_EQ(CFDictionaryGetCount(dictionary.get()), 0);
    EXPECT_EQ(CFGetRetainCount(second.get()), 1);
    EXPECT_EQ(CountingCallBacks::retains, CountingCallBacks::releases);
}

TEST(CFDictionary, NullCallBacksNeitherRetainNorCompareByValue) {
    auto key = MakeString("a key that is not retained");
    const void* keys[] = {key.get()};
    const void* values[] = {kCFBooleanTrue};
    auto dictionary = Own(CFDictionaryCreate(nullptr, keys, values, 1, nullptr, nullptr));
    EXPECT_EQ(CFGetRetainCount(key.get()), 1);
    EXPECT_TRUE(CFDictionaryContainsKey(dictionary.get(), key.get()));

    // Plain pointers, which only their addresses tell apart.
    const int stored = 1;
    const int equal = 1;
    const void* plainKeys[] = {&stored};
    auto plain = Own(CFDictionaryCreate(nullptr, plainKeys, values, 1, nullptr, nullptr));
    EXPECT_TRUE(CFDictionaryContainsKey(plain.get(), &stored));
    EXPECT_FALSE(CFDictionaryContainsKey(plain.get(), &equal));
}

// A property list like the ones kept in storage: nested containers of every leaf type.
Owned<CFMutableDictionaryRef> MakePropertyList() {
    auto list = Own(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    auto channels = Own(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    CFArrayAppendValue(channels.get(), MakeNumber(SInt64{1}).get());
    CFArrayAppendValue(channels.get(), MakeString("R\u00e9").get());
    const UInt8 bytes[] = {1, 2, 3};
    CFDictionarySetValue(list.get(), CFSTR("name"), MakeString("Pelio iPhone").get());
    CFDictionarySetValue(list.get(), CFSTR("rate"), MakeNumber(48000.0).get());
    CFDictionarySetValue(list.get(), CFSTR("enabled"), kCFBooleanTrue);
    CFDictionarySetValue(list.get(), CFSTR("blob"), Own(CFDataCreate(nullptr, bytes, 3)).get());
    CFDictionarySetValue(list.get(), CFSTR("empty"), Own(CFDataCreate(nullptr, nullptr, 0)).get());
    CFDictionarySetValue(list.get(), CFSTR("channels"), channels.get());
    return list;
}

TEST(CFPropertyList, DeepCopyOfABooleanIsAnOwnedBoolean) {
    for (CFBooleanRef boolean : {kCFBooleanTrue, kCFBooleanFalse}) {
        CFPropertyListRef copy = CFPropertyListCreateDeepCopy(kCFAllocatorDefault, boolean, kCFPropertyListImmutable);
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(CFGetTypeID(copy), CFBooleanGetTypeID());
        EXPECT_TRUE(CFEqual(copy, boolean));
        CFRelease(copy);  // owned, like every other copy
    }
}

// Immutable leaves may be shared with the original (the platform shares strings and data); the
// containers are new, so later changes of the original do not reach the copy.
TEST(CFPropertyList, DeepCopyOfANestedListSharesNothingMutable) {
    auto original = MakePropertyList();
    auto copy = Own(static_cast<CFDictionaryRef>(
        CFPropertyListCreateDeepCopy(nullptr, original.get(), kCFPropertyListImmutable)));
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(CFEqual(copy.get(), original.get()));
    EXPECT_EQ(CFGetRetainCount(copy.get()), 1);
    EXPECT_TRUE(CFEqual(CFDictionaryGetValue(copy.get(), CFSTR("enabled")), kCFBooleanTrue));
    auto channels = static_cast<CFArrayRef>(CFDictionaryGetValue(copy.get(), CFSTR("channels")));
    ASSERT_EQ(CFArrayGetCount(channels), 2);
    EXPECT_TRUE(CFEqual(CFArrayGetValueAtIndex(channels, 1), CFSTR("R\u00e9")));

    // Later changes of the original do not reach the copy.
    auto originalChannels =
        static_cast<CFMutableArrayRef>(const_cast<void*>(CFDictionaryGetValue(original.get(), CFSTR("channels"))));
    CFArrayAppendValue(originalChannels, kCFBooleanFalse);
    CFDictionaryRemoveValue(original.get(), CFSTR("name"));
    EXPECT_EQ(CFArrayGetCount(channels), 2);
    EXPECT_EQ(CFDictionaryGetCount(copy.get()), 6);
}

TEST(CFPropertyList, MutableContainersCanChange) {
    auto original = MakePropertyList();
    auto copy = Own(static_cast<CFMutableDictionaryRef>(const_cast<void*>(
        CFPropertyListCreateDeepCopy(nullptr, original.get(), kCFPropertyListMutableContainers))));
    ASSERT_NE(copy, nullptr);
    CFDictionarySetValue(copy.get(), CFSTR("added"), kCFBooleanFalse);
    EXPECT_EQ(CFDictionaryGetCount(copy.get()), 7);
}

TEST(CFPropertyList, DeepCopyFailsOnNonPropertyListValues) {
    auto uuid = Own(CFUUIDCreate(nullptr));
    auto number = MakeNumber(SInt64{1});

    auto withUUID = MakePropertyList();
    auto channels = static_cast<CFMutableArrayRef>(const_cast<void*>(CFDictionaryGetValue(withUUID.get(), CFSTR("channels"))));
    CFArrayAppendValue(channels, uuid.get());

    const void* keys[] = {CFSTR("fine"), number.get()};
    const void* values[] = {kCFBooleanTrue, kCFBooleanTrue};
    auto numberKey = Own(CFDictionaryCreate(nullptr, keys, values, 2, &kCFTypeDictionaryKeyCallBacks,
                                            &kCFTypeDictionaryValueCallBacks));

    // The partial copies made before the failure are released (the leak checker watches).
    for (CFTypeRef list : {static_cast<CFTypeRef>(withUUID.get()), static_cast<CFTypeRef>(numberKey.get()),
                           static_cast<CFTypeRef>(uuid.get())}) {
        EXPECT_EQ(CFPropertyListCreateDeepCopy(nullptr, list, kCFPropertyListImmutable), nullptr);
        EXPECT_FALSE(CFPropertyListIsValid(list, kCFPropertyListXMLFormat_v1_0));
        EXPECT_FALSE(CFPropertyListIsValid(list, kCFPropertyListBinaryFormat_v1_0));
    }
}

TEST(CFPropertyList, ValidityLooksAtEveryDepthAndAtTheFormat) {
    auto list = MakePropertyList();
    EXPECT_TRUE(CFPropertyListIsValid(list.get(), kCFPropertyListXMLFormat_v1_0));
    EXPECT_TRUE(CFPropertyListIsValid(list.get(), kCFPropertyListBinaryFormat_v1_0));
    // The OpenStep format holds no numbers and no booleans, at any depth.
    EXPECT_FALSE(CFPropertyListIsValid(list.get(), kCFPropertyListOpenStepFormat));
    EXPECT_FALSE(CFPropertyListIsValid(MakeNumber(SInt64{1}).get(), kCFPropertyListOpenStepFormat));
    EXPECT_FALSE(CFPropertyListIsValid(kCFBooleanTrue, kCFPropertyListOpenStepFormat));

    auto texts = Own(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    CFArrayAppendValue(texts.get(), CFSTR("text"));
    CFArrayAppendValue(texts.get(), Own(CFDataCreate(nullptr, nullptr, 0)).get());
    EXPECT_TRUE(CFPropertyListIsValid(texts.get(), kCFPropertyListOpenStepFormat));
    CFArrayAppendValue(texts.get(), kCFBooleanFalse);
    EXPECT_FALSE(CFPropertyListIsValid(texts.get(), kCFPropertyListOpenStepFormat));
    EXPECT_TRUE(CFPropertyListIsValid(texts.get(), kCFPropertyListXMLFormat_v1_0));
}

}  // namespace
