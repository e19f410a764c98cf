// The read side as the IO thread uses it, inside non-blocking functions. Under RealtimeSanitizer
// any allocation, blocking lock or system call on that path stops the test; with clang 20 or later
// the compiler already refuses a call on that path that it cannot prove non-blocking.

#include "hal/DoubleBuffer.h"
#include "hal/RealTime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#if defined(__clang__) && defined(__has_warning)
#if __has_warning("-Wfunction-effects")
#pragma clang diagnostic error "-Wfunction-effects"
#endif
#endif

namespace {

using hal::DoubleBuffer;

// Channel gains as a device might hold them: a container, so the writer allocates and Set clears.
struct Gains
{
    std::uint64_t generation = 0;
    std::vector<float> values;

    static Gains Make(std::uint64_t generation)
    {
        Gains gains;
        gains.generation = generation;
        gains.values.assign(2 + generation % 3, static_cast<float>(generation));
        return gains;
    }
};

struct ReadSummary
{
    std::uint64_t reads = 0;
    std::uint64_t mismatches = 0;
    std::uint64_t lastGeneration = 0;
};

// What the IO thread does with a holder: look at the value in place, take nothing away.
void ReadGains(const DoubleBuffer<Gains>& holder, ReadSummary& summary) HAL_NONBLOCKING
{
    const auto readLock = holder.GetReadLock();
    const Gains& gains = readLock.GetValue();
    bool whole = gains.values.size() == 2 + gains.generation % 3;
    for (const float value : gains.values) {
        whole = whole && value == static_cast<float>(gains.generation);
    }
    if (!whole || gains.generation < summary.lastGeneration) {
        ++summary.mismatches;
    }
    summary.lastGeneration = gains.generation;
    ++summary.reads;
}

void ReadGainsRepeatedly(const DoubleBuffer<Gains>& holder,
                         ReadSummary& summary,
                         std::uint64_t reads) HAL_NONBLOCKING
{
    for (std::uint64_t read = 0; read < reads; ++read) {
        ReadGains(holder, summary);
    }
}

TEST(DoubleBufferRealtimeTest, ReadingInPlaceNeitherBlocksNorAllocatesWhileAWriterPublishes)
{
    DoubleBuffer<Gains> holder(Gains::Make(0));
    std::atomic<bool> readerDone{false};
    std::atomic<std::uint64_t> sets{0};

    std::thread writer([&] {
        for (std::uint64_t generation = 1; !readerDone.load(std::memory_order_relaxed); ++generation) {
            holder.Set(Gains::Make(generation));
            sets.fetch_add(1, std::memory_order_relaxed);
        }
    });

    ReadSummary summary;
    // Keep reading until the writer has published plenty underneath.
    while (sets.load(std::memory_order_relaxed) < 2000 || summary.reads < 200000) {
        ReadGainsRepeatedly(holder, summary, 1000);
    }
    readerDone = true;
    writer.join();

    EXPECT_EQ(summary.mismatches, 0u);
    EXPECT_GE(summary.lastGeneration, 1u);
}

} // namespace
