// Numbers: canonical storage types, the lossless-or-false rule of CFNumberGetValue, equality by
// numeric value; and the booleans.
#include "CFTestSupport.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

using cftest::MakeNumber;
using cftest::Own;
using cftest::Owned;

// long double holds every SInt64 and every double exactly, so one column fits all cases.
Owned<CFNumberRef> Make(CFNumberType type, long double value) {
    switch (type) {
        case kCFNumberSInt8Type: { SInt8 v = SInt8(value); return Own(CFNumberCreate(nullptr, type, &v)); }
        case kCFNumberSInt16Type: { SInt16 v = SInt16(value); return Own(CFNumberCreate(nullptr, type, &v)); }
        case kCFNumberSInt32Type: { SInt32 v = SInt32(value); return Own(CFNumberCreate(nullptr, type, &v)); }
        case kCFNumberSInt64Type: { SInt64 v = SInt64(value); return Own(CFNumberCreate(nullptr, type, &v)); }
        case kCFNumberFloat32Type: { Float32 v = Float32(value); return Own(CFNumberCreate(nullptr, type, &v)); }
        default: { Float64 v = Float64(value); return Own(CFNumberCreate(nullptr, type, &v)); }
    }
}

long double Read(CFNumberRef number, CFNumberType type, bool& exact) {
    switch (type) {
        case kCFNumberSInt8Type: { SInt8 v = 99; exact = CFNumberGetValue(number, type, &v); return v; }
        case kCFNumberSInt16Type: { SInt16 v = 99; exact = CFNumberGetValue(number, type, &v); return v; }
        case kCFNumberSInt32Type: { SInt32 v = 99; exact = CFNumberGetValue(number, type, &v); return v; }
        case kCFNumberSInt64Type: { SInt64 v = 99; exact = CFNumberGetValue(number, type, &v); return v; }
        case kCFNumberFloat32Type: { Float32 v = 99; exact = CFNumberGetValue(number, type, &v); return v; }
        default: { Float64 v = 99; exact = CFNumberGetValue(number, type, &v); return v; }
    }
}

struct Conversion {
    const char* what;
    CFNumberType stored;
    long double value;
    CFNumberType read;
    bool exact;
};

constexpr long double k2p53 = 9007199254740992.0L;
constexpr long double kInt64Max = 9223372036854775807.0L;

// An exact read writes the stored value; what a lossy one writes means nothing, and is not read.
TEST(CFNumber, GetValueIsExactOrReturnsFalse) {
    const Conversion cases[] = {
        {"2^53+1 as Float64 loses the last bit", kCFNumberSInt64Type, k2p53 + 1, kCFNumberFloat64Type, false},
        {"2^53 as Float64", kCFNumberSInt64Type, k2p53, kCFNumberFloat64Type, true},
        {"1.5 as SInt64 loses the fraction", kCFNumberFloat64Type, 1.5L, kCFNumberSInt64Type, false},
        {"-2.75 as SInt32 loses the fraction", kCFNumberFloat64Type, -2.75L, kCFNumberSInt32Type, false},
        {"3.0 as SInt32", kCFNumberFloat64Type, 3.0L, kCFNumberSInt32Type, true},
        {"2^40 as SInt32 is out of range", kCFNumberSInt64Type, 1099511627776.0L, kCFNumberSInt32Type, false},
        {"-2^40 as SInt32 is out of range", kCFNumberSInt64Type, -1099511627776.0L, kCFNumberSInt32Type, false},
        {"300 as SInt8 is out of range", kCFNumberSInt16Type, 300, kCFNumberSInt8Type, false},
        // Exactly at each narrower type's limits, and one beyond.
        {"SInt32 max as SInt64, read as SInt32", kCFNumberSInt64Type, INT32_MAX, kCFNumberSInt32Type, true},
        {"SInt32 min as SInt64, read as SInt32", kCFNumberSInt64Type, INT32_MIN, kCFNumberSInt32Type, true},
        {"SInt32 max + 1 as SInt32", kCFNumberSInt64Type, INT32_MAX + 1.0L, kCFNumberSInt32Type, false},
        {"SInt32 min - 1 as SInt32", kCFNumberSInt64Type, INT32_MIN - 1.0L, kCFNumberSInt32Type, false},
        {"SInt16 max as SInt16", kCFNumberSInt64Type, INT16_MAX, kCFNumberSInt16Type, true},
        {"SInt16 min as SInt16", kCFNumberSInt32Type, INT16_MIN, kCFNumberSInt16Type, true},
        {"SInt16 max + 1 as SInt16", kCFNumberSInt32Type, INT16_MAX + 1, kCFNumberSInt16Type, false},
        {"SInt16 min - 1 as SInt16", kCFNumberSInt64Type, INT16_MIN - 1, kCFNumberSInt16Type, false},
        {"SInt8 max as SInt8", kCFNumberSInt64Type, INT8_MAX, kCFNumberSInt8Type, true},
        {"SInt8 min as SInt8", kCFNumberSInt16Type, INT8_MIN, kCFNumberSInt8Type, true},
        {"SInt8 max + 1 as SInt8", kCFNumberSInt16Type, INT8_MAX + 1, kCFNumberSInt8Type, false},
        {"SInt8 min - 1 as SInt8", kCFNumberSInt64Type, INT8_MIN - 1, kCFNumberSInt8Type, false},
        {"2^31 - 1 as a double, read as SInt32", kCFNumberFloat64Type, INT32_MAX, kCFNumberSInt32Type, true},
        {"-2^31 as a double, read as SInt32", kCFNumberFloat64Type, INT32_MIN, kCFNumberSInt32Type, true},
        {"2^31 as a double, read as SInt32", kCFNumberFloat64Type, INT32_MAX + 1.0L, kCFNumberSInt32Type, false},
        {"-2^31 - 1 as a double, read as SInt32", kCFNumberFloat64Type, INT32_MIN - 1.0L, kCFNumberSInt32Type, false},
        {"127 as a float, read as SInt8", kCFNumberFloat32Type, 127, kCFNumberSInt8Type, true},
        {"128 as a float, read as SInt8", kCFNumberFloat32Type, 128, kCFNumberSInt8Type, false},
        {"-7 widened to SInt64", kCFNumberSInt8Type, -7, kCFNumberSInt64Type, true},
        {"SInt32 max as Float64", kCFNumberSInt32Type, INT32_MAX, kCFNumberFloat64Type, true},
        {"SInt64 max as Float64 rounds to 2^63", kCFNumberSInt64Type, kInt64Max, kCFNumberFloat64Type, false},
        {"2^24+1 as Float32", kCFNumberSInt64Type, 16777217, kCFNumberFloat32Type, false},
        {"2^63 as SInt64 is out of range", kCFNumberFloat64Type, 9223372036854775808.0L, kCFNumberSInt64Type, false},
        {"-2^63 as SInt64", kCFNumberFloat64Type, -9223372036854775808.0L, kCFNumberSInt64Type, true},
        {"0.5 as Float32", kCFNumberFloat64Type, 0.5L, kCFNumberFloat32Type, true},
        {"0.1 as Float32 rounds", kCFNumberFloat64Type, 0.1L, kCFNumberFloat32Type, false},
        {"1e300 as Float32 is out of range", kCFNumberFloat64Type, 1e300L, kCFNumberFloat32Type, false},
        {"Float32 0.1 widened to Float64", kCFNumberFloat32Type, 0.1F, kCFNumberFloat64Type, true},
        {"-0.0 as SInt32", kCFNumberFloat64Type, -0.0L, kCFNumberSInt32Type, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto number = Make(c.stored, c.value);
        ASSERT_NE(number, nullptr);
        bool exact = !c.exact;
        const long double written = Read(number.get(), c.read, exact);
        EXPECT_EQ(exact, c.exact);
        if (exact) {
            EXPECT_EQ(written, c.value);
        }
    }
}

TEST(CFNumber, NaNIsLossyAsAnIntegerAndExactAsAFloat) {
    auto nan = MakeNumber(std::numeric_limits<Float64>::quiet_NaN());
    SInt64 integer = 99;
    EXPECT_FALSE(CFNumberGetValue(nan.get(), kCFNumberSInt64Type, &integer));
    Float32 single = 0;
    EXPECT_TRUE(CFNumberGetValue(nan.get(), kCFNumberFloat32Type, &single));
    EXPECT_TRUE(std::isnan(single));
}

TEST(CFNumber, StoresTheCanonicalType) {
    const std::pair<CFNumberType, CFNumberType> cases[] = {
        {kCFNumberCharType, kCFNumberSInt8Type},      {kCFNumberShortType, kCFNumberSInt16Type},
        {kCFNumberIntType, kCFNumberSInt32Type},      {kCFNumberLongType, kCFNumberSInt64Type},
        {kCFNumberLongLongType, kCFNumberSInt64Type}, {kCFNumberCFIndexType, kCFNumberSInt64Type},
        {kCFNumberFloatType, kCFNumberFloat32Type},   {kCFNumberDoubleType, kCFNumberFloat64Type},
        {kCFNumberCGFloatType, kCFNumberFloat64Type}, {kCFNumberFloat32Type, kCFNumberFloat32Type},
    };
    for (const auto& [created, canonical] : cases) {
        SCOPED_TRACE(created);
        // Eight zero bytes are a valid zero of every type.
        const UInt64 zero = 0;
        auto number = Own(CFNumberCreate(nullptr, created, &zero));
        ASSERT_NE(number, nullptr);
        EXPECT_EQ(CFNumberGetType(number.get()), canonical);
        const bool isFloat = canonical == kCFNumberFloat32Type || canonical == kCFNumberFloat64Type;
        EXPECT_EQ(bool(CFNumberIsFloatType(number.get())), isFloat);
    }
    const SInt32 value = 1;
    EXPECT_EQ(CFNumberCreate(nullptr, CFNumberType(0), &value), nullptr);
    EXPECT_EQ(CFNumberCreate(nullptr, CFNumberType(17), &value), nullptr);
}

TEST(CFNumber, EqualityIsByNumericValueAcrossTypes) {
    auto three = Make(kCFNumberSInt32Type, 3);
    auto threeDouble = Make(kCFNumberFloat64Type, 3.0L);
    auto threeSingle = Make(kCFNumberFloat32Type, 3.0L);
    EXPECT_TRUE(CFEqual(three.get(), threeDouble.get()));
    EXPECT_TRUE(CFEqual(threeSingle.get(), three.get()));
    EXPECT_EQ(CFHash(three.get()), CFHash(threeDouble.get()));

    EXPECT_FALSE(CFEqual(three.get(), Make(kCFNumberFloat64Type, 3.5L).get()));
    // Compared exactly, not through a double: 2^53+1 differs from 2^53.
    EXPECT_FALSE(CFEqual(Make(kCFNumberSInt64Type, k2p53 + 1).get(), Make(kCFNumberFloat64Type, k2p53).get()));
    EXPECT_FALSE(CFEqual(Make(kCFNumberSInt64Type, kInt64Max).get(),
                         Make(kCFNumberFloat64Type, 9223372036854775808.0L).get()));
    auto nan = MakeNumber(std::numeric_limits<Float64>::quiet_NaN());
    EXPECT_TRUE(CFEqual(nan.get(), MakeNumber(std::numeric_limits<Float64>::quiet_NaN()).get()));
}

TEST(CFBoolean, TwoSingletons) {
    EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
    EXPECT_FALSE(CFBooleanGetValue(kCFBooleanFalse));
    EXPECT_NE(kCFBooleanTrue, kCFBooleanFalse);
    EXPECT_EQ(CFGetTypeID(kCFBooleanTrue), CFBooleanGetTypeID());
    EXPECT_NE(CFBooleanGetTypeID(), CFNumberGetTypeID());
}

}  // namespace
