// The server in this process, where a test can start IO on a device the way the IO engine will,
// and see what the plug-in sees around a configuration change.

#include "HostTestSupport.h"

#include <gtest/gtest.h>

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

    const AudioServerPlugInClientInfo client{7, getpid(), true, nullptr};
    ASSERT_EQ(device->AddClient(client), 0);
    ASSERT_EQ(device->StartIO(client.mClientID), 0);
    EXPECT_TRUE(device->IsRunning());
    const AudioObjectPropertyAddress running{kAudioDevicePropertyDeviceIsRunning, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    UInt32 isRunning = 0;
    UInt32 size = sizeof(isRunning);
    EXPECT_EQ(AudioObjectGetPropertyData(deviceID, &running, 0, nullptr, &size, &isRunning), 0);
    EXPECT_EQ(isRunning, 1u);

    ASSERT_EQ(SetSampleRate(deviceID, 44100.0), 0);
    // Everything posted before has run once this returns.
    ASSERT_TRUE(server.Get().RunOnServerThread([] {}));
    EXPECT_EQ(ReadSampleRate(deviceID), 44100.0);
    EXPECT_EQ(ReadTestEvents(deviceID),
              (std::vector<std::string>{"StartIO", "Request", "StopIO", "Perform", "StartIO"}));
    EXPECT_EQ(ReadTestCounter(deviceID, "performedWhileRunning"), 0);
    EXPECT_TRUE(device->IsRunning());

    EXPECT_EQ(device->StopIO(client.mClientID), 0);
    EXPECT_EQ(device->RemoveClient(client), 0);
    EXPECT_FALSE(device->IsRunning());
}

} // namespace
} // namespace pelio::host::test
