#include "PelioHandler.h"

#include "DatagramReceiver.h"

#include "hal/RealTime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

namespace pelio {
namespace {

using namespace std::chrono_literals;

// IO cycles as the IO thread runs them. Under RealtimeSanitizer the test stops if any of it
// allocates, takes a lock it could wait for, or calls the system.
void WriteCycles(PelioHandler& handler, const std::shared_ptr<hal::Stream>& stream, const void* buffer,
                 UInt32 bufferBytes, int cycles) HAL_NONBLOCKING
{
    for (int cycle = 0; cycle < cycles; ++cycle) {
        handler.OnWriteMixedOutput(stream, 0.0, 0.0, buffer, bufferBytes);
    }
}

TEST(PelioHandlerRealtimeTest, QueueingAndDroppingPacketsStayRealtimeSafe)
{
    DatagramReceiver receiver;
    const auto handler = std::make_shared<PelioHandler>(receiver.GetPort());
    ASSERT_EQ(handler->OnStartIO(), 0);

    const std::shared_ptr<hal::Stream> noStream;
    const std::vector<std::byte> mix(8000, std::byte{0x3F});
    // 40 packets at once, more than the ring holds: most are dropped.
    WriteCycles(*handler, noStream, mix.data(), 8000, 20);
    WriteCycles(*handler, noStream, mix.data(), 7, 1);
    WriteCycles(*handler, noStream, nullptr, 4096, 1);

    const auto first = receiver.Receive(5s);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->GetSequence(), 100u);
    EXPECT_EQ(first->GetFrameCount(), 960u);
    handler->OnStopIO();
}

} // namespace
} // namespace pelio
