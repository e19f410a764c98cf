// The lookup as the IO thread runs it, inside a non-blocking function, while another thread
// creates, publishes and destroys objects. Under RealtimeSanitizer any allocation, blocking lock
// or system call on the lookup path (FindObject, the registry's read side, the weak-to-shared
// conversion and the release of the reference) stops the test.

#include "hal/Context.h"
#include "hal/Dispatcher.h"
#include "hal/Object.h"
#include "hal/RealTime.h"
#include "hal/RealtimeSharedMutex.h"
#include "hal/Tracer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#if defined(__clang__) && defined(__has_warning)
#if __has_warning("-Wfunction-effects")
#pragma clang diagnostic warning "-Wfunction-effects"
#define DISPATCHER_TEST_HAS_FUNCTION_EFFECTS
#endif
#endif

namespace {

using namespace std::chrono_literals;

class PlainObject : public hal::Object
{
public:
    explicit PlainObject(std::shared_ptr<const hal::Context> context)
        : hal::Object(std::move(context), "PlainObject")
    {
    }
};

struct CycleTally
{
    std::uint64_t found = 0;
    std::uint64_t empty = 0;
    std::uint64_t wrongID = 0;
};

#ifdef DISPATCHER_TEST_HAS_FUNCTION_EFFECTS
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wfunction-effects"
#endif
// The compiler cannot tell that dropping `object` here is never the last release: it would then
// run the object's destructor (which frees memory and takes the dispatcher's mutex). The host call
// that looks an object up holds the reference only while the object's owner does; in this test the
// writer drops its references only while it holds the gate that every cycle runs under.
bool LookUp(const hal::Dispatcher& dispatcher, AudioObjectID objectID, CycleTally& tally) noexcept HAL_NONBLOCKING
{
    const std::shared_ptr<hal::Object> object = dispatcher.FindObject(objectID);
    if (object == nullptr) {
        ++tally.empty;
        return false;
    }
    ++tally.found;
    tally.wrongID += object->GetID() != objectID;
    return true;
}
#ifdef DISPATCHER_TEST_HAS_FUNCTION_EFFECTS
#pragma clang diagnostic pop
#endif

// One IO cycle's worth of lookups: the stable object (always there), the IDs that the writer
// cycles through (there, being built, dying or gone) and IDs that were never registered.
bool RunCycle(const hal::Dispatcher& dispatcher, AudioObjectID stableID, CycleTally& tally) noexcept HAL_NONBLOCKING
{
    bool stableFound = LookUp(dispatcher, stableID, tally);
    for (AudioObjectID objectID = 0; objectID <= 24; ++objectID) {
        if (objectID != stableID) {
            LookUp(dispatcher, objectID, tally);
        }
    }
    LookUp(dispatcher, 4000000000u, tally);
    return stableFound;
}

class DispatcherRealtimeTest : public ::testing::TestWithParam<bool>
{
};

TEST_P(DispatcherRealtimeTest, LookupsOnTheIOThreadNeitherAllocateNorBlockWhileObjectsComeAndGo)
{
    // Without a tracer, as the shipped device's dispatcher; or with a disabled one, which the
    // not-found paths reach but which returns before formatting anything.
    const bool withDisabledTracer = GetParam();
    const auto dispatcherTracer = withDisabledTracer
        ? std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Flat)
        : nullptr;
    const auto context = std::make_shared<const hal::Context>(
        std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Flat),
        std::make_shared<hal::Dispatcher>(dispatcherTracer, 16));
    const hal::Dispatcher& dispatcher = *context->Dispatcher;
    const auto stable = hal::MakeObject<PlainObject>(context);

    hal::RealtimeSharedMutex gate;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::deque<std::shared_ptr<PlainObject>> live;
        for (unsigned round = 0; !stop.load(std::memory_order_relaxed); ++round) {
            live.push_back(hal::MakeObject<PlainObject>(context));
            if (live.size() > 1 + round % 3) {
                const std::lock_guard<hal::RealtimeSharedMutex> exclusive(gate);
                live.pop_front();
            }
        }
        const std::lock_guard<hal::RealtimeSharedMutex> exclusive(gate);
        live.clear();
    });

    CycleTally tally;
    std::uint64_t cycles = 0;
    std::uint64_t stableMissed = 0;
    const auto deadline = std::chrono::steady_clock::now() + 300ms;
    while (std::chrono::steady_clock::now() < deadline) {
        if (gate.try_lock_shared()) {
            stableMissed += !RunCycle(dispatcher, stable->GetID(), tally);
            gate.unlock_shared();
            ++cycles;
        }
    }
    stop = true;
    writer.join();

    EXPECT_GT(cycles, 0u);
    EXPECT_EQ(stableMissed, 0u);
    EXPECT_EQ(tally.wrongID, 0u);
    EXPECT_GT(tally.found, cycles); // more than the stable object alone
    EXPECT_GT(tally.empty, 0u);
}

INSTANTIATE_TEST_SUITE_P(Tracers, DispatcherRealtimeTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "DisabledTracer" : "NoTracer";
                         });

} // namespace
