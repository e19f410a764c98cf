// The assembled Pelio driver under every kind of host traffic at once, through its interface
// table, as the audio server's threads drive it: an IO thread running cycles (the zero time stamp,
// ProcessMix and WriteMix) the whole time, while other threads read every property of every
// object, set the nominal sample rate and ask for configuration changes, perform and abort those
// changes as the host does, and add and remove clients that start and stop IO. Under
// ThreadSanitizer any data race stops the test; without it, the test still checks that no call
// ever fails where it must not, that the fixed answers never change, and that the device ends
// stopped.
//
// The handler sends to the Pelio port while IO runs; this test's executable takes the port's lock.

#include "PelioAssembly.h"
#include "PelioHandler.h"
#include "PropertySelectors.h"
#include "TestHost.h"

#include "hal/Device.h"
#include "hal/Driver.h"
#include "hal/Plugin.h"

#include <CoreAudio/AudioServerPlugIn.h>
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr AudioObjectID kDeviceID = 2;
constexpr AudioObjectID kStreamID = 3;
constexpr UInt32 kFrames = 512;
constexpr auto kRunTime = 1500ms;

AudioObjectPropertyAddress Global(AudioObjectPropertySelector selector)
{
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

class PelioDriverStress : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The host performs and aborts through the driver's table, as the audio server does.
        host.SetConfigurationChangeCallbacks(
            [this](AudioObjectID deviceID, UInt64 action, void* info) {
                return table.PerformDeviceConfigurationChange(reference, deviceID, action, info);
            },
            [this](AudioObjectID deviceID, UInt64 action, void* info) {
                return table.AbortDeviceConfigurationChange(reference, deviceID, action, info);
            });
        ASSERT_EQ(table.Initialize(reference, host.GetInterface()), 0);
    }

    // Runs `body(round)` on a thread of its own until the test says stop; counts its failures.
    void Spawn(std::function<bool(unsigned round)> body)
    {
        threads.emplace_back([this, body = std::move(body)] {
            for (unsigned round = 0; !stop.load(std::memory_order_relaxed); ++round) {
                if (!body(round)) {
                    failures.fetch_add(1);
                }
            }
        });
    }

    void RunAndJoin()
    {
        std::this_thread::sleep_for(kRunTime);
        stop = true;
        for (std::thread& thread : threads) {
            thread.join();
        }
    }

    // Reads one property into a buffer of `size` bytes and gives back what a host keeps of it:
    // the text of strings (released), the bytes of everything else.
    std::string Read(AudioObjectID objectID, const AudioObjectPropertyAddress& address, UInt32 size = 256)
    {
        std::array<std::uint8_t, 256> data{};
        UInt32 written = 0;
        const OSStatus status =
            table.GetPropertyData(reference, objectID, 0, &address, 0, nullptr, size, &written, data.data());
        if (status != 0) {
            return "status " + std::to_string(status);
        }
        if (pelio::test::ReturnsObject(address.mSelector) && written == sizeof(CFTypeRef)) {
            CFTypeRef object = nullptr;
            std::memcpy(&object, data.data(), sizeof object);
            std::string text = CFGetTypeID(object) == CFStringGetTypeID() ? "string" : "object";
            if (CFGetTypeID(object) == CFStringGetTypeID()) {
                char characters[256] = {};
                CFStringGetCString(static_cast<CFStringRef>(object), characters, sizeof characters, kCFStringEncodingUTF8);
                text = characters;
            }
            CFRelease(object);
            return text;
        }
        return std::string(reinterpret_cast<const char*>(data.data()), written);
    }

    pelio::test::TestHost host;
    std::shared_ptr<hal::Driver> driver = pelio::createDriver();
    AudioServerPlugInDriverRef reference = driver->GetReference();
    const AudioServerPlugInDriverInterface& table = **reference;
    std::shared_ptr<hal::Device> device = driver->GetPlugin()->GetDeviceByIndex(0);
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
};

TEST_F(PelioDriverStress, HostTrafficOfEveryKindWhileTheIOThreadRunsCycles)
{
    std::atomic<std::uint64_t> cycles{0};

    // The IO thread: cycles back to back, every call of which must succeed, whatever the other
    // threads change meanwhile.
    Spawn([&](unsigned) {
        std::vector<Float32> mix(2 * kFrames, 0.25f);
        Float64 sampleTime = 0;
        UInt64 hostTime = 0;
        UInt64 seed = 0;
        OSStatus status = table.GetZeroTimeStamp(reference, kDeviceID, 1, &sampleTime, &hostTime, &seed);
        AudioServerPlugInIOCycleInfo cycle{};
        cycle.mOutputTime.mSampleTime = sampleTime;
        for (const UInt32 operation : {kAudioServerPlugInIOOperationProcessMix, kAudioServerPlugInIOOperationWriteMix}) {
            status |= table.BeginIOOperation(reference, kDeviceID, 1, operation, kFrames, &cycle);
            status |= table.DoIOOperation(reference, kDeviceID, kStreamID, 1, operation, kFrames, &cycle, mix.data(),
                                          nullptr);
            status |= table.EndIOOperation(reference, kDeviceID, 1, operation, kFrames, &cycle);
        }
        cycles.fetch_add(1, std::memory_order_relaxed);
        return status == 0;
    });

    // Two property readers: every property of every object; the fixed ones never change.
    const std::string name = Read(kDeviceID, Global(kAudioObjectPropertyName));
    const std::string uid = Read(kDeviceID, Global(kAudioDevicePropertyDeviceUID));
    ASSERT_EQ(name, "Pelio iPhone");
    for (int reader = 0; reader < 2; ++reader) {
        Spawn([&, reader](unsigned round) {
            const AudioObjectID objectID = AudioObjectID(1 + (round + reader) % 3);
            for (const AudioObjectPropertySelector selector : pelio::test::kKnownSelectors) {
                const AudioObjectPropertyAddress address = Global(selector);
                UInt32 size = 0;
                table.GetPropertyDataSize(reference, objectID, 0, &address, 0, nullptr, &size);
                Read(objectID, address);
                table.HasProperty(reference, objectID, 0, &address);
            }
            return Read(kDeviceID, Global(kAudioObjectPropertyName)) == name
                && Read(kDeviceID, Global(kAudioDevicePropertyDeviceUID)) == uid;
        });
    }

    // The application's side and the host's setter: sample rates offered and chosen, latency,
    // safety offset and period, each a configuration change the host must perform.
    Spawn([&](unsigned round) {
        const Float64 rates[] = {48000.0, 44100.0};
        device->SetAvailableSampleRatesAsync({{48000.0, 48000.0}, {44100.0, 44100.0}});
        const Float64 rate = rates[round % 2];
        const auto nominal = Global(kAudioDevicePropertyNominalSampleRate);
        const OSStatus status = table.SetPropertyData(reference, kDeviceID, 0, &nominal, 0, nullptr, sizeof rate, &rate);
        device->SetLatencyAsync(round % 3 * 64);
        device->SetSafetyOffsetAsync(round % 5);
        device->SetZeroTimeStampPeriodAsync(round % 2 == 0 ? 48000 : 24000);
        std::this_thread::sleep_for(200us);
        // Refused only while 44100 is not offered yet (a change that offers it still pending).
        return status == 0 || status == kAudioHardwareUnsupportedOperationError;
    });

    // The host, performing most changes and aborting some.
    Spawn([&](unsigned round) {
        if (round % 4 == 3) {
            host.AbortPendingConfigurationChanges();
        } else {
            host.PerformPendingConfigurationChanges();
        }
        std::this_thread::sleep_for(100us);
        return true;
    });

    // Two applications that come and go: added, started, stopped, removed.
    for (UInt32 clientID : {11u, 12u}) {
        Spawn([&, clientID](unsigned) {
            const AudioServerPlugInClientInfo client{clientID, static_cast<pid_t>(clientID), 1, nullptr};
            bool ok = table.AddDeviceClient(reference, kDeviceID, &client) == 0;
            ok &= table.StartIO(reference, kDeviceID, clientID) == 0;
            std::this_thread::sleep_for(1ms);
            ok &= table.StopIO(reference, kDeviceID, clientID) == 0;
            ok &= table.RemoveDeviceClient(reference, kDeviceID, &client) == 0;
            return ok;
        });
    }

    RunAndJoin();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(cycles.load(), 0u);
    EXPECT_GT(host.GetConfigurationChangeRequests().size(), 0u);

    // Every start was stopped: the device and the handler's sender are idle again, and what is
    // still pending can be performed.
    host.PerformPendingConfigurationChanges();
    EXPECT_EQ(Read(kDeviceID, Global(kAudioDevicePropertyDeviceIsRunning)), std::string(4, '\0'));
    const auto* handler = dynamic_cast<const pelio::PelioHandler*>(device->GetIOHandler());
    ASSERT_NE(handler, nullptr);
    EXPECT_FALSE(handler->GetIsRunning());
}

} // namespace
