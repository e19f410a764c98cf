#include "hal/Device.h"

#include "hal/Context.h"
#include "hal/Tracer.h"

#include "TestHost.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

using pelio::test::TestHost;

// Host threads at once: requesters, the host performing what they asked for, and readers. The
// tracer is disabled so that the threads meet in the device rather than in a trace lock.
class DeviceConcurrencyTest : public ::testing::Test
{
protected:
    DeviceConcurrencyTest()
    {
        host.SetConfigurationChangeCallbacks(
            [this](AudioObjectID objectID, UInt64 action, void* info) {
                return device->PerformConfigurationChange(objectID, action, info);
            },
            {});
    }

    void OwnAndKnowHost()
    {
        device->RequestOwnershipChange(owner.get(), true);
        context->Host.store(host.GetInterface(), std::memory_order_release);
    }

    // Runs `body` on a host thread until the requesters are done, then once more.
    std::thread Repeat(std::function<void()> body)
    {
        return std::thread([this, body = std::move(body)] {
            while (!requestersDone.load(std::memory_order_acquire)) {
                body();
            }
            body();
        });
    }

    std::shared_ptr<hal::Context> context = std::make_shared<hal::Context>(
        std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Flat));
    TestHost host;
    std::shared_ptr<hal::Object> owner = hal::MakeObject<hal::Object>(context, "Owner");
    std::shared_ptr<hal::Device> device = hal::MakeObject<hal::Device>(context, hal::DeviceParameters{});
    std::atomic<bool> requestersDone{false};
};

// Channel set n: n descriptions, each with label n and first coordinate n, so that a list or
// layout read while it is being replaced shows up as labels that disagree with the count.
std::vector<AudioChannelDescription> ChannelSet(UInt32 n)
{
    return std::vector<AudioChannelDescription>(n, AudioChannelDescription{n, 0, {static_cast<Float32>(n), 0, 0}});
}

std::vector<UInt8> LayoutOf(const std::vector<AudioChannelDescription>& channels)
{
    std::vector<UInt8> layout(12 + 20 * channels.size(), 0);
    const UInt32 count = static_cast<UInt32>(channels.size());
    std::memcpy(layout.data() + 8, &count, 4);
    std::memcpy(layout.data() + 12, channels.data(), 20 * channels.size());
    return layout;
}

TEST_F(DeviceConcurrencyTest, SettersPerformsAndGettersRaceWithoutTornValues)
{
    // Stored in place first, so that every read comes from a stored value.
    ASSERT_EQ(device->SetAvailableSampleRatesAsync({{44100.0, 44100.0}, {48000.0, 48000.0}}), 0);
    ASSERT_EQ(device->SetPreferredChannelsAsync(ChannelSet(2)), 0);
    ASSERT_EQ(device->SetPreferredChannelLayoutAsync(LayoutOf(ChannelSet(3))), 0);
    OwnAndKnowHost();

    constexpr int kIterations = 1500;
    std::thread shapes([&] {
        for (int i = 0; i < kIterations; ++i) {
            EXPECT_EQ(device->SetNominalSampleRateAsync(i % 2 == 0 ? 48000.0 : 44100.0), 0);
            EXPECT_EQ(device->SetLatencyAsync(static_cast<UInt32>(i % 4) * 64), 0);
            EXPECT_EQ(device->SetPreferredChannelsAsync(ChannelSet(1 + i % 4)), 0);
        }
    });
    std::thread layouts([&] {
        for (int i = 0; i < kIterations; ++i) {
            EXPECT_EQ(device->SetPreferredChannelLayoutAsync(LayoutOf(ChannelSet(1 + i % 5))), 0);
            EXPECT_EQ(device->SetIsHidden(i % 2 == 0), 0);
            EXPECT_EQ(device->SetSafetyOffsetAsync(static_cast<UInt32>(i % 3)), 0);
        }
    });
    std::thread performer = Repeat([&] { host.PerformPendingConfigurationChanges(); });

    std::atomic<int> reads{0};
    const auto read = [&] {
        const Float64 rate = device->GetNominalSampleRate();
        EXPECT_TRUE(rate == 44100.0 || rate == 48000.0) << rate;
        EXPECT_EQ(device->GetLatency() % 64, 0u);
        EXPECT_LT(device->GetSafetyOffset(), 3u);
        EXPECT_EQ(device->GetAvailableSampleRates().size(), 2u);

        const auto channels = device->GetPreferredChannels();
        for (const auto& channel : channels) {
            ASSERT_EQ(channel.mChannelLabel, channels.size());
            ASSERT_EQ(channel.mCoordinates[0], static_cast<Float32>(channels.size()));
        }
        const auto layout = device->GetPreferredChannelLayout();
        ASSERT_GE(layout.size(), 12u);
        UInt32 count = 0;
        std::memcpy(&count, layout.data() + 8, 4);
        ASSERT_EQ(layout.size(), 12u + 20 * count);
        for (UInt32 index = 0; index < count; ++index) {
            UInt32 label = 0;
            std::memcpy(&label, layout.data() + 12 + 20 * index, 4);
            ASSERT_EQ(label, count);
        }
        // A count that mixes the stored list of one request with another is still a listed size.
        const UInt32 preferredCount = device->GetPreferredChannelCount();
        EXPECT_TRUE(preferredCount >= 1 && preferredCount <= 4) << preferredCount;
        reads.fetch_add(1, std::memory_order_relaxed);
    };
    std::thread reader1 = Repeat(read);
    std::thread reader2 = Repeat(read);

    shapes.join();
    layouts.join();
    requestersDone.store(true, std::memory_order_release);
    performer.join();
    reader1.join();
    reader2.join();

    EXPECT_GT(reads.load(), 0);
    // Everything the host was asked for has been performed; nothing is left to wait.
    host.PerformPendingConfigurationChanges();
    EXPECT_TRUE(host.TakePendingConfigurationChanges().empty());
}

// Requests, the host's performs and the owner letting the device go and taking it back, all at
// once. Each change must run exactly once: a perform and a detach must never both run the same
// change, and no change may be lost between them.
TEST_F(DeviceConcurrencyTest, EveryRequestedChangeRunsExactlyOnce)
{
    OwnAndKnowHost();

    // Requesters go on until the owner has let the device go and taken it back many times, so
    // that the three kinds of operation really meet. (Not until the host has had many rounds: a
    // round of the test host goes on for as long as requests keep coming.)
    constexpr int kMinimumRounds = 50;
    constexpr int kMinimumRequestsPerThread = 1000;
    constexpr int kMaximumRequestsPerThread = 20000;
    constexpr int kRequesters = 2;
    std::vector<std::atomic<int>> runs(kRequesters * kMaximumRequestsPerThread);
    std::atomic<int> ownershipRounds{0};
    std::atomic<int> requests{0};

    std::vector<std::thread> requesters;
    for (int thread = 0; thread < kRequesters; ++thread) {
        requesters.emplace_back([&, thread] {
            for (int i = 0; i < kMaximumRequestsPerThread; ++i) {
                if (i >= kMinimumRequestsPerThread && ownershipRounds.load() >= kMinimumRounds) {
                    break;
                }
                const int index = thread * kMaximumRequestsPerThread + i;
                device->RequestConfigurationChange([&runs, index] { runs[index].fetch_add(1); });
                requests.fetch_add(1);
            }
        });
    }
    std::thread performer = Repeat([&] { host.PerformPendingConfigurationChanges(); });
    std::thread ownership = Repeat([&] {
        device->RequestOwnershipChange(owner.get(), false);
        device->RequestOwnershipChange(owner.get(), true);
        ownershipRounds.fetch_add(1);
    });

    for (auto& requester : requesters) {
        requester.join();
    }
    requestersDone.store(true, std::memory_order_release);
    performer.join();
    ownership.join();

    // Whatever is still pending now runs, and the host's later performs find nothing.
    device->RequestOwnershipChange(owner.get(), false);
    host.PerformPendingConfigurationChanges();

    int ran = 0;
    int wrong = 0;
    for (std::size_t index = 0; index < runs.size(); ++index) {
        const int count = runs[index].load();
        ran += count;
        if (count > 1 && ++wrong <= 5) {
            ADD_FAILURE() << "change " << index << " ran " << count << " times";
        }
    }
    EXPECT_EQ(ran, requests.load()) << "changes were lost or run twice";
    EXPECT_GT(host.GetConfigurationChangeRequests().size(), 0u) << "some requests must have waited for the host";
}

} // namespace
