// The host clock: it never runs backwards, and its ticks converted through the timebase measure
// real elapsed time (a wrong unit or a wrong ratio shows as a factor of 1000 or more).

#include <mach/mach_time.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace {

TEST(MachTime, TimebaseIsAValidRatioAndRejectsNull) {
    mach_timebase_info_data_t timebase{0, 0};
    ASSERT_EQ(mach_timebase_info(&timebase), KERN_SUCCESS);
    EXPECT_NE(timebase.numer, 0u);
    EXPECT_NE(timebase.denom, 0u);

    EXPECT_EQ(mach_timebase_info(nullptr), KERN_INVALID_ARGUMENT);
}

TEST(MachTime, NeverRunsBackwards) {
    uint64_t previous = mach_absolute_time();
    for (int i = 0; i < 100000; ++i) {
        const uint64_t now = mach_absolute_time();
        ASSERT_GE(now, previous) << "after " << i << " reads";
        previous = now;
    }
}

TEST(MachTime, TicksThroughTheTimebaseAreElapsedNanoseconds) {
    mach_timebase_info_data_t timebase{0, 0};
    ASSERT_EQ(mach_timebase_info(&timebase), KERN_SUCCESS);
    ASSERT_NE(timebase.denom, 0u);

    constexpr auto kSleep = std::chrono::milliseconds(20);
    constexpr auto kSlack = std::chrono::milliseconds(1);

    // The steady clock brackets the two ticks, so the ticks' span cannot exceed its span whatever
    // the load on the machine; the sleep gives the lower bound.
    const auto outerStart = std::chrono::steady_clock::now();
    const uint64_t start = mach_absolute_time();
    std::this_thread::sleep_for(kSleep);
    const uint64_t end = mach_absolute_time();
    const auto outerEnd = std::chrono::steady_clock::now();

    const double elapsedNanoseconds =
        static_cast<double>(end - start) * static_cast<double>(timebase.numer) / static_cast<double>(timebase.denom);
    const double lower = std::chrono::duration<double, std::nano>(kSleep - kSlack).count();
    const double upper = std::chrono::duration<double, std::nano>(outerEnd - outerStart + kSlack).count();
    EXPECT_GE(elapsedNanoseconds, lower);
    EXPECT_LE(elapsedNanoseconds, upper);
}

}  // namespace
