// Cost of one read of a small record as the IO thread does it, through DoubleBuffer::GetReadLock,
// beside the usual alternatives: a std::shared_mutex held shared, and a std::atomic shared
// pointer (a mutex-guarded shared pointer where the library lacks it). A plain load of the record
// gives the floor. Each is measured alone and while another thread keeps writing new values, as a
// mean per read and, read by read, as a latency distribution (p50, p99, p99.9, p99.99, maximum).
// Wall-clock time, so that a reader that waits is charged for it.

#include "ReadLatency.h"

#include "hal/DoubleBuffer.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <version>

namespace {

using pelio::bench::BackgroundWriter;

// The size of what the IO thread typically looks up: a stream format.
struct Format
{
    double sampleRate;
    std::uint32_t channelsPerFrame;
    std::uint32_t bitsPerChannel;
    std::uint32_t bytesPerFrame;
    std::uint32_t framesPerPacket;
};

Format MakeFormat(std::uint64_t generation)
{
    const auto channels = static_cast<std::uint32_t>(1 + generation % 8);
    return {48000.0 + static_cast<double>(generation % 2), channels, 32, 4 * channels, 1};
}

// Touches every field, so that a read cannot be cut short.
std::uint64_t Digest(const Format& format)
{
    return static_cast<std::uint64_t>(format.sampleRate) + format.channelsPerFrame
           + format.bitsPerChannel + format.bytesPerFrame + format.framesPerPacket;
}

struct PlainLoad
{
    Format value = MakeFormat(0);

    std::uint64_t Read()
    {
        // Forces a fresh load each time, as the atomics of the other sources do.
        benchmark::ClobberMemory();
        return Digest(value);
    }
    // Nothing to publish: the floor only needs the other core to be as busy as for the rest.
    void Write(std::uint64_t generation) { benchmark::DoNotOptimize(generation); }
};

struct DoubleBufferReadLock
{
    hal::DoubleBuffer<Format> holder{MakeFormat(0)};

    std::uint64_t Read()
    {
        const auto readLock = holder.GetReadLock();
        return Digest(readLock.GetValue());
    }
    void Write(std::uint64_t generation) { holder.Set(MakeFormat(generation)); }
};

struct SharedMutexSharedLock
{
    std::shared_mutex mutex;
    Format value = MakeFormat(0);

    std::uint64_t Read()
    {
        const std::shared_lock<std::shared_mutex> lock(mutex);
        return Digest(value);
    }
    void Write(std::uint64_t generation)
    {
        const std::lock_guard<std::shared_mutex> lock(mutex);
        value = MakeFormat(generation);
    }
};

#if defined(__cpp_lib_atomic_shared_ptr)
struct AtomicSharedPointer
{
    std::atomic<std::shared_ptr<const Format>> value{std::make_shared<const Format>(MakeFormat(0))};

    std::uint64_t Read()
    {
        const std::shared_ptr<const Format> current = value.load(std::memory_order_acquire);
        return Digest(*current);
    }
    void Write(std::uint64_t generation)
    {
        value.store(std::make_shared<const Format>(MakeFormat(generation)), std::memory_order_release);
    }
};
#else
struct AtomicSharedPointer
{
    std::mutex mutex;
    std::shared_ptr<const Format> value = std::make_shared<const Format>(MakeFormat(0));

    std::uint64_t Read()
    {
        std::shared_ptr<const Format> current;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            current = value;
        }
        return Digest(*current);
    }
    void Write(std::uint64_t generation)
    {
        auto next = std::make_shared<const Format>(MakeFormat(generation));
        const std::lock_guard<std::mutex> lock(mutex);
        value = std::move(next);
    }
};
#endif

template <class Source>
void BM_ReadSmallRecord(benchmark::State& state)
{
    Source source;
    for (auto _ : state) {
        benchmark::DoNotOptimize(source.Read());
    }
}

template <class Source>
void BM_ReadSmallRecordWhileWriting(benchmark::State& state)
{
    Source source;
    BackgroundWriter<Source> writer(source);
    for (auto _ : state) {
        benchmark::DoNotOptimize(source.Read());
    }
    state.counters["writes"] = benchmark::Counter(static_cast<double>(writer.Stop()), benchmark::Counter::kIsRate);
}

// The tail, which a mean hides: each read timed on its own, alone and while the writer runs. The
// figures include two clock reads; the plain load gives that floor.
template <class Source>
void BM_ReadSmallRecordLatency(benchmark::State& state)
{
    Source source;
    pelio::bench::TimeEachRead(state, [&] { return source.Read(); });
}

template <class Source>
void BM_ReadSmallRecordLatencyWhileWriting(benchmark::State& state)
{
    Source source;
    BackgroundWriter<Source> writer(source);
    pelio::bench::TimeEachRead(state, [&] { return source.Read(); });
    writer.Stop();
}

BENCHMARK_TEMPLATE(BM_ReadSmallRecord, PlainLoad)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecord, DoubleBufferReadLock)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecord, SharedMutexSharedLock)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecord, AtomicSharedPointer)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecordWhileWriting, DoubleBufferReadLock)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecordWhileWriting, SharedMutexSharedLock)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecordWhileWriting, AtomicSharedPointer)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecordLatency, PlainLoad)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecordLatency, DoubleBufferReadLock)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecordLatency, SharedMutexSharedLock)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecordLatency, AtomicSharedPointer)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecordLatencyWhileWriting, PlainLoad)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecordLatencyWhileWriting, DoubleBufferReadLock)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecordLatencyWhileWriting, SharedMutexSharedLock)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecordLatencyWhileWriting, AtomicSharedPointer)->UseRealTime();

} // namespace
