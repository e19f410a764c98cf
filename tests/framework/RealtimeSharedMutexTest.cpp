#include "hal/RealtimeSharedMutex.h"

#include <gtest/gtest.h>

#include <mutex>
#include <shared_mutex>

namespace {

using hal::RealtimeSharedMutex;

TEST(RealtimeSharedMutexTest, ReadersShareAndExcludeWritersWhoExcludeEveryone)
{
    RealtimeSharedMutex mutex;

    ASSERT_TRUE(mutex.try_lock_shared());
    ASSERT_TRUE(mutex.try_lock_shared());
    EXPECT_FALSE(mutex.try_lock());
    mutex.unlock_shared();
    EXPECT_FALSE(mutex.try_lock()) << "one reader is still inside";
    mutex.unlock_shared();

    ASSERT_TRUE(mutex.try_lock());
    EXPECT_FALSE(mutex.try_lock_shared());
    EXPECT_FALSE(mutex.try_lock());
    mutex.unlock();

    ASSERT_TRUE(mutex.try_lock_shared());
    mutex.unlock_shared();
}

TEST(RealtimeSharedMutexTest, FailedSharedTriesLeaveNothingBehind)
{
    RealtimeSharedMutex mutex;
    mutex.lock();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        ASSERT_FALSE(mutex.try_lock_shared());
    }
    mutex.unlock();

    // Any count left over from the failed tries would keep a writer out.
    EXPECT_TRUE(mutex.try_lock());
    mutex.unlock();
}

TEST(RealtimeSharedMutexTest, WorksWithTheStandardLockHolders)
{
    RealtimeSharedMutex mutex;
    {
        const std::unique_lock<RealtimeSharedMutex> exclusive(mutex);
        const std::shared_lock<RealtimeSharedMutex> refused(mutex, std::try_to_lock);
        EXPECT_FALSE(refused.owns_lock());
    }
    {
        const std::shared_lock<RealtimeSharedMutex> shared(mutex, std::try_to_lock);
        EXPECT_TRUE(shared.owns_lock());
        std::unique_lock<RealtimeSharedMutex> refused(mutex, std::try_to_lock);
        EXPECT_FALSE(refused.owns_lock());
    }
    {
        const std::scoped_lock exclusive(mutex);
        EXPECT_FALSE(mutex.try_lock_shared());
    }
    EXPECT_TRUE(mutex.try_lock_shared());
    mutex.unlock_shared();
}

} // namespace
