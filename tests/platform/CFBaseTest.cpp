// Reference counting, type identity and equality shared by every CoreFoundation object, and
// the abort on misuse.
#include "CFTestSupport.h"

#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <thread>
#include <vector>

namespace {

using cftest::CountingCallBacks;
using cftest::MakeNumber;
using cftest::MakeString;
using cftest::Own;

// Counted on a text long enough that no platform keeps it in a tagged pointer or shares it.
TEST(CFReferenceCount, RetainAndReleaseBalance) {
    CFStringRef string =
        CFStringCreateWithCString(kCFAllocatorDefault, "a string whose references are counted", kCFStringEncodingUTF8);
    ASSERT_NE(string, nullptr);
    EXPECT_EQ(CFGetRetainCount(string), 1);
    EXPECT_TRUE(CFEqual(CFRetain(string), string));
    EXPECT_EQ(CFGetRetainCount(string), 2);

    // A container with the type callbacks holds its own reference.
    const void* values[] = {string};
    CFArrayRef array = CFArrayCreate(kCFAllocatorDefault, values, 1, &kCFTypeArrayCallBacks);
    EXPECT_EQ(CFGetRetainCount(string), 3);
    CFRelease(array);
    EXPECT_EQ(CFGetRetainCount(string), 2);

    CFRelease(string);
    EXPECT_EQ(CFGetRetainCount(string), 1);
    CFRelease(string);  // the last reference: a leak or a double free shows under the sanitizers
}

TEST(CFReferenceCount, ConstantsAreNeverFreed) {
    const CFTypeRef constants[] = {
        CFSTR("constant"),
        kCFBooleanTrue,
        kCFBooleanFalse,
        CFUUIDGetConstantUUIDWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16),
    };
    for (CFTypeRef constant : constants) {
        const CFIndex count = CFGetRetainCount(constant);
        EXPECT_GT(count, 1'000'000);
        // Far more releases than retains: a counted object would be freed (and the sanitizer would
        // see every later use); a constant stays.
        for (int i = 0; i < 10; ++i) CFRelease(constant);
        CFRetain(constant);
        EXPECT_EQ(CFGetRetainCount(constant), count);
    }
    EXPECT_TRUE(CFEqual(constants[0], CFSTR("constant")));
    EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
    EXPECT_FALSE(CFBooleanGetValue(kCFBooleanFalse));
}

TEST(CFReferenceCount, ConcurrentRetainAndReleaseKeepTheCount) {
    auto string = MakeString("a string shared by every thread");
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                CFRetain(string.get());
                CFRetain(string.get());
                CFRelease(string.get());
                CFRelease(string.get());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(CFGetRetainCount(string.get()), 1);
}

TEST(CFReferenceCount, LastReleaseOnAnyThreadDestroysOnceAfterEveryWrite) {
    // Each thread writes its own byte of a data object held only by an array, then drops its
    // reference to the array. Whichever release is last destroys the array, which releases (and
    // frees) the data: under ThreadSanitizer a release without acquire-release ordering shows as a
    // race between a write and the free. The counting callbacks see the destruction.
    CountingCallBacks::Reset();
    constexpr int kThreads = 4;
    {
        auto bytes = Own(CFDataCreateMutable(nullptr, 0));
        const UInt8 zeros[kThreads] = {};
        CFDataAppendBytes(bytes.get(), zeros, kThreads);
        UInt8* const shared = CFDataGetMutableBytePtr(bytes.get());
        const void* values[] = {bytes.get()};
        CFArrayRef array = CFArrayCreate(kCFAllocatorDefault, values, 1, &CountingCallBacks::kArray);
        bytes.reset();
        for (int t = 0; t < kThreads; ++t) CFRetain(array);
        CFRelease(array);  // from here on only the threads hold the array

        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([array, shared, t] {
                for (int i = 0; i < 5000; ++i) {
                    CFRetain(array);
                    shared[t] = UInt8(i);
                    CFRelease(array);
                }
                CFRelease(array);
            });
        }
        for (auto& thread : threads) thread.join();
    }
    EXPECT_EQ(CountingCallBacks::retains, 1);
    EXPECT_EQ(CountingCallBacks::releases, 1);
}

TEST(CFTypes, EachFamilyHasItsOwnTypeID) {
    const UInt8 byte = 7;
    const SInt32 integer = 7;
    auto string = MakeString("s");
    auto data = Own(CFDataCreate(nullptr, &byte, 1));
    auto number = Own(CFNumberCreate(nullptr, kCFNumberSInt32Type, &integer));
    auto url = Own(CFURLCreateWithBytes(nullptr, &byte, 0, kCFStringEncodingUTF8, nullptr));
    auto uuid = Own(CFUUIDCreate(nullptr));
    auto array = Own(CFArrayCreate(nullptr, nullptr, 0, &kCFTypeArrayCallBacks));
    auto dictionary = Own(CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                             &kCFTypeDictionaryValueCallBacks));
    const std::pair<CFTypeRef, CFTypeID> cases[] = {
        {string.get(), CFStringGetTypeID()},   {data.get(), CFDataGetTypeID()},
        {number.get(), CFNumberGetTypeID()},   {kCFBooleanTrue, CFBooleanGetTypeID()},
        {url.get(), CFURLGetTypeID()},         {uuid.get(), CFUUIDGetTypeID()},
        {array.get(), CFArrayGetTypeID()},     {dictionary.get(), CFDictionaryGetTypeID()},
    };
    std::set<CFTypeID> distinct;
    for (const auto& [object, typeID] : cases) {
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(CFGetTypeID(object), typeID);
        distinct.insert(typeID);
    }
    EXPECT_EQ(distinct.size(), std::size(cases));
}

TEST(CFTypes, EqualityNeedsTheSameTypeAndHashFollowsEquality) {
    auto one = MakeNumber(SInt64{1});
    auto text = MakeString("1");
    EXPECT_FALSE(CFEqual(one.get(), kCFBooleanTrue));
    EXPECT_FALSE(CFEqual(one.get(), text.get()));
    EXPECT_FALSE(CFEqual(kCFBooleanTrue, kCFBooleanFalse));
    EXPECT_TRUE(CFEqual(text.get(), text.get()));

    auto sameText = MakeString("1");
    EXPECT_TRUE(CFEqual(text.get(), sameText.get()));
    EXPECT_EQ(CFHash(text.get()), CFHash(sameText.get()));
}

using CFMisuseDeathTest = ::testing::Test;

TEST_F(CFMisuseDeathTest, AbortsWithAMessageInsteadOfCorrupting) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(CFRelease(nullptr), "CFRelease.*NULL");
    EXPECT_DEATH(CFRetain(nullptr), "CFRetain.*NULL");

    // A reference cast to the wrong family is caught before it is used as that family.
    auto number = MakeNumber(SInt64{5});
    EXPECT_DEATH(CFStringGetLength(reinterpret_cast<CFStringRef>(number.get())), "CFStringGetLength.*another type");

    // Changing an immutable container through a cast is refused.
    auto array = Own(CFArrayCreate(nullptr, nullptr, 0, &kCFTypeArrayCallBacks));
    EXPECT_DEATH(CFArrayAppendValue(const_cast<CFMutableArrayRef>(array.get()), number.get()), "immutable");
    EXPECT_DEATH(CFArrayGetValueAtIndex(array.get(), 0), "out of range");
}

}  // namespace
