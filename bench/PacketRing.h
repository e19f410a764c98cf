#pragma once

// What the benchmarks of the Pelio handler's ring share: a way to free the ring's slots between
// timed spans (as a sender does, without sending), the floor of the same memory work written as
// plain code, a mixed buffer, and per-call percentiles of timed spans.

#include "PelioHandler.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
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

namespace pelio::bench {

inline constexpr UInt32 kCycleFrames = 512;
inline constexpr UInt32 kCycleBytes = kCycleFrames * PelioHandler::kBytesPerFrame;

// One cycle of mixed output, the same bytes every time, as a host's mix buffer is.
inline std::vector<Float32> MakeMix()
{
    std::vector<Float32> mix(kCycleFrames * PelioHandler::kChannelCount);
    for (std::size_t index = 0; index < mix.size(); ++index) {
        mix[index] = static_cast<Float32>(index % 200) / 100.0f - 1.0f;
    }
    return mix;
}

// The handler's memory work as plain code: a 16-byte header and one copy of the mix into the next
// of `SlotCount` slots of the ring's size and alignment.
template <std::size_t SlotCount>
struct PacketFloor
{
    struct alignas(PelioHandler::kCacheLineBytes) Slot
    {
        std::array<std::byte, PelioHandler::kMaxDatagramBytes> bytes;
        std::uint64_t length;
    };

    std::unique_ptr<std::array<Slot, SlotCount>> slots = std::make_unique<std::array<Slot, SlotCount>>();
    std::size_t next = 0;
    std::uint32_t sequence = 0;

    void Write(const void* mix)
    {
        Slot& slot = (*slots)[next++ % SlotCount];
        const std::uint32_t number = sequence++;
        const std::uint32_t sampleRate = PelioHandler::kSampleRate;
        const std::uint16_t channelCount = PelioHandler::kChannelCount;
        const std::uint16_t frameCount = kCycleFrames;
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
};

// The value below which `fraction` of the sorted values lie.
inline double Percentile(const std::vector<double>& sorted, double fraction)
{
    return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(sorted.size())))];
}

// Reports the mean and the p50, p99 and maximum of `perCall` (sorted here) as counters.
inline void ReportPerCall(benchmark::State& state, std::vector<double>& perCall)
{
    std::sort(perCall.begin(), perCall.end());
    double sum = 0.0;
    for (const double nanoseconds : perCall) {
        sum += nanoseconds;
    }
    state.counters["mean_ns"] = sum / static_cast<double>(perCall.size());
    state.counters["p50_ns"] = Percentile(perCall, 0.50);
    state.counters["p99_ns"] = Percentile(perCall, 0.99);
    state.counters["max_ns"] = perCall.back();
}

} // namespace pelio::bench
