// The object lookup that every host call makes (Dispatcher::FindObject: an object ID to a shared
// reference to the live object), beside the usual ways to build such a registry: a hash map under a
// std::shared_mutex held shared, a std::atomic<std::shared_ptr> to an immutable hash map (copied on
// every change), and a plain hash map with no synchronisation at all, which no registry that
// changes while it is read can be, and which gives the floor. Each lookup finds the same object
// among 32 and copies the shared reference out, and the caller drops it again, as the bridge does.
//
// Read by read, as a latency distribution (p50, p99, p99.9, p99.99, maximum), alone and while
// another thread changes the registry flat out: it adds an object and removes it again (for the
// dispatcher, it creates one and lets it go, which registers, publishes and unregisters it); for
// the plain map it only keeps the other core as busy. Wall-clock time, so that a reader that
// waits is charged for it; two clock reads are in every figure, the floor's included.

#include "ReadLatency.h"

#include "hal/Context.h"
#include "hal/Dispatcher.h"
#include "hal/Object.h"
#include "hal/Tracer.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>
#include <version>

namespace {

using pelio::bench::BackgroundWriter;

class BenchObject : public hal::Object
{
public:
    explicit BenchObject(std::shared_ptr<const hal::Context> context)
        : hal::Object(std::move(context), "BenchObject")
    {
    }
};

constexpr int kRegisteredObjects = 32;
using ObjectMap = std::unordered_map<AudioObjectID, std::shared_ptr<hal::Object>>;

// The objects every registry holds: real framework objects, so that copying a reference to one
// costs the same everywhere. They are registered with the context's dispatcher as well.
struct Objects
{
    std::shared_ptr<const hal::Context> context = std::make_shared<const hal::Context>(
        std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Flat));
    std::vector<std::shared_ptr<hal::Object>> objects;
    std::shared_ptr<hal::Object> extra = hal::MakeObject<BenchObject>(context);

    Objects()
    {
        for (int index = 0; index < kRegisteredObjects; ++index) {
            objects.push_back(hal::MakeObject<BenchObject>(context));
        }
    }

    AudioObjectID Wanted() const { return objects[kRegisteredObjects / 2]->GetID(); }

    ObjectMap MakeMap() const
    {
        ObjectMap map;
        for (const auto& object : objects) {
            map.emplace(object->GetID(), object);
        }
        return map;
    }
};

struct DispatcherLookup : Objects
{
    std::shared_ptr<hal::Object> Read() const { return context->Dispatcher->FindObject(Wanted()); }
    void Write(std::uint64_t /*generation*/)
    {
        const auto created = hal::MakeObject<BenchObject>(context);
        benchmark::DoNotOptimize(created.get());
    }
};

struct SharedMutexLookup : Objects
{
    mutable std::shared_mutex mutex;
    ObjectMap map = MakeMap();

    std::shared_ptr<hal::Object> Read() const
    {
        const std::shared_lock<std::shared_mutex> lock(mutex);
        const auto found = map.find(Wanted());
        return found == map.end() ? nullptr : found->second;
    }
    void Write(std::uint64_t /*generation*/)
    {
        {
            const std::lock_guard<std::shared_mutex> lock(mutex);
            map.emplace(extra->GetID(), extra);
        }
        const std::lock_guard<std::shared_mutex> lock(mutex);
        map.erase(extra->GetID());
    }
};

#if defined(__cpp_lib_atomic_shared_ptr)
struct AtomicSharedPointerLookup : Objects
{
    std::atomic<std::shared_ptr<const ObjectMap>> map{std::make_shared<const ObjectMap>(MakeMap())};

    std::shared_ptr<hal::Object> Read() const
    {
        const std::shared_ptr<const ObjectMap> current = map.load(std::memory_order_acquire);
        const auto found = current->find(Wanted());
        return found == current->end() ? nullptr : found->second;
    }
    void Write(std::uint64_t /*generation*/)
    {
        auto grown = std::make_shared<ObjectMap>(*map.load(std::memory_order_acquire));
        grown->emplace(extra->GetID(), extra);
        map.store(grown, std::memory_order_release);
        auto shrunk = std::make_shared<ObjectMap>(*grown);
        shrunk->erase(extra->GetID());
        map.store(std::move(shrunk), std::memory_order_release);
    }
};
#endif

struct PlainMapLookup : Objects
{
    ObjectMap map = MakeMap();

    std::shared_ptr<hal::Object> Read()
    {
        // A fresh search each time, as the synchronised registries make.
        benchmark::ClobberMemory();
        const auto found = map.find(Wanted());
        return found == map.end() ? nullptr : found->second;
    }
    // Nothing to publish: the floor only needs the other core to be as busy as for the rest.
    void Write(std::uint64_t generation) { benchmark::DoNotOptimize(generation); }
};

template <class Registry>
void BM_LookupLatency(benchmark::State& state)
{
    Registry registry;
    pelio::bench::TimeEachRead(state, [&] { return registry.Read(); });
}

template <class Registry>
void BM_LookupLatencyWhileWriting(benchmark::State& state)
{
    Registry registry;
    BackgroundWriter<Registry> writer(registry);
    pelio::bench::TimeEachRead(state, [&] { return registry.Read(); });
    state.counters["writes"] = benchmark::Counter(static_cast<double>(writer.Stop()), benchmark::Counter::kIsRate);
}

BENCHMARK_TEMPLATE(BM_LookupLatency, PlainMapLookup)->UseRealTime();
BENCHMARK_TEMPLATE(BM_LookupLatency, DispatcherLookup)->UseRealTime();
BENCHMARK_TEMPLATE(BM_LookupLatency, SharedMutexLookup)->UseRealTime();
BENCHMARK_TEMPLATE(BM_LookupLatencyWhileWriting, PlainMapLookup)->UseRealTime();
BENCHMARK_TEMPLATE(BM_LookupLatencyWhileWriting, DispatcherLookup)->UseRealTime();
BENCHMARK_TEMPLATE(BM_LookupLatencyWhileWriting, SharedMutexLookup)->UseRealTime();
#if defined(__cpp_lib_atomic_shared_ptr)
BENCHMARK_TEMPLATE(BM_LookupLatency, AtomicSharedPointerLookup)->UseRealTime();
BENCHMARK_TEMPLATE(BM_LookupLatencyWhileWriting, AtomicSharedPointerLookup)->UseRealTime();
#endif

} // namespace
