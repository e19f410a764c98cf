#include "hal/DoubleBuffer.h"

#include "DoubleBufferInspector.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using hal::DoubleBuffer;
using hal::DoubleBufferInspector;
using namespace std::chrono_literals;

constexpr std::int64_t kLargestSequence = std::numeric_limits<std::int64_t>::max();

template <class Condition>
bool Eventually(Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(100us);
    }
    return true;
}

// Runs Set on its own thread and tells whether it has returned.
class BackgroundSet
{
public:
    template <class T, class U>
    BackgroundSet(DoubleBuffer<T>& holder, U value)
        : mThread([this, &holder, value = std::move(value)]() mutable {
              holder.Set(std::move(value));
              mReturned = true;
          })
    {
    }
    ~BackgroundSet() { mThread.join(); }

    bool HasReturned() const { return mReturned; }

private:
    std::atomic<bool> mReturned{false};
    std::thread mThread;
};

TEST(DoubleBufferConcurrencyTest, HeldReadLockKeepsTheOldValueAndHoldsUpSet)
{
    DoubleBuffer<std::string> holder("old");
    auto readLock = holder.GetReadLock();
    {
        BackgroundSet set(holder, std::string("new"));

        // The new value is published while the old one is still being read ...
        EXPECT_TRUE(Eventually([&] { return holder.GetReadLock().GetValue() == "new"; }));
        EXPECT_EQ(readLock.GetValue(), "old");

        // ... but Set destroys the old value before it returns, so it waits for the reader.
        std::this_thread::sleep_for(20ms);
        EXPECT_FALSE(set.HasReturned());
        EXPECT_EQ(readLock.GetValue(), "old");

        { [[maybe_unused]] auto released = std::move(readLock); }
        EXPECT_TRUE(Eventually([&] { return set.HasReturned(); }));
    }
    EXPECT_EQ(holder.Get(), "new");
}

TEST(DoubleBufferConcurrencyTest, HeldReadLockOfATrivialValueHoldsUpOnlyTheSetThatReusesItsBuffer)
{
    using Pair = std::array<std::uint32_t, 2>;
    DoubleBuffer<Pair> holder(Pair{1, 1});
    auto readLock = holder.GetReadLock();

    // Nothing is cleared for a trivial value, so the first Set writes the other buffer and is done.
    holder.Set(Pair{2, 2});
    EXPECT_EQ(readLock.GetValue(), (Pair{1, 1}));
    {
        BackgroundSet set(holder, Pair{3, 3});
        std::this_thread::sleep_for(20ms);
        EXPECT_FALSE(set.HasReturned());
        EXPECT_EQ(holder.Get(), (Pair{2, 2}));
        EXPECT_EQ(readLock.GetValue(), (Pair{1, 1}));

        { [[maybe_unused]] auto released = std::move(readLock); }
        EXPECT_TRUE(Eventually([&] { return set.HasReturned(); }));
    }
    EXPECT_EQ(holder.Get(), (Pair{3, 3}));
}

// Records constructions and destructions, and marks itself dead when destroyed, so that a value
// read after its destruction, destroyed twice or never destroyed shows in the counts.
struct Counted
{
    static constexpr std::uint64_t kAlive = 0xA11FEA11FEA11FEu;
    static inline std::atomic<std::int64_t> constructions{0};
    static inline std::atomic<std::int64_t> destructions{0};

    static std::int64_t Live() { return constructions - destructions; }

    Counted() { ++constructions; }
    Counted(const Counted&) { ++constructions; }
    Counted& operator=(const Counted&) { return *this; }
    ~Counted()
    {
        mark = 0;
        ++destructions;
    }

    volatile std::uint64_t mark = kAlive;
};

// A value whose parts must agree: every part is derived from (writer, count), and the number of
// parts changes with count, so a value that mixes two writes or is half-assigned fails Check.
struct Record
{
    std::uint32_t writer = 0;
    std::uint64_t count = 0;
    std::vector<std::uint64_t> parts;
    Counted counted;

    static std::uint64_t Part(std::uint32_t writer, std::uint64_t count, std::size_t index)
    {
        return (count << 8) ^ (std::uint64_t{writer} << 4) ^ index;
    }

    static Record Make(std::uint32_t writer, std::uint64_t count)
    {
        Record record;
        record.writer = writer;
        record.count = count;
        record.parts.resize(1 + count % 7);
        for (std::size_t index = 0; index < record.parts.size(); ++index) {
            record.parts[index] = Part(writer, count, index);
        }
        return record;
    }

    bool IsWhole() const
    {
        if (counted.mark != Counted::kAlive || parts.size() != 1 + count % 7) {
            return false;
        }
        for (std::size_t index = 0; index < parts.size(); ++index) {
            if (parts[index] != Part(writer, count, index)) {
                return false;
            }
        }
        return true;
    }
};

struct StressCase
{
    const char* name;
    std::int64_t startSequence;
};

void PrintTo(const StressCase& stressCase, std::ostream* out)
{
    *out << stressCase.name << " (sequence " << stressCase.startSequence << ")";
}

class DoubleBufferStressTest : public ::testing::TestWithParam<StressCase>
{
};

// Readers run flat out, in place and by copy, while two writers publish a stream of values,
// copied and moved. Every value a reader sees must be whole and alive, and each writer's values
// must appear in the order it wrote them. Afterwards exactly the published value is alive, and
// nothing once the holder is gone.
TEST_P(DoubleBufferStressTest, ReadersSeeOnlyWholeLiveValuesInOrder)
{
    constexpr std::uint32_t kWriters = 2;
    constexpr int kReaders = 2;
    constexpr std::uint64_t kSetsPerWriter = 3000;

    Counted::constructions = 0;
    Counted::destructions = 0;
    {
        DoubleBuffer<Record> holder(Record::Make(0, 0));
        DoubleBufferInspector::SetPublishedSequence(holder, GetParam().startSequence);

        std::atomic<bool> writersDone{false};
        std::atomic<std::uint64_t> brokenReads{0};
        std::atomic<std::uint64_t> outOfOrderReads{0};
        std::atomic<std::uint64_t> reads{0};

        std::vector<std::thread> readers;
        for (int reader = 0; reader < kReaders; ++reader) {
            readers.emplace_back([&] {
                std::array<std::uint64_t, kWriters + 1> lastCount{};
                std::uint64_t ownReads = 0;
                while (!writersDone.load(std::memory_order_relaxed)) {
                    std::uint32_t writer = 0;
                    std::uint64_t count = 0;
                    bool whole = false;
                    if (ownReads % 16 == 0) {
                        const Record copy = holder.Get();
                        writer = copy.writer;
                        count = copy.count;
                        whole = copy.IsWhole();
                    } else {
                        const auto readLock = holder.GetReadLock();
                        writer = readLock.GetValue().writer;
                        count = readLock.GetValue().count;
                        whole = readLock.GetValue().IsWhole();
                    }
                    ++ownReads;
                    if (!whole || writer > kWriters) {
                        ++brokenReads;
                        continue;
                    }
                    if (count < lastCount[writer]) {
                        ++outOfOrderReads;
                    }
                    lastCount[writer] = count;
                }
                reads += ownReads;
            });
        }

        std::vector<std::thread> writers;
        for (std::uint32_t writer = 1; writer <= kWriters; ++writer) {
            writers.emplace_back([&holder, writer] {
                for (std::uint64_t count = 1; count <= kSetsPerWriter; ++count) {
                    Record record = Record::Make(writer, count);
                    if (count % 2 == 0) {
                        holder.Set(record);
                    } else {
                        holder.Set(std::move(record));
                    }
                }
            });
        }
        for (auto& writer : writers) {
            writer.join();
        }
        writersDone = true;
        for (auto& reader : readers) {
            reader.join();
        }

        EXPECT_EQ(brokenReads, 0u);
        EXPECT_EQ(outOfOrderReads, 0u);
        EXPECT_GT(reads, 0u);
        EXPECT_TRUE(holder.Get().IsWhole());
        EXPECT_EQ(Counted::Live(), 1) << "only the published value may be alive";
        std::int64_t expectedSequence = GetParam().startSequence;
        for (std::uint64_t set = 0; set < kWriters * kSetsPerWriter; ++set) {
            expectedSequence = expectedSequence == kLargestSequence ? 0 : expectedSequence + 1;
        }
        EXPECT_EQ(DoubleBufferInspector::GetCurrentSequence(holder), expectedSequence);
    }
    EXPECT_EQ(Counted::Live(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences,
    DoubleBufferStressTest,
    ::testing::Values(StressCase{"FromConstruction", 1},
                      // Odd, like 1, and wraps half-way through the writes.
                      StressCase{"AcrossTheWrap", kLargestSequence - 3000}),
    [](const ::testing::TestParamInfo<StressCase>& info) { return std::string(info.param.name); });

// The trivial path keeps the replaced value and overwrites it by assignment: a reader still on
// that buffer must hold the writer off as well.
TEST(DoubleBufferConcurrencyTest, TrivialValueIsNeverTorn)
{
    struct Quad
    {
        std::uint64_t a, b, c, d;
    };
    static_assert(std::is_trivially_copyable_v<Quad> && std::is_trivially_default_constructible_v<Quad>);
    constexpr std::uint64_t kSets = 20000;

    DoubleBuffer<Quad> holder(Quad{0, 0, 0, 0});
    std::atomic<bool> writerDone{false};
    std::atomic<std::uint64_t> tornReads{0};

    std::vector<std::thread> readers;
    for (int reader = 0; reader < 2; ++reader) {
        readers.emplace_back([&] {
            std::uint64_t last = 0;
            while (!writerDone.load(std::memory_order_relaxed)) {
                const auto readLock = holder.GetReadLock();
                const Quad& value = readLock.GetValue();
                if (value.a != value.b || value.b != value.c || value.c != value.d || value.a < last) {
                    ++tornReads;
                }
                last = value.a;
            }
        });
    }
    for (std::uint64_t value = 1; value <= kSets; ++value) {
        holder.Set(Quad{value, value, value, value});
    }
    writerDone = true;
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(tornReads, 0u);
    EXPECT_EQ(holder.Get().d, kSets);
}

} // namespace
