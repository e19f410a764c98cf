// Cost of the object lookup that every host call makes, the real-time IO calls included: a hit
// (registry read, weak-to-shared conversion, release) and a miss (registry read only), against the
// floor of a bare weak-to-shared conversion and release. The dispatcher is silent, as in the
// shipped device; the registry holds a few dozen objects, more than a device with its streams and
// controls has.

#include "hal/Context.h"
#include "hal/Dispatcher.h"
#include "hal/Object.h"
#include "hal/Tracer.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

class BenchObject : public hal::Object
{
public:
    explicit BenchObject(std::shared_ptr<const hal::Context> context)
        : hal::Object(std::move(context), "BenchObject")
    {
    }
};

constexpr int kRegisteredObjects = 32;

struct Registry
{
    std::shared_ptr<const hal::Context> context = std::make_shared<const hal::Context>(
        std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Flat));
    std::vector<std::shared_ptr<BenchObject>> objects;

    Registry()
    {
        for (int index = 0; index < kRegisteredObjects; ++index) {
            objects.push_back(hal::MakeObject<BenchObject>(context));
        }
    }
};

void BM_FindObjectHit(benchmark::State& state)
{
    const Registry registry;
    const hal::Dispatcher& dispatcher = *registry.context->Dispatcher;
    const AudioObjectID objectID = registry.objects[kRegisteredObjects / 2]->GetID();
    for (auto _ : state) {
        std::shared_ptr<hal::Object> object = dispatcher.FindObject(objectID);
        benchmark::DoNotOptimize(object.get());
    }
}
BENCHMARK(BM_FindObjectHit);

void BM_FindObjectMiss(benchmark::State& state)
{
    const Registry registry;
    const hal::Dispatcher& dispatcher = *registry.context->Dispatcher;
    const AudioObjectID objectID = 100000; // never registered
    for (auto _ : state) {
        std::shared_ptr<hal::Object> object = dispatcher.FindObject(objectID);
        benchmark::DoNotOptimize(object.get());
    }
}
BENCHMARK(BM_FindObjectMiss);

// What a hit cannot avoid: turning a weak reference into a shared one and letting it go.
void BM_WeakToSharedFloor(benchmark::State& state)
{
    const Registry registry;
    const std::weak_ptr<hal::Object> weak = registry.objects[kRegisteredObjects / 2];
    for (auto _ : state) {
        std::shared_ptr<hal::Object> object = weak.lock();
        benchmark::DoNotOptimize(object.get());
    }
}
BENCHMARK(BM_WeakToSharedFloor);

} // namespace
