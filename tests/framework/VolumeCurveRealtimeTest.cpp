#include "hal/RealTime.h"
#include "hal/VolumeCurve.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

struct Readings
{
    SInt32 MinimumRaw;
    SInt32 MaximumRaw;
    Float32 MinimumDB;
    Float32 MaximumDB;
    bool IsContinuous;
    Float32 DecibelsOfRaw;
    SInt32 RawOfDecibels;
    SInt32 RawOfNaNDecibels;
    Float32 ScalarOfRaw;
    SInt32 RawOfScalar;
    Float32 ScalarOfDecibels;
    Float32 DecibelsOfScalar;
};

// What a volume control may ask of its curve on the IO thread. Under RealtimeSanitizer the test
// stops if any of it allocates, locks or calls the system.
Readings ReadOnTheIOThread(const hal::VolumeCurve& curve) HAL_NONBLOCKING
{
    return Readings{
        curve.GetMinimumRaw(),
        curve.GetMaximumRaw(),
        curve.GetMinimumDB(),
        curve.GetMaximumDB(),
        curve.CheckForContinuity(),
        curve.ConvertRawToDB(48),
        curve.ConvertDBToRaw(-6.0f),
        curve.ConvertDBToRaw(std::numeric_limits<Float32>::quiet_NaN()),
        curve.ConvertRawToScalar(68),
        curve.ConvertScalarToRaw(0.5f),
        curve.ConvertDBToScalar(-6.0f),
        curve.ConvertScalarToDB(0.5f),
    };
}

TEST(VolumeCurveRealtimeTest, ConversionsNeitherAllocateNorBlock)
{
    // Built off the IO thread: adding a range allocates.
    hal::VolumeCurve curve;
    ASSERT_TRUE(curve.AddRange(0, 48, -96.0f, -48.0f));
    ASSERT_TRUE(curve.AddRange(48, 96, -48.0f, 0.0f));

    const Readings readings = ReadOnTheIOThread(curve);
    EXPECT_EQ(readings.MinimumRaw, 0);
    EXPECT_EQ(readings.MaximumRaw, 96);
    EXPECT_EQ(readings.MinimumDB, -96.0f);
    EXPECT_EQ(readings.MaximumDB, 0.0f);
    EXPECT_TRUE(readings.IsContinuous);
    EXPECT_FLOAT_EQ(readings.DecibelsOfRaw, -48.0f);
    EXPECT_EQ(readings.RawOfDecibels, 90);
    EXPECT_EQ(readings.RawOfNaNDecibels, 0);
    EXPECT_FLOAT_EQ(readings.ScalarOfRaw, 0.5017361f);
    EXPECT_EQ(readings.RawOfScalar, 68);
    EXPECT_FLOAT_EQ(readings.ScalarOfDecibels, 0.87890625f);
    EXPECT_FLOAT_EQ(readings.DecibelsOfScalar, -28.0f);
}

} // namespace
