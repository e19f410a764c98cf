// Applications that start, play, stop and vanish on one device at once while configuration
// changes stop and restart its IO, all in this process (run under ThreadSanitizer too): the
// connection threads, the server's own thread, and the device's IO thread reading the rings.

#include "HostTestSupport.h"
#include "PlayClient.h"
#include "TestSignal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace pelio::host::test {
namespace {

TEST(PlayConcurrency, ApplicationsComeAndGoWhileConfigurationChangesRestartIO)
{
    const HostFolders folders;
    folders.Install("StandIn");
    InProcessServer server(folders);
    const AudioObjectID deviceID = TranslateUID(kStandInUID);

    constexpr int kApplications = 3;
    constexpr int kPlays = 3;
    constexpr std::size_t kFrames = 9600; // 0.2 s each
    std::atomic<int> failures{0};
    std::atomic<bool> playing{true};
    std::vector<std::thread> threads;
    for (int application = 0; application < kApplications; ++application) {
        threads.emplace_back([&, application] {
            std::vector<Float32> samples;
            for (std::size_t frame = 0; frame < kFrames; ++frame) {
                samples.push_back(TestSignal::SequenceSample(frame));
                samples.push_back(-TestSignal::SequenceSample(frame));
            }
            for (int play = 0; play < kPlays; ++play) {
                PlayClient client;
                audioserver::PlayResponse response;
                if (client.Connect(folders.socket) != 0 || client.Start(deviceID, "local.pelio.test.app", response) != 0
                    || client.Play(samples.data(), kFrames) != 0) {
                    ++failures;
                    continue;
                }
                // The first application vanishes the last time, without a word.
                if (application == 0 && play == kPlays - 1) {
                    client.Close();
                    continue;
                }
                if (client.Stop(response) != 0 || response.framesPlayed != kFrames) {
                    ++failures;
                }
            }
        });
    }
    std::thread changes([&] {
        for (int change = 0; playing.load(); ++change) {
            if (SetSampleRate(deviceID, change % 2 == 0 ? 44100.0 : 48000.0) != 0) {
                ++failures;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }
    playing = false;
    changes.join();

    EXPECT_EQ(failures.load(), 0);
    ASSERT_TRUE(server.Get().RunOnServerThread([] {}));
    EXPECT_TRUE(Eventually([&] { return ReadIsRunning(deviceID) == 0; }));
    EXPECT_GT(ReadTestCounter(deviceID, "performed"), 0);
    EXPECT_EQ(ReadTestCounter(deviceID, "performedWhileRunning"), 0);
    for (const char* counter : {"counterFaults", "outputTimeFaults", "outsideCycle", "ioWhileStopped"}) {
        EXPECT_EQ(ReadTestCounter(deviceID, counter), 0) << counter;
    }
}

} // namespace
} // namespace pelio::host::test
