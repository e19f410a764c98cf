#include "hal/RealtimeSharedMutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using hal::RealtimeSharedMutex;
using namespace std::chrono_literals;

// Polls `condition` for up to a few seconds; false if it never became true.
template <class Condition>
bool Eventually(Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(100us);
    }
    return true;
}

TEST(RealtimeSharedMutexConcurrencyTest, WaitingWriterTurnsNewReadersAwayAndWaitsForThoseInside)
{
    RealtimeSharedMutex mutex;
    ASSERT_TRUE(mutex.try_lock_shared());

    std::atomic<bool> writerInside{false};
    std::atomic<bool> writerMayLeave{false};
    std::thread writer([&] {
        mutex.lock();
        writerInside = true;
        while (!writerMayLeave) {
            std::this_thread::sleep_for(100us);
        }
        mutex.unlock();
    });

    // Once the writer has announced itself, new readers are refused although it is not in yet.
    const bool refused = Eventually([&] {
        if (mutex.try_lock_shared()) {
            mutex.unlock_shared();
            return false;
        }
        return true;
    });
    EXPECT_TRUE(refused);
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(writerInside) << "the writer got in past a reader";

    mutex.unlock_shared();
    EXPECT_TRUE(Eventually([&] { return writerInside.load(); }));
    EXPECT_FALSE(mutex.try_lock_shared());
    writerMayLeave = true;
    writer.join();

    EXPECT_TRUE(mutex.try_lock_shared());
    mutex.unlock_shared();
}

TEST(RealtimeSharedMutexConcurrencyTest, SecondWriterWaitsForTheFirst)
{
    RealtimeSharedMutex mutex;
    mutex.lock();

    std::atomic<bool> secondInside{false};
    std::thread second([&] {
        mutex.lock();
        secondInside = true;
        mutex.unlock();
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(secondInside);
    mutex.unlock();
    second.join();
    EXPECT_TRUE(secondInside);
}

// Writers keep two plain counters equal under the exclusive lock, readers check them under the
// shared one. A reader that sees them differ, a lost increment, or a report from
// ThreadSanitizer means the lock let two sides in at once or failed to order them.
TEST(RealtimeSharedMutexConcurrencyTest, ExclusiveAndSharedSectionsNeverOverlap)
{
    constexpr int kWriters = 2;
    constexpr int kReaders = 3;
    constexpr int kIncrementsPerWriter = 20000;

    RealtimeSharedMutex mutex;
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    std::atomic<bool> writersDone{false};
    std::atomic<std::uint64_t> mismatches{0};
    std::atomic<std::uint64_t> sharedEntries{0};

    std::vector<std::thread> readers;
    for (int reader = 0; reader < kReaders; ++reader) {
        readers.emplace_back([&] {
            std::uint64_t entries = 0;
            while (!writersDone.load(std::memory_order_relaxed)) {
                if (!mutex.try_lock_shared()) {
                    continue;
                }
                if (first != second) {
                    ++mismatches;
                }
                mutex.unlock_shared();
                ++entries;
            }
            sharedEntries += entries;
        });
    }

    std::vector<std::thread> writers;
    for (int writer = 0; writer < kWriters; ++writer) {
        writers.emplace_back([&] {
            for (int increment = 0; increment < kIncrementsPerWriter; ++increment) {
                const std::lock_guard<RealtimeSharedMutex> exclusive(mutex);
                ++first;
                ++second;
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    writersDone = true;
    for (auto& reader : readers) {
        reader.join();
    }

    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(first, std::uint64_t{kWriters} * kIncrementsPerWriter);
    EXPECT_EQ(second, first);
    EXPECT_GT(sharedEntries, 0u);
}

} // namespace
