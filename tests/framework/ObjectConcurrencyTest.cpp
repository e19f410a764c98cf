#include "hal/Object.h"

#include "hal/Context.h"
#include "hal/Dispatcher.h"
#include "hal/Tracer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

namespace {

using hal::MakeObject;
using hal::Object;
using namespace std::chrono_literals;

constexpr AudioObjectPropertyScope kGlobal = kAudioObjectPropertyScopeGlobal;

std::shared_ptr<const hal::Context> MakeQuietContext()
{
    return std::make_shared<const hal::Context>(
        std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Flat),
        std::make_shared<hal::Dispatcher>(nullptr, 1000));
}

// Waits for `finished` to reach `expected`. A deadlock leaves threads that can never be joined,
// so there is no way to fail gracefully: say what happened and stop the process.
void AwaitOrAbort(const std::atomic<int>& finished, int expected, std::chrono::seconds limit, const char* what)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (finished.load() < expected) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "%s did not finish within %lld s: deadlock\n", what,
                         static_cast<long long>(limit.count()));
            std::abort();
        }
        std::this_thread::sleep_for(1ms);
    }
}

TEST(ObjectConcurrencyTest, OppositeMovesBetweenTheSameTwoOwnersFinish)
{
    auto context = MakeQuietContext();
    auto first = MakeObject<Object>(context, "Object");
    auto second = MakeObject<Object>(context, "Object");
    auto movedRight = MakeObject<Object>(context, "Object");
    auto movedLeft = MakeObject<Object>(context, "Object");
    first->AddOwnedObject(movedRight, kGlobal);
    second->AddOwnedObject(movedLeft, kGlobal);

    constexpr int kRounds = 2000;
    std::latch start(2);
    std::atomic<int> finished{0};
    // Each thread moves its object to the other owner and back. At every step the two threads
    // add into opposite owners while taking from the other one: a move that left the previous
    // owner while holding the new owner's mutex would deadlock here within a few rounds.
    auto mover = [&](const std::shared_ptr<Object>& moved, Object& from, Object& to) {
        start.arrive_and_wait();
        for (int round = 0; round < kRounds; ++round) {
            to.AddOwnedObject(moved, kGlobal);
            from.AddOwnedObject(moved, kGlobal);
        }
        finished.fetch_add(1);
    };
    std::thread rightward(mover, movedRight, std::ref(*first), std::ref(*second));
    std::thread leftward(mover, movedLeft, std::ref(*second), std::ref(*first));

    AwaitOrAbort(finished, 2, 20s, "opposite moves between two owners");
    rightward.join();
    leftward.join();

    EXPECT_EQ(first->GetOwnedObjectIDs(kGlobal, 0), std::vector<AudioObjectID>{movedRight->GetID()});
    EXPECT_EQ(second->GetOwnedObjectIDs(kGlobal, 0), std::vector<AudioObjectID>{movedLeft->GetID()});
    EXPECT_EQ(movedRight->GetOwnerID(), first->GetID());
    EXPECT_EQ(movedLeft->GetOwnerID(), second->GetID());
}

TEST(ObjectConcurrencyTest, OneObjectMovedByTwoThreadsEndsInExactlyOneOwner)
{
    auto context = MakeQuietContext();
    auto first = MakeObject<Object>(context, "Object");
    auto second = MakeObject<Object>(context, "Object");
    auto moved = MakeObject<Object>(context, "Object");

    constexpr int kRounds = 1000;
    std::latch start(2);
    std::atomic<int> finished{0};
    auto mover = [&](Object& to) {
        start.arrive_and_wait();
        for (int round = 0; round < kRounds; ++round) {
            to.AddOwnedObject(moved, kGlobal);
        }
        finished.fetch_add(1);
    };
    std::thread toFirst(mover, std::ref(*first));
    std::thread toSecond(mover, std::ref(*second));

    AwaitOrAbort(finished, 2, 20s, "competing moves of one object");
    toFirst.join();
    toSecond.join();

    const auto inFirst = first->GetOwnedObjectIDs(kGlobal, 0);
    const auto inSecond = second->GetOwnedObjectIDs(kGlobal, 0);
    ASSERT_EQ(inFirst.size() + inSecond.size(), 1u) << "listed by exactly one owner";
    const Object& owner = inFirst.empty() ? *second : *first;
    EXPECT_EQ(moved->GetOwnerID(), owner.GetID()) << "and that owner is the one its owner ID names";
}

// Marks its memory, so that a lookup that returned a destroyed object shows even without a sanitizer.
class CountedObject : public Object
{
public:
    static constexpr UInt64 kAlive = 0xA11FE;

    explicit CountedObject(std::shared_ptr<const hal::Context> context) : Object(std::move(context), "CountedObject")
    {
        constructed.fetch_add(1);
    }
    ~CountedObject() override
    {
        mMark = 0;
        destroyed.fetch_add(1);
    }

    UInt64 GetMark() const { return mMark; }

    static inline std::atomic<int> constructed{0};
    static inline std::atomic<int> destroyed{0};

private:
    volatile UInt64 mMark = kAlive;
};

TEST(ObjectConcurrencyTest, LookupsRacingCreationAndDestructionOfOwnedObjectsNeverSeeADestroyedObject)
{
    CountedObject::constructed = 0;
    CountedObject::destroyed = 0;
    auto context = MakeQuietContext();
    auto owner = MakeObject<Object>(context, "Object");
    const hal::Dispatcher& dispatcher = *context->Dispatcher;

    // Bounded in time too: the registry's writers wait for lookups, so on a small machine under a
    // sanitizer the creator may get few turns.
    constexpr int kMaximumCreations = 2000;
    const auto deadline = std::chrono::steady_clock::now() + 1500ms;
    std::atomic<int> creations{0};
    // The newest ID handed out: lookups aim around it, at the objects being constructed (the next
    // IDs), the ones alive, and the ones being removed and destroyed (a few IDs lower).
    std::atomic<AudioObjectID> newestID{owner->GetID()};
    std::atomic<bool> stop{false};
    std::atomic<long> hits{0};
    std::atomic<int> failures{0};

    // Creates objects, hands them to the owner, and removes them again a few creations later, so
    // that most are destroyed inside the removal and some in a lookup that still held them.
    std::thread creator([&] {
        std::deque<AudioObjectID> owned;
        while (creations < kMaximumCreations && std::chrono::steady_clock::now() < deadline) {
            auto object = MakeObject<CountedObject>(context);
            creations.fetch_add(1);
            newestID = object->GetID();
            owned.push_back(object->GetID());
            owner->AddOwnedObject(object, kGlobal);
            object.reset();
            if (owned.size() > 8) {
                owner->RemoveOwnedObject(owned.front());
                owned.pop_front();
            }
        }
        stop = true;
    });

    // Looks up the IDs around the newest, unpublished ones included, and uses what it finds.
    auto scanner = [&] {
        const AudioObjectPropertyAddress classAddress{kAudioObjectPropertyClass, kGlobal, 0};
        while (!stop) {
            const AudioObjectID newest = newestID;
            // IDs wrap to the lowest free one at the desired maximum (1000), so the window may
            // cross 0 and 1, which name nothing here.
            for (AudioObjectID objectID = newest - 12; objectID != newest + 4; ++objectID) {
                const std::shared_ptr<Object> found = dispatcher.FindObject(objectID);
                if (found == nullptr || found == owner) {
                    continue;
                }
                const auto* counted = dynamic_cast<const CountedObject*>(found.get());
                if (counted == nullptr || counted->GetMark() != CountedObject::kAlive || found->GetID() != objectID
                    || !found->HasProperty(objectID, 0, &classAddress)) {
                    failures.fetch_add(1);
                }
                hits.fetch_add(1);
            }
            // On a machine with fewer cores than threads, let the creator have its turns.
            std::this_thread::yield();
        }
    };
    // Reads the owner's list and looks up what it names, as the host does after reading 'ownd'.
    auto lister = [&] {
        while (!stop) {
            for (const AudioObjectID objectID : owner->GetOwnedObjectIDs(kGlobal, 0)) {
                const std::shared_ptr<Object> found = dispatcher.FindObject(objectID);
                if (found != nullptr && found->GetID() != objectID) {
                    failures.fetch_add(1);
                }
            }
            std::this_thread::yield();
        }
    };
    std::thread scanner1(scanner);
    std::thread scanner2(scanner);
    std::thread listerThread(lister);

    creator.join();
    scanner1.join();
    scanner2.join();
    listerThread.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(hits.load(), 0) << "the lookups never met a live object: the test raced nothing";
    owner.reset();
    EXPECT_EQ(CountedObject::constructed.load(), creations.load());
    EXPECT_EQ(CountedObject::destroyed.load(), creations.load()) << "every object destroyed exactly once";
}

TEST(ObjectConcurrencyTest, CustomPropertyReadsRacingReRegistrationUseAWholeProperty)
{
    auto context = MakeQuietContext();
    auto object = MakeObject<Object>(context, "Object");
    const CFStringRef first = CFSTR("first");
    const CFStringRef second = CFSTR("second");
    constexpr AudioObjectPropertySelector kSelector = 'racy';
    object->RegisterCustomProperty(kSelector, Object::StringGetter([first] { return first; }), nullptr);

    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        const AudioObjectPropertyAddress address{kSelector, kGlobal, 0};
        while (!stop) {
            reads.fetch_add(1);
            CFStringRef value = nullptr;
            UInt32 size = 0;
            const OSStatus status =
                object->GetPropertyData(object->GetID(), 0, &address, 0, nullptr, sizeof value, &size, &value);
            // A torn reference names no object at all; comparing it stops the test.
            if (status != 0 || size != sizeof value || value == nullptr
                || !(CFEqual(value, first) || CFEqual(value, second))) {
                failures.fetch_add(1);
            }
        }
    });
    // Until both sides have had many turns (or a second has passed).
    const auto deadline = std::chrono::steady_clock::now() + 1s;
    for (int round = 0; (round < 2000 || reads < 2000) && std::chrono::steady_clock::now() < deadline; ++round) {
        const CFStringRef value = round % 2 == 0 ? second : first;
        object->RegisterCustomProperty(kSelector, Object::StringGetter([value] { return value; }), nullptr);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(failures.load(), 0);
}

} // namespace
