// The server in this process, where a test can start IO on a device the way the IO engine does,
// and see what the plug-in sees around a configuration change.

#include "HostTestSupport.h"
#include "Player.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace pelio::host::test {
namespace {

TEST(Server, StopsIOAroundAConfigurationChangeAndStartsItAgain)
{
    const HostFolders folders;
    folders.Install("StandIn");
    InProcessServer server(folders);
    const AudioObjectID deviceID = TranslateUID(kStandInUID);
    const auto device = server.Get().FindDevice(deviceID);
    ASSERT_NE(device, nullptr);

    const auto player = std::make_shared<Player>(7, getpid(), "local.pelio.test.server", 4096);
    ASSERT_EQ(device->AddClient(*player), 0);
    ASSERT_EQ(device->StartIO(player), 0);
    EXPECT_TRUE(device->IsRunning());
    EXPECT_TRUE(player->IsPlaying());
    EXPECT_EQ(device->StartIO(player), kAudioHardwareIllegalOperationError);
    const AudioObjectPropertyAddress running{kAudioDevicePropertyDeviceIsRunning, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    UInt32 isRunning = 0;
    UInt32 size = sizeof(isRunning);
    EXPECT_EQ(AudioObjectGetPropertyData(deviceID, &running, 0, nullptr, &size, &isRunning), 0);
    EXPECT_EQ(isRunning, 1u);
    ASSERT_TRUE(Eventually([&] { return ReadTestCounter(deviceID, "cycles") > 0; }));

    ASSERT_EQ(SetSampleRate(deviceID, 44100.0), 0);
    // Everything posted before has run once this returns.
    ASSERT_TRUE(server.Get().RunOnServerThread([] {}));
    EXPECT_EQ(ReadSampleRate(deviceID), 44100.0);
    EXPECT_TRUE(device->IsRunning());
    EXPECT_TRUE(player->IsPlaying());
    ASSERT_TRUE(Eventually([&] { return ReadTestCounter(deviceID, "cycles") > 0 && player->GetCycles() > 2; }));

    EXPECT_EQ(device->StopIO(*player), 0);
    EXPECT_EQ(device->StopIO(*player), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(device->RemoveClient(*player), 0);
    EXPECT_FALSE(device->IsRunning());
    EXPECT_FALSE(player->IsPlaying());

    // The device is asked about every operation before each StartIO, the IO thread stops before
    // the change and starts again after it, and no IO call comes while IO is stopped.
    const std::string client = "7 " + std::to_string(getpid()) + " local.pelio.test.server";
    EXPECT_EQ(CollapseWillDo(ReadTestEvents(deviceID)),
              (std::vector<std::string>{"AddDeviceClient " + client, "WillDo x10 7", "StartIO", "Request", "StopIO",
                                        "Perform", "WillDo x10 7", "StartIO", "StopIO",
                                        "RemoveDeviceClient " + client}));
    EXPECT_EQ(ReadTestCounter(deviceID, "performedWhileRunning"), 0);
    EXPECT_EQ(ReadTestCounter(deviceID, "ioWhileStopped"), 0);
    EXPECT_EQ(ReadTestCounter(deviceID, "threadMarks"), 4);
    EXPECT_EQ(ReadTestCounter(deviceID, "counterFaults"), 0);
    EXPECT_EQ(ReadTestCounter(deviceID, "outputTimeFaults"), 0);
    EXPECT_EQ(ReadTestCounter(deviceID, "outsideCycle"), 0);
}

} // namespace
} // namespace pelio::host::test
