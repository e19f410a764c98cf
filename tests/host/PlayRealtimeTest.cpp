// The IO thread as it runs a few seconds of playback, in this process, so that under
// RealtimeSanitizer everything the cycle body does is checked: the server's own part and the
// driver's, the stand-in's and the PelioDriver bundle's. The only wait allowed on that path is the
// device's IO mutex, which the framework exempts itself; the IO thread's sleep between cycles lies
// outside the checked body.

#include "HostTestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace pelio::host::test {
namespace {

TEST(PlayRealtime, TheIOThreadPlaysSecondsOfAudioWithoutBlockingAllocatingOrCallingTheSystem)
{
    struct Case
    {
        const char* name;
        bool pelioDriver;
    };
    const Case cases[] = {{"the stand-in driver", false}, {"the PelioDriver bundle", true}};
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const HostFolders folders;
        if (testCase.pelioDriver) {
            folders.InstallPelioDriver();
        } else {
            folders.Install("StandIn");
        }
        InProcessServer server(folders);
        const AudioObjectID deviceID = TranslateUID(kStandInUID);
        // A second application joins and leaves while the first plays, so the cycle also mixes two.
        ChildProcess first(PelioHostCommand({"play", "--signal", "two-tone", "--seconds", "3"}), folders.socket);
        ASSERT_TRUE(Eventually([&] { return ReadIsRunning(deviceID) == 1; }));
        const CommandResult second = PelioHost({"play", "--signal", "sequence", "--seconds", "1"}, folders.socket);
        const CommandResult result = first.Wait();
        EXPECT_EQ(second.exitStatus, 0) << second.err;
        ASSERT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_NE(result.out.find("played 3.00 s (144000 frames"), std::string::npos) << result.out;
        EXPECT_EQ(result.err + second.err, "");
        EXPECT_EQ(ReadIsRunning(deviceID), 0);
    }
}

} // namespace
} // namespace pelio::host::test
