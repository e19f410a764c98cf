// The reader side of the lock inside a non-blocking function, while a writer takes and releases
// it: RealtimeSanitizer stops the test if a shared try or release blocks or calls the system.

#include "hal/RealTime.h"
#include "hal/RealtimeSharedMutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#if defined(__clang__) && defined(__has_warning)
#if __has_warning("-Wfunction-effects")
#pragma clang diagnostic error "-Wfunction-effects"
#endif
#endif

namespace {

using hal::RealtimeSharedMutex;

struct Guarded
{
    RealtimeSharedMutex mutex;
    std::uint64_t first = 0;
    std::uint64_t second = 0;
};

struct TryCounts
{
    std::uint64_t entered = 0;
    std::uint64_t refused = 0;
    std::uint64_t mismatches = 0;
};

void TryRead(Guarded& guarded, TryCounts& counts) HAL_NONBLOCKING
{
    if (!guarded.mutex.try_lock_shared()) {
        ++counts.refused;
        return;
    }
    if (guarded.first != guarded.second) {
        ++counts.mismatches;
    }
    guarded.mutex.unlock_shared();
    ++counts.entered;
}

TEST(RealtimeSharedMutexRealtimeTest, SharedTriesNeverBlockWhileAWriterComesAndGoes)
{
    Guarded guarded;
    std::atomic<bool> readerDone{false};
    std::atomic<std::uint64_t> writes{0};

    std::thread writer([&] {
        while (!readerDone.load(std::memory_order_relaxed)) {
            const std::lock_guard<RealtimeSharedMutex> exclusive(guarded.mutex);
            ++guarded.first;
            ++guarded.second;
            writes.fetch_add(1, std::memory_order_relaxed);
        }
    });

    TryCounts counts;
    while (writes.load(std::memory_order_relaxed) < 10000 || counts.entered < 100000) {
        TryRead(guarded, counts);
    }
    readerDone = true;
    writer.join();

    EXPECT_EQ(counts.mismatches, 0u);
}

} // namespace
