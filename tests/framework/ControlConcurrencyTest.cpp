#include "hal/Context.h"
#include "hal/Dispatcher.h"
#include "hal/MuteControl.h"
#include "hal/Tracer.h"
#include "hal/VolumeControl.h"

#include "TestHost.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace {

using pelio::test::TestHost;

constexpr pid_t kClientPID = 53;
constexpr int kChangesPerWriter = 500;
constexpr UInt32 kFrames = 512;
constexpr UInt32 kChannels = 2;

// Stores counted, and a store of the value already there counted as a fault: the setter compares
// and stores under its write mutex, so two writers asking for the same value at once must see it
// as one change and one "value not changed", never as two stores.
class CheckingVolumeControl : public hal::VolumeControl
{
public:
    CheckingVolumeControl(std::shared_ptr<const hal::Context> context, const hal::VolumeControlParameters& parameters)
        : VolumeControl(std::move(context), parameters)
    {
    }

    std::atomic<int> stores{0};
    std::atomic<int> repeatedStores{0};

protected:
    OSStatus SetRawValueImpl(SInt32 rawValue) override
    {
        stores.fetch_add(1, std::memory_order_relaxed);
        // Gives another writer the chance to store in between, were the setter not serialised.
        std::this_thread::yield();
        if (rawValue == GetRawValue()) {
            repeatedStores.fetch_add(1, std::memory_order_relaxed);
        }
        return VolumeControl::SetRawValueImpl(rawValue);
    }
};

class CheckingMuteControl : public hal::MuteControl
{
public:
    CheckingMuteControl(std::shared_ptr<const hal::Context> context, const hal::MuteControlParameters& parameters)
        : MuteControl(std::move(context), parameters)
    {
    }

    std::atomic<int> stores{0};
    std::atomic<int> repeatedStores{0};

protected:
    OSStatus SetIsMutedImpl(bool isMuted) override
    {
        stores.fetch_add(1, std::memory_order_relaxed);
        std::this_thread::yield();
        if (isMuted == GetIsMuted()) {
            repeatedStores.fetch_add(1, std::memory_order_relaxed);
        }
        return MuteControl::SetIsMutedImpl(isMuted);
    }
};

// Writers on host threads, readers of the properties, and an IO thread processing buffers, all at
// once. The tracer is disabled so that the threads meet in the controls rather than in a trace lock.
class ControlConcurrencyTest : public ::testing::Test
{
protected:
    ControlConcurrencyTest() { context->Host.store(host.GetInterface(), std::memory_order_release); }

    // Runs `body` until the writers are done, then once more. Yields after each round: on a machine
    // with fewer cores than threads, a writer that yields would otherwise wait out a reader's slice.
    std::thread WhileWriting(std::function<void()> body)
    {
        return std::thread([this, body = std::move(body)] {
            while (!writersDone.load(std::memory_order_acquire)) {
                body();
                std::this_thread::yield();
            }
            body();
        });
    }

    std::shared_ptr<hal::Context> context = std::make_shared<hal::Context>(
        std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Flat),
        std::make_shared<hal::Dispatcher>(nullptr, 1000));
    TestHost host;
    std::atomic<bool> writersDone{false};
};

TEST_F(ControlConcurrencyTest, VolumeSettersRaceReadersAndProcessingWithoutAMixedGain)
{
    auto control = hal::MakeObject<CheckingVolumeControl>(context, hal::VolumeControlParameters{});
    // Every level the race can leave behind: the initial raw 96, and raw 10 (-86 dB) and raw 20 (-76 dB)
    // that both writers ask for.
    const std::array<Float32, 3> scalars{1.0f, control->ConvertDecibelsToScalar(-86.0f),
                                         control->ConvertDecibelsToScalar(-76.0f)};
    const std::array<Float32, 3> decibels{0.0f, -86.0f, -76.0f};
    auto isOneOf = [](const auto& values, Float32 value) {
        for (const Float32 candidate : values) {
            if (candidate == value) {
                return true;
            }
        }
        return false;
    };

    std::atomic<int> tornBuffers{0};
    std::atomic<int> unreachableReads{0};
    std::atomic<int> failedCalls{0};

    std::thread processor = WhileWriting([&] {
        std::array<Float32, kFrames * kChannels> samples;
        samples.fill(1.0f);
        control->ApplyProcessing(samples.data(), kFrames, kChannels);
        for (const Float32 sample : samples) {
            if (sample != samples[0]) {
                tornBuffers.fetch_add(1, std::memory_order_relaxed);
                break;
            }
        }
        if (!isOneOf(scalars, samples[0])) {
            unreachableReads.fetch_add(1, std::memory_order_relaxed);
        }
    });
    std::thread reader = WhileWriting([&] {
        for (const auto& [selector, reachable] :
             {std::pair{kAudioLevelControlPropertyScalarValue, &scalars},
              std::pair{kAudioLevelControlPropertyDecibelValue, &decibels}}) {
            const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal, 0};
            Float32 value = 0.5f;
            UInt32 size = 0;
            if (control->GetPropertyData(control->GetID(), kClientPID, &address, 0, nullptr, sizeof value, &size,
                                         &value)
                != 0) {
                failedCalls.fetch_add(1, std::memory_order_relaxed);
            } else if (!isOneOf(*reachable, value)) {
                unreachableReads.fetch_add(1, std::memory_order_relaxed);
            }
        }
    });
    // Both writers ask for the same two raw values, one directly, one as decibels through the host.
    std::thread rawWriter([&] {
        for (int change = 0; change < kChangesPerWriter; ++change) {
            if (control->SetRawValue(change % 2 == 0 ? 10 : 20) != 0) {
                failedCalls.fetch_add(1, std::memory_order_relaxed);
            }
        }
    });
    std::thread hostWriter([&] {
        const AudioObjectPropertyAddress address{kAudioLevelControlPropertyDecibelValue,
                                                 kAudioObjectPropertyScopeGlobal, 0};
        for (int change = 0; change < kChangesPerWriter; ++change) {
            const Float32 value = change % 2 == 0 ? -86.0f : -76.0f;
            if (control->SetPropertyData(control->GetID(), kClientPID, &address, 0, nullptr, sizeof value, &value)
                != 0) {
                failedCalls.fetch_add(1, std::memory_order_relaxed);
            }
        }
    });

    rawWriter.join();
    hostWriter.join();
    writersDone.store(true, std::memory_order_release);
    processor.join();
    reader.join();

    EXPECT_EQ(tornBuffers.load(), 0);
    EXPECT_EQ(unreachableReads.load(), 0);
    EXPECT_EQ(failedCalls.load(), 0);
    EXPECT_EQ(control->repeatedStores.load(), 0);
    EXPECT_GT(control->stores.load(), 0);
    EXPECT_EQ(host.GetNotifications().size(), static_cast<std::size_t>(control->stores.load()))
        << "one notification per store";
}

TEST_F(ControlConcurrencyTest, MuteSettersRaceReadersAndProcessingAndBuffersClearWholeOrNotAtAll)
{
    auto control = hal::MakeObject<CheckingMuteControl>(context, hal::MuteControlParameters{});
    std::atomic<int> partlyClearedBuffers{0};
    std::atomic<int> badReads{0};
    std::atomic<int> failedCalls{0};

    std::thread processor = WhileWriting([&] {
        std::array<Float32, kFrames * kChannels> samples;
        samples.fill(0.5f);
        control->ApplyProcessing(samples.data(), kFrames, kChannels);
        for (const Float32 sample : samples) {
            if (sample != samples[0] || (sample != 0.0f && sample != 0.5f)) {
                partlyClearedBuffers.fetch_add(1, std::memory_order_relaxed);
                break;
            }
        }
    });
    std::thread reader = WhileWriting([&] {
        const AudioObjectPropertyAddress address{kAudioBooleanControlPropertyValue, kAudioObjectPropertyScopeGlobal, 0};
        UInt32 value = 7;
        UInt32 size = 0;
        if (control->GetPropertyData(control->GetID(), kClientPID, &address, 0, nullptr, sizeof value, &size, &value)
            != 0) {
            failedCalls.fetch_add(1, std::memory_order_relaxed);
        } else if (value > 1) {
            badReads.fetch_add(1, std::memory_order_relaxed);
        }
    });
    std::thread directWriter([&] {
        for (int change = 0; change < kChangesPerWriter; ++change) {
            if (control->SetIsMuted(change % 2 == 0) != 0) {
                failedCalls.fetch_add(1, std::memory_order_relaxed);
            }
        }
    });
    std::thread hostWriter([&] {
        const AudioObjectPropertyAddress address{kAudioBooleanControlPropertyValue, kAudioObjectPropertyScopeGlobal, 0};
        for (int change = 0; change < kChangesPerWriter; ++change) {
            const UInt32 value = change % 2 == 0 ? 1 : 0;
            if (control->SetPropertyData(control->GetID(), kClientPID, &address, 0, nullptr, sizeof value, &value)
                != 0) {
                failedCalls.fetch_add(1, std::memory_order_relaxed);
            }
        }
    });

    directWriter.join();
    hostWriter.join();
    writersDone.store(true, std::memory_order_release);
    processor.join();
    reader.join();

    EXPECT_EQ(partlyClearedBuffers.load(), 0);
    EXPECT_EQ(badReads.load(), 0);
    EXPECT_EQ(failedCalls.load(), 0);
    EXPECT_EQ(control->repeatedStores.load(), 0);
    EXPECT_GT(control->stores.load(), 0);
    EXPECT_EQ(host.GetNotifications().size(), static_cast<std::size_t>(control->stores.load()))
        << "one notification per store";
}

} // namespace
