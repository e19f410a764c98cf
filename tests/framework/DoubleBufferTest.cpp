#include "hal/DoubleBuffer.h"

#include "DoubleBufferInspector.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace {

using hal::DoubleBuffer;
using hal::DoubleBufferInspector;

constexpr std::int64_t kLargestSequence = std::numeric_limits<std::int64_t>::max();

// Value types the holders of the object model use, each with two values to tell apart and
// whether Set clears the value it replaces.
struct StereoPairCase
{
    using Value = std::array<std::uint32_t, 2>;
    static Value First() { return {1, 2}; }
    static Value Second() { return {3, 4}; }
    static constexpr bool kClearsReplacedValue = false;
};

struct StreamFormatCase
{
    struct Value
    {
        double sampleRate;
        std::uint32_t channelsPerFrame;
        bool operator==(const Value&) const = default;
    };
    static Value First() { return {48000.0, 2}; }
    static Value Second() { return {44100.0, 1}; }
    static constexpr bool kClearsReplacedValue = false;
};

struct OptionalCountCase
{
    using Value = std::optional<std::uint32_t>;
    static Value First() { return std::nullopt; }
    static Value Second() { return 2; }
    static constexpr bool kClearsReplacedValue = true;
};

struct ListCase
{
    using Value = std::vector<std::string>;
    static Value First() { return {"a", "b"}; }
    static Value Second() { return {"c"}; }
    static constexpr bool kClearsReplacedValue = true;
};

template <class Case>
class DoubleBufferStatesTest : public ::testing::Test
{
protected:
    using Value = typename Case::Value;

    // Compares what the buffer holds, not the slot: the value may itself be an optional.
    static void ExpectHolds(const DoubleBuffer<Value>& holder, std::size_t index, const Value& value)
    {
        const auto& slot = DoubleBufferInspector::GetBufferValue(holder, index);
        ASSERT_TRUE(slot.has_value());
        EXPECT_EQ(*slot, value);
    }

    // What the unpublished buffer should show: the replaced value under its old sequence, or
    // nothing under -1.
    static void ExpectRetired(const DoubleBuffer<Value>& holder,
                              std::size_t index,
                              const Value& replaced,
                              std::int64_t replacedSequence)
    {
        if constexpr (Case::kClearsReplacedValue) {
            EXPECT_FALSE(DoubleBufferInspector::GetBufferValue(holder, index).has_value());
            EXPECT_EQ(DoubleBufferInspector::GetBufferSequence(holder, index), -1);
        } else {
            ExpectHolds(holder, index, replaced);
            EXPECT_EQ(DoubleBufferInspector::GetBufferSequence(holder, index), replacedSequence);
        }
    }

    static void ExpectPublished(const DoubleBuffer<Value>& holder,
                                std::size_t index,
                                const Value& value,
                                std::int64_t sequence)
    {
        EXPECT_EQ(holder.Get(), value);
        EXPECT_EQ(holder.GetReadLock().GetValue(), value);
        EXPECT_EQ(DoubleBufferInspector::GetCurrentSequence(holder), sequence);
        ExpectHolds(holder, index, value);
        EXPECT_EQ(DoubleBufferInspector::GetBufferSequence(holder, index), sequence);
        EXPECT_TRUE(DoubleBufferInspector::IsBufferUnlocked(holder, 0));
        EXPECT_TRUE(DoubleBufferInspector::IsBufferUnlocked(holder, 1));
    }
};

using ValueCases = ::testing::Types<StereoPairCase, StreamFormatCase, OptionalCountCase, ListCase>;
TYPED_TEST_SUITE(DoubleBufferStatesTest, ValueCases);

TYPED_TEST(DoubleBufferStatesTest, BuffersTakeTurnsAndTheReplacedOneIsRetired)
{
    const auto first = TypeParam::First();
    const auto second = TypeParam::Second();
    DoubleBuffer<typename TypeParam::Value> holder(first);

    {
        SCOPED_TRACE("after construction");
        this->ExpectPublished(holder, 1, first, 1);
        EXPECT_FALSE(DoubleBufferInspector::GetBufferValue(holder, 0).has_value());
        EXPECT_EQ(DoubleBufferInspector::GetBufferSequence(holder, 0), -1);
    }

    holder.Set(second);
    {
        SCOPED_TRACE("after the first Set");
        this->ExpectPublished(holder, 0, second, 2);
        this->ExpectRetired(holder, 1, first, 1);
    }

    holder.Set(first);
    {
        SCOPED_TRACE("after the second Set");
        this->ExpectPublished(holder, 1, first, 3);
        this->ExpectRetired(holder, 0, second, 2);
    }
}

TYPED_TEST(DoubleBufferStatesTest, SequenceWrapsToZeroAfterTheLargestSignedValue)
{
    const auto first = TypeParam::First();
    const auto second = TypeParam::Second();
    DoubleBuffer<typename TypeParam::Value> holder(first);
    DoubleBufferInspector::SetPublishedSequence(holder, kLargestSequence);
    this->ExpectPublished(holder, 1, first, kLargestSequence);

    holder.Set(second);
    {
        SCOPED_TRACE("after the Set that wraps");
        this->ExpectPublished(holder, 0, second, 0);
        this->ExpectRetired(holder, 1, first, kLargestSequence);
    }

    holder.Set(first);
    {
        SCOPED_TRACE("after the Set that follows");
        this->ExpectPublished(holder, 1, first, 1);
        this->ExpectRetired(holder, 0, second, 0);
    }
}

struct Handler
{
    int id = 0;
};
using HandlerReference = std::variant<std::shared_ptr<Handler>, Handler*>;

TEST(DoubleBufferTest, SetStoresAnythingTheValueCanBeAssignedFrom)
{
    // A list or a number into an optional.
    DoubleBuffer<std::optional<std::vector<double>>> sampleRates(std::nullopt);
    sampleRates.Set(std::vector<double>{44100.0, 48000.0});
    EXPECT_EQ(sampleRates.Get(), (std::vector<double>{44100.0, 48000.0}));

    // An owning or a plain pointer into a variant of both.
    auto owned = std::make_shared<Handler>(Handler{1});
    Handler plain{2};
    DoubleBuffer<HandlerReference> handler(HandlerReference{});
    handler.Set(owned);
    EXPECT_EQ(std::get<std::shared_ptr<Handler>>(handler.Get()), owned);
    handler.Set(&plain);
    EXPECT_EQ(std::get<Handler*>(handler.Get()), &plain);

    // An lvalue is copied and left alone.
    DoubleBuffer<std::string> name("first");
    const std::string second = "second";
    name.Set(second);
    EXPECT_EQ(name.Get(), "second");
    EXPECT_EQ(second, "second");

    // An rvalue is moved: a move-only value gets through construction and Set.
    DoubleBuffer<std::unique_ptr<int>> moveOnly(std::make_unique<int>(1));
    moveOnly.Set(std::make_unique<int>(2));
    EXPECT_EQ(*moveOnly.GetReadLock().GetValue(), 2);
}

TEST(DoubleBufferTest, ReplacedSharedPointerIsReleasedWhenSetReturns)
{
    auto firstObject = std::make_shared<int>(1);
    const std::weak_ptr<int> firstWatch = firstObject;
    DoubleBuffer<std::shared_ptr<int>> holder(std::move(firstObject));

    auto secondObject = std::make_shared<int>(2);
    const std::weak_ptr<int> secondWatch = secondObject;
    holder.Set(std::move(secondObject));
    EXPECT_TRUE(firstWatch.expired());
    EXPECT_FALSE(secondWatch.expired());

    // The same through the variant that holds a handler.
    auto ownedHandler = std::make_shared<Handler>();
    const std::weak_ptr<Handler> handlerWatch = ownedHandler;
    DoubleBuffer<HandlerReference> handler(std::move(ownedHandler));
    Handler plain;
    handler.Set(&plain);
    EXPECT_TRUE(handlerWatch.expired());
}

TEST(DoubleBufferTest, ReadLockReleasesItsBufferExactlyOnce)
{
    DoubleBuffer<std::string> holder("value");
    {
        auto first = holder.GetReadLock();
        EXPECT_FALSE(DoubleBufferInspector::IsBufferUnlocked(holder, 1));
        auto second = std::move(first);
        EXPECT_EQ(second.GetValue(), "value");
        EXPECT_FALSE(DoubleBufferInspector::IsBufferUnlocked(holder, 1));
    }
    // A double release would leave the lock word underflowed and locked for good.
    EXPECT_TRUE(DoubleBufferInspector::IsBufferUnlocked(holder, 1));
    holder.Set("next");
    EXPECT_EQ(holder.Get(), "next");
}

// Copying throws when asked to, as a container's copy does when memory runs out.
struct CopyMayThrow
{
    static inline bool failNextCopy = false;

    explicit CopyMayThrow(int initialValue) : value(initialValue) {}
    CopyMayThrow(const CopyMayThrow& other) : value(other.value)
    {
        if (std::exchange(failNextCopy, false)) {
            throw std::bad_alloc();
        }
    }
    CopyMayThrow& operator=(const CopyMayThrow&) = default;

    int value;
};

TEST(DoubleBufferTest, SetWhoseCopyThrowsLeavesThePublishedValue)
{
    DoubleBuffer<CopyMayThrow> holder(CopyMayThrow(1));
    const CopyMayThrow next(2);

    CopyMayThrow::failNextCopy = true;
    EXPECT_THROW(holder.Set(next), std::bad_alloc);
    EXPECT_EQ(holder.Get().value, 1);
    EXPECT_EQ(DoubleBufferInspector::GetCurrentSequence(holder), 1);
    EXPECT_TRUE(DoubleBufferInspector::IsBufferUnlocked(holder, 0));

    // The write mutex was released and the half-announced buffer is simply reused.
    holder.Set(next);
    EXPECT_EQ(holder.Get().value, 2);
    EXPECT_EQ(DoubleBufferInspector::GetCurrentSequence(holder), 2);
    EXPECT_FALSE(DoubleBufferInspector::GetBufferValue(holder, 1).has_value());
}

TEST(DoubleBufferTest, GetWhoseCopyThrowsReleasesTheReadLock)
{
    DoubleBuffer<CopyMayThrow> holder(CopyMayThrow(1));

    CopyMayThrow::failNextCopy = true;
    EXPECT_THROW(holder.Get(), std::bad_alloc);
    EXPECT_TRUE(DoubleBufferInspector::IsBufferUnlocked(holder, 1));

    holder.Set(CopyMayThrow(2));
    EXPECT_EQ(holder.Get().value, 2);
}

} // namespace
