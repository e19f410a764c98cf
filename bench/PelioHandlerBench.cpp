// Cost of handing one IO cycle of mixed output (512 stereo frames, 4096 bytes) to the Pelio
// handler, as the IO thread does with OnWriteMixedOutput, beside its floor: one 4096-byte copy
// and a 16-byte header written as plain code into a slot of the same size and alignment.
//
// Arrangement. No sender thread runs, so no other core reads or writes the ring while it is
// timed. Each iteration times 16 calls in a row (one ring's worth); between iterations, outside
// the timed span, the ring is emptied the way a sender frees slots (the read index is moved up to
// the write index), so that every timed call takes the path that queues its packet rather than
// the one that drops it. The floor writes its 16 packets into 16 slots in turn, as the ring
// does, so both touch the same memory; a second floor writes every packet into one slot, which
// shows what cycling through the ring's 124 KB costs by itself. The mixed buffer is the same for
// every call, warm in the cache, as a host's mix buffer is.
//
// Figures per call: the mean, and the median, 99th percentile and maximum of the 16-call spans
// divided by 16 (two clock reads per span, about 2% of one).

#include "PacketRing.h"
#include "PelioHandler.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

using pelio::PelioHandler;
using pelio::bench::kCycleBytes;

struct Handler
{
    // Never started: nothing is sent, and nothing but this thread touches the ring.
    std::shared_ptr<PelioHandler> handler = std::make_shared<PelioHandler>();
    std::shared_ptr<hal::Stream> stream;

    void Write(const void* mix) { handler->OnWriteMixedOutput(stream, 0.0, 0.0, mix, kCycleBytes); }
    void EndBatch() { pelio::PelioHandlerInspector::EmptyRing(*handler); }
};

template <std::size_t SlotCount>
struct Floor : pelio::bench::PacketFloor<SlotCount>
{
    void EndBatch() {}
};

template <class Target>
void BM_WriteMixedOutput512Frames(benchmark::State& state)
{
    constexpr std::size_t kBatch = PelioHandler::kRingSlots;
    Target target;
    const std::vector<Float32> mix = pelio::bench::MakeMix();
    std::vector<double> perCall;
    perCall.reserve(static_cast<std::size_t>(state.max_iterations));

    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t call = 0; call < kBatch; ++call) {
            target.Write(mix.data());
        }
        const auto end = std::chrono::steady_clock::now();
        const std::chrono::duration<double> span = end - start;
        state.SetIterationTime(span.count());
        perCall.push_back(std::chrono::duration<double, std::nano>(span).count() / kBatch);
        target.EndBatch();
    }

    pelio::bench::ReportPerCall(state, perCall);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBatch * kCycleBytes));
}

BENCHMARK_TEMPLATE(BM_WriteMixedOutput512Frames, Floor<1>)->UseManualTime();
BENCHMARK_TEMPLATE(BM_WriteMixedOutput512Frames, Floor<PelioHandler::kRingSlots>)->UseManualTime();
BENCHMARK_TEMPLATE(BM_WriteMixedOutput512Frames, Handler)->UseManualTime();

} // namespace
