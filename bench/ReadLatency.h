#pragma once

// What the read benchmarks share: a writer that runs flat out on another thread, and the latency
// distribution of single reads (p50, p99, p99.9, p99.99, maximum), which a mean would hide.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace pelio::bench {

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

// Times each call of `read` on its own (two clock reads included, which a plain load shows as
// the floor) and reports the distribution as counters.
template <class Read>
void TimeEachRead(benchmark::State& state, Read&& read)
{
    LatencyHistogram histogram;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(read());
        const auto end = std::chrono::steady_clock::now();
        histogram.Add(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
    }
    state.counters["p50_ns"] = histogram.Percentile(0.50);
    state.counters["p99_ns"] = histogram.Percentile(0.99);
    state.counters["p99.9_ns"] = histogram.Percentile(0.999);
    state.counters["p99.99_ns"] = histogram.Percentile(0.9999);
    state.counters["max_ns"] = histogram.Maximum();
}

} // namespace pelio::bench
