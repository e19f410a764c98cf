#include "DatagramBuilder.h"
#include "Receiver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace pelio::listen {
namespace {

using testing::BuildDatagram;
using testing::BuildPacket;
using testing::TestSamples;

// What a sink would hold: silence and samples appended in the order Accept hands them out.
struct Stream {
    std::vector<float> samples;

    Delivery Take(Receiver& receiver, const std::vector<std::byte>& datagram, std::uint64_t arrival = 0)
    {
        const Delivery delivery = receiver.Accept(datagram, arrival);
        samples.insert(samples.end(), delivery.silenceFrames * 2, 0.0f);
        samples.insert(samples.end(), delivery.samples.begin(), delivery.samples.end());
        return delivery;
    }
};

void Append(std::vector<float>& to, const std::vector<float>& samples)
{
    to.insert(to.end(), samples.begin(), samples.end());
}

TEST(Receiver, FillsLostPacketsWithSilenceAndLeavesLateAndDuplicateOnesOut)
{
    Receiver receiver;
    Stream stream;
    stream.Take(receiver, BuildPacket(10, 960));
    stream.Take(receiver, BuildPacket(11, 40));
    EXPECT_EQ(stream.Take(receiver, BuildPacket(13, 512)).silenceFrames, 40u); // as long as the packet before
    EXPECT_TRUE(stream.Take(receiver, BuildPacket(12, 512)).samples.empty()); // late: its place is silence
    EXPECT_TRUE(stream.Take(receiver, BuildPacket(13, 512)).samples.empty()); // duplicate
    stream.Take(receiver, BuildPacket(14, 100));
    // The sender restarted after leaving two packets unsent: only those two become silence.
    const Delivery restart = stream.Take(receiver, BuildPacket(14 + 1 + 2 + 100, 100));
    EXPECT_EQ(restart.step.arrival, Arrival::Restart);
    EXPECT_EQ(restart.silenceFrames, 200u);

    std::vector<float> expected;
    Append(expected, TestSamples(10, 960));
    Append(expected, TestSamples(11, 40));
    expected.insert(expected.end(), 40 * 2, 0.0f);
    Append(expected, TestSamples(13, 512));
    Append(expected, TestSamples(14, 100));
    expected.insert(expected.end(), 200 * 2, 0.0f);
    Append(expected, TestSamples(117, 100));
    EXPECT_EQ(stream.samples, expected);

    const Summary summary = receiver.GetSummary();
    EXPECT_EQ(summary.packets, 7u);
    EXPECT_EQ(summary.frames, 960u + 40 + 512 + 100 + 100);
    EXPECT_EQ(summary.silenceFrames, 240u);
    EXPECT_EQ(summary.sequence.lost, 2u); // 12 came late; the restart's two never came
    EXPECT_EQ(summary.sequence.reordered, 1u);
    EXPECT_EQ(summary.sequence.duplicate, 1u);
    EXPECT_EQ(summary.sequence.restarts, 1u);
}

TEST(Receiver, MeasuresPeakAndRmsPerChannelOverTheAudioKept)
{
    constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    Receiver receiver;
    receiver.Accept(BuildDatagram({.sequence = 1, .frameCount = 2, .samples = {{0.5f, -0.25f, -0.5f, 0.25f}}}), 0);
    // Not finite samples do not count; neither does a duplicate, loud as it is.
    receiver.Accept(BuildDatagram({.sequence = 2, .frameCount = 2, .samples = {{kNaN, kInfinity, 0.5f, -0.25f}}}), 0);
    receiver.Accept(BuildDatagram({.sequence = 2, .frameCount = 1, .samples = {{1.0f, 1.0f}}}), 0);

    const Summary summary = receiver.GetSummary();
    EXPECT_NEAR(summary.peakDbfs[0], -6.0206, 1e-3);
    EXPECT_NEAR(summary.rmsDbfs[0], -6.0206, 1e-3);
    EXPECT_NEAR(summary.peakDbfs[1], -12.0412, 1e-3);
    EXPECT_NEAR(summary.rmsDbfs[1], -12.0412, 1e-3);

    // The meter's peaks start again after each reading; silence reads minus infinity.
    EXPECT_NEAR(receiver.TakeRecentPeaksDbfs()[0], -6.0206, 1e-3);
    receiver.Accept(BuildDatagram({.sequence = 3, .frameCount = 1, .samples = {{0.0f, 0.0f}}}), 0);
    EXPECT_EQ(receiver.TakeRecentPeaksDbfs()[0], -std::numeric_limits<double>::infinity());

    const Summary silent = Receiver().GetSummary();
    EXPECT_EQ(silent.peakDbfs[0], -std::numeric_limits<double>::infinity());
    EXPECT_EQ(silent.rmsDbfs[1], -std::numeric_limits<double>::infinity());
}

TEST(Receiver, JitterIsTheSpreadOfInOrderIntervalsAroundThePacketDuration)
{
    // 480 frames last 10 ms. Pair i arrives 10 ms + i x 10 us after the one before, i = 1 .. 100.
    constexpr std::uint64_t kPeriod = 10'000'000;
    Receiver receiver;
    std::uint32_t sequence = 1;
    std::uint64_t arrival = 1'000'000'000;
    receiver.Accept(BuildPacket(sequence++, 480), arrival);
    for (std::uint64_t pair = 1; pair <= 100; ++pair) {
        arrival += kPeriod + pair * 10'000;
        receiver.Accept(BuildPacket(sequence++, 480), arrival);
        if (pair == 50) {
            // Neither a duplicate nor the interval over a gap is a measurement, nor does either
            // disturb the next one.
            receiver.Accept(BuildPacket(sequence - 1, 480), arrival + 3'000'000);
            arrival += 1'000'000'000;
            sequence += 1;
            receiver.Accept(BuildPacket(sequence++, 480), arrival);
        }
    }

    const Summary summary = receiver.GetSummary();
    EXPECT_NEAR(summary.jitterP50Milliseconds, 0.50, 1e-4);
    EXPECT_NEAR(summary.jitterP99Milliseconds, 0.99, 1e-4);
    EXPECT_NEAR(summary.jitterMaxMilliseconds, 1.00, 1e-4);

    Receiver single;
    single.Accept(BuildPacket(1, 480), 0);
    EXPECT_TRUE(std::isnan(single.GetSummary().jitterP50Milliseconds));
}

} // namespace
} // namespace pelio::listen
