#include "hal/Stream.h"

#include "hal/Context.h"
#include "hal/Device.h"
#include "hal/MuteControl.h"
#include "hal/Tracer.h"
#include "hal/VolumeControl.h"

#include "TestHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <thread>
#include <vector>

namespace {

using pelio::test::TestHost;

// Two formats that differ in every compared field, so that a format read while it is replaced
// shows up as a mix of both.
constexpr AudioStreamBasicDescription kStereo48000{
    48000.0, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 8, 1, 8, 2, 32, 0};
constexpr AudioStreamBasicDescription kMono44100{
    44100.0, kAudioFormatLinearPCM, kAudioFormatFlagIsSignedInteger, 2, 1, 2, 1, 16, 0};
constexpr AudioStreamBasicDescription kQuad96000{
    96000.0, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 16, 1, 16, 4, 32, 0};

AudioStreamRangedDescription Offered(const AudioStreamBasicDescription& format)
{
    return AudioStreamRangedDescription{format, AudioValueRange{format.mSampleRate, format.mSampleRate}};
}

bool IsOneOf(const AudioStreamBasicDescription& format,
             std::initializer_list<AudioStreamBasicDescription> candidates)
{
    return std::any_of(candidates.begin(), candidates.end(), [&](const AudioStreamBasicDescription& candidate) {
        return std::memcmp(&format, &candidate, sizeof format) == 0;
    });
}

// Host threads at once: the application's setters, the host performing what they asked for,
// host property reads, and the IO thread's processing. The tracer is disabled so that the
// threads meet in the stream rather than in a trace lock.
class StreamConcurrencyTest : public ::testing::Test
{
protected:
    StreamConcurrencyTest()
    {
        host.SetConfigurationChangeCallbacks(
            [this](AudioObjectID objectID, UInt64 action, void* info) {
                return device->PerformConfigurationChange(objectID, action, info);
            },
            {});
        hal::StreamParameters parameters;
        parameters.Format = kStereo48000;
        stream = hal::MakeObject<hal::Stream>(context, device, parameters);
    }

    void OwnAndKnowHost()
    {
        device->RequestOwnershipChange(owner.get(), true);
        context->Host.store(host.GetInterface(), std::memory_order_release);
    }

    // Runs `body` until the writers are done, then once more.
    std::thread Repeat(std::function<void()> body)
    {
        return std::thread([this, body = std::move(body)] {
            while (!writersDone.load(std::memory_order_acquire)) {
                body();
            }
            body();
        });
    }

    UInt32 ReadScalar(AudioObjectPropertySelector selector) const
    {
        const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal, 0};
        UInt32 value = 0xFFFFFFFF;
        UInt32 size = 0;
        EXPECT_EQ(stream->GetPropertyData(stream->GetID(), 0, &address, 0, nullptr, 4, &size, &value), 0);
        return value;
    }

    std::shared_ptr<hal::Context> context = std::make_shared<hal::Context>(
        std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Flat));
    TestHost host;
    std::shared_ptr<hal::Object> owner = hal::MakeObject<hal::Object>(context, "Owner");
    std::shared_ptr<hal::Device> device = hal::MakeObject<hal::Device>(context, hal::DeviceParameters{});
    std::shared_ptr<hal::Stream> stream;
    std::atomic<bool> writersDone{false};
};

// The application's setters run while the host performs the changes they request on its own
// thread: the perform holds the device's mutex and then takes the stream's, so a setter that
// asked the device while holding the stream's mutex would deadlock here.
TEST_F(StreamConcurrencyTest, SettersPerformsAndPropertyReadsRaceWithoutTornValues)
{
    const std::vector<AudioStreamRangedDescription> pair{Offered(kStereo48000), Offered(kMono44100)};
    const std::vector<AudioStreamRangedDescription> triple{Offered(kStereo48000), Offered(kMono44100),
                                                           Offered(kQuad96000)};
    // Stored at once, before the device waits for the host.
    ASSERT_EQ(stream->SetAvailablePhysicalFormatsAsync(pair), 0);
    ASSERT_EQ(stream->SetAvailableVirtualFormatsAsync(pair), 0);
    OwnAndKnowHost();

    constexpr int kIterations = 1500;
    std::thread formats([&] {
        for (int i = 0; i < kIterations; ++i) {
            const AudioStreamBasicDescription& format = i % 2 == 0 ? kMono44100 : kStereo48000;
            EXPECT_EQ(stream->SetPhysicalFormatAsync(format), 0);
            const AudioObjectPropertyAddress address{kAudioStreamPropertyVirtualFormat,
                                                     kAudioObjectPropertyScopeGlobal, 0};
            EXPECT_EQ(stream->SetPropertyData(stream->GetID(), 0, &address, 0, nullptr, 40, &format), 0);
        }
    });
    std::thread others([&] {
        for (int i = 0; i < kIterations; ++i) {
            EXPECT_EQ(stream->SetLatencyAsync(static_cast<UInt32>(i % 4) * 64), 0);
            EXPECT_EQ(stream->SetIsActive(i % 2 == 0), 0);
            // Both lists keep the two formats that the other thread sets.
            EXPECT_EQ(stream->SetAvailablePhysicalFormatsAsync(i % 2 == 0 ? triple : pair), 0);
        }
    });
    std::thread performer = Repeat([&] { host.PerformPendingConfigurationChanges(); });

    std::atomic<int> reads{0};
    const auto read = [&] {
        const AudioObjectPropertyAddress address{kAudioStreamPropertyPhysicalFormat, kAudioObjectPropertyScopeGlobal,
                                                 0};
        AudioStreamBasicDescription format{};
        UInt32 size = 0;
        EXPECT_EQ(stream->GetPropertyData(stream->GetID(), 0, &address, 0, nullptr, 40, &size, &format), 0);
        EXPECT_TRUE(IsOneOf(format, {kStereo48000, kMono44100}));
        EXPECT_TRUE(IsOneOf(stream->GetVirtualFormat(), {kStereo48000, kMono44100}));
        // The two getters read the format once each; each read is whole.
        const UInt32 channels = stream->GetChannelCount();
        EXPECT_TRUE(channels == 1 || channels == 2) << channels;
        EXPECT_EQ(ReadScalar(kAudioStreamPropertyLatency) % 64, 0u);
        EXPECT_LE(ReadScalar(kAudioStreamPropertyIsActive), 1u);

        const auto list = stream->GetAvailablePhysicalFormats();
        EXPECT_TRUE(list.size() == 2 || list.size() == 3) << list.size();
        for (size_t index = 0; index < list.size(); ++index) {
            EXPECT_EQ(std::memcmp(&list[index], &triple[index], sizeof list[index]), 0) << index;
        }
        reads.fetch_add(1, std::memory_order_relaxed);
    };
    std::thread reader1 = Repeat(read);
    std::thread reader2 = Repeat(read);

    formats.join();
    others.join();
    writersDone.store(true, std::memory_order_release);
    performer.join();
    reader1.join();
    reader2.join();

    // Which request of a field wins depends on the race (one that restores the current value
    // while another is pending is dropped), but nothing may stay pending, and the immediate
    // setter's last value stands.
    host.PerformPendingConfigurationChanges();
    EXPECT_TRUE(host.TakePendingConfigurationChanges().empty());
    EXPECT_GT(reads.load(), 0);
    EXPECT_FALSE(stream->GetIsActive());
}

// Controls are replaced and released on another thread while the IO thread processes through
// them: a processing call must never meet a control half gone, nor a gain and a mute flag that
// change within one buffer.
TEST_F(StreamConcurrencyTest, ControlsReplacedAndChangedWhileProcessing)
{
    constexpr UInt32 kFrames = 256;
    constexpr UInt32 kChannels = 2;
    constexpr Float32 kInput = 0.5f;

    std::thread attacher([&] {
        for (int i = 0; i < 300; ++i) {
            // Each round a new pair, so the pair it replaces is destroyed on this thread.
            auto volume = hal::MakeObject<hal::VolumeControl>(context, hal::VolumeControlParameters{});
            auto mute = hal::MakeObject<hal::MuteControl>(context, hal::MuteControlParameters{});
            stream->AttachVolumeControl(i % 5 == 4 ? nullptr : volume);
            stream->AttachMuteControl(i % 3 == 2 ? nullptr : mute);
            for (int step = 0; step < 4; ++step) {
                EXPECT_EQ(volume->SetScalarValue(step % 2 == 0 ? 0.25f : 1.0f), 0);
                EXPECT_EQ(mute->SetIsMuted(step == 3), 0);
            }
        }
    });

    std::atomic<int> buffers{0};
    std::thread io = Repeat([&] {
        std::vector<Float32> samples(kFrames * kChannels, kInput);
        stream->ApplyProcessing(samples.data(), kFrames, kChannels);
        // One gain and one mute flag for the whole buffer.
        EXPECT_TRUE(std::all_of(samples.begin(), samples.end(), [&](Float32 s) { return s == samples[0]; }))
            << samples[0];
        EXPECT_GE(samples[0], 0.0f);
        EXPECT_LE(samples[0], kInput);
        buffers.fetch_add(1, std::memory_order_relaxed);
    });

    attacher.join();
    writersDone.store(true, std::memory_order_release);
    io.join();
    EXPECT_GT(buffers.load(), 0);
}

} // namespace
