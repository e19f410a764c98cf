#include "Summary.h"

#include <gtest/gtest.h>

#include <limits>

namespace pelio::listen {
namespace {

// Scripts read these keys; a change here is a change of the tool's interface.
TEST(Summary, PrintsEveryKeyInAFixedOrderAsTextAndJson)
{
    Summary summary;
    summary.packets = 1001;
    summary.frames = 512'000;
    summary.silenceFrames = 512;
    summary.sequence = {1, 2, 3, 4};
    summary.bad = 3;
    summary.badByError[static_cast<std::size_t>(DatagramError::Magic)] = 2;
    summary.badByError[static_cast<std::size_t>(DatagramError::Length)] = 1;
    summary.peakDbfs = {-6.0206, -std::numeric_limits<double>::infinity()};
    summary.rmsDbfs = {-9.031, -std::numeric_limits<double>::infinity()};
    summary.jitterP50Milliseconds = 1.5;
    summary.jitterP99Milliseconds = 2.6667;
    summary.jitterMaxMilliseconds = std::numeric_limits<double>::quiet_NaN();

    EXPECT_EQ(FormatSummaryText(summary),
              "packets: 1001\n"
              "frames: 512000\n"
              "seconds: 10.667\n"
              "silence_frames: 512\n"
              "lost: 1\n"
              "duplicate: 2\n"
              "reordered: 3\n"
              "restarts: 4\n"
              "bad: 3\n"
              "bad_short: 0\n"
              "bad_magic: 2\n"
              "bad_rate: 0\n"
              "bad_channels: 0\n"
              "bad_frame_count: 0\n"
              "bad_length: 1\n"
              "peak_left_dbfs: -6.02\n"
              "peak_right_dbfs: -inf\n"
              "rms_left_dbfs: -9.03\n"
              "rms_right_dbfs: -inf\n"
              "jitter_p50_ms: 1.500\n"
              "jitter_p99_ms: 2.667\n"
              "jitter_max_ms: nan\n");
    EXPECT_EQ(FormatSummaryJson(summary),
              "{\"packets\":1001,\"frames\":512000,\"seconds\":10.667,\"silence_frames\":512,\"lost\":1,"
              "\"duplicate\":2,\"reordered\":3,\"restarts\":4,\"bad\":3,\"bad_short\":0,\"bad_magic\":2,"
              "\"bad_rate\":0,\"bad_channels\":0,\"bad_frame_count\":0,\"bad_length\":1,"
              "\"peak_left_dbfs\":-6.02,\"peak_right_dbfs\":null,\"rms_left_dbfs\":-9.03,\"rms_right_dbfs\":null,"
              "\"jitter_p50_ms\":1.500,\"jitter_p99_ms\":2.667,\"jitter_max_ms\":null}\n");
}

} // namespace
} // namespace pelio::listen
