#pragma once

// Test-only access to a Dispatcher's allocator state and registrations: reaching the interesting
// states (the last ID at 4294967295, a desired maximum of 2^31, a given bitset) by allocation alone
// would take billions of calls. Only for a dispatcher that no other thread uses at the time.

#include "hal/Dispatcher.h"

#include <atomic>
#include <cstdint>
#include <stdexcept>
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

    // The lock that an unregistration of `objectID` takes exclusively.
    static RealtimeSharedMutex& GetRegistrationLock(const Dispatcher& dispatcher, AudioObjectID objectID)
    {
        return FindRegistration(dispatcher, objectID).lock;
    }

    // The registered object pointer, as unregistration clears it before anything else.
    static std::atomic<Object*>& GetRegisteredObject(const Dispatcher& dispatcher, AudioObjectID objectID)
    {
        return FindRegistration(dispatcher, objectID).object;
    }

private:
    static Dispatcher::Registration& FindRegistration(const Dispatcher& dispatcher, AudioObjectID objectID)
    {
        const auto readLock = dispatcher.mRegistry.GetReadLock();
        const auto entry = readLock.GetValue().find(objectID);
        if (entry == readLock.GetValue().end()) {
            throw std::invalid_argument("no registration under this ID");
        }
        // The registration outlives the read lock: it is shared, and nobody unregisters meanwhile.
        return *entry->second;
    }
};

} // namespace hal
