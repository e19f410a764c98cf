#pragma once

// Test-only access to a Dispatcher's allocator state and registry: reaching the interesting
// states (the last ID at 4294967295, a desired maximum of 2^31, a given bitset) by allocation alone
// would take billions of calls. Only for a dispatcher that no other thread uses at the time.

#include "hal/Dispatcher.h"

#include <cstdint>
#include <vector>

namespace hal {

struct DispatcherInspector
{
    struct AllocatorState
    {
        std::vector<std::uint64_t> bitset;
        std::uint64_t allocatedCount = 0;
        AudioObjectID lastID = 0;
        AudioObjectID desiredMaximumID = 0;
    };

    static AllocatorState GetAllocatorState(const Dispatcher& dispatcher)
    {
        return {dispatcher.mBitset, dispatcher.mAllocatedCount, dispatcher.mLastID,
                dispatcher.mDesiredMaximumID};
    }

    static void SetAllocatorState(Dispatcher& dispatcher, const AllocatorState& state)
    {
        dispatcher.mBitset = state.bitset;
        dispatcher.mAllocatedCount = state.allocatedCount;
        dispatcher.mLastID = state.lastID;
        dispatcher.mDesiredMaximumID = state.desiredMaximumID;
    }

    static AudioObjectID AllocateID(Dispatcher& dispatcher) { return dispatcher.AllocateID(); }

    static AudioObjectID FindFreeID(const Dispatcher& dispatcher, AudioObjectID startID)
    {
        return dispatcher.FindFreeID(startID);
    }

    static void FreeID(Dispatcher& dispatcher, AudioObjectID objectID) { dispatcher.FreeID(objectID); }

    // The registry's holder, to watch its publications or to hold a read lock on it and so stall
    // the next writer.
    static const auto& GetRegistry(const Dispatcher& dispatcher) { return dispatcher.mRegistry; }
};

} // namespace hal
