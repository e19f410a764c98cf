#pragma once

// A reader-writer lock whose reader side the real-time IO thread may use.
//
// Readers only try: try_lock_shared and unlock_shared are one or two atomic read-modify-writes
// each, never loop, never wait and never enter the kernel, on any thread. try_lock_shared fails
// while a writer holds the lock or has announced that it is waiting to take it, so a steady stream
// of readers cannot keep a writer out for ever.
//
// Writers wait: lock announces the writer, then waits for the readers already inside to leave,
// first spinning, then yielding, then sleeping in short naps. A writer must therefore never be the
// real-time thread. Writers among themselves wait the same way. try_lock never waits.
//
// There is deliberately no lock_shared: a reader that cannot get in goes on without the lock (or
// retries on its own terms), it never waits for a writer. std::unique_lock and std::shared_lock
// (with std::try_to_lock, std::defer_lock or std::adopt_lock) work with this type.
//
// The lock is not recursive, neither side. Its state is one 32-bit atomic: no allocation, no
// system resource; destroying it with a reader or writer inside is undefined.

#include "hal/RealTime.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace hal {

class RealtimeSharedMutex
{
public:
    RealtimeSharedMutex() = default;
    RealtimeSharedMutex(const RealtimeSharedMutex&) = delete;
    RealtimeSharedMutex& operator=(const RealtimeSharedMutex&) = delete;

    // Takes the lock exclusively. Announces the writer first, so that new readers fail from then
    // on, then waits for the readers already inside. Waits; never on the real-time thread.
    void lock() noexcept
    {
        WaitBackoff backoff;
        for (;;) {
            // Test before the read-modify-write, so that waiting writers do not bounce the line.
            if ((mState.load(std::memory_order_relaxed) & kWriter) == 0
                && (mState.fetch_or(kWriter, std::memory_order_acquire) & kWriter) == 0) {
                break;
            }
            backoff.Pause();
        }
        backoff.Reset();
        // Acquire pairs with the release of each leaving reader, so their reads happen before
        // whatever this writer does next.
        while ((mState.load(std::memory_order_acquire) & kReaderMask) != 0) {
            backoff.Pause();
        }
    }

    // Takes the lock exclusively if nobody, reader or writer, is inside or about to be.
    bool try_lock() noexcept
    {
        std::uint32_t expected = 0;
        return mState.compare_exchange_strong(
            expected, kWriter, std::memory_order_acquire, std::memory_order_relaxed);
    }

    void unlock() noexcept
    {
        // Only the writer bit: readers that are failing a try may still have their count in.
        mState.fetch_and(~kWriter, std::memory_order_release);
    }

    // Takes the lock shared unless a writer holds it or waits for it. Never waits: one atomic
    // increment, and one decrement to take it back when a writer is there.
    bool try_lock_shared() noexcept HAL_NONBLOCKING
    {
        // Counting first and looking second keeps this free of any retry loop. A writer that
        // sees the short-lived count waits a moment longer, which is the cheaper side to charge.
        const std::uint32_t previous = mState.fetch_add(1, std::memory_order_acquire);
        if ((previous & kWriter) == 0) {
            return true;
        }
        // Nothing was read under the lock, so there is nothing to publish.
        mState.fetch_sub(1, std::memory_order_relaxed);
        return false;
    }

    // Never waits: one atomic decrement.
    void unlock_shared() noexcept HAL_NONBLOCKING
    {
        mState.fetch_sub(1, std::memory_order_release);
    }

private:
    // The writer's way of waiting: a few polite spins for readers that leave within
    // nanoseconds (the IO thread's), then yields, then naps for a reader that holds on (a lookup
    // that runs a callback under the lock).
    class WaitBackoff
    {
    public:
        void Pause() noexcept
        {
            if (mRounds < kSpinRounds) {
                CpuRelax();
            } else if (mRounds < kSpinRounds + kYieldRounds) {
                std::this_thread::yield();
            } else {
                std::this_thread::sleep_for(kNap);
            }
            if (mRounds < kSpinRounds + kYieldRounds) {
                ++mRounds;
            }
        }

        void Reset() noexcept { mRounds = 0; }

    private:
        static constexpr unsigned kSpinRounds = 64;
        static constexpr unsigned kYieldRounds = 64;
        static constexpr std::chrono::microseconds kNap{50};

        static void CpuRelax() noexcept
        {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
            __asm__ __volatile__("yield");
#endif
        }

        unsigned mRounds = 0;
    };

    // One word, so that a reader's count and a writer's announcement are ordered against each
    // other by the word's single modification order: a reader either counts in before the writer
    // announces itself (and the writer waits for it) or sees the announcement (and fails).
    static constexpr std::uint32_t kWriter = std::uint32_t{1} << 31;
    static constexpr std::uint32_t kReaderMask = kWriter - 1;

    std::atomic<std::uint32_t> mState{0};

    static_assert(std::atomic<std::uint32_t>::is_always_lock_free,
                  "the real-time reader side relies on a lock-free atomic word");
};

} // namespace hal
