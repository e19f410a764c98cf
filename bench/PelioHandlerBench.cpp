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

#include "PelioHandler.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace pelio {

struct PelioHandlerInspector
{
    // Frees every queued slot without copying anything out. Only while no sender thread runs.
    static void EmptyRing(PelioHandler& handler)
    {
        handler.mReadIndex.value.store(handler.mWriteIndex.value.load(std::memory_order_relaxed),
                                       std::memory_order_release);
    }
};

} // namespace pelio

namespace {

using pelio::PelioHandler;

constexpr UInt32 kCycleBytes = 512 * PelioHandler::kBytesPerFrame;

std::vector<std::byte> MakeMix()
{
    std::vector<std::byte> mix(kCycleBytes);
    for (std::size_t index = 0; index < mix.size(); ++index) {
        mix[index] = static_cast<std::byte>(index * 7);
    }
    return mix;
}

struct Handler
{
    // Never started: nothing is sent, and nothing but this thread touches the ring.
    std::shared_ptr<PelioHandler> handler = std::make_shared<PelioHandler>();
    std::shared_ptr<hal::Stream> stream;

    void Write(const std::byte* mix) { handler->OnWriteMixedOutput(stream, 0.0, 0.0, mix, kCycleBytes); }
    void EndBatch() { pelio::PelioHandlerInspector::EmptyRing(*handler); }
};

template <std::size_t SlotCount>
struct Floor
{
    struct alignas(PelioHandler::kCacheLineBytes) Slot
    {
        std::array<std::byte, PelioHandler::kMaxDatagramBytes> bytes;
        std::uint64_t length;
    };

    std::unique_ptr<std::array<Slot, SlotCount>> slots = std::make_unique<std::array<Slot, SlotCount>>();
    std::size_t next = 0;
    std::uint32_t sequence = 0;

    void Write(const std::byte* mix)
    {
        Slot& slot = (*slots)[next++ % SlotCount];
        const std::uint32_t number = sequence++;
        const std::uint32_t sampleRate = PelioHandler::kSampleRate;
        const std::uint16_t channelCount = PelioHandler::kChannelCount;
        const std::uint16_t frameCount = 512;
        std::memcpy(slot.bytes.data(), "PELO", 4);
        std::memcpy(slot.bytes.data() + 4, &number, 4);
        std::memcpy(slot.bytes.data() + 8, &sampleRate, 4);
        std::memcpy(slot.bytes.data() + 12, &channelCount, 2);
        std::memcpy(slot.bytes.data() + 14, &frameCount, 2);
        std::memcpy(slot.bytes.data() + PelioHandler::kHeaderBytes, mix, kCycleBytes);
        slot.length = PelioHandler::kHeaderBytes + kCycleBytes;
        // The handler's stores happen behind a call the compiler cannot see into; these must
        // not be merged across calls or dropped either.
        benchmark::ClobberMemory();
    }
    void EndBatch() {}
};

double Percentile(const std::vector<double>& sorted, double fraction)
{
    return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(sorted.size())))];
}

template <class Target>
void BM_WriteMixedOutput512Frames(benchmark::State& state)
{
    constexpr std::size_t kBatch = PelioHandler::kRingSlots;
    Target target;
    const std::vector<std::byte> mix = MakeMix();
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

    std::sort(perCall.begin(), perCall.end());
    double sum = 0.0;
    for (const double nanoseconds : perCall) {
        sum += nanoseconds;
    }
    state.counters["mean_ns"] = sum / static_cast<double>(perCall.size());
    state.counters["p50_ns"] = Percentile(perCall, 0.50);
    state.counters["p99_ns"] = Percentile(perCall, 0.99);
    state.counters["max_ns"] = perCall.back();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBatch * kCycleBytes));
}

BENCHMARK_TEMPLATE(BM_WriteMixedOutput512Frames, Floor<1>)->UseManualTime();
BENCHMARK_TEMPLATE(BM_WriteMixedOutput512Frames, Floor<PelioHandler::kRingSlots>)->UseManualTime();
BENCHMARK_TEMPLATE(BM_WriteMixedOutput512Frames, Handler)->UseManualTime();

} // namespace
