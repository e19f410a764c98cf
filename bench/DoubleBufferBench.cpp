// Cost of one read of a small record as the IO thread does it, through DoubleBuffer::GetReadLock,
// beside the usual alternatives: a std::shared_mutex held shared, and a std::atomic shared
// pointer (a mutex-guarded shared pointer where the library lacks it). A plain load of the record
// gives the floor. Each is measured alone and while another thread keeps writing new values, as a
// mean per read and, read by read, as a latency distribution (p50, p99, p99.99, maximum).
// Wall-clock time, so that a reader that waits is charged for it.

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

// Runs Source::Write flat out on its own thread (the other core) for its lifetime, and counts
// how often it got to publish.
template <class Source>
class BackgroundWriter
{
public:
    explicit BackgroundWriter(Source& source)
        : mThread([this, &source] {
              std::uint64_t generation = 0;
              while (!mStop.load(std::memory_order_relaxed)) {
                  source.Write(++generation);
              }
              mWrites = generation;
          })
    {
    }

    // Stops the writer and returns the number of values it published.
    std::uint64_t Stop()
    {
        mStop = true;
        mThread.join();
        return mWrites;
    }

private:
    std::atomic<bool> mStop{false};
    std::atomic<std::uint64_t> mWrites{0};
    std::thread mThread;
};

// Per-read latency, clock reads included: 1 ns buckets below 1 µs, powers of two above, so that
// recording allocates nothing and costs a few instructions.
class LatencyHistogram
{
public:
    void Add(std::int64_t nanoseconds)
    {
        const auto value = static_cast<std::uint64_t>(std::max<std::int64_t>(nanoseconds, 0));
        if (value < kFineBuckets) {
            ++mFine[value];
        } else {
            ++mCoarse[std::min<std::size_t>(std::bit_width(value), kCoarseBuckets - 1)];
        }
        mMaximum = std::max(mMaximum, value);
        ++mCount;
    }

    // The smallest bucket bound below which `fraction` of the reads fall.
    double Percentile(double fraction) const
    {
        const auto wanted = static_cast<std::uint64_t>(fraction * static_cast<double>(mCount));
        std::uint64_t seen = 0;
        for (std::size_t bucket = 0; bucket < kFineBuckets; ++bucket) {
            seen += mFine[bucket];
            if (seen > wanted) {
                return static_cast<double>(bucket);
            }
        }
        for (std::size_t bucket = 0; bucket < kCoarseBuckets; ++bucket) {
            seen += mCoarse[bucket];
            if (seen > wanted) {
                return static_cast<double>(std::uint64_t{1} << bucket);
            }
        }
        return static_cast<double>(mMaximum);
    }

    double Maximum() const { return static_cast<double>(mMaximum); }

private:
    static constexpr std::size_t kFineBuckets = 1024;
    static constexpr std::size_t kCoarseBuckets = 64;

    std::array<std::uint64_t, kFineBuckets> mFine{};
    std::array<std::uint64_t, kCoarseBuckets> mCoarse{};
    std::uint64_t mMaximum = 0;
    std::uint64_t mCount = 0;
};

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

// The tail, which a mean hides: each read timed on its own while the writer runs. The figures
// include two clock reads; the plain load gives that floor.
template <class Source>
void BM_ReadSmallRecordLatencyWhileWriting(benchmark::State& state)
{
    Source source;
    BackgroundWriter<Source> writer(source);
    LatencyHistogram histogram;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(source.Read());
        const auto end = std::chrono::steady_clock::now();
        histogram.Add(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
    }
    writer.Stop();
    state.counters["p50_ns"] = histogram.Percentile(0.50);
    state.counters["p99_ns"] = histogram.Percentile(0.99);
    state.counters["p99.99_ns"] = histogram.Percentile(0.9999);
    state.counters["max_ns"] = histogram.Maximum();
}

BENCHMARK_TEMPLATE(BM_ReadSmallRecord, PlainLoad)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecord, DoubleBufferReadLock)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecord, SharedMutexSharedLock)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecord, AtomicSharedPointer)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecordWhileWriting, DoubleBufferReadLock)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecordWhileWriting, SharedMutexSharedLock)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecordWhileWriting, AtomicSharedPointer)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecordLatencyWhileWriting, PlainLoad)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecordLatencyWhileWriting, DoubleBufferReadLock)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecordLatencyWhileWriting, SharedMutexSharedLock)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadSmallRecordLatencyWhileWriting, AtomicSharedPointer)->UseRealTime();

} // namespace
