#include "hal/Stream.h"

#include "hal/Context.h"
#include "hal/Device.h"
#include "hal/IORequestHandler.h"
#include "hal/MuteControl.h"
#include "hal/RealTime.h"
#include "hal/Tracer.h"
#include "hal/VolumeControl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <thread>

namespace {

constexpr UInt32 kFrames = 512;
constexpr UInt32 kChannels = 2;
using Buffer = std::array<Float32, kFrames * kChannels>;

struct Readings
{
    bool IsActive;
    hal::Direction Direction;
    UInt32 TerminalType;
    UInt32 StartingChannel;
    UInt32 Latency;
    AudioStreamBasicDescription PhysicalFormat;
    AudioStreamBasicDescription VirtualFormat;
    UInt32 ChannelCount;
    Float64 SampleRate;
    UInt32 Bytes;
    UInt32 Frames;
};

// What the IO thread asks of a stream in a cycle. Under RealtimeSanitizer the test stops if any of
// it allocates, takes a lock it could wait for, or calls the system.
Readings ReadOnTheIOThread(const hal::Stream& stream) HAL_NONBLOCKING
{
    return Readings{stream.GetIsActive(),      stream.GetDirection(),      stream.GetTerminalType(),
                    stream.GetStartingChannel(), stream.GetLatency(),      stream.GetPhysicalFormat(),
                    stream.GetVirtualFormat(), stream.GetChannelCount(),   stream.GetSampleRate(),
                    stream.ConvertFramesToBytes(kFrames), stream.ConvertBytesToFrames(4096)};
}

void ProcessOnTheIOThread(const hal::Stream& stream, Buffer& samples) HAL_NONBLOCKING
{
    stream.ApplyProcessing(samples.data(), kFrames, kChannels);
}

// The device's default IO handler reaches the same processing.
void MixOnTheIOThread(hal::IORequestHandler& handler, const std::shared_ptr<hal::Client>& client,
                      const std::shared_ptr<hal::Stream>& stream, Buffer& samples) HAL_NONBLOCKING
{
    handler.OnProcessClientOutput(client, stream, 0.0, 0.0, samples.data(), kFrames, kChannels);
    handler.OnProcessMixedOutput(stream, 0.0, 0.0, samples.data(), kFrames, kChannels);
}

class StreamRealtimeTest : public ::testing::Test
{
protected:
    StreamRealtimeTest()
    {
        hal::StreamParameters parameters;
        parameters.Format = {48000.0, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
                             8, 1, 8, 2, 32, 0};
        stream = hal::MakeObject<hal::Stream>(context, device, parameters);
        stream->AttachVolumeControl(volume);
        stream->AttachMuteControl(mute);
    }

    std::shared_ptr<hal::Context> context = std::make_shared<hal::Context>(
        std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Flat));
    std::shared_ptr<hal::Device> device = hal::MakeObject<hal::Device>(context, hal::DeviceParameters{});
    std::shared_ptr<hal::Stream> stream;
    std::shared_ptr<hal::VolumeControl> volume =
        hal::MakeObject<hal::VolumeControl>(context, hal::VolumeControlParameters{});
    std::shared_ptr<hal::MuteControl> mute = hal::MakeObject<hal::MuteControl>(context, hal::MuteControlParameters{});
};

TEST_F(StreamRealtimeTest, ProcessingAndGettersStayRealtimeSafeWhileSettersRun)
{
    // Setters on another thread: they lock, allocate and replace what the IO thread reads.
    std::atomic<bool> done{false};
    std::thread setters([&] {
        const AudioStreamBasicDescription stereo = stream->GetPhysicalFormat();
        AudioStreamBasicDescription mono = stereo;
        mono.mChannelsPerFrame = 1;
        mono.mBytesPerFrame = mono.mBytesPerPacket = 4;
        ASSERT_EQ(stream->SetAvailablePhysicalFormatsAsync({}), 0);
        for (int i = 0; !done.load(std::memory_order_acquire); ++i) {
            EXPECT_EQ(volume->SetScalarValue(i % 2 == 0 ? 0.5f : 1.0f), 0);
            EXPECT_EQ(mute->SetIsMuted(i % 3 == 0), 0);
            // The device has no owner: each change is stored before the call returns.
            EXPECT_EQ(stream->SetLatencyAsync(static_cast<UInt32>(i % 7)), 0);
            EXPECT_EQ(stream->SetPhysicalFormatAsync(i % 2 == 0 ? mono : stereo), 0);
            EXPECT_EQ(stream->SetIsActive(i % 2 == 0), 0);
            stream->AttachMuteControl(i % 4 == 0 ? nullptr : mute);
        }
    });

    Buffer samples{};
    for (int cycle = 0; cycle < 2000; ++cycle) {
        samples.fill(0.25f);
        ProcessOnTheIOThread(*stream, samples);
        const Readings readings = ReadOnTheIOThread(*stream);
        EXPECT_EQ(readings.Direction, hal::Direction::Output);
        // Each getter reads the format once, whole: mono or stereo, never a mix of both.
        EXPECT_TRUE(readings.Bytes == kFrames * 4 || readings.Bytes == kFrames * 8) << readings.Bytes;
        EXPECT_EQ(readings.PhysicalFormat.mBytesPerFrame, 4 * readings.PhysicalFormat.mChannelsPerFrame);
    }
    done.store(true, std::memory_order_release);
    setters.join();
}

TEST_F(StreamRealtimeTest, ProcessingGivesTheExpectedSamples)
{
    hal::IORequestHandler handler;
    const std::shared_ptr<hal::Client> noClient;
    struct Case
    {
        Float32 scalar;
        bool muted;
        Float32 expected; // for an input of 0.8 through two passes
    };
    for (const Case c : {Case{1.0f, false, 0.8f}, Case{0.5f, false, 0.8f * 0.5017361f * 0.5017361f},
                         Case{0.5f, true, 0.0f}}) {
        ASSERT_EQ(volume->SetScalarValue(c.scalar), 0);
        ASSERT_EQ(mute->SetIsMuted(c.muted), 0);
        Buffer samples;
        samples.fill(0.8f);
        MixOnTheIOThread(handler, noClient, stream, samples);
        for (const Float32 sample : samples) {
            ASSERT_FLOAT_EQ(sample, c.expected);
        }
    }
}

} // namespace
