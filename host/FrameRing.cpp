#include "FrameRing.h"

#include <algorithm>
#include <cstring>

namespace pelio::host {

FrameRing::FrameRing(std::size_t capacityFrames)
    : mCapacity(std::max<std::size_t>(capacityFrames, 1))
    , mSamples(new Float32[mCapacity * kChannels]())
{
}

std::size_t FrameRing::Write(const Float32* samples, std::size_t frames) noexcept
{
    const std::uint64_t written = mWritten.load(std::memory_order_relaxed);
    const std::uint64_t read = mRead.load(std::memory_order_acquire);
    const std::size_t count = std::min(frames, mCapacity - static_cast<std::size_t>(written - read));
    // Nothing to copy: the caller's pointer may then be null, which memcpy must never see.
    if (count == 0) {
        return 0;
    }
    const std::size_t start = static_cast<std::size_t>(written % mCapacity);
    const std::size_t first = std::min(count, mCapacity - start);
    std::memcpy(mSamples.get() + start * kChannels, samples, first * kChannels * sizeof(Float32));
    std::memcpy(mSamples.get(), samples + first * kChannels, (count - first) * kChannels * sizeof(Float32));
    mWritten.store(written + count, std::memory_order_release);
    return count;
}

std::size_t FrameRing::GetFreeFrames() const noexcept
{
    return mCapacity - GetQueuedFrames();
}

std::size_t FrameRing::Read(Float32* samples, std::size_t frames) noexcept HAL_NONBLOCKING
{
    const std::uint64_t read = mRead.load(std::memory_order_relaxed);
    const std::uint64_t written = mWritten.load(std::memory_order_acquire);
    const std::size_t count = std::min(frames, static_cast<std::size_t>(written - read));
    if (count == 0) {
        return 0;
    }
    const std::size_t start = static_cast<std::size_t>(read % mCapacity);
    const std::size_t first = std::min(count, mCapacity - start);
    std::memcpy(samples, mSamples.get() + start * kChannels, first * kChannels * sizeof(Float32));
    std::memcpy(samples + first * kChannels, mSamples.get(), (count - first) * kChannels * sizeof(Float32));
    mRead.store(read + count, std::memory_order_release);
    return count;
}

std::size_t FrameRing::GetQueuedFrames() const noexcept HAL_NONBLOCKING
{
    // Read first: it never passes the written count of its own time, and the written count loaded
    // after it is no smaller than that, so the difference never underflows.
    const std::uint64_t read = mRead.load(std::memory_order_acquire);
    const std::uint64_t written = mWritten.load(std::memory_order_acquire);
    return static_cast<std::size_t>(written - read);
}

} // namespace pelio::host
