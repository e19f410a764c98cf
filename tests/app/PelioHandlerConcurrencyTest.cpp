#include "PelioHandler.h"

#include "DatagramReceiver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace pelio {
namespace {

using namespace std::chrono_literals;

// What the producer writes as its k-th packet: a length that changes from packet to packet, and
// words that name the packet and their place in it, so that a payload torn between two packets,
// cut short, or paired with the wrong header shows.
std::size_t FramesOf(std::uint32_t packet)
{
    return 1 + (packet * 389u) % PelioHandler::kMaxFramesPerPacket;
}

std::uint32_t WordOf(std::uint32_t packet, std::size_t index)
{
    return packet * 2654435761u + static_cast<std::uint32_t>(index);
}

constexpr std::size_t kWordsPerFrame = PelioHandler::kBytesPerFrame / sizeof(std::uint32_t);

TEST(PelioHandlerConcurrencyTest, EveryReceivedPacketIsOneTheProducerWroteWholeAndInOrder)
{
    DatagramReceiver receiver;
    const auto handler = std::make_shared<PelioHandler>(receiver.GetPort());

    // Received on a thread of their own while the producer runs, so that few are lost in the
    // socket; the ring drops most of them anyway.
    std::atomic<bool> stopped{false};
    std::vector<Datagram> received;
    std::thread receiving([&] {
        for (;;) {
            if (auto datagram = receiver.Receive(100ms)) {
                received.push_back(std::move(*datagram));
            } else if (stopped) {
                return;
            }
        }
    });

    ASSERT_EQ(handler->OnStartIO(), 0);
    // The IO thread, writing one packet per call as fast as it can for a while; the sender
    // drains the ring meanwhile.
    std::uint32_t written = 0;
    std::thread producing([&] {
        std::vector<std::uint32_t> words(PelioHandler::kMaxFramesPerPacket * kWordsPerFrame);
        const auto end = std::chrono::steady_clock::now() + 300ms;
        for (; std::chrono::steady_clock::now() < end; ++written) {
            const std::size_t frames = FramesOf(written);
            for (std::size_t index = 0; index < frames * kWordsPerFrame; ++index) {
                words[index] = WordOf(written, index);
            }
            handler->OnWriteMixedOutput(nullptr, 0.0, 0.0, words.data(),
                                        static_cast<UInt32>(frames * PelioHandler::kBytesPerFrame));
        }
    });
    producing.join();
    // As the device does: IO stops only once no IO operation runs.
    handler->OnStopIO();
    stopped = true;
    receiving.join();

    ASSERT_GE(received.size(), PelioHandler::kRingSlots);
    std::int64_t previous = -1;
    for (const Datagram& datagram : received) {
        const std::uint32_t packet = datagram.GetSequence() - 100;
        SCOPED_TRACE(packet);
        ASSERT_LT(packet, written);
        ASSERT_GT(static_cast<std::int64_t>(packet), previous);
        previous = packet;

        const std::size_t frames = FramesOf(packet);
        ASSERT_EQ(datagram.GetFrameCount(), frames);
        ASSERT_EQ(datagram.bytes.size(), PelioHandler::kHeaderBytes + frames * PelioHandler::kBytesPerFrame);
        ASSERT_EQ(datagram.GetSampleRate(), 48000u);
        ASSERT_EQ(datagram.GetChannelCount(), 2u);
        const auto payload = datagram.GetPayload();
        for (std::size_t index = 0; index < frames * kWordsPerFrame; ++index) {
            std::uint32_t word = 0;
            std::memcpy(&word, payload.data() + index * sizeof word, sizeof word);
            ASSERT_EQ(word, WordOf(packet, index)) << "word " << index;
        }
    }
}

} // namespace
} // namespace pelio
