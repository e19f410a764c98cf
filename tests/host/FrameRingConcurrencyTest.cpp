// The ring of an application's frames with its producer and its consumer on two threads at once,
// in pieces of changing sizes (run under ThreadSanitizer too): every frame arrives once, in order.

#include "FrameRing.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace pelio::host {
namespace {

TEST(FrameRingConcurrency, EveryFrameArrivesOnceAndInOrder)
{
    constexpr std::size_t kFrames = 100000;
    FrameRing ring(1000);
    std::thread producer([&] {
        std::vector<Float32> samples;
        for (std::size_t next = 0, piece = 1; next < kFrames; piece = piece % 777 + 1) {
            samples.clear();
            for (std::size_t frame = next; frame < std::min(next + piece, kFrames); ++frame) {
                samples.push_back(static_cast<Float32>(frame));
                samples.push_back(-static_cast<Float32>(frame));
            }
            std::size_t written = 0;
            while (written < samples.size() / 2) {
                const std::size_t now = ring.Write(samples.data() + 2 * written, samples.size() / 2 - written);
                written += now;
                if (now == 0) {
                    std::this_thread::yield();
                }
            }
            next += written;
        }
    });
    std::vector<Float32> samples(2 * 512);
    std::size_t expected = 0;
    for (std::size_t piece = 1; expected < kFrames; piece = piece % 511 + 1) {
        const std::size_t read = ring.Read(samples.data(), piece);
        if (read == 0) {
            std::this_thread::yield();
        }
        for (std::size_t frame = 0; frame < read; ++frame, ++expected) {
            ASSERT_EQ(samples[2 * frame], static_cast<Float32>(expected));
            ASSERT_EQ(samples[2 * frame + 1], -static_cast<Float32>(expected));
        }
    }
    producer.join();
    EXPECT_EQ(ring.GetQueuedFrames(), 0u);
}

} // namespace
} // namespace pelio::host
