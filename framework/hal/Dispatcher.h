#pragma once

// The object registry: hands out object IDs and turns the IDs that the host sends into objects.
//
// Lookups (FindObject) run on any thread, the real-time IO thread included. They take no mutex,
// allocate nothing, make no system call and never wait: the registry is read in place through
// the read side of a DoubleBuffer, and a registration never changes once published (writers
// publish a new map), so nothing else needs locking. A hit costs the registry's read lock and the
// weak-to-shared conversion, three atomic read-modify-writes, and the caller's release a fourth.
// A lookup never returns a destroyed object: what it returns is a shared reference, so the caller
// co-owns the object for as long as it keeps the reference. If that reference turns out to be
// the last one, the object is destroyed where the caller drops it: on the IO thread too, when a
// host call there outlives the object's last owner, and that destructor locks and frees. Callers
// therefore hold the reference for one host call only.
//
// Registration, publication and unregistration are serialised by one mutex and may wait (for
// each other, and for lookups still reading the registry they replace). They run on the threads
// that construct and destroy objects, never on the IO thread. Each copies the registry map, which
// allocates.
//
// Objects become findable in two steps. The object base registers itself from its constructor,
// before any shared reference owns it; turning its weak self-reference into a shared one at that
// point would race with the shared reference still being set up. So a registration starts out
// unpublished, and lookups of it answer empty ("is dying", as for an object that is no longer
// owned). Only once a shared reference owns the object does PublishObject hand the registration a
// weak reference to it (hal::MakeObject does both steps), and lookups succeed from then on. When
// the last owner goes, the weak reference expires: lookups answer "is dying" again until the
// destructor's UnregisterObject removes the ID.
//
// Messages and operation traces go to the tracer given at construction; with none, the dispatcher
// prints nothing at all.

#include "hal/DoubleBuffer.h"
#include "hal/RealTime.h"

#include <CoreAudio/AudioHardwareBase.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace hal {

class Object;
class Tracer;

// Tests reach the allocator's state through this; production code has no reason to.
struct DispatcherInspector;

class Dispatcher
{
public:
    // `tracer` may be empty (a silent dispatcher). `desiredMaximumID` is the soft bound below
    // which IDs are handed out in rising order before the lowest free one is reused.
    Dispatcher(std::shared_ptr<Tracer> tracer, AudioObjectID desiredMaximumID);
    ~Dispatcher();

    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    // The published, still owned object registered under `objectID`, or empty. Never blocks,
    // never allocates, never throws: safe on the IO thread. With a tracer, an empty answer
    // formats a message, as tracing does everywhere, unless `isTraced` is false: the real-time
    // host calls pass that, so that a stale ID formats nothing in every IO cycle.
    std::shared_ptr<Object> FindObject(AudioObjectID objectID, bool isTraced = true) const noexcept HAL_NONBLOCKING;

    // Registers `object` under `objectID`, or under a newly allocated ID when `objectID` is 0.
    // Returns that ID, or 0 when `objectID` is already registered (the earlier registration stays).
    // The registration is not findable until PublishObject. Called by the object base
    // constructor; waits for other writers of the registry.
    AudioObjectID RegisterObject(Object& object, AudioObjectID objectID);

    // Makes the registration of `objectID` findable through `owner`, a shared reference that owns
    // the registered object; lookups keep only a weak reference to it. Called by hal::MakeObject
    // right after the shared reference is built. Does nothing (but print "not registered") when
    // `objectID` is not registered or is registered to another object. Waits for other writers,
    // and for lookups still reading the registry it replaces (which never wait themselves).
    void PublishObject(AudioObjectID objectID, const std::shared_ptr<Object>& owner);

    // Removes the registration of `objectID` and frees the ID. Returns only once no lookup is
    // still reading the registration. Called by the object base destructor.
    void UnregisterObject(AudioObjectID objectID);

private:
    friend struct DispatcherInspector;

    // One per registered ID. Never changed once in a published map: publication and
    // unregistration publish a new map instead, so a lookup reads it under the registry's read
    // lock alone, and the registry's Set waits for every lookup still inside the map it replaces.
    struct Registration
    {
        // The object registered under the ID; PublishObject checks the owner against it.
        Object* object = nullptr;
        // Empty until published, expired once the last owner is gone.
        std::weak_ptr<Object> owner;
    };

    using RegistryMap = std::unordered_map<AudioObjectID, Registration>;

    // All of these run with the write mutex held. The bitset grows only to cover an ID that is
    // allocated; freeing an ID beyond it changes nothing there.
    AudioObjectID AllocateID();
    AudioObjectID FindFreeID(AudioObjectID startID) const;
    bool IsFree(AudioObjectID objectID) const;
    void FreeID(AudioObjectID objectID);
    void SetFree(AudioObjectID objectID, bool isFree);

    std::shared_ptr<Tracer> mTracer;
    std::unordered_set<AudioObjectID> mReservedIDs;
    DoubleBuffer<RegistryMap> mRegistry;
    std::mutex mWriteMutex;
    std::vector<std::uint64_t> mBitset;
    std::uint64_t mAllocatedCount = 0;
    AudioObjectID mLastID = 0;
    AudioObjectID mDesiredMaximumID;
};

} // namespace hal
