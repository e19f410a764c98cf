// UUIDs: interned constants, created UUIDs, bytes and text.
#include "CFTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using cftest::Own;

// The audio server plug-in type, 443ABAB8-E7B3-491A-B985-BEB9187030DB.
CFUUIDRef PlugInType() {
    return CFUUIDGetConstantUUIDWithBytes(nullptr, 0x44, 0x3A, 0xBA, 0xB8, 0xE7, 0xB3, 0x49, 0x1A, 0xB9, 0x85, 0xBE,
                                          0xB9, 0x18, 0x70, 0x30, 0xDB);
}

TEST(CFUUID, ConstantsHoldTheirBytes) {
    const CFUUIDRef constant = PlugInType();
    EXPECT_TRUE(CFEqual(PlugInType(), constant));
    EXPECT_FALSE(CFEqual(CFUUIDGetConstantUUIDWithBytes(nullptr, 0x44, 0x3A, 0xBA, 0xB8, 0xE7, 0xB3, 0x49, 0x1A, 0xB9,
                                                        0x85, 0xBE, 0xB9, 0x18, 0x70, 0x30, 0xDC),
                         constant));

    // Asked for from several threads at once, the constants all hold the same bytes.
    std::vector<CFUUIDRef> seen(4);
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&slot] { slot = PlugInType(); });
    for (auto& thread : threads) thread.join();
    for (CFUUIDRef uuid : seen) EXPECT_TRUE(CFEqual(uuid, constant));
}

TEST(CFUUID, CreatedFromBytesEqualsTheConstantAndRoundTrips) {
    const CFUUIDBytes bytes = CFUUIDGetUUIDBytes(PlugInType());
    EXPECT_EQ(bytes.byte0, 0x44);
    EXPECT_EQ(bytes.byte15, 0xDB);

    // Owned by the test; it may be the constant itself, as it is on the platform.
    auto created = Own(CFUUIDCreateFromUUIDBytes(nullptr, bytes));
    ASSERT_NE(created, nullptr);
    EXPECT_TRUE(CFEqual(created.get(), PlugInType()));
    EXPECT_EQ(CFHash(created.get()), CFHash(PlugInType()));

    const CFUUIDBytes back = CFUUIDGetUUIDBytes(created.get());
    EXPECT_EQ(std::memcmp(&back, &bytes, sizeof bytes), 0);

    auto other = Own(CFUUIDCreateWithBytes(nullptr, 0x44, 0x3A, 0xBA, 0xB8, 0xE7, 0xB3, 0x49, 0x1A, 0xB9, 0x85, 0xBE,
                                           0xB9, 0x18, 0x70, 0x30, 0xDC));
    EXPECT_FALSE(CFEqual(other.get(), PlugInType()));
}

TEST(CFUUID, TextIsUpperCaseHexInGroups) {
    auto text = Own(CFUUIDCreateString(nullptr, PlugInType()));
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(CFEqual(text.get(), CFSTR("443ABAB8-E7B3-491A-B985-BEB9187030DB")));
}

TEST(CFUUID, CreatedUUIDsAreRandomVersion4) {
    auto first = Own(CFUUIDCreate(nullptr));
    auto second = Own(CFUUIDCreate(nullptr));
    EXPECT_FALSE(CFEqual(first.get(), second.get()));
    const CFUUIDBytes bytes = CFUUIDGetUUIDBytes(first.get());
    EXPECT_EQ(bytes.byte6 >> 4, 4);
    EXPECT_EQ(bytes.byte8 >> 6, 2);
}

}  // namespace
