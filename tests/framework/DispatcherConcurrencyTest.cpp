// Lookups racing registration, publication and destruction. Run under ThreadSanitizer and
// AddressSanitizer too: a lookup that touched an object being set up or torn down, or handed out
// a destroyed one, shows there as a data race or a use after free, and here as a dead object.

#include "hal/Context.h"
#include "hal/Dispatcher.h"
#include "hal/Object.h"
#include "hal/Tracer.h"

#include "CapturingTracer.h"
#include "DispatcherInspector.h"
#include "DoubleBufferInspector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace {

using hal::DispatcherInspector;
using hal::DoubleBufferInspector;
using pelio::test::CapturingTracer;
using testing::Contains;
using namespace std::chrono_literals;

// An object that knows whether it is alive, and counts constructions and destructions, so that a
// lookup handing out a dead object, a leak or a double destruction all show.
class CountedObject : public hal::Object
{
public:
    using Hook = std::function<void(CountedObject&)>;

    static constexpr std::uint32_t kAlive = 0xA11CE;

    explicit CountedObject(std::shared_ptr<const hal::Context> context, Hook onConstructed = {},
                           Hook onDestroying = {})
        : hal::Object(std::move(context), "CountedObject")
        , mOnDestroying(std::move(onDestroying))
    {
        sConstructed.fetch_add(1);
        if (onConstructed) {
            onConstructed(*this);
        }
    }

    ~CountedObject() override
    {
        if (mOnDestroying) {
            mOnDestroying(*this);
        }
        mState.store(0);
        sDestroyed.fetch_add(1);
    }

    bool IsAlive() const { return mState.load() == kAlive; }

    static inline std::atomic<int> sConstructed{0};
    static inline std::atomic<int> sDestroyed{0};

private:
    std::atomic<std::uint32_t> mState{kAlive};
    Hook mOnDestroying;
};

std::shared_ptr<const hal::Context> MakeContext(std::shared_ptr<hal::Tracer> dispatcherTracer,
                                                AudioObjectID desiredMaximumID)
{
    return std::make_shared<const hal::Context>(
        std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Flat),
        std::make_shared<hal::Dispatcher>(std::move(dispatcherTracer), desiredMaximumID));
}

struct LookupTally
{
    std::uint64_t found = 0;
    std::uint64_t empty = 0;
    std::uint64_t wrongID = 0;
    std::uint64_t dead = 0;
};

TEST(DispatcherConcurrencyTest, LookupsRacingCreationAndDestructionOnlyEverReturnLiveObjects)
{
    CountedObject::sConstructed = 0;
    CountedObject::sDestroyed = 0;
    {
        // A small desired maximum keeps the IDs cycling through the same few registrations.
        const auto context = MakeContext(nullptr, 16);
        const hal::Dispatcher& dispatcher = *context->Dispatcher;
        constexpr AudioObjectID kHighestIDLookedUp = 24;
        constexpr auto kRunTime = 300ms;

        std::atomic<bool> stop{false};
        std::mutex liveMutex;
        std::set<AudioObjectID> liveIDs;
        std::atomic<int> duplicateIDs{0};

        auto writer = [&](unsigned seed) {
            std::deque<std::shared_ptr<CountedObject>> live;
            for (unsigned round = seed; !stop.load(std::memory_order_relaxed); ++round) {
                auto object = hal::MakeObject<CountedObject>(context);
                {
                    const std::lock_guard<std::mutex> lock(liveMutex);
                    if (!liveIDs.insert(object->GetID()).second) {
                        duplicateIDs.fetch_add(1);
                    }
                }
                live.push_back(std::move(object));
                // Keep between one and three alive, so that some die young and some old.
                while (live.size() > 1 + round % 3) {
                    {
                        const std::lock_guard<std::mutex> lock(liveMutex);
                        liveIDs.erase(live.front()->GetID());
                    }
                    live.pop_front();
                }
            }
            const std::lock_guard<std::mutex> lock(liveMutex);
            for (const auto& object : live) {
                liveIDs.erase(object->GetID());
            }
        };

        auto reader = [&](LookupTally& tally) {
            std::shared_ptr<hal::Object> keptForAWhile;
            for (unsigned round = 0; !stop.load(std::memory_order_relaxed); ++round) {
                for (AudioObjectID objectID = 0; objectID <= kHighestIDLookedUp; ++objectID) {
                    std::shared_ptr<hal::Object> object = dispatcher.FindObject(objectID);
                    if (object == nullptr) {
                        ++tally.empty;
                        continue;
                    }
                    ++tally.found;
                    tally.wrongID += object->GetID() != objectID;
                    tally.dead += !static_cast<const CountedObject&>(*object).IsAlive();
                    // Now and then the lookup's reference outlives the writer's, so that the
                    // object is destroyed on this thread, as a host call may do.
                    if (round % 7 == 0) {
                        keptForAWhile = std::move(object);
                    }
                }
                keptForAWhile.reset();
            }
        };

        std::vector<LookupTally> tallies(2);
        std::vector<std::thread> threads;
        threads.emplace_back(writer, 0u);
        threads.emplace_back(writer, 1u);
        for (LookupTally& tally : tallies) {
            threads.emplace_back(reader, std::ref(tally));
        }
        std::this_thread::sleep_for(kRunTime);
        stop = true;
        for (std::thread& thread : threads) {
            thread.join();
        }

        for (const LookupTally& tally : tallies) {
            EXPECT_EQ(tally.wrongID, 0u);
            EXPECT_EQ(tally.dead, 0u);
            EXPECT_GT(tally.found, 0u);
            EXPECT_GT(tally.empty, 0u);
        }
        EXPECT_EQ(duplicateIDs.load(), 0);

        // Everything is gone again: no registration left behind, no ID still counted.
        for (AudioObjectID objectID = 0; objectID <= kHighestIDLookedUp; ++objectID) {
            EXPECT_EQ(dispatcher.FindObject(objectID), nullptr) << objectID;
        }
        EXPECT_EQ(DispatcherInspector::GetAllocatorState(dispatcher).allocatedCount, 0u);
    }
    EXPECT_GT(CountedObject::sConstructed.load(), 0);
    EXPECT_EQ(CountedObject::sConstructed.load(), CountedObject::sDestroyed.load());
}

// Holds a thread inside an object's constructor or destructor until released.
class Gate
{
public:
    // Called from inside the object: reports the ID, then waits.
    void Hold(CountedObject& object)
    {
        mHeldID.set_value(object.GetID());
        mRelease.get_future().wait();
    }

    AudioObjectID WaitUntilHeld() { return mHeldID.get_future().get(); }
    void Release() { mRelease.set_value(); }

private:
    std::promise<AudioObjectID> mHeldID;
    std::promise<void> mRelease;
};

TEST(DispatcherConcurrencyTest, LookupsAnswerAtOnceWhileAnObjectIsStuckInItsConstructor)
{
    const auto tracer = std::make_shared<CapturingTracer>(hal::Tracer::Mode::Stderr, hal::Tracer::Style::Flat);
    const auto context = MakeContext(tracer, 1000);
    Gate gate;

    std::shared_ptr<CountedObject> created;
    std::thread creator([&] {
        created = hal::MakeObject<CountedObject>(context, [&](CountedObject& self) { gate.Hold(self); });
    });
    const AudioObjectID objectID = gate.WaitUntilHeld();

    // Registered, but no shared reference owns it yet: not handed out, and not waited for.
    EXPECT_EQ(context->Dispatcher->FindObject(objectID), nullptr);
    gate.Release();
    creator.join();

    EXPECT_EQ(context->Dispatcher->FindObject(objectID), created);
    EXPECT_THAT(tracer->GetLines(), Contains("Dispatcher::FindObject() objectID=2 is dying"));
}

TEST(DispatcherConcurrencyTest, LookupsAnswerAtOnceWhileAnObjectIsStuckInItsDestructor)
{
    const auto tracer = std::make_shared<CapturingTracer>(hal::Tracer::Mode::Stderr, hal::Tracer::Style::Flat);
    const auto context = MakeContext(tracer, 1000);
    Gate gate;

    auto doomed = hal::MakeObject<CountedObject>(context, nullptr, [&](CountedObject& self) { gate.Hold(self); });
    const auto survivor = hal::MakeObject<CountedObject>(context);
    std::thread destroyer([&] { doomed.reset(); });
    const AudioObjectID objectID = gate.WaitUntilHeld();

    // Its last owner is gone but it is still registered: not handed out, and not waited for.
    EXPECT_EQ(context->Dispatcher->FindObject(objectID), nullptr);
    EXPECT_EQ(context->Dispatcher->FindObject(survivor->GetID()), survivor);
    gate.Release();
    destroyer.join();

    EXPECT_THAT(tracer->GetLines(), Contains("Dispatcher::FindObject() objectID=2 is dying"));
    EXPECT_EQ(context->Dispatcher->FindObject(objectID), nullptr);
}

TEST(DispatcherConcurrencyTest, LookupsGoOnWhileAWriterIsStalledInsideTheDispatcher)
{
    const auto context = MakeContext(nullptr, 1000);
    const hal::Dispatcher& dispatcher = *context->Dispatcher;
    const auto& registry = DispatcherInspector::GetRegistry(dispatcher);
    auto existing = hal::MakeObject<CountedObject>(context);
    const AudioObjectID existingID = existing->GetID();

    for (const bool creating : {true, false}) {
        SCOPED_TRACE(creating ? "registration" : "unregistration");
        const std::int64_t sequenceBefore = DoubleBufferInspector::GetCurrentSequence(registry);
        std::shared_ptr<CountedObject> created;
        std::thread writer;
        {
            // A reader of the registry as it is now: the writer publishes a new one and then
            // waits for this reader, with the dispatcher's write mutex held.
            const auto heldRegistry = registry.GetReadLock();
            writer = creating ? std::thread([&] { created = hal::MakeObject<CountedObject>(context); })
                              : std::thread([&] { existing.reset(); });
            while (DoubleBufferInspector::GetCurrentSequence(registry) == sequenceBefore) {
                std::this_thread::yield();
            }

            // Lookups neither wait for the stalled writer nor see a half-made change.
            if (creating) {
                EXPECT_EQ(dispatcher.FindObject(existingID), existing);
                // The new registration is in the registry, but its object is not published yet.
                EXPECT_EQ(dispatcher.FindObject(existingID + 1), nullptr);
            } else {
                EXPECT_EQ(dispatcher.FindObject(existingID), nullptr);
            }
        } // the writer goes on from here
        writer.join();
        if (creating) {
            EXPECT_EQ(dispatcher.FindObject(existingID + 1), created);
        }
    }
}

} // namespace
