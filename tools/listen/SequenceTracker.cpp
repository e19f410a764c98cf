#include "SequenceTracker.h"

namespace pelio::listen {

const char* ArrivalName(Arrival arrival)
{
    switch (arrival) {
    case Arrival::First: return "first";
    case Arrival::InOrder: return "in_order";
    case Arrival::AfterGap: return "after_gap";
    case Arrival::Restart: return "restart";
    case Arrival::Late: return "late";
    case Arrival::Duplicate: return "duplicate";
    }
    return "unknown";
}

void SequenceTracker::Advance(std::uint32_t distance)
{
    // Shifting by the history length or more clears it, which is what a long jump means.
    mArrived <<= distance;
    mArrived.set(0);
    mNext += distance;
    mSinceOrigin = distance >= kHistory - mSinceOrigin ? kHistory : mSinceOrigin + distance;
}

void SequenceTracker::Originate(std::uint32_t sequence)
{
    mNext = sequence;
    mArrived.reset();
    mSinceOrigin = 0;
    Advance(1);
}

SequenceStep SequenceTracker::Observe(std::uint32_t sequence)
{
    if (mSinceOrigin == 0) {
        Originate(sequence);
        return {Arrival::First, 0};
    }

    // Modular difference read as signed: the wrap from 0xFFFFFFFF to 0 is a step of one.
    const auto ahead = static_cast<std::int32_t>(sequence - mNext);
    if (ahead == 0) {
        Advance(1);
        return {Arrival::InOrder, 0};
    }

    if (ahead > 0 && static_cast<std::uint32_t>(ahead) <= kMaxGap) {
        const auto skipped = static_cast<std::uint32_t>(ahead);
        if (skipped >= kRestartSkip && skipped <= kRestartSkip + kSenderQueueSlots) {
            // The numbers right below the new one were never used: mark them arrived, so that
            // only the unsent tail of the previous run counts as lost and can still turn up late.
            const std::uint32_t lost = skipped - kRestartSkip;
            Advance(skipped + 1);
            for (std::uint32_t k = 1; k <= kRestartSkip; ++k) {
                mArrived.set(k);
            }
            mCounts.lost += lost;
            ++mCounts.restarts;
            return {Arrival::Restart, lost};
        }
        Advance(skipped + 1);
        mCounts.lost += skipped;
        return {Arrival::AfterGap, skipped};
    }

    if (ahead < 0) {
        const std::uint32_t age = mNext - 1 - sequence; // 0 is the newest number
        if (age < kHistory) {
            if (mArrived.test(age)) {
                ++mCounts.duplicate;
                return {Arrival::Duplicate, 0};
            }
            mArrived.set(age);
            // A number from before the origin arrives late too, but was never counted as lost.
            if (age < mSinceOrigin) {
                --mCounts.lost;
            }
            ++mCounts.reordered;
            return {Arrival::Late, 0};
        }
    }

    // Too far ahead or behind to be this stream: a sender that started over.
    ++mCounts.restarts;
    Originate(sequence);
    return {Arrival::Restart, 0};
}

} // namespace pelio::listen
