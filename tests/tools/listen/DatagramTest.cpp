#include "Datagram.h"
#include "DatagramBuilder.h"
#include "Receiver.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace pelio::listen {
namespace {

using testing::BuildDatagram;
using testing::DatagramFields;
using testing::TestSamples;

struct BadCase {
    const char* name;
    std::vector<std::byte> bytes;
    DatagramError expected;
};

std::vector<std::byte> Truncated(std::size_t size)
{
    std::vector<std::byte> bytes = BuildDatagram({.frameCount = 1});
    bytes.resize(size);
    return bytes;
}

std::vector<BadCase> BadCases()
{
    return {
        {"empty", {}, DatagramError::Short},
        {"one byte", Truncated(1), DatagramError::Short},
        {"header less one byte", Truncated(15), DatagramError::Short},
        {"wrong magic", BuildDatagram({.magic = {'P', 'E', 'L', 'X'}}), DatagramError::Magic},
        {"magic in lower case", BuildDatagram({.magic = {'p', 'e', 'l', 'o'}}), DatagramError::Magic},
        {"44100 Hz", BuildDatagram({.sampleRate = 44100}), DatagramError::SampleRate},
        {"48000 big-endian", BuildDatagram({.sampleRate = 0x80BB0000}), DatagramError::SampleRate},
        {"mono", BuildDatagram({.channelCount = 1}), DatagramError::ChannelCount},
        {"no channels", BuildDatagram({.channelCount = 0}), DatagramError::ChannelCount},
        {"0 frames", BuildDatagram({.frameCount = 0}), DatagramError::FrameCount},
        {"961 frames", BuildDatagram({.frameCount = 961}), DatagramError::FrameCount},
        {"65535 frames", BuildDatagram({.frameCount = 65535, .payloadBytes = 16}), DatagramError::FrameCount},
        {"header only", BuildDatagram({.frameCount = 1, .payloadBytes = 0}), DatagramError::Length},
        {"a byte short", BuildDatagram({.frameCount = 512, .payloadBytes = 4095}), DatagramError::Length},
        {"a byte over", BuildDatagram({.frameCount = 512, .payloadBytes = 4097}), DatagramError::Length},
        {"claims 960, carries 512", BuildDatagram({.frameCount = 960, .payloadBytes = 4096}), DatagramError::Length},
        {"claims 1, carries 960", BuildDatagram({.frameCount = 1, .payloadBytes = 7680}), DatagramError::Length},
    };
}

TEST(Datagram, RefusesEachBadDatagramForItsReason)
{
    for (const BadCase& badCase : BadCases()) {
        SCOPED_TRACE(badCase.name);
        EXPECT_EQ(ParseDatagram(badCase.bytes).error, badCase.expected);
    }
}

TEST(Datagram, ReceiverCountsBadDatagramsByReasonAndSkipsThem)
{
    Receiver receiver;
    receiver.Accept(testing::BuildPacket(100, 4), 0);
    std::array<std::uint64_t, kDatagramErrorCount> expectedByError{};
    for (const BadCase& badCase : BadCases()) {
        SCOPED_TRACE(badCase.name);
        const Delivery delivery = receiver.Accept(badCase.bytes, 0);
        EXPECT_EQ(delivery.error, badCase.expected);
        EXPECT_TRUE(delivery.samples.empty());
        EXPECT_EQ(delivery.silenceFrames, 0u);
        ++expectedByError[static_cast<std::size_t>(badCase.expected)];
    }
    // The stream goes on as if the bad ones had never come.
    const Delivery next = receiver.Accept(testing::BuildPacket(101, 4), 0);
    EXPECT_EQ(next.step.arrival, Arrival::InOrder);

    const Summary summary = receiver.GetSummary();
    EXPECT_EQ(summary.bad, BadCases().size());
    EXPECT_EQ(summary.badByError, expectedByError);
    EXPECT_EQ(summary.packets, 2u);
    EXPECT_EQ(summary.frames, 8u);
    EXPECT_EQ(summary.sequence.lost, 0u);
}

TEST(Datagram, ReadsTheHeaderAndLittleEndianSamplesAtEveryLegalLength)
{
    for (std::uint16_t frameCount : {1, 2, 512, 959, 960}) {
        SCOPED_TRACE(frameCount);
        const std::vector<std::byte> bytes = BuildDatagram({.sequence = 0xDEADBEEF, .frameCount = frameCount});
        ASSERT_EQ(bytes.size(), 16u + 8u * frameCount);

        const ParsedDatagram parsed = ParseDatagram(bytes);
        ASSERT_EQ(parsed.error, DatagramError::None);
        EXPECT_EQ(parsed.datagram.sequence, 0xDEADBEEFu);
        EXPECT_EQ(parsed.datagram.frameCount, frameCount);
        EXPECT_EQ(parsed.datagram.samples.data(), bytes.data() + 16);
        EXPECT_EQ(parsed.datagram.samples.size(), 8u * frameCount);
        const std::vector<float> expected = TestSamples(0xDEADBEEF, frameCount);
        for (std::size_t index = 0; index < expected.size(); ++index) {
            ASSERT_EQ(SampleAt(parsed.datagram, index), expected[index]) << "sample " << index;
        }
    }
}

} // namespace
} // namespace pelio::listen
