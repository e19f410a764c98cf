#include "hal/Context.h"
#include "hal/Dispatcher.h"
#include "hal/Object.h"
#include "hal/Tracer.h"

#include "CapturingTracer.h"
#include "DispatcherInspector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using hal::DispatcherInspector;
using pelio::test::CapturingTracer;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;

using AllocatorState = DispatcherInspector::AllocatorState;

constexpr std::uint64_t kFullWord = ~std::uint64_t{0};

// The smallest object there is, with a hook into its constructor and its destructor: the two
// moments when it is registered but must not be handed out.
class ProbeObject : public hal::Object
{
public:
    using Hook = std::function<void(ProbeObject&)>;

    explicit ProbeObject(std::shared_ptr<const hal::Context> context,
                         AudioObjectID objectID = kAudioObjectUnknown, Hook onConstructed = {},
                         Hook onDestroying = {})
        : hal::Object(std::move(context), "ProbeObject", objectID)
        , mOnDestroying(std::move(onDestroying))
    {
        if (onConstructed) {
            onConstructed(*this);
        }
    }

    ~ProbeObject() override
    {
        if (mOnDestroying) {
            mOnDestroying(*this);
        }
    }

private:
    Hook mOnDestroying;
};

std::shared_ptr<CapturingTracer> MakeCapturingTracer()
{
    return std::make_shared<CapturingTracer>(hal::Tracer::Mode::Stderr, hal::Tracer::Style::Flat);
}

// The IDs whose bits are set, and as many counted.
AllocatorState WithAllocated(AudioObjectID desiredMaximumID, AudioObjectID lastID,
                             const std::vector<AudioObjectID>& allocated)
{
    AllocatorState state;
    state.desiredMaximumID = desiredMaximumID;
    state.lastID = lastID;
    for (const AudioObjectID objectID : allocated) {
        if (state.bitset.size() <= objectID / 64) {
            state.bitset.resize(objectID / 64 + 1, 0);
        }
        state.bitset[objectID / 64] |= std::uint64_t{1} << (objectID % 64);
    }
    state.allocatedCount = allocated.size();
    return state;
}

std::vector<AudioObjectID> Range(AudioObjectID first, AudioObjectID last, std::vector<AudioObjectID> except = {})
{
    std::vector<AudioObjectID> ids;
    for (AudioObjectID objectID = first; objectID <= last; ++objectID) {
        if (std::find(except.begin(), except.end(), objectID) == except.end()) {
            ids.push_back(objectID);
        }
    }
    return ids;
}

bool IsBitSet(const AllocatorState& state, AudioObjectID objectID)
{
    return objectID / 64 < state.bitset.size()
        && (state.bitset[objectID / 64] & (std::uint64_t{1} << (objectID % 64))) != 0;
}

// ---- Allocation --------------------------------------------------------------------------------

struct AllocationScenario
{
    const char* name;
    AllocatorState start;
    std::vector<AudioObjectID> expectedIDs;
    AudioObjectID expectedDesiredMaximumID;
    std::vector<std::string> expectedMessages; // must appear among the lines, in this order
};

std::vector<AllocationScenario> AllocationScenarios()
{
    return {
        {"fresh dispatcher hands out 2 upwards, never 0 or 1",
         WithAllocated(1000, 0, {}),
         {2, 3, 4, 5},
         1000,
         {"candidate nextID=1 isFree=0 desiredMaximumID=1000",
          "selected id after bitset startID=2 selectedID=2", "allocated objectID=2 numAllocated=1",
          "candidate nextID=3 isFree=1 desiredMaximumID=1000", "allocated objectID=3 numAllocated=2"}},
        {"freed IDs are not reused below the desired maximum",
         WithAllocated(1000, 10, Range(2, 10, {3, 5})),
         {11, 12},
         1000,
         {"candidate nextID=11 isFree=1 desiredMaximumID=1000", "allocated objectID=11 numAllocated=8"}},
        {"a taken next ID moves on to the next free one after it",
         WithAllocated(1000, 5, Range(2, 6)),
         {7, 8},
         1000,
         {"candidate nextID=6 isFree=0 desiredMaximumID=1000",
          "selected id inside bitset startID=7 selectedID=7"}},
        {"at the maximum with fewer than half in use, the lowest free ID is reused",
         WithAllocated(1000, 999, Range(601, 999, {})),
         {2, 3, 4},
         1000,
         {"candidate nextID=1000 isFree=1 desiredMaximumID=1000",
          "selected id inside bitset startID=0 selectedID=2", "allocated objectID=2 numAllocated=400"}},
        {"reuse skips the IDs still taken among the low ones",
         WithAllocated(1000, 999, [] {
             auto ids = Range(601, 999);
             ids.push_back(3);
             return ids;
         }()),
         {2, 4, 5},
         1000,
         {"selected id inside bitset startID=0 selectedID=2",
          "candidate nextID=3 isFree=0 desiredMaximumID=1000",
          "selected id inside bitset startID=4 selectedID=4"}},
        {"exactly half in use still reuses instead of growing",
         WithAllocated(1000, 999, Range(500, 999)),
         {2},
         1000,
         {"candidate nextID=1000 isFree=1 desiredMaximumID=1000"}},
        {"more than half in use doubles the desired maximum",
         WithAllocated(1000, 999, Range(498, 999)),
         {1000, 1001},
         2000,
         {"increasing desired maximum from 1000 to 2000",
          "candidate nextID=1000 isFree=1 desiredMaximumID=2000",
          "allocated objectID=1000 numAllocated=503"}},
        {"a desired maximum of 2^31 is never doubled",
         [] {
             auto state = WithAllocated(2147483648u, 2147483647u, {2, 3});
             state.allocatedCount = 2000000000u;
             return state;
         }(),
         {4},
         2147483648u,
         {"candidate nextID=2147483648 isFree=1 desiredMaximumID=2147483648",
          "selected id inside bitset startID=0 selectedID=4"}},
        {"nor is one above 2^31",
         [] {
             auto state = WithAllocated(4000000000u, 3999999999u, {2, 3});
             state.allocatedCount = 3999999000u;
             return state;
         }(),
         {4},
         4000000000u,
         {"candidate nextID=4000000000 isFree=1 desiredMaximumID=4000000000"}},
        {"the last ID wraps to 0, which is reserved, and the search starts at 1",
         WithAllocated(1000, 4294967295u, {2, 3}),
         {4, 5},
         1000,
         {"candidate nextID=0 isFree=0 desiredMaximumID=1000",
          "selected id inside bitset startID=1 selectedID=4"}},
        {"an ID past the bitset is free and grows the bitset",
         WithAllocated(1000, 63, Range(2, 63)),
         {64, 65},
         1000,
         {"candidate nextID=64 isFree=1 desiredMaximumID=1000", "allocated objectID=64 numAllocated=63"}},
    };
}

TEST(DispatcherAllocationTest, ScenariosAllocateTheExpectedIDs)
{
    for (const AllocationScenario& scenario : AllocationScenarios()) {
        SCOPED_TRACE(scenario.name);
        const auto tracer = MakeCapturingTracer();
        hal::Dispatcher dispatcher(tracer, 1000);
        DispatcherInspector::SetAllocatorState(dispatcher, scenario.start);

        std::vector<AudioObjectID> allocated;
        for (std::size_t index = 0; index < scenario.expectedIDs.size(); ++index) {
            allocated.push_back(DispatcherInspector::AllocateID(dispatcher));
        }

        EXPECT_EQ(allocated, scenario.expectedIDs);
        const AllocatorState end = DispatcherInspector::GetAllocatorState(dispatcher);
        EXPECT_EQ(end.desiredMaximumID, scenario.expectedDesiredMaximumID);
        EXPECT_EQ(end.lastID, allocated.back());
        EXPECT_EQ(end.allocatedCount, scenario.start.allocatedCount + allocated.size());
        for (const AudioObjectID objectID : allocated) {
            EXPECT_TRUE(IsBitSet(end, objectID)) << objectID;
        }
        EXPECT_FALSE(IsBitSet(end, 0));
        EXPECT_FALSE(IsBitSet(end, 1));

        const std::vector<std::string> lines = tracer->GetLines();
        auto searchFrom = lines.begin();
        for (const std::string& message : scenario.expectedMessages) {
            searchFrom = std::find(searchFrom, lines.end(), message);
            EXPECT_TRUE(searchFrom != lines.end()) << "missing or out of order: " << message;
        }
    }
}

TEST(DispatcherAllocationTest, BitsetGrowsByWholeWordsUpToTheAllocatedID)
{
    hal::Dispatcher dispatcher(nullptr, 1000);
    DispatcherInspector::SetAllocatorState(dispatcher, WithAllocated(1000, 199, {}));

    EXPECT_EQ(DispatcherInspector::AllocateID(dispatcher), 200u);

    // ID 200 lives in word 3: exactly words 0 to 3 exist.
    const AllocatorState state = DispatcherInspector::GetAllocatorState(dispatcher);
    EXPECT_THAT(state.bitset, ElementsAre(0u, 0u, 0u, std::uint64_t{1} << (200 % 64)));
}

struct FreeIDSearch
{
    const char* name;
    std::vector<std::uint64_t> bitset;
    AudioObjectID startID;
    AudioObjectID expectedID;
    const char* expectedMessage;
};

TEST(DispatcherAllocationTest, FindFreeIDSearchesWordsFromTheStartAndWrapsAround)
{
    const std::vector<FreeIDSearch> searches = {
        {"empty bitset: first non-reserved ID after it", {}, 0, 2,
         "selected id after bitset startID=0 selectedID=2"},
        {"reserved IDs inside the bitset are skipped", {0}, 0, 2,
         "selected id inside bitset startID=0 selectedID=2"},
        {"from startID upwards inside the start word", {0x3FF | (std::uint64_t{1} << 20)}, 15, 15,
         "selected id inside bitset startID=15 selectedID=15"},
        {"a taken startID gives the next free bit", {0x3FF | (std::uint64_t{1} << 20)}, 20, 21,
         "selected id inside bitset startID=20 selectedID=21"},
        {"full words are skipped into the next word", {0xF, kFullWord, 0}, 70, 128,
         "selected id inside bitset startID=70 selectedID=128"},
        {"after the last word the search wraps to word 0", {0xF, kFullWord, kFullWord}, 70, 4,
         "selected id inside bitset startID=70 selectedID=4"},
        {"the start word comes round again for the IDs below startID",
         {kFullWord, kFullWord & ~(std::uint64_t{1} << 1)}, 100, 65,
         "selected id inside bitset startID=100 selectedID=65"},
        {"a startID past the bitset skips its word once, then wraps", {0xF}, 1000, 4,
         "selected id inside bitset startID=1000 selectedID=4"},
        {"all words full: the first ID after the bitset", {kFullWord, kFullWord}, 5, 128,
         "selected id after bitset startID=5 selectedID=128"},
    };

    for (const FreeIDSearch& search : searches) {
        SCOPED_TRACE(search.name);
        const auto tracer = MakeCapturingTracer();
        hal::Dispatcher dispatcher(tracer, 1000);
        AllocatorState state;
        state.bitset = search.bitset;
        state.desiredMaximumID = 1000;
        DispatcherInspector::SetAllocatorState(dispatcher, state);

        EXPECT_EQ(DispatcherInspector::FindFreeID(dispatcher, search.startID), search.expectedID);
        EXPECT_THAT(tracer->GetLines(), ElementsAre(search.expectedMessage));
    }
}

TEST(DispatcherAllocationTest, FreeingCountsOnlyWhatAllocationCounted)
{
    const auto tracer = MakeCapturingTracer();
    hal::Dispatcher dispatcher(tracer, 1000);
    DispatcherInspector::SetAllocatorState(dispatcher, WithAllocated(1000, 3, {2, 3}));

    DispatcherInspector::FreeID(dispatcher, 3);
    // ID 1 is registered explicitly, never allocated: freeing it must not wrap the count.
    DispatcherInspector::FreeID(dispatcher, 1);

    EXPECT_EQ(DispatcherInspector::GetAllocatorState(dispatcher).allocatedCount, 1u);
    EXPECT_THAT(tracer->GetLines(),
                ElementsAre("freed objectID=3 numAllocated=1", "freed objectID=1 numAllocated=1"));
}

// An explicitly registered ID was never allocated: freeing it must not grow the bitset to cover
// it (one object with ID 0xFFFFFFF0 would take 512 MiB of zero words).
TEST(DispatcherAllocationTest, FreeingAnIDBeyondTheBitsetGrowsNothing)
{
    hal::Dispatcher dispatcher(nullptr, 1000);
    DispatcherInspector::SetAllocatorState(dispatcher, WithAllocated(1000, 3, {2, 3}));

    for (const AudioObjectID objectID : {64u, 1000u, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
        DispatcherInspector::FreeID(dispatcher, objectID);
        const AllocatorState state = DispatcherInspector::GetAllocatorState(dispatcher);
        EXPECT_EQ(state.bitset.size(), 1u) << objectID;
        EXPECT_EQ(state.allocatedCount, 2u) << objectID;
    }
    // IDs inside the bitset are still freed.
    DispatcherInspector::FreeID(dispatcher, 3);
    EXPECT_EQ(DispatcherInspector::GetAllocatorState(dispatcher).allocatedCount, 1u);
    EXPECT_EQ(DispatcherInspector::AllocateID(dispatcher), 4u);
}

// ---- Registration and lookup -------------------------------------------------------------------

class DispatcherTest : public ::testing::Test
{
protected:
    std::shared_ptr<CapturingTracer> mTracer = MakeCapturingTracer();
    std::shared_ptr<hal::Dispatcher> mDispatcher = std::make_shared<hal::Dispatcher>(mTracer, 1000);
    // The objects' own lines go to a silent tracer, so that mTracer holds the dispatcher's alone.
    std::shared_ptr<const hal::Context> mContext = std::make_shared<hal::Context>(
        std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Flat), mDispatcher);

    std::shared_ptr<ProbeObject> Make(AudioObjectID objectID = kAudioObjectUnknown,
                                      ProbeObject::Hook onConstructed = {},
                                      ProbeObject::Hook onDestroying = {})
    {
        return hal::MakeObject<ProbeObject>(mContext, objectID, std::move(onConstructed),
                                            std::move(onDestroying));
    }

    std::vector<std::string> TakeLines()
    {
        std::vector<std::string> lines = mTracer->GetLines();
        mTracer->ClearLines();
        return lines;
    }
};

TEST_F(DispatcherTest, RegistrationAllocatesTracesAndMakesTheObjectFindable)
{
    const auto object = Make();

    EXPECT_EQ(object->GetID(), 2u);
    EXPECT_THAT(TakeLines(), ElementsAre("Dispatcher::RegisterObject() begin objectID=0",
                                         "candidate nextID=1 isFree=0 desiredMaximumID=1000",
                                         "selected id after bitset startID=2 selectedID=2",
                                         "allocated objectID=2 numAllocated=1", "registered objectID=2",
                                         "Dispatcher::RegisterObject() end status=OK"));

    EXPECT_EQ(mDispatcher->FindObject(2), object);
    EXPECT_THAT(TakeLines(), IsEmpty());
}

TEST_F(DispatcherTest, UnregistrationTracesFreesTheIDAndTheIDIsNotReusedAtOnce)
{
    auto object = Make();
    TakeLines();

    object.reset();

    EXPECT_THAT(TakeLines(), ElementsAre("Dispatcher::UnregisterObject() begin objectID=2",
                                         "freed objectID=2 numAllocated=0", "unregistered objectID=2",
                                         "Dispatcher::UnregisterObject() end status=OK"));
    EXPECT_EQ(mDispatcher->FindObject(2), nullptr);
    EXPECT_THAT(TakeLines(), ElementsAre("Dispatcher::FindObject() objectID=2 not registered"));
    EXPECT_EQ(Make()->GetID(), 3u);
}

TEST_F(DispatcherTest, LookupsOfIDsThatNameNoObjectAreEmpty)
{
    const auto object = Make();
    TakeLines();

    for (const AudioObjectID objectID : {0u, 1u, 3u, 4294967295u}) {
        EXPECT_EQ(mDispatcher->FindObject(objectID), nullptr) << objectID;
    }
    EXPECT_THAT(TakeLines(), ElementsAre("Dispatcher::FindObject() objectID=0 not registered",
                                         "Dispatcher::FindObject() objectID=1 not registered",
                                         "Dispatcher::FindObject() objectID=3 not registered",
                                         "Dispatcher::FindObject() objectID=4294967295 not registered"));
}

TEST_F(DispatcherTest, ThePlugInIDIsRegisteredWithoutTouchingTheAllocator)
{
    auto plugIn = Make(kAudioObjectPlugInObject);

    EXPECT_EQ(plugIn->GetID(), kAudioObjectPlugInObject);
    EXPECT_EQ(mDispatcher->FindObject(kAudioObjectPlugInObject), plugIn);
    const AllocatorState state = DispatcherInspector::GetAllocatorState(*mDispatcher);
    EXPECT_THAT(state.bitset, IsEmpty());
    EXPECT_EQ(state.allocatedCount, 0u);
    EXPECT_EQ(state.lastID, 0u);
    EXPECT_THAT(TakeLines(), ElementsAre("Dispatcher::RegisterObject() begin objectID=1",
                                         "registered objectID=1",
                                         "Dispatcher::RegisterObject() end status=OK"));

    EXPECT_EQ(Make()->GetID(), 2u);
    TakeLines();

    plugIn.reset();
    EXPECT_THAT(TakeLines(), Contains("freed objectID=1 numAllocated=0"));

    // Nor does an explicit ID far beyond every allocated one, registered or freed.
    Make(0xFFFFFFF0u).reset();
    EXPECT_EQ(DispatcherInspector::GetAllocatorState(*mDispatcher).bitset.size(), 1u);
}

TEST_F(DispatcherTest, AnIDThatIsAlreadyRegisteredIsRefusedAndTheFirstObjectStays)
{
    const auto first = Make();
    TakeLines();

    auto second = Make(first->GetID());

    EXPECT_EQ(second->GetID(), kAudioObjectUnknown);
    EXPECT_THAT(TakeLines(), ElementsAre("Dispatcher::RegisterObject() begin objectID=2",
                                         "objectID=2 already registered",
                                         "Dispatcher::RegisterObject() end status=OK",
                                         // Publishing the refused object under 0 finds nothing.
                                         "kAudioObjectUnknown not registered"));
    EXPECT_EQ(mDispatcher->FindObject(2), first);

    // The refused object's destruction unregisters 0, which leaves the first one alone.
    second.reset();
    EXPECT_THAT(TakeLines(), ElementsAre("Dispatcher::UnregisterObject() begin objectID=0",
                                         "kAudioObjectUnknown not registered",
                                         "Dispatcher::UnregisterObject() end status=OK"));
    EXPECT_EQ(mDispatcher->FindObject(2), first);
}

TEST_F(DispatcherTest, AnAllocatedIDThatIsAlreadyRegisteredStaysAllocated)
{
    // 3 is taken explicitly, so allocation does not know it; the second allocation returns it.
    const auto explicitThree = Make(3);
    const auto two = Make();
    const auto refused = Make();
    const auto four = Make();

    EXPECT_EQ(two->GetID(), 2u);
    EXPECT_EQ(refused->GetID(), kAudioObjectUnknown);
    EXPECT_EQ(four->GetID(), 4u);
    EXPECT_EQ(mDispatcher->FindObject(3), explicitThree);
    EXPECT_THAT(TakeLines(), Contains("objectID=3 already registered"));
}

TEST_F(DispatcherTest, UnregisteringNothingChangesNothing)
{
    const auto object = Make();
    const AllocatorState before = DispatcherInspector::GetAllocatorState(*mDispatcher);
    TakeLines();

    mDispatcher->UnregisterObject(kAudioObjectUnknown);
    mDispatcher->UnregisterObject(42);

    EXPECT_THAT(TakeLines(), ElementsAre("Dispatcher::UnregisterObject() begin objectID=0",
                                         "kAudioObjectUnknown not registered",
                                         "Dispatcher::UnregisterObject() end status=OK",
                                         "Dispatcher::UnregisterObject() begin objectID=42",
                                         "objectID=42 not registered",
                                         "Dispatcher::UnregisterObject() end status=OK"));
    const AllocatorState after = DispatcherInspector::GetAllocatorState(*mDispatcher);
    EXPECT_EQ(after.bitset, before.bitset);
    EXPECT_EQ(after.allocatedCount, before.allocatedCount);
    EXPECT_EQ(mDispatcher->FindObject(2), object);
}

TEST_F(DispatcherTest, LookupsWhileTheObjectIsNotOwnedAnswerIsDying)
{
    std::vector<bool> foundFromInside;
    const ProbeObject::Hook lookUpSelf = [&](ProbeObject& self) {
        foundFromInside.push_back(self.GetContext()->Dispatcher->FindObject(self.GetID()) != nullptr);
    };

    auto object = Make(kAudioObjectUnknown, lookUpSelf, lookUpSelf);
    const bool foundOnceOwned = mDispatcher->FindObject(2) != nullptr;
    TakeLines();
    object.reset();

    // Inside the constructor no shared reference owns it yet; inside the destructor none does
    // any more. Only in between is it handed out.
    EXPECT_TRUE(foundOnceOwned);
    EXPECT_THAT(foundFromInside, ElementsAre(false, false));
    EXPECT_THAT(TakeLines(), Contains("Dispatcher::FindObject() objectID=2 is dying"));
}

TEST_F(DispatcherTest, AnObjectThatWasNeverPublishedIsNeverFound)
{
    // Built without MakeObject: registered, but no shared reference was ever handed over.
    const auto unpublished = std::shared_ptr<ProbeObject>(new ProbeObject(mContext));
    TakeLines();

    EXPECT_EQ(mDispatcher->FindObject(unpublished->GetID()), nullptr);
    EXPECT_THAT(TakeLines(), ElementsAre("Dispatcher::FindObject() objectID=2 is dying"));
}

TEST_F(DispatcherTest, AnUntracedLookupPrintsNothingForAnEmptyAnswer)
{
    const auto object = Make();
    const auto unpublished = std::shared_ptr<ProbeObject>(new ProbeObject(mContext));
    TakeLines();

    EXPECT_EQ(mDispatcher->FindObject(object->GetID(), false), object);
    EXPECT_EQ(mDispatcher->FindObject(99, false), nullptr);
    EXPECT_EQ(mDispatcher->FindObject(unpublished->GetID(), false), nullptr);

    EXPECT_THAT(TakeLines(), IsEmpty());
}

TEST_F(DispatcherTest, PublishingRefusesIDsThatDoNotNameTheObject)
{
    const auto two = Make();
    const auto three = Make();
    TakeLines();

    mDispatcher->PublishObject(2, three);
    mDispatcher->PublishObject(77, three);
    mDispatcher->PublishObject(2, nullptr);

    EXPECT_THAT(TakeLines(), ElementsAre("objectID=2 registered to another object",
                                         "objectID=77 not registered",
                                         "objectID=2 registered to another object"));
    EXPECT_EQ(mDispatcher->FindObject(2), two);
    EXPECT_EQ(mDispatcher->FindObject(3), three);
}

// ---- Context -----------------------------------------------------------------------------------

TEST(ContextTest, DefaultsAreASilentDispatcherAndASystemLogTracer)
{
    const hal::Context context;

    ASSERT_NE(context.Dispatcher, nullptr);
    ASSERT_NE(context.Tracer, nullptr);
    EXPECT_EQ(context.Tracer->GetMode(), hal::Tracer::Mode::Syslog);
    EXPECT_EQ(context.Tracer->GetStyle(), hal::Tracer::Style::Hierarchical);
    EXPECT_EQ(context.Host.load(), nullptr);
}

TEST(ContextTest, GivenPartsAreUsed)
{
    const auto tracer = MakeCapturingTracer();
    const auto dispatcher = std::make_shared<hal::Dispatcher>(nullptr, 1000);

    const hal::Context context(tracer, dispatcher);

    EXPECT_EQ(context.Tracer, tracer);
    EXPECT_EQ(context.Dispatcher, dispatcher);
}

TEST(ContextTest, ADispatcherBuiltForATracerAloneStaysSilent)
{
    const auto tracer = MakeCapturingTracer();
    const auto context = std::make_shared<const hal::Context>(tracer);

    auto object = hal::MakeObject<ProbeObject>(context);
    const bool found = context->Dispatcher->FindObject(object->GetID()) != nullptr;
    EXPECT_EQ(context->Dispatcher->FindObject(99), nullptr);
    object.reset();

    EXPECT_TRUE(found);
    // The object's own lines reach the tracer; nothing of the dispatcher's does.
    EXPECT_THAT(tracer->GetLines(), Not(IsEmpty()));
    for (const std::string& line : tracer->GetLines()) {
        EXPECT_THAT(line, Not(HasSubstr("Dispatcher::")));
        EXPECT_THAT(line, Not(HasSubstr("objectID=2 numAllocated")));
        EXPECT_THAT(line, Not(HasSubstr("registered objectID")));
    }
}

} // namespace
