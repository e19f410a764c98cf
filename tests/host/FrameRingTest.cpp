// The ring of an application's frames: what fits goes in, what was written comes out in order,
// across the end of the storage.

#include "FrameRing.h"

#include <gtest/gtest.h>

#include <vector>

namespace pelio::host {
namespace {

std::vector<Float32> Frames(Float32 first, std::size_t count)
{
    std::vector<Float32> samples;
    for (std::size_t frame = 0; frame < count; ++frame) {
        samples.push_back(first + static_cast<Float32>(frame));
        samples.push_back(-(first + static_cast<Float32>(frame)));
    }
    return samples;
}

TEST(FrameRing, TakesWhatFitsAndGivesItBackInOrderAcrossTheEnd)
{
    FrameRing ring(5);
    EXPECT_EQ(ring.GetCapacity(), 5u);
    EXPECT_EQ(ring.Write(Frames(0, 3).data(), 3), 3u);
    std::vector<Float32> out(2 * 5, 99.0f);
    EXPECT_EQ(ring.Read(out.data(), 2), 2u);
    EXPECT_EQ(std::vector<Float32>(out.begin(), out.begin() + 4), Frames(0, 2));

    // One frame waits; four more fit, wrapping past the end, and the fifth does not.
    EXPECT_EQ(ring.GetFreeFrames(), 4u);
    EXPECT_EQ(ring.Write(Frames(3, 5).data(), 5), 4u);
    EXPECT_EQ(ring.GetQueuedFrames(), 5u);
    EXPECT_EQ(ring.GetFreeFrames(), 0u);
    EXPECT_EQ(ring.Write(Frames(7, 1).data(), 1), 0u);

    // Nothing asked, nothing done: the pointer is not even looked at.
    EXPECT_EQ(ring.Write(nullptr, 0), 0u);

    // All of it, in order, and no more than there is.
    EXPECT_EQ(ring.Read(out.data(), 5), 5u);
    EXPECT_EQ(out, Frames(2, 5));
    EXPECT_EQ(ring.Read(out.data(), 5), 0u);
    EXPECT_EQ(ring.GetQueuedFrames(), 0u);
}

} // namespace
} // namespace pelio::host
