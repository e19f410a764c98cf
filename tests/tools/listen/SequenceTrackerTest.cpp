#include "SequenceTracker.h"

#include <gtest/gtest.h>

#include <vector>

namespace pelio::listen {
namespace {

struct Step {
    std::uint32_t sequence;
    Arrival arrival;
    std::uint32_t missing = 0;
};

struct Scenario {
    const char* name;
    std::vector<Step> steps;
    SequenceCounts expected; // lost, duplicate, reordered, restarts
};

constexpr std::uint32_t kLast = 0xFFFFFFFF;

const Scenario kScenarios[] = {
    {"in order from any origin",
     {{5000, Arrival::First}, {5001, Arrival::InOrder}, {5002, Arrival::InOrder}},
     {0, 0, 0, 0}},
    {"a gap",
     {{10, Arrival::First}, {11, Arrival::InOrder}, {14, Arrival::AfterGap, 2}, {15, Arrival::InOrder}},
     {2, 0, 0, 0}},
    {"duplicates of the newest and of an older one",
     {{10, Arrival::First}, {11, Arrival::InOrder}, {11, Arrival::Duplicate}, {10, Arrival::Duplicate}},
     {0, 2, 0, 0}},
    {"a late packet fills its gap, and a second copy of it is a duplicate",
     {{10, Arrival::First}, {12, Arrival::AfterGap, 1}, {11, Arrival::Late}, {13, Arrival::InOrder},
      {11, Arrival::Duplicate}},
     {0, 1, 1, 0}},
    {"two late packets in reverse order",
     {{10, Arrival::First}, {13, Arrival::AfterGap, 2}, {12, Arrival::Late}, {11, Arrival::Late}},
     {0, 0, 2, 0}},
    {"across the wrap",
     {{kLast - 1, Arrival::First}, {kLast, Arrival::InOrder}, {0, Arrival::InOrder}, {1, Arrival::InOrder}},
     {0, 0, 0, 0}},
    {"a gap across the wrap",
     {{kLast - 1, Arrival::First}, {1, Arrival::AfterGap, 2}},
     {2, 0, 0, 0}},
    {"reordered across the wrap",
     {{kLast - 1, Arrival::First}, {0, Arrival::AfterGap, 1}, {kLast, Arrival::Late}, {kLast, Arrival::Duplicate}},
     {0, 1, 1, 0}},
    {"a packet from before the origin is late but was never lost",
     {{10, Arrival::First}, {9, Arrival::Late}, {9, Arrival::Duplicate}, {11, Arrival::InOrder}},
     {0, 1, 1, 0}},
    {"the sender restarts IO: 100 above the number it would have used next",
     {{200, Arrival::First}, {201, Arrival::InOrder}, {302, Arrival::Restart}, {303, Arrival::InOrder}},
     {0, 0, 0, 1}},
    {"a restart that left the last 5 packets unsent, one of them sent late after all",
     {{200, Arrival::First}, {306, Arrival::Restart, 5}, {203, Arrival::Late},
      {250, Arrival::Duplicate}, // a number the restart skipped is not a lost one
      {307, Arrival::InOrder}},
     {4, 1, 1, 1}},
    {"a restart at the largest unsent tail, and just beyond it a gap",
     {{200, Arrival::First}, {317, Arrival::Restart, 16}, {435, Arrival::AfterGap, 117}},
     {133, 0, 0, 1}},
    {"a gap just short of a restart",
     {{200, Arrival::First}, {300, Arrival::AfterGap, 99}},
     {99, 0, 0, 0}},
    {"a restart across the wrap",
     {{kLast - 10, Arrival::First}, {90, Arrival::Restart}},
     {0, 0, 0, 1}},
    {"a new sender starts over at 100 far below",
     {{5000, Arrival::First}, {5001, Arrival::InOrder}, {100, Arrival::Restart}, {101, Arrival::InOrder},
      {5002, Arrival::Restart}}, // the old sender, still there, is far off again
     {0, 0, 0, 2}},
    {"the largest gap, and one beyond it that is a new origin",
     {{10, Arrival::First}, {10 + 1 + 4096, Arrival::AfterGap, 4096}, {10 + 2 + 4096 + 4097, Arrival::Restart},
      {10 + 3 + 4096 + 4097, Arrival::InOrder}},
     {4096, 0, 0, 1}},
    {"the oldest number still placed, and one older",
     {{1000, Arrival::First}, {1127, Arrival::AfterGap, 126}, {1001, Arrival::Late}, {1000, Arrival::Duplicate},
      {1128, Arrival::InOrder}, {1000, Arrival::Restart}},
     {125, 1, 1, 1}},
};

TEST(SequenceTracker, PlacesEveryArrivalAndCountsTheStream)
{
    for (const Scenario& scenario : kScenarios) {
        SCOPED_TRACE(scenario.name);
        SequenceTracker tracker;
        for (const Step& step : scenario.steps) {
            SCOPED_TRACE(step.sequence);
            const SequenceStep observed = tracker.Observe(step.sequence);
            EXPECT_EQ(ArrivalName(observed.arrival), std::string(ArrivalName(step.arrival)));
            EXPECT_EQ(observed.missing, step.missing);
        }
        const SequenceCounts& counts = tracker.GetCounts();
        EXPECT_EQ(counts.lost, scenario.expected.lost);
        EXPECT_EQ(counts.duplicate, scenario.expected.duplicate);
        EXPECT_EQ(counts.reordered, scenario.expected.reordered);
        EXPECT_EQ(counts.restarts, scenario.expected.restarts);
    }
}

} // namespace
} // namespace pelio::listen
