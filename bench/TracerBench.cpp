// What tracing costs the real-time IO path when it is switched off: one traced IO operation
// (begin, a message, end) on a disabled tracer, against an empty loop as the floor.

#include "hal/Tracer.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

double Maximum(const std::vector<double>& values) { return *std::max_element(values.begin(), values.end()); }

// The floor: the loop and the pointer reload that the traced loop also pays.
void BM_EmptyLoop(benchmark::State& state) {
    const auto tracer = std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Hierarchical);
    for (auto _ : state) {
        hal::Tracer* current = tracer.get();
        benchmark::DoNotOptimize(current);
    }
}
BENCHMARK(BM_EmptyLoop)->ComputeStatistics("max", Maximum);

// The tracer is reached as the objects reach it, through a shared pointer; DoNotOptimize makes
// the compiler reload the pointer and the mode on every iteration instead of hoisting the check.
void BM_DisabledTracerOperation(benchmark::State& state) {
    const auto tracer = std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Hierarchical);
    hal::Tracer::Operation operation;
    operation.Name = "Device::DoIOOperation()";
    operation.Flags = hal::Tracer::Operation::Realtime;
    operation.ObjectID = 2;
    UInt32 frames = 512;
    for (auto _ : state) {
        hal::Tracer* current = tracer.get();
        benchmark::DoNotOptimize(current);
        current->OperationBegin(operation);
        current->Message("cycle of %u frames", frames);
        current->OperationEnd(operation, 0);
    }
    benchmark::DoNotOptimize(frames);
}
BENCHMARK(BM_DisabledTracerOperation)->ComputeStatistics("max", Maximum);

}  // namespace
