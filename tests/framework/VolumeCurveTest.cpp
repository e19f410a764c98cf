#include "hal/VolumeCurve.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

using hal::VolumeCurve;

constexpr Float32 kNaN = std::numeric_limits<Float32>::quiet_NaN();
constexpr Float32 kInfinity = std::numeric_limits<Float32>::infinity();
constexpr SInt32 kLowestRaw = std::numeric_limits<SInt32>::min();
constexpr SInt32 kHighestRaw = std::numeric_limits<SInt32>::max();

// From a raw value: the decibels and the scalar it reads as.
struct RawCase
{
    SInt32 Raw;
    Float32 Decibels;
    Float32 Scalar;
};

// From a decibel value: the raw value it sets, and the scalar of that raw value.
struct DecibelCase
{
    Float32 Decibels;
    SInt32 Raw;
    Float32 Scalar;
};

// From a scalar: the raw value it sets, and the decibels of that raw value.
struct ScalarCase
{
    Float32 Scalar;
    SInt32 Raw;
    Float32 Decibels;
};

void ExpectConversions(const VolumeCurve& curve,
                       const std::vector<RawCase>& rawCases,
                       const std::vector<DecibelCase>& decibelCases,
                       const std::vector<ScalarCase>& scalarCases)
{
    for (const RawCase& c : rawCases) {
        SCOPED_TRACE(::testing::Message() << "raw " << c.Raw);
        EXPECT_FLOAT_EQ(curve.ConvertRawToDB(c.Raw), c.Decibels);
        EXPECT_FLOAT_EQ(curve.ConvertRawToScalar(c.Raw), c.Scalar);
    }
    for (const DecibelCase& c : decibelCases) {
        SCOPED_TRACE(::testing::Message() << "decibels " << c.Decibels);
        EXPECT_EQ(curve.ConvertDBToRaw(c.Decibels), c.Raw);
        EXPECT_FLOAT_EQ(curve.ConvertDBToScalar(c.Decibels), c.Scalar);
    }
    for (const ScalarCase& c : scalarCases) {
        SCOPED_TRACE(::testing::Message() << "scalar " << c.Scalar);
        EXPECT_EQ(curve.ConvertScalarToRaw(c.Scalar), c.Raw);
        EXPECT_FLOAT_EQ(curve.ConvertScalarToDB(c.Scalar), c.Decibels);
    }
}

// The curve a device gives the volume control of a new stream.
VolumeCurve MakeDeviceCurve()
{
    VolumeCurve curve;
    EXPECT_TRUE(curve.AddRange(0, 96, -96.0f, 0.0f));
    return curve;
}

TEST(VolumeCurveTest, DeviceCurveConvertsAtItsEdgesInsideAndOutside)
{
    const VolumeCurve curve = MakeDeviceCurve();
    EXPECT_EQ(curve.GetMinimumRaw(), 0);
    EXPECT_EQ(curve.GetMaximumRaw(), 96);
    EXPECT_EQ(curve.GetMinimumDB(), -96.0f);
    EXPECT_EQ(curve.GetMaximumDB(), 0.0f);
    EXPECT_EQ(curve.GetTransferFunction(), VolumeCurve::kDefaultTransferFunction);

    // Scalars are the square of the raw position: the curve spans more than 30 dB.
    ExpectConversions(curve,
                      {
                          {kLowestRaw, -96.0f, 0.0f},
                          {-1, -96.0f, 0.0f},
                          {0, -96.0f, 0.0f},
                          {1, -95.0f, 1.0f / 9216.0f},
                          {48, -48.0f, 0.25f},
                          {68, -28.0f, 0.5017361f},
                          {95, -1.0f, 9025.0f / 9216.0f},
                          {96, 0.0f, 1.0f},
                          {97, 0.0f, 1.0f},
                          {kHighestRaw, 0.0f, 1.0f},
                      },
                      {
                          {kNaN, 0, 0.0f},
                          {-kInfinity, 0, 0.0f},
                          {-120.0f, 0, 0.0f},
                          {-96.0f, 0, 0.0f},
                          {-95.5f, 1, 1.0f / 9216.0f}, // half a step rounds away from zero
                          {-48.0f, 48, 0.25f},
                          {-28.3f, 68, 0.5017361f},
                          {-6.0f, 90, 0.87890625f},
                          {-0.4f, 96, 1.0f},
                          {0.0f, 96, 1.0f},
                          {3.0f, 96, 1.0f},
                          {kInfinity, 96, 1.0f},
                      },
                      {
                          {kNaN, 0, -96.0f},
                          {-kInfinity, 0, -96.0f},
                          {-0.5f, 0, -96.0f},
                          {0.0f, 0, -96.0f},
                          {1.0f / 9216.0f, 1, -95.0f},
                          {0.25f, 48, -48.0f},
                          {0.5f, 68, -28.0f},
                          {1.0f, 96, 0.0f},
                          {1.5f, 96, 0.0f},
                          {kInfinity, 96, 0.0f},
                      });
}

// A decibels-per-step slope that is not exact in a float must not carry a reading past the end of
// the curve: the control's decibel range says where its readings stop (raw 0..63 over -96..0 dB
// read +1.8e-6 dB at the top).
TEST(VolumeCurveTest, DecibelReadingsStayInsideTheCurvesRange)
{
    struct Range
    {
        SInt32 MinimumRaw;
        SInt32 MaximumRaw;
        Float32 MinimumDB;
        Float32 MaximumDB;
    };
    const std::vector<std::vector<Range>> curves = {
        {{0, 63, -96.0f, 0.0f}},
        {{0, 127, -96.0f, 0.0f}},
        {{0, 255, -64.0f, 0.0f}},
        {{0, 100, -60.5f, 6.25f}},
        {{-1000, 1000, -90.0f, -0.1f}},
        {{0, 63, -96.0f, -24.0f}, {63, 127, -24.0f, 0.0f}},
        {{0, 7, -60.0f, -30.0f}, {7, 70, -30.0f, 6.0f}},
    };
    for (const std::vector<Range>& ranges : curves) {
        VolumeCurve curve;
        for (const Range& range : ranges) {
            ASSERT_TRUE(curve.AddRange(range.MinimumRaw, range.MaximumRaw, range.MinimumDB,
                                       range.MaximumDB));
        }
        SCOPED_TRACE(::testing::Message() << "raw " << curve.GetMinimumRaw() << ".." << curve.GetMaximumRaw()
                                          << " over " << curve.GetMinimumDB() << ".." << curve.GetMaximumDB()
                                          << " dB");
        EXPECT_EQ(curve.ConvertRawToDB(curve.GetMinimumRaw()), curve.GetMinimumDB());
        EXPECT_LE(curve.ConvertScalarToDB(1.0f), curve.GetMaximumDB());
        EXPECT_GE(curve.ConvertScalarToDB(0.0f), curve.GetMinimumDB());
        for (SInt32 raw = curve.GetMinimumRaw() - 1; raw <= curve.GetMaximumRaw() + 1; ++raw) {
            const Float32 decibels = curve.ConvertRawToDB(raw);
            ASSERT_GE(decibels, curve.GetMinimumDB()) << "raw " << raw;
            ASSERT_LE(decibels, curve.GetMaximumDB()) << "raw " << raw;
        }
    }
}

TEST(VolumeCurveTest, SeveralRangesConvertWithTheirOwnSlopes)
{
    // 4 dB, 2 dB and 0.6 dB per raw step, starting below raw 0; added out of order.
    VolumeCurve curve;
    ASSERT_TRUE(curve.AddRange(0, 20, -40.0f, 0.0f));
    ASSERT_TRUE(curve.AddRange(20, 30, 0.0f, 6.0f));
    ASSERT_TRUE(curve.AddRange(-10, 0, -80.0f, -40.0f));
    EXPECT_EQ(curve.GetMinimumRaw(), -10);
    EXPECT_EQ(curve.GetMaximumRaw(), 30);
    EXPECT_EQ(curve.GetMinimumDB(), -80.0f);
    EXPECT_EQ(curve.GetMaximumDB(), 6.0f);
    EXPECT_TRUE(curve.CheckForContinuity());

    // Scalars are the square of the position in the 40 raw steps from -10 to 30.
    ExpectConversions(
        curve,
        {
            {kLowestRaw, -80.0f, 0.0f},
            {-11, -80.0f, 0.0f},
            {-10, -80.0f, 0.0f},
            {-5, -60.0f, 0.015625f},
            {0, -40.0f, 0.0625f},
            {1, -38.0f, 0.075625f},
            {10, -20.0f, 0.25f},
            {20, 0.0f, 0.5625f},
            {25, 3.0f, 0.765625f},
            {30, 6.0f, 1.0f},
            {31, 6.0f, 1.0f},
            {kHighestRaw, 6.0f, 1.0f},
        },
        {
            {kNaN, -10, 0.0f},
            {-kInfinity, -10, 0.0f},
            {-100.0f, -10, 0.0f},
            {-80.0f, -10, 0.0f},
            {-60.0f, -5, 0.015625f},
            {-41.0f, 0, 0.0625f},   // 9.75 steps into the first range
            {-40.0f, 0, 0.0625f},   // the end of the first range, not the start of the second
            {-39.0f, 1, 0.075625f}, // half a step into the second range
            {-20.0f, 10, 0.25f},
            {0.0f, 20, 0.5625f},
            {3.0f, 25, 0.765625f},
            {6.0f, 30, 1.0f},
            {10.0f, 30, 1.0f},
            {kInfinity, 30, 1.0f},
        },
        {
            {kNaN, -10, -80.0f},
            {-kInfinity, -10, -80.0f},
            {0.0f, -10, -80.0f},
            {0.015625f, -5, -60.0f},
            {0.25f, 10, -20.0f},
            {0.5625f, 20, 0.0f},
            {0.765625f, 25, 3.0f},
            {1.0f, 30, 6.0f},
            {kInfinity, 30, 6.0f},
        });
}

TEST(VolumeCurveTest, TransferFunctionsShapeScalarsByTheirExponent)
{
    struct Case
    {
        UInt32 TransferFunction;
        float Exponent;
    };
    const std::vector<Case> cases = {
        {0, 1.0f},   {1, 1.0f / 3.0f}, {2, 0.5f},  {3, 0.75f},         {4, 1.5f},
        {5, 2.0f},   {6, 3.0f},        {7, 4.0f},  {8, 5.0f},          {9, 6.0f},
        {10, 7.0f},  {11, 8.0f},       {12, 9.0f}, {13, 10.0f},        {14, 11.0f},
        {15, 12.0f}, {16, 2.0f},       {40, 2.0f}, {0xFFFFFFFF, 2.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "transfer function " << c.TransferFunction);
        VolumeCurve curve = MakeDeviceCurve();
        curve.SetTransferFunction(c.TransferFunction);
        EXPECT_EQ(curve.GetTransferFunction(), c.TransferFunction);
        for (SInt32 raw : {24, 48, 72}) {
            EXPECT_FLOAT_EQ(curve.ConvertRawToScalar(raw), std::pow(raw / 96.0f, c.Exponent))
                << "raw " << raw;
        }
        // The scalar-to-raw direction uses the inverse exponent: every raw step survives the trip.
        for (SInt32 raw = 0; raw <= 96; ++raw) {
            EXPECT_EQ(curve.ConvertScalarToRaw(curve.ConvertRawToScalar(raw)), raw)
                << "raw " << raw;
        }
    }
}

TEST(VolumeCurveTest, CurvesOfThirtyDecibelsOrLessStayLinear)
{
    struct Case
    {
        Float32 MinimumDB;
        Float32 ScalarAtHalfway;
    };
    for (const Case& c : {Case{-20.0f, 0.5f}, Case{-30.0f, 0.5f}, Case{-30.5f, 0.25f}}) {
        SCOPED_TRACE(::testing::Message() << "minimum " << c.MinimumDB << " dB");
        VolumeCurve curve;
        ASSERT_TRUE(curve.AddRange(0, 100, c.MinimumDB, 0.0f));
        EXPECT_FLOAT_EQ(curve.ConvertRawToScalar(50), c.ScalarAtHalfway);
        EXPECT_EQ(curve.ConvertScalarToRaw(c.ScalarAtHalfway), 50);
    }
}

TEST(VolumeCurveTest, AddRangeChecksOverlapOnlyAgainstTheRangesItWalks)
{
    struct Case
    {
        SInt32 MinimumRaw;
        SInt32 MaximumRaw;
        bool IsAdded;
    };
    const std::vector<Case> cases = {
        {5, 8, false},    // inside the lowest range
        {-10, 15, false}, // below all ranges, overlapping the first
        {-10, 0, true},   // touching the lowest range
        {20, 30, true},   // touching the highest range
        {15, 25, true},   // overlaps the highest range, but only the lowest is checked
        {10, 12, false},  // the raw minimum of an existing range
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "range " << c.MinimumRaw << " to " << c.MaximumRaw);
        VolumeCurve curve;
        ASSERT_TRUE(curve.AddRange(0, 10, -60.0f, -30.0f));
        ASSERT_TRUE(curve.AddRange(10, 20, -30.0f, 0.0f));
        EXPECT_EQ(curve.AddRange(c.MinimumRaw, c.MaximumRaw, 0.0f, 10.0f), c.IsAdded);
        EXPECT_EQ(curve.GetMinimumRaw(), c.IsAdded ? std::min(c.MinimumRaw, 0) : 0);
        EXPECT_EQ(curve.GetMaximumRaw(), c.IsAdded && c.MinimumRaw > 10 ? c.MaximumRaw : 20);
    }
}

// Each of these would make some conversion divide by zero, produce NaN, or answer every decibel
// request with the loud end of the curve.
TEST(VolumeCurveTest, AddRangeRefusesRangesNoConversionCouldHandle)
{
    struct Case
    {
        const char* Name;
        SInt32 MinimumRaw;
        SInt32 MaximumRaw;
        Float32 MinimumDB;
        Float32 MaximumDB;
    };
    const std::vector<Case> cases = {
        {"zero raw width", 5, 5, -20.0f, 0.0f},
        {"zero raw width and decibel width", 5, 5, 0.0f, 0.0f},
        {"raw bounds reversed", 10, 0, -20.0f, 0.0f},
        {"NaN decibel minimum", 0, 10, kNaN, 0.0f},
        {"NaN decibel maximum", 0, 10, -20.0f, kNaN},
        {"infinite decibel minimum", 0, 10, -kInfinity, 0.0f},
        {"infinite decibel maximum", 0, 10, -20.0f, kInfinity},
        {"decibel width beyond float", 0, 10, -3.0e38f, 3.0e38f},
        {"decibels falling", 0, 10, 0.0f, -20.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        VolumeCurve curve;
        EXPECT_FALSE(curve.AddRange(c.MinimumRaw, c.MaximumRaw, c.MinimumDB, c.MaximumDB));
        EXPECT_EQ(curve.GetMaximumRaw(), 0);
        EXPECT_EQ(curve.ConvertDBToRaw(kInfinity), 0);

        // Beside an accepted range, the refused one leaves no trace either.
        VolumeCurve deviceCurve = MakeDeviceCurve();
        EXPECT_FALSE(
            deviceCurve.AddRange(c.MinimumRaw + 100, c.MaximumRaw + 100, c.MinimumDB, c.MaximumDB));
        EXPECT_EQ(deviceCurve.GetMaximumRaw(), 96);
        EXPECT_EQ(deviceCurve.GetMaximumDB(), 0.0f);
    }
}

TEST(VolumeCurveTest, FlatRangesReachTheirLevelAtTheirFirstRawValue)
{
    VolumeCurve curve;
    ASSERT_TRUE(curve.AddRange(0, 10, -60.0f, -60.0f));
    ASSERT_TRUE(curve.AddRange(10, 20, -60.0f, 0.0f));
    ExpectConversions(
        curve,
        {{0, -60.0f, 0.0f}, {5, -60.0f, 0.0625f}, {10, -60.0f, 0.25f}, {15, -30.0f, 0.5625f}},
        {{kNaN, 0, 0.0f}, {-kInfinity, 0, 0.0f}, {-60.0f, 0, 0.0f}, {-30.0f, 15, 0.5625f}}, {});

    // A flat range above a gap is reached by every level from the gap up to its own.
    VolumeCurve steppedCurve;
    ASSERT_TRUE(steppedCurve.AddRange(0, 10, -60.0f, -40.0f));
    ASSERT_TRUE(steppedCurve.AddRange(10, 20, -30.0f, -30.0f));
    ExpectConversions(steppedCurve, {},
                      {{-35.0f, 10, 0.5f}, {-30.0f, 10, 0.5f}, {kInfinity, 10, 0.5f}}, {});

    VolumeCurve flatCurve;
    ASSERT_TRUE(flatCurve.AddRange(0, 10, -20.0f, -20.0f));
    ExpectConversions(
        flatCurve, {{0, -20.0f, 0.0f}, {5, -20.0f, 0.5f}, {10, -20.0f, 1.0f}},
        {{kNaN, 0, 0.0f}, {-kInfinity, 0, 0.0f}, {-20.0f, 0, 0.0f}, {kInfinity, 0, 0.0f}},
        {{kNaN, 0, -20.0f}, {0.5f, 5, -20.0f}, {1.0f, 10, -20.0f}});
}

TEST(VolumeCurveTest, EmptyCurveConvertsEverythingToItsNeutralValues)
{
    VolumeCurve reset = MakeDeviceCurve();
    reset.ResetRange();
    for (const VolumeCurve& curve : {VolumeCurve{}, reset}) {
        EXPECT_EQ(curve.GetMinimumRaw(), 0);
        EXPECT_EQ(curve.GetMaximumRaw(), 0);
        EXPECT_EQ(curve.GetMinimumDB(), 0.0f);
        EXPECT_EQ(curve.GetMaximumDB(), 0.0f);
        EXPECT_TRUE(curve.CheckForContinuity());
        ExpectConversions(
            curve, {{kLowestRaw, 0.0f, 0.0f}, {0, 0.0f, 0.0f}, {kHighestRaw, 0.0f, 0.0f}},
            {{kNaN, 0, 0.0f}, {-kInfinity, 0, 0.0f}, {-6.0f, 0, 0.0f}, {kInfinity, 0, 0.0f}},
            {{kNaN, 0, 0.0f}, {-kInfinity, 0, 0.0f}, {0.5f, 0, 0.0f}, {kInfinity, 0, 0.0f}});
    }

    ASSERT_TRUE(reset.AddRange(0, 10, -20.0f, 0.0f));
    EXPECT_EQ(reset.ConvertDBToRaw(-10.0f), 5);
}

TEST(VolumeCurveTest, FullThirtyTwoBitRawRangeConvertsWithoutOverflow)
{
    VolumeCurve curve;
    ASSERT_TRUE(curve.AddRange(kLowestRaw, kHighestRaw, -96.0f, 0.0f));
    ExpectConversions(curve,
                      {{kLowestRaw, -96.0f, 0.0f}, {0, -48.0f, 0.25f}, {kHighestRaw, 0.0f, 1.0f}},
                      {{kNaN, kLowestRaw, 0.0f},
                       {-96.0f, kLowestRaw, 0.0f},
                       {-48.0f, 0, 0.25f},
                       {0.0f, kHighestRaw, 1.0f},
                       {kInfinity, kHighestRaw, 1.0f}},
                      // The width 2^32 - 1 rounds up to 2^32 as a float: one step past the end.
                      {{0.0f, kLowestRaw, -96.0f}, {0.25f, 0, -48.0f}, {1.0f, kHighestRaw, 0.0f}});
}

// Ranges with steps or gaps between them, or overlapping ones (accepted when only the lowest range
// is checked), lead the decibel walk past the curve; results must still stay on it.
TEST(VolumeCurveTest, DiscontinuousCurvesConvertOnlyToValuesOnTheCurve)
{
    struct Range
    {
        SInt32 MinimumRaw;
        SInt32 MaximumRaw;
        Float32 MinimumDB;
        Float32 MaximumDB;
    };
    struct Case
    {
        const char* Name;
        std::vector<Range> Ranges;
    };
    const std::vector<Case> cases = {
        {"overlapping", {{0, 10, -60.0f, -30.0f}, {10, 20, -30.0f, 0.0f}, {15, 25, 0.0f, 10.0f}}},
        {"stepping down", {{0, 10, -10.0f, 0.0f}, {10, 20, -50.0f, -40.0f}}},
        // Any level divided by the first range's tiny slope lies far beyond 64-bit integers.
        {"stepping down after a nearly flat range",
         {{0, 10, -1.0e-18f, 0.0f}, {10, 20, -50.0f, -40.0f}}},
        {"gap in decibels", {{0, 10, -60.0f, -40.0f}, {10, 20, -20.0f, 0.0f}}},
        {"gap in raw values", {{0, 10, -60.0f, -30.0f}, {50, 60, -30.0f, 0.0f}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        VolumeCurve curve;
        for (const Range& range : c.Ranges) {
            ASSERT_TRUE(curve.AddRange(range.MinimumRaw, range.MaximumRaw, range.MinimumDB,
                                       range.MaximumDB));
        }
        EXPECT_FALSE(curve.CheckForContinuity());

        std::vector<Float32> decibelValues = {kNaN, -kInfinity, kInfinity};
        for (Float32 decibels = -100.0f; decibels <= 100.0f; decibels += 0.25f) {
            decibelValues.push_back(decibels);
        }
        for (Float32 decibels : decibelValues) {
            const SInt32 raw = curve.ConvertDBToRaw(decibels);
            EXPECT_GE(raw, curve.GetMinimumRaw()) << decibels << " dB";
            EXPECT_LE(raw, curve.GetMaximumRaw()) << decibels << " dB";
            const Float32 scalar = curve.ConvertDBToScalar(decibels);
            EXPECT_TRUE(scalar >= 0.0f && scalar <= 1.0f)
                << decibels << " dB gave scalar " << scalar;
        }
        for (SInt32 raw = curve.GetMinimumRaw() - 1; raw <= curve.GetMaximumRaw() + 1; ++raw) {
            EXPECT_FALSE(std::isnan(curve.ConvertRawToDB(raw))) << "raw " << raw;
        }
    }

    // The overlapping curve walks 30 raw steps to its top, 5 past its last raw value.
    VolumeCurve overlapping;
    ASSERT_TRUE(overlapping.AddRange(0, 10, -60.0f, -30.0f));
    ASSERT_TRUE(overlapping.AddRange(10, 20, -30.0f, 0.0f));
    ASSERT_TRUE(overlapping.AddRange(15, 25, 0.0f, 10.0f));
    EXPECT_EQ(overlapping.ConvertDBToRaw(10.0f), 25);
}

TEST(VolumeCurveTest, ContinuityNeedsEachRangeToStartWhereThePreviousEnded)
{
    struct Case
    {
        const char* Name;
        SInt32 SecondMinimumRaw;
        Float32 SecondMinimumDB;
        bool IsContinuous;
    };
    const std::vector<Case> cases = {
        {"continuous", 10, -30.0f, true},
        {"raw gap", 11, -30.0f, false},
        {"decibel step", 10, -29.0f, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        VolumeCurve curve;
        ASSERT_TRUE(curve.AddRange(0, 10, -60.0f, -30.0f));
        EXPECT_TRUE(curve.CheckForContinuity());
        ASSERT_TRUE(curve.AddRange(c.SecondMinimumRaw, 20, c.SecondMinimumDB, 0.0f));
        EXPECT_EQ(curve.CheckForContinuity(), c.IsContinuous);
    }
}

} // namespace
