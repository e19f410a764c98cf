#pragma once

// pelio::host::FrameRing: the frames that one application has sent and the device's IO thread has
// not yet mixed, in a single-producer single-consumer ring of interleaved stereo 32-bit floats.
//
// The producer is the application's connection thread, the consumer the device's IO thread. No
// operation waits, locks, allocates or calls the system; Read and GetQueuedFrames are marked for
// the IO thread. Write takes what fits and says how much, so a producer that must not lose frames
// waits for room on its own side. The storage is allocated once, by the constructor.
//
// The two counters only grow: written − read is what waits, from 0 to the capacity. The producer
// publishes the frames it copied with a release store of its counter, the consumer frees the room
// it emptied with a release store of its own, and each side reads the other's counter with acquire.

#include "hal/RealTime.h"

#include <MacTypes.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace pelio::host {

class FrameRing
{
public:
    static constexpr std::size_t kChannels = 2;

    explicit FrameRing(std::size_t capacityFrames);
    FrameRing(const FrameRing&) = delete;
    FrameRing& operator=(const FrameRing&) = delete;

    std::size_t GetCapacity() const noexcept { return mCapacity; }

    // Producer side: copies up to `frames` frames in; the number copied.
    std::size_t Write(const Float32* samples, std::size_t frames) noexcept;
    std::size_t GetFreeFrames() const noexcept;

    // Consumer side: copies up to `frames` frames out; the number copied.
    std::size_t Read(Float32* samples, std::size_t frames) noexcept HAL_NONBLOCKING;

    // Either side: the frames waiting.
    std::size_t GetQueuedFrames() const noexcept HAL_NONBLOCKING;

private:
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "the IO thread reads the counters");

    const std::size_t mCapacity;
    const std::unique_ptr<Float32[]> mSamples;
    // Apart, so that the producer's and the consumer's stores do not contend for one line.
    alignas(64) std::atomic<std::uint64_t> mWritten{0};
    alignas(64) std::atomic<std::uint64_t> mRead{0};
};

} // namespace pelio::host
