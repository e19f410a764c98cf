#pragma once

// Test-only view into a DoubleBuffer's two buffers and sequence numbers, and a way to move its
// sequence ahead (to reach the wrap at the largest signed 64-bit value without 2^63 writes).
// Only for a holder that no other thread uses at the time.

#include "hal/DoubleBuffer.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>

namespace hal {

struct DoubleBufferInspector
{
    template <class T>
    static std::int64_t GetCurrentSequence(const DoubleBuffer<T>& holder)
    {
        return holder.mCurrentSequence.load();
    }

    template <class T>
    static std::int64_t GetBufferSequence(const DoubleBuffer<T>& holder, std::size_t index)
    {
        return holder.mBuffers.at(index).sequence.load();
    }

    template <class T>
    static const std::optional<T>& GetBufferValue(const DoubleBuffer<T>& holder, std::size_t index)
    {
        return holder.mBuffers.at(index).value;
    }

    // Whether nobody holds the buffer's lock, shared or exclusive: a leaked or doubly released
    // shared lock both show here.
    template <class T>
    static bool IsBufferUnlocked(const DoubleBuffer<T>& holder, std::size_t index)
    {
        auto& lock = holder.mBuffers.at(index).lock;
        if (!lock.try_lock()) {
            return false;
        }
        lock.unlock();
        return true;
    }

    // Renumbers the published value as `sequence`, which must select the same buffer.
    template <class T>
    static void SetPublishedSequence(DoubleBuffer<T>& holder, std::int64_t sequence)
    {
        const std::int64_t current = holder.mCurrentSequence.load();
        if ((current & 1) != (sequence & 1)) {
            throw std::invalid_argument("the new sequence must select the published buffer");
        }
        holder.mBuffers.at(static_cast<std::size_t>(sequence & 1)).sequence.store(sequence);
        holder.mCurrentSequence.store(sequence);
    }
};

} // namespace hal
