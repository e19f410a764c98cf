// The server's model of a device clock: what each zero time stamp means to it, and where it places
// sample times on the host's clock afterwards.

#include "ClockModel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pelio::host {
namespace {

using Change = ClockModel::Change;

constexpr Float64 kTicksPerFrame = 1000;
constexpr UInt32 kPeriod = 100;

struct Stamp
{
    Float64 sampleTime;
    UInt64 hostTime;
    UInt64 seed;
    Change expected;
};

TEST(ClockModel, TellsWhatEachStampMeansAndLearnsOnlyFromPlausibleOnes)
{
    struct Case
    {
        const char* name;
        std::vector<Stamp> stamps;
        Float64 ticksPerFrame; // what the model holds afterwards
        Float64 sampleTime;    // and the sample time it then places at host time 1'000'000
    };
    const Case cases[] = {
        {"a clock at its nominal rate",
         {{0, 500'000, 1, Change::First}, {0, 500'000, 1, Change::Same}, {100, 600'000, 1, Change::Advanced}},
         1000, 500},
        {"a clock 4% slow moves the rate a quarter of the way",
         {{0, 500'000, 1, Change::First}, {100, 604'000, 1, Change::Advanced}}, 1010, 100 + 396'000 / 1010.0},
        {"two periods at once: out of line, but learnt from",
         {{0, 500'000, 1, Change::First}, {200, 700'000, 1, Change::Irregular}}, 1000, 500},
        {"a rate 20% off is not learnt from",
         {{0, 500'000, 1, Change::First}, {100, 620'000, 1, Change::Irregular}}, 1000, 100 + 380},
        {"a stamp whose host time stands still is ignored",
         {{0, 500'000, 1, Change::First}, {100, 500'000, 1, Change::Irregular}}, 1000, 500},
        {"a stamp that goes back is ignored",
         {{100, 600'000, 1, Change::First}, {0, 500'000, 1, Change::Irregular}}, 1000, 500},
        {"the same sample time at another host time is ignored",
         {{0, 500'000, 1, Change::First}, {0, 510'000, 1, Change::Irregular}}, 1000, 500},
        {"a new seed anchors afresh and keeps the rate",
         {{0, 500'000, 1, Change::First}, {100, 604'000, 1, Change::Advanced}, {0, 900'000, 2, Change::NewTimeLine}},
         1010, 100'000 / 1010.0},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ClockModel model(kTicksPerFrame, kPeriod);
        EXPECT_FALSE(model.HasStamp());
        for (const Stamp& stamp : testCase.stamps) {
            EXPECT_EQ(model.Observe(stamp.sampleTime, stamp.hostTime, stamp.seed), stamp.expected)
                << "stamp at " << stamp.sampleTime;
        }
        EXPECT_TRUE(model.HasStamp());
        EXPECT_DOUBLE_EQ(model.GetTicksPerFrame(), testCase.ticksPerFrame);
        EXPECT_DOUBLE_EQ(model.GetRateScalar(), kTicksPerFrame / testCase.ticksPerFrame);
        EXPECT_NEAR(model.SampleTimeAt(1'000'000), testCase.sampleTime, 1e-9);
        // The two directions agree.
        EXPECT_NEAR(static_cast<Float64>(model.HostTimeAt(model.SampleTimeAt(1'000'000))), 1'000'000, 1);
    }
}

TEST(ClockModel, PlacesTimesBeforeTheAnchorAndClampsHostTimesAtZero)
{
    ClockModel model(kTicksPerFrame, kPeriod);
    model.Observe(50, 60'000, 1);
    EXPECT_EQ(model.HostTimeAt(40), 50'000u);
    EXPECT_DOUBLE_EQ(model.SampleTimeAt(0), -10);
    EXPECT_EQ(model.HostTimeAt(-100), 0u);
    EXPECT_EQ(model.HostTimeAt(1e30), ~UInt64{0});
}

} // namespace
} // namespace pelio::host
