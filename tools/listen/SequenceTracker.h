#pragma once

// Follows the sequence numbers of a datagram stream and says, for each arrival, where it belongs.
//
// The first number seen sets the origin. After that, each number is compared with the next one
// expected by its signed 32-bit distance, so the stream runs on across the wrap from 0xFFFFFFFF
// to 0 as if nothing happened. A number ahead of the expected one leaves a gap whose packets
// count as lost until one of them turns up late; a number behind it is late (it fills a gap) or a
// duplicate (its packet already came), told apart by the record of the last kHistory numbers.
//
// The sender restarts in two ways, and neither counts as loss. When it starts IO again it adds
// 100 to the number it would have used next, so 100 numbers are never used; the packets still
// queued at its stop (at most kSenderQueueSlots) are never sent and do count as lost, so a number
// 100 to 116 above the expected one is a restart. When a sender process starts over, or
// anything jumps further than the record reaches (kHistory back, kMaxGap ahead), the tracker
// takes the number as a new origin: nothing before it can be placed against it any more.
//
// Constant memory, no I/O, no allocation. Not thread-safe: one thread observes.

#include <bitset>
#include <cstdint>

namespace pelio::listen {

enum class Arrival {
    First,     // the origin of the stream
    InOrder,   // the next number expected
    AfterGap,  // ahead of the expected number: `missing` packets before it are lost
    Restart,   // the sender started again; `missing` packets of its previous run are lost
    Late,      // behind the newest, in a gap: it was counted as lost and is not any more
    Duplicate, // its number has already arrived
};

// The snake_case name that logs use for the arrival ("in_order", "after_gap").
const char* ArrivalName(Arrival arrival);

struct SequenceStep {
    Arrival arrival = Arrival::First;
    std::uint32_t missing = 0; // packets lost just before this one (AfterGap, Restart)
};

struct SequenceCounts {
    std::uint64_t lost = 0;      // numbers skipped over and not (yet) arrived late
    std::uint64_t duplicate = 0;
    std::uint64_t reordered = 0; // late arrivals
    std::uint64_t restarts = 0;
};

class SequenceTracker
{
public:
    // How far back late and duplicate packets are recognised.
    static constexpr std::uint32_t kHistory = 128;
    // The largest jump ahead that is taken as a gap (at 512 frames a packet, about 44 seconds).
    static constexpr std::uint32_t kMaxGap = 4096;
    // What the sender skips when it starts IO again, and how many packets it may leave unsent.
    static constexpr std::uint32_t kRestartSkip = 100;
    static constexpr std::uint32_t kSenderQueueSlots = 16;

    SequenceStep Observe(std::uint32_t sequence);

    const SequenceCounts& GetCounts() const { return mCounts; }

private:
    // Moves the newest number ahead by `distance`; the numbers passed over start as not arrived.
    void Advance(std::uint32_t distance);

    // Starts the record afresh at `sequence`, as the first number of a stream.
    void Originate(std::uint32_t sequence);

    std::uint32_t mNext = 0; // one above the newest number seen
    // Bit k: number mNext - 1 - k has arrived (or is one that the sender never uses). Of those
    // since the origin (k below mSinceOrigin), every clear bit is a packet counted as lost; 0 means
    // no origin yet.
    std::bitset<kHistory> mArrived;
    std::uint32_t mSinceOrigin = 0;
    SequenceCounts mCounts;

    static_assert(kRestartSkip + kSenderQueueSlots < kHistory, "a restart's lost packets must stay placeable");
};

} // namespace pelio::listen
