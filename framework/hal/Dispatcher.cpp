#include "hal/Dispatcher.h"

#include "hal/PrintfFormat.h"
#include "hal/Tracer.h"

#include <CoreAudio/AudioServerPlugIn.h>

#include <bit>
#include <cstddef>
#include <type_traits>
#include <utility>

namespace hal {

namespace {

constexpr std::uint64_t kFullWord = ~std::uint64_t{0};
constexpr unsigned kBitsPerWord = 64;
// Doubling stops here, so that the desired maximum never overflows 32 bits.
constexpr AudioObjectID kLargestDoublingBound = AudioObjectID{1} << 31;

constexpr std::size_t WordIndexOf(AudioObjectID objectID) noexcept
{
    return objectID / kBitsPerWord;
}

constexpr std::uint64_t BitOf(AudioObjectID objectID) noexcept
{
    return std::uint64_t{1} << (objectID % kBitsPerWord);
}

// Messages go nowhere when the dispatcher has no tracer. Not marked non-blocking: an enabled
// tracer formats and writes, and the registration side traces from ordinary threads, which
// would otherwise count as real-time while they do.
template <class... Arguments>
void Trace(const std::shared_ptr<Tracer>& tracer,
           PrintfFormat<std::type_identity_t<Arguments>...> format,
           Arguments... arguments) noexcept
{
    if (tracer != nullptr) {
        tracer->Message(format, arguments...);
    }
}

// Registration operations trace a begin and an end line with status 0 on every way out,
// exceptions included.
class ScopedOperation
{
public:
    ScopedOperation(Tracer* tracer, const char* name, AudioObjectID objectID) noexcept
        : mTracer(tracer)
    {
        mOperation.Name = name;
        mOperation.ObjectID = objectID;
        if (mTracer != nullptr) {
            mTracer->OperationBegin(mOperation);
        }
    }

    ~ScopedOperation()
    {
        if (mTracer != nullptr) {
            mTracer->OperationEnd(mOperation, 0);
        }
    }

    ScopedOperation(const ScopedOperation&) = delete;
    ScopedOperation& operator=(const ScopedOperation&) = delete;

private:
    Tracer* mTracer;
    Tracer::Operation mOperation;
};

} // namespace

Dispatcher::Dispatcher(std::shared_ptr<Tracer> tracer, AudioObjectID desiredMaximumID)
    : mTracer(std::move(tracer))
    , mReservedIDs{kAudioObjectUnknown, kAudioObjectPlugInObject}
    , mRegistry(RegistryMap{})
    , mDesiredMaximumID(desiredMaximumID)
{
}

Dispatcher::~Dispatcher() = default;

std::shared_ptr<Object> Dispatcher::FindObject(AudioObjectID objectID, bool isTraced) const noexcept HAL_NONBLOCKING
{
    enum class Outcome { Found, NotRegistered, Dying };

    // The lookup proper: nothing in here waits, and the message is printed only after the
    // registry's read lock is released, so that a slow tracer never holds up a writer.
    std::shared_ptr<Object> found;
    Outcome outcome = Outcome::NotRegistered;
    {
        const auto readLock = mRegistry.GetReadLock();
        const RegistryMap& registry = readLock.GetValue();
        if (const auto entry = registry.find(objectID); entry != registry.end()) {
            // Empty before publication and once the last owner is gone: the object is then
            // inside its constructor or its destructor, and must not be handed out. The
            // registration cannot change under the read lock: writers publish a new map.
            found = entry->second.owner.lock();
            outcome = found != nullptr ? Outcome::Found : Outcome::Dying;
        }
    }

    if (!isTraced) {
        return found;
    }
    switch (outcome) {
    case Outcome::Found:
        break;
    case Outcome::NotRegistered:
        Trace(mTracer, "Dispatcher::FindObject() objectID=%u not registered", objectID);
        break;
    case Outcome::Dying:
        Trace(mTracer, "Dispatcher::FindObject() objectID=%u is dying", objectID);
        break;
    }
    return found;
}

AudioObjectID Dispatcher::RegisterObject(Object& object, AudioObjectID objectID)
{
    const std::lock_guard<std::mutex> writeLock(mWriteMutex);
    const ScopedOperation operation(mTracer.get(), "Dispatcher::RegisterObject()", objectID);

    if (objectID == kAudioObjectUnknown) {
        objectID = AllocateID();
    }

    RegistryMap registry = mRegistry.Get();
    if (registry.contains(objectID)) {
        // An ID allocated just now stays allocated: the caller gets 0 and never frees it.
        Trace(mTracer, "objectID=%u already registered", objectID);
        return kAudioObjectUnknown;
    }
    registry.emplace(objectID, Registration{.object = &object, .owner = {}});
    mRegistry.Set(std::move(registry));

    Trace(mTracer, "registered objectID=%u", objectID);
    return objectID;
}

void Dispatcher::PublishObject(AudioObjectID objectID, const std::shared_ptr<Object>& owner)
{
    const std::lock_guard<std::mutex> writeLock(mWriteMutex);

    if (objectID == kAudioObjectUnknown) {
        Trace(mTracer, "kAudioObjectUnknown not registered");
        return;
    }
    RegistryMap registry = mRegistry.Get();
    const auto entry = registry.find(objectID);
    if (entry == registry.end()) {
        Trace(mTracer, "objectID=%u not registered", objectID);
        return;
    }
    if (owner == nullptr || entry->second.object != owner.get()) {
        Trace(mTracer, "objectID=%u registered to another object", objectID);
        return;
    }
    // A new map rather than a change in place: lookups read registrations without any lock of
    // their own.
    entry->second.owner = owner;
    mRegistry.Set(std::move(registry));
}

void Dispatcher::UnregisterObject(AudioObjectID objectID)
{
    const std::lock_guard<std::mutex> writeLock(mWriteMutex);
    const ScopedOperation operation(mTracer.get(), "Dispatcher::UnregisterObject()", objectID);

    if (objectID == kAudioObjectUnknown) {
        Trace(mTracer, "kAudioObjectUnknown not registered");
        return;
    }
    RegistryMap registry = mRegistry.Get();
    if (registry.erase(objectID) == 0) {
        Trace(mTracer, "objectID=%u not registered", objectID);
        return;
    }
    // Set returns only once no lookup is still reading the map it replaces, so from here on none
    // can be turning this registration into a reference.
    mRegistry.Set(std::move(registry));

    FreeID(objectID);
    Trace(mTracer, "unregistered objectID=%u", objectID);
}

AudioObjectID Dispatcher::AllocateID()
{
    const AudioObjectID nextID = mLastID + 1; // wraps to 0 after the last ID

    if (nextID >= mDesiredMaximumID
        && mAllocatedCount > (std::uint64_t{mDesiredMaximumID} >> 1)
        && mDesiredMaximumID < kLargestDoublingBound) {
        Trace(mTracer, "increasing desired maximum from %u to %u", mDesiredMaximumID,
              mDesiredMaximumID * 2);
        mDesiredMaximumID *= 2;
    }

    const bool isFree = IsFree(nextID);
    Trace(mTracer, "candidate nextID=%u isFree=%d desiredMaximumID=%u", nextID,
          static_cast<int>(isFree), mDesiredMaximumID);

    AudioObjectID objectID;
    if (nextID >= mDesiredMaximumID) {
        // Half or fewer in use: start over from the lowest free ID rather than grow.
        objectID = FindFreeID(0);
    } else if (isFree) {
        objectID = nextID;
    } else {
        objectID = FindFreeID(mLastID + 2);
    }

    SetFree(objectID, false);
    ++mAllocatedCount;
    mLastID = objectID;
    Trace(mTracer, "allocated objectID=%u numAllocated=%u", objectID,
          static_cast<unsigned>(mAllocatedCount));
    return objectID;
}

AudioObjectID Dispatcher::FindFreeID(AudioObjectID startID) const
{
    const std::size_t wordCount = mBitset.size();
    if (wordCount != 0) {
        const std::size_t startWord = WordIndexOf(startID);
        // wordCount + 1 passes: the start word comes round again at the end, so that the IDs
        // below startID in it are found last.
        for (std::size_t pass = 0; pass <= wordCount; ++pass) {
            const std::size_t wordIndex = (startWord + pass) % wordCount;
            const std::uint64_t word = mBitset[wordIndex];
            if (word == kFullWord) {
                continue;
            }
            for (std::uint64_t freeBits = ~word; freeBits != 0; freeBits &= freeBits - 1) {
                const auto candidate = static_cast<AudioObjectID>(
                    wordIndex * kBitsPerWord + static_cast<unsigned>(std::countr_zero(freeBits)));
                if ((pass == 0 && candidate < startID) || mReservedIDs.contains(candidate)) {
                    continue;
                }
                Trace(mTracer, "selected id inside bitset startID=%u selectedID=%u", startID,
                      candidate);
                return candidate;
            }
        }
    }

    auto candidate = static_cast<AudioObjectID>(wordCount * kBitsPerWord);
    while (mReservedIDs.contains(candidate)) {
        ++candidate;
    }
    Trace(mTracer, "selected id after bitset startID=%u selectedID=%u", startID, candidate);
    return candidate;
}

bool Dispatcher::IsFree(AudioObjectID objectID) const
{
    if (mReservedIDs.contains(objectID)) {
        return false;
    }
    const std::size_t wordIndex = WordIndexOf(objectID);
    return wordIndex >= mBitset.size() || (mBitset[wordIndex] & BitOf(objectID)) == 0;
}

void Dispatcher::FreeID(AudioObjectID objectID)
{
    const std::size_t wordIndex = WordIndexOf(objectID);
    const bool wasAllocated =
        wordIndex < mBitset.size() && (mBitset[wordIndex] & BitOf(objectID)) != 0;
    SetFree(objectID, true);
    // Only IDs that allocation counted are uncounted (an explicitly registered ID, such as the
    // plug-in's 1, never was), so the count cannot wrap below zero.
    if (wasAllocated) {
        --mAllocatedCount;
    }
    Trace(mTracer, "freed objectID=%u numAllocated=%u", objectID,
          static_cast<unsigned>(mAllocatedCount));
}

void Dispatcher::SetFree(AudioObjectID objectID, bool isFree)
{
    const std::size_t wordIndex = WordIndexOf(objectID);
    if (wordIndex >= mBitset.size()) {
        // Beyond the bitset every ID is free already. Growing it for an ID that was never
        // allocated, such as an explicit one far above the rest, would cost up to 512 MiB.
        if (isFree) {
            return;
        }
        mBitset.resize(wordIndex + 1, 0);
    }
    if (isFree) {
        mBitset[wordIndex] &= ~BitOf(objectID);
    } else {
        mBitset[wordIndex] |= BitOf(objectID);
    }
}

} // namespace hal
