#pragma once

// Holder of a value that some threads read while another changes it.
//
// Two buffers take turns: readers find the one published under the current sequence number and
// read it under that buffer's reader-writer lock, which they only ever try; a writer fills the
// other buffer, publishes it by advancing the sequence number, and then empties the buffer it
// replaced.
//
// Readers (GetReadLock, and the ReadLock it returns) may run on any thread at once, the real-time
// IO thread included: they allocate nothing, make no system call and never wait. A reader only
// retries while a writer is working on the buffer the reader picked (a reader that took the
// sequence number just before a publication lands there); only a writer that publishes back to
// back, far faster than any configuration change, can make such retries follow each other.
// Get copies the value, which may allocate; it is not for the IO thread.
//
// Writers (Set) are serialised by a mutex and are the only side that waits: for other writers,
// for readers still on the buffer they reuse, and for readers of the value they replace. Never
// call Set from the IO thread, nor while this thread holds a ReadLock of the same holder.
//
// When Set returns, the value it replaced is destroyed (for every T that is not trivial), so
// whatever it referenced is released then, not at some later Set. A trivial T (trivially default
// constructible and trivially copyable) keeps its previous value in the unpublished buffer.
//
// Memory: two T at most, one mutex and two lock words. The holder must not be destroyed while
// any reader or writer still uses it.

#include "hal/RealTime.h"
#include "hal/RealtimeSharedMutex.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

namespace hal {

// Tests look into both buffers through this; production code has no reason to.
struct DoubleBufferInspector;

template <class T>
class DoubleBuffer
{
    struct Buffer;

public:
    // Scoped read access to the value published when it was taken. While it exists, that value is
    // neither overwritten nor destroyed, and writers of the holder wait for it: keep it short.
    // Movable, so that a helper can hand it on; a moved-from ReadLock holds nothing.
    class ReadLock
    {
    public:
        ReadLock(ReadLock&& other) noexcept HAL_NONBLOCKING
            : mBuffer(std::exchange(other.mBuffer, nullptr))
        {
        }
        ReadLock(const ReadLock&) = delete;
        ReadLock& operator=(const ReadLock&) = delete;
        ReadLock& operator=(ReadLock&&) = delete;

        ~ReadLock() HAL_NONBLOCKING
        {
            if (mBuffer != nullptr) {
                mBuffer->lock.unlock_shared();
            }
        }

        // The locked value, valid until this ReadLock goes. Not for a moved-from ReadLock.
        const T& GetValue() const noexcept HAL_NONBLOCKING { return *mBuffer->value; }

    private:
        friend class DoubleBuffer;

        explicit ReadLock(const Buffer& lockedBuffer) noexcept HAL_NONBLOCKING
            : mBuffer(&lockedBuffer)
        {
        }

        const Buffer* mBuffer;
    };

    // Publishes `initial` under sequence 1, in the second buffer.
    explicit DoubleBuffer(T initial) { Set(std::move(initial)); }

    DoubleBuffer(const DoubleBuffer&) = delete;
    DoubleBuffer& operator=(const DoubleBuffer&) = delete;

    // Waits for nothing; nobody may read or write the holder any more.
    ~DoubleBuffer() = default;

    // A copy of the published value. Copying may allocate or throw; the read lock is released
    // either way. Not for the IO thread.
    T Get() const
    {
        const ReadLock readLock = GetReadLock();
        return readLock.GetValue();
    }

    // Reads the published value in place. Never blocks and never allocates: safe on the IO thread.
    // Retries only while a writer is working on the buffer it picked.
    ReadLock GetReadLock() const noexcept HAL_NONBLOCKING
    {
        // No pause in the loop: a writer passes the points that make a reader retry within a few
        // atomic operations, and the IO thread has no business sleeping.
        for (;;) {
            const std::int64_t sequence = mCurrentSequence.load(std::memory_order_acquire);
            const Buffer& buffer = mBuffers[IndexOf(sequence)];
            // Only tried: a writer inside this buffer is about to move on, and waiting for it
            // would tie the reader to a thread of lower priority.
            if (!buffer.lock.try_lock_shared()) {
                continue;
            }
            // A writer announces a new sequence in a buffer before it takes the buffer's lock,
            // so a match under the shared lock proves the buffer still holds what `sequence`
            // published, and will until the lock is released.
            if (buffer.sequence.load(std::memory_order_acquire) == sequence) {
                return ReadLock(buffer);
            }
            buffer.lock.unlock_shared();
        }
    }

    // Publishes a new value: a T, or anything a T can be assigned from and constructed from.
    // Waits for readers of the buffer it reuses and of the value it replaces; never call it from
    // the IO thread, nor while holding a ReadLock of this holder. If storing the value throws, the
    // exception propagates and the published value stays as it was.
    template <class U>
    void Set(U&& value)
    {
        const std::lock_guard<std::mutex> writeLock(mWriteMutex);

        // Only writers change the current sequence, and they hold the write mutex.
        const std::int64_t current = mCurrentSequence.load(std::memory_order_relaxed);
        const std::int64_t next = current == kLastSequence ? 0 : current + 1;
        Buffer& target = mBuffers[IndexOf(next)];

        // Announced before the exclusive lock, so that a reader still carrying an older sequence
        // that lands here from now on sees a mismatch instead of a value being rewritten.
        target.sequence.store(next, std::memory_order_release);
        {
            // Waits for readers that locked this buffer before the announcement.
            const std::lock_guard<RealtimeSharedMutex> exclusive(target.lock);
            if (target.value.has_value()) {
                *target.value = std::forward<U>(value);
            } else {
                target.value.emplace(std::forward<U>(value));
            }
        }
        mCurrentSequence.store(next, std::memory_order_release);

        if constexpr (kClearsReplacedValue) {
            // The replaced value may hold the last reference to something (an object, a
            // handler): it goes now, after its last reader, rather than when the buffer is reused.
            Buffer& previous = mBuffers[IndexOf(current)];
            previous.sequence.store(kNoSequence, std::memory_order_release);
            const std::lock_guard<RealtimeSharedMutex> exclusive(previous.lock);
            previous.value.reset();
        }
    }

private:
    friend struct DoubleBufferInspector;

    struct Buffer
    {
        std::optional<T> value;
        std::atomic<std::int64_t> sequence{kNoSequence};
        // Readers take it shared through a const holder.
        mutable RealtimeSharedMutex lock;
    };

    static constexpr std::int64_t kNoSequence = -1;
    static constexpr std::int64_t kLastSequence = std::numeric_limits<std::int64_t>::max();

    // A trivial value owns nothing, so leaving it in the unpublished buffer costs nothing.
    static constexpr bool kClearsReplacedValue =
        !(std::is_trivially_default_constructible_v<T> && std::is_trivially_copyable_v<T>);

    static_assert(std::atomic<std::int64_t>::is_always_lock_free,
                  "readers on the IO thread load sequence numbers; they must not take a lock");

    // Sequences are never negative where they select a buffer: -1 marks an empty buffer only.
    static constexpr std::size_t IndexOf(std::int64_t sequence) noexcept HAL_NONBLOCKING
    {
        return static_cast<std::size_t>(sequence & 1);
    }

    std::mutex mWriteMutex;
    std::array<Buffer, 2> mBuffers;
    std::atomic<std::int64_t> mCurrentSequence{0};
};

} // namespace hal
