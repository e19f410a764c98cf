// pelio-host serve, pelio-host list and set-default, and pelio-probe, run as processes as a user
// runs them, against copies of the test bundles.

#include "HostTestSupport.h"
#include "PropertyListFile.h"

#include <AudioServer/Text.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace pelio::host::test {
namespace {

const std::string kAvailableAndDefault = "{\"available\":true,\"defaultOutput\":true}\n";
const std::string kAvailableNotDefault = "{\"available\":true,\"defaultOutput\":false}\n";
const std::string kUnavailable = "{\"available\":false,\"defaultOutput\":false}\n";

using ServeStandIn = StandInServerTest;

TEST(Serve, TheProbeFollowsTheServerAndTheChosenDefault)
{
    const HostFolders folders;
    folders.Install("StandIn");
    EXPECT_EQ(Probe(folders.socket), kUnavailable);
    {
        ServerProcess server(folders);
        ASSERT_TRUE(server.IsServing()) << server.Log();
        // Pelio's UID is the only output device.
        EXPECT_EQ(Probe(folders.socket), kAvailableAndDefault);
        const CommandResult list = PelioHost({"list"}, folders.socket);
        EXPECT_EQ(list.exitStatus, 0);
        EXPECT_NE(list.out.find("Pelio iPhone  local.pelio.audio.iphone.output  default output, default system output"),
                  std::string::npos)
            << list.out;
        // Ctrl-C ends it as cleanly as SIGTERM.
        EXPECT_EQ(server.Stop(SIGINT), 0) << server.Log();
    }
    EXPECT_EQ(Probe(folders.socket), kUnavailable);

    // Bundles load in name order, so with no choice made the second device comes first.
    folders.Install("SecondOutput");
    {
        ServerProcess server(folders);
        ASSERT_TRUE(server.IsServing()) << server.Log();
        EXPECT_EQ(Probe(folders.socket), kAvailableNotDefault);
        EXPECT_EQ(PelioHost({"set-default", kStandInUID}, folders.socket).exitStatus, 0);
        EXPECT_EQ(Probe(folders.socket), kAvailableAndDefault);
        const CommandResult chosen = PelioHost({"set-default", kSecondUID}, folders.socket);
        EXPECT_EQ(chosen.exitStatus, 0);
        EXPECT_EQ(chosen.out, "default output device: Second Output (local.pelio.test.second)\n");
        EXPECT_EQ(Probe(folders.socket), kAvailableNotDefault);
        EXPECT_EQ(server.Stop(), 0) << server.Log();
    }
    {
        // The choice holds across a restart...
        ServerProcess server(folders);
        EXPECT_EQ(Probe(folders.socket), kAvailableNotDefault);
    }
    folders.Uninstall("SecondOutput");
    {
        // ...and while its device is missing, the first present output device is the default.
        ServerProcess server(folders);
        EXPECT_EQ(Probe(folders.socket), kAvailableAndDefault);
        EXPECT_EQ(server.Stop(), 0) << server.Log();
    }
    EXPECT_EQ(Probe(folders.socket), kUnavailable);
}

// The real bundle, as the server loads it from its plug-in folder.
TEST(Serve, ThePelioDeviceIsFoundAndIsTheDefaultOutputWhileTheServerRuns)
{
    const HostFolders folders;
    folders.InstallPelioDriver();
    {
        ServerProcess server(folders);
        ASSERT_TRUE(server.IsServing()) << server.Log();
        EXPECT_EQ(Probe(folders.socket), kAvailableAndDefault);
        const CommandResult list = PelioHost({"list"}, folders.socket);
        EXPECT_EQ(list.exitStatus, 0);
        // Pelio's device is not for the system's alert sounds.
        EXPECT_NE(list.out.find("Pelio iPhone  local.pelio.audio.iphone.output  default output\n"), std::string::npos)
            << list.out;
        EXPECT_EQ(server.Stop(), 0) << server.Log();
    }
    EXPECT_EQ(Probe(folders.socket), kUnavailable);

    folders.Install("SecondOutput");
    {
        ServerProcess server(folders);
        ASSERT_TRUE(server.IsServing()) << server.Log();
        EXPECT_EQ(PelioHost({"set-default", kSecondUID}, folders.socket).exitStatus, 0);
        EXPECT_EQ(Probe(folders.socket), kAvailableNotDefault);
        EXPECT_EQ(PelioHost({"set-default", kStandInUID}, folders.socket).exitStatus, 0);
        EXPECT_EQ(Probe(folders.socket), kAvailableAndDefault);
        EXPECT_EQ(server.Stop(), 0) << server.Log();
    }
}

TEST(Serve, ClientCommandsReportWhatWentWrong)
{
    const HostFolders folders;
    folders.Install("StandIn");
    folders.Install("HiddenOutput");

    struct Case
    {
        const char* name;
        std::vector<std::string> arguments;
        const char* message;
    };
    const Case withoutServer[] = {
        {"list", {"list"}, "pelio-host: the audio server is not running\n"},
        {"set-default", {"set-default", kStandInUID}, "pelio-host: the audio server is not running\n"},
    };
    for (const Case& testCase : withoutServer) {
        SCOPED_TRACE(testCase.name);
        const CommandResult result = PelioHost(testCase.arguments, folders.socket);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.err, testCase.message);
    }

    ServerProcess server(folders);
    ASSERT_TRUE(server.IsServing()) << server.Log();
    const Case withServer[] = {
        {"unknown UID", {"set-default", "no.such.device"}, "pelio-host: no device has the UID no.such.device\n"},
        {"hidden device",
         {"set-default", kHiddenUID},
         "pelio-host: cannot make local.pelio.test.hidden the default output device: status 'nope'\n"},
    };
    for (const Case& testCase : withServer) {
        SCOPED_TRACE(testCase.name);
        const CommandResult result = PelioHost(testCase.arguments, folders.socket);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.err, testCase.message);
    }
    // The hidden device is neither listed nor the default.
    const CommandResult list = PelioHost({"list"}, folders.socket);
    EXPECT_EQ(list.out.find("Hidden"), std::string::npos) << list.out;
    EXPECT_EQ(Probe(folders.socket), kAvailableAndDefault);
    EXPECT_EQ(PelioHost({"bogus"}, folders.socket).exitStatus, 2);
}

TEST(Serve, RefusesBadBundlesWithOneLineEachAndServesTheRest)
{
    const HostFolders folders;
    folders.Install("StandIn");
    struct Case
    {
        const char* bundle;
        const char* line;
    };
    const Case cases[] = {
        {"WrongType",
         "skipped WrongType.driver: CFPlugInTypes names no factory for the audio server plug-in type "
         "443ABAB8-E7B3-491A-B985-BEB9187030DB"},
        {"MissingFactory", "skipped MissingFactory.driver: the executable exports no factory function NoSuchFactory"},
        {"MissingExecutable", "skipped MissingExecutable.driver: the executable Contents/MacOS/Absent is missing"},
        {"NullFactory", "skipped NullFactory.driver: the factory TestDriverFactory returned no plug-in"},
        {"RefusedInterface",
         "skipped RefusedInterface.driver: the plug-in refuses the driver interface (0x80000004)"},
    };
    for (const Case& testCase : cases) {
        folders.Install(testCase.bundle);
    }
    std::filesystem::create_directories(folders.plugIns + "/Garbled.driver/Contents");
    std::ofstream(folders.plugIns + "/Garbled.driver/Contents/Info.plist") << "not a property list";
    std::ofstream(folders.plugIns + "/Plain.driver") << "a file, not a bundle";

    ServerProcess server(folders);
    ASSERT_TRUE(server.IsServing()) << server.Log();
    const std::string log = server.Log();
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.bundle);
        const std::string expected = std::string("pelio-host: ") + testCase.line + "\n";
        EXPECT_NE(log.find(expected), std::string::npos) << log;
        EXPECT_EQ(log.find(testCase.bundle), log.rfind(testCase.bundle)) << "more than one line:\n" << log;
    }
    EXPECT_NE(log.find("pelio-host: skipped Garbled.driver: no readable Info.plist"), std::string::npos) << log;
    EXPECT_NE(log.find("pelio-host: skipped Plain.driver: it is not a bundle folder\n"), std::string::npos) << log;
    EXPECT_NE(log.find("pelio-host: loaded StandIn.driver (local.pelio.test.standin)\n"), std::string::npos) << log;
    EXPECT_EQ(Probe(folders.socket), kAvailableAndDefault);
}

TEST(Serve, StorageWrittenDuringInitializeIsThereAfterARestart)
{
    const HostFolders folders;
    folders.Install("StandIn");
    setenv("PELIO_HOST_SOCKET", folders.socket.c_str(), 1);
    {
        ServerProcess server(folders);
        ASSERT_TRUE(server.IsServing()) << server.Log();
        EXPECT_EQ(ReadTestCounter(TranslateUID(kStandInUID), "launches"), 1);
        EXPECT_EQ(server.Stop(), 0);
    }

    // Written on the way out, as a property list under the plug-in's bundle identifier.
    std::string error;
    const CFPropertyListRef stored =
        ReadPropertyListFile(folders.state + "/plugins/local.pelio.test.standin.plist", error);
    ASSERT_NE(stored, nullptr) << error;
    const CFStringRef key = audioserver::CreateString("launches");
    const auto launches = static_cast<CFNumberRef>(CFDictionaryGetValue(static_cast<CFDictionaryRef>(stored), key));
    SInt64 value = 0;
    ASSERT_NE(launches, nullptr);
    EXPECT_TRUE(CFNumberGetValue(launches, kCFNumberSInt64Type, &value));
    EXPECT_EQ(value, 1);
    CFRelease(key);
    CFRelease(stored);

    ServerProcess server(folders);
    ASSERT_TRUE(server.IsServing()) << server.Log();
    EXPECT_EQ(ReadTestCounter(TranslateUID(kStandInUID), "launches"), 2);
}

TEST_F(ServeStandIn, ConfigurationChangesArePerformedLaterOnTheServersThread)
{
    const AudioObjectID device = TranslateUID(kStandInUID);
    const AudioObjectID stream = ReadObjectIDs(device, kAudioDevicePropertyStreams).at(0);

    // Requested inside the client's property call, then from a thread of the plug-in's own.
    struct Step
    {
        const char* name;
        std::function<OSStatus()> request;
        Float64 rate;
    };
    const Step steps[] = {
        {"inside SetPropertyData", [&] { return SetSampleRate(device, 44100.0); }, 44100.0},
        {"back again", [&] { return SetSampleRate(device, 48000.0); }, 48000.0},
        {"from the plug-in's thread", [&] { return SendTestCommand(device, "request-from-thread"); }, 44100.0},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        EXPECT_EQ(step.request(), kAudioHardwareNoError);
        EXPECT_TRUE(Eventually([&] { return ReadSampleRate(device) == step.rate; }));
        // The stream's format follows, read afresh from the plug-in.
        const AudioObjectPropertyAddress format{kAudioStreamPropertyVirtualFormat, kAudioObjectPropertyScopeGlobal,
                                                kAudioObjectPropertyElementMain};
        AudioStreamBasicDescription description{};
        UInt32 size = sizeof(description);
        EXPECT_EQ(AudioObjectGetPropertyData(stream, &format, 0, nullptr, &size, &description), 0);
        EXPECT_EQ(description.mSampleRate, step.rate);
    }
    EXPECT_EQ(ReadTestCounter(device, "performed"), 3);
    EXPECT_EQ(ReadTestCounter(device, "performedOnRequestThread"), 0);
    EXPECT_EQ(ReadTestCounter(device, "performedWhileRunning"), 0);
    EXPECT_EQ(ReadTestEvents(device),
              (std::vector<std::string>{"Request", "Perform", "Request", "Perform", "Request", "Perform"}));
    EXPECT_EQ(SetSampleRate(device, 12345.0), kAudioHardwareIllegalOperationError);
}

TEST_F(ServeStandIn, PropertiesChangedIsReadAgainAndUnknownObjectsAreRefused)
{
    const AudioObjectID device = TranslateUID(kStandInUID);
    const std::string addedUID = std::string(kStandInUID) + ".added";

    EXPECT_EQ(SendTestCommand(device, "add-device"), kAudioHardwareNoError);
    EXPECT_TRUE(Eventually(
        [&] { return ReadObjectIDs(kAudioObjectSystemObject, kAudioHardwarePropertyDevices).size() == 2; }));
    const AudioObjectID added = TranslateUID(addedUID);
    EXPECT_NE(added, kAudioObjectUnknown);
    EXPECT_EQ(ReadString(added, kAudioObjectPropertyName), "Pelio iPhone Added");

    EXPECT_EQ(SendTestCommand(device, "remove-device"), kAudioHardwareNoError);
    EXPECT_TRUE(Eventually([&] { return TranslateUID(addedUID) == kAudioObjectUnknown; }));
    EXPECT_EQ(ReadObjectIDs(kAudioObjectSystemObject, kAudioHardwarePropertyDevices),
              (std::vector<AudioObjectID>{device}));

    EXPECT_EQ(SendTestCommand(device, "notify-unknown"), kAudioHardwareNoError);
    EXPECT_EQ(ReadTestCounter(device, "unknownObjectStatus"), kAudioHardwareBadObjectError);
    EXPECT_NE(server->Log().find("PropertiesChanged refused: the object 77 is not valid"), std::string::npos);

    // A device that hides itself leaves the list and the defaults, and is still found by UID.
    EXPECT_EQ(SendTestCommand(device, "hide"), kAudioHardwareNoError);
    EXPECT_TRUE(Eventually(
        [&] { return ReadObjectIDs(kAudioObjectSystemObject, kAudioHardwarePropertyDevices).empty(); }));
    EXPECT_EQ(TranslateUID(kStandInUID), device);
    EXPECT_EQ(ReadObjectID(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice), kAudioObjectUnknown);
    EXPECT_EQ(Probe(folders.socket), kAvailableNotDefault);
}

TEST_F(ServeStandIn, ADeviceListThatCannotBeReadKeepsTheDevicesItHad)
{
    const AudioObjectID device = TranslateUID(kStandInUID);
    const std::string addedUID = std::string(kStandInUID) + ".added";
    const auto deviceCount = [] { return ReadObjectIDs(kAudioObjectSystemObject, kAudioHardwarePropertyDevices).size(); };

    // A list that grew between its size and its data is read again.
    EXPECT_EQ(SendTestCommand(device, "refuse-device-list-once"), kAudioHardwareNoError);
    EXPECT_EQ(SendTestCommand(device, "add-device"), kAudioHardwareNoError);
    EXPECT_TRUE(Eventually([&] { return deviceCount() == 2; }));
    EXPECT_EQ(server->Log().find("device list cannot be read"), std::string::npos);

    // One that cannot be read at all changes nothing: the devices the plug-in had stay.
    EXPECT_EQ(SendTestCommand(device, "refuse-device-list"), kAudioHardwareNoError);
    EXPECT_EQ(SendTestCommand(device, "remove-device"), kAudioHardwareNoError);
    EXPECT_TRUE(Eventually([&] { return server->Log().find("device list cannot be read") != std::string::npos; }));
    EXPECT_EQ(deviceCount(), 2u);
    EXPECT_EQ(TranslateUID(kStandInUID), device);

    // Readable again, the next change is taken.
    EXPECT_EQ(SendTestCommand(device, "accept-device-list"), kAudioHardwareNoError);
    EXPECT_EQ(SendTestCommand(device, "remove-device"), kAudioHardwareNoError);
    EXPECT_TRUE(Eventually([&] { return TranslateUID(addedUID) == kAudioObjectUnknown; }));
    EXPECT_EQ(ReadObjectIDs(kAudioObjectSystemObject, kAudioHardwarePropertyDevices),
              (std::vector<AudioObjectID>{device}));
}

TEST(Serve, ObjectsOfSeveralPlugInsGetIDsOfTheirOwn)
{
    const HostFolders folders;
    folders.Install("StandIn");
    folders.Install("SecondOutput");
    setenv("PELIO_HOST_SOCKET", folders.socket.c_str(), 1);
    ServerProcess server(folders);
    ASSERT_TRUE(server.IsServing()) << server.Log();

    // Both plug-ins call their device 2 and their stream 3.
    const std::vector<AudioObjectID> plugIns = ReadObjectIDs(kAudioObjectSystemObject, kAudioHardwarePropertyPlugInList);
    ASSERT_EQ(plugIns.size(), 2u);
    const AudioObjectID first = TranslateUID(kSecondUID);
    const AudioObjectID second = TranslateUID(kStandInUID);
    EXPECT_EQ(ReadObjectIDs(kAudioObjectSystemObject, kAudioHardwarePropertyDevices),
              (std::vector<AudioObjectID>{first, second}));
    const AudioObjectID firstStream = ReadObjectIDs(first, kAudioDevicePropertyStreams).at(0);
    const AudioObjectID secondStream = ReadObjectIDs(second, kAudioDevicePropertyStreams).at(0);
    const std::vector<AudioObjectID> all{plugIns[0], plugIns[1], first, second, firstStream, secondStream};
    for (std::size_t one = 0; one < all.size(); ++one) {
        EXPECT_GT(all[one], kAudioObjectSystemObject);
        for (std::size_t other = one + 1; other < all.size(); ++other) {
            EXPECT_NE(all[one], all[other]);
        }
    }
    // Owners lead back through the server's IDs.
    EXPECT_EQ(ReadObjectID(secondStream, kAudioObjectPropertyOwner), second);
    EXPECT_EQ(ReadObjectID(second, kAudioObjectPropertyOwner), plugIns[1]);
    EXPECT_EQ(ReadObjectIDs(plugIns[1], kAudioPlugInPropertyDeviceList), (std::vector<AudioObjectID>{second}));
    // Scopes reach the plug-in: an output-only device has no input streams.
    EXPECT_TRUE(ReadObjectIDs(second, kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput).empty());

    // Translation through the plug-in object, with its CFString qualifier, comes back translated.
    const CFStringRef uid = audioserver::CreateString(kStandInUID);
    const AudioObjectPropertyAddress translate{kAudioPlugInPropertyTranslateUIDToDevice,
                                               kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    AudioObjectID translated = 0;
    UInt32 size = sizeof(translated);
    EXPECT_EQ(AudioObjectGetPropertyData(plugIns[1], &translate, sizeof(uid), &uid, &size, &translated), 0);
    EXPECT_EQ(translated, second);
    CFRelease(uid);

    const AudioObjectPropertyAddress name{kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal,
                                          kAudioObjectPropertyElementMain};
    EXPECT_TRUE(AudioObjectHasProperty(second, &name));
    EXPECT_FALSE(AudioObjectHasProperty(9999, &name));
    CFStringRef text = nullptr;
    size = sizeof(text);
    EXPECT_EQ(AudioObjectGetPropertyData(9999, &name, 0, nullptr, &size, &text), kAudioHardwareBadObjectError);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(TranslateUID("no.such.device"), kAudioObjectUnknown);
}

} // namespace
} // namespace pelio::host::test
