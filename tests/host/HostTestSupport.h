#pragma once

// What the simulated audio server's tests share: temporary folders, copies of the test bundles,
// pelio-host serve and other commands run as processes, and an in-process server. Each test
// uses folders and a socket path of its own, so tests may run in parallel. Test code only.

#include "Server.h"

#include <CoreAudio/AudioHardware.h>

#include <gtest/gtest.h>

#include <sys/types.h>

#include <csignal>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pelio::host::test {

inline constexpr const char* kStandInUID = "local.pelio.audio.iphone.output";
inline constexpr const char* kSecondUID = "local.pelio.test.second";
inline constexpr const char* kHiddenUID = "local.pelio.test.hidden";

// A CoreFoundation reference, released at the end of the scope.
struct Held
{
    explicit Held(CFTypeRef held) : object(held) {}
    ~Held()
    {
        if (object != nullptr) {
            CFRelease(object);
        }
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

    CFTypeRef object;
};

// A new empty folder under the system's temporary folder, removed with everything in it.
class TemporaryFolder
{
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::string& Path() const { return mPath; }
    std::string operator/(const std::string& name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

// A plug-in folder, a state folder and a socket path inside one temporary folder.
struct HostFolders
{
    HostFolders();

    TemporaryFolder root;
    std::string plugIns;
    std::string state;
    std::string socket;

    // Copies the test bundle <bundle>.driver into the plug-in folder, as <installedName>.driver.
    // Every copy is a file of its own, so an in-process server loads fresh plug-in state.
    void Install(const std::string& bundle, const std::string& installedName = {}) const;
    void Uninstall(const std::string& installedName) const;
    // Copies the built PelioDriver.driver into the plug-in folder.
    void InstallPelioDriver() const;
};

struct CommandResult
{
    int exitStatus = -1;
    std::string out;
    std::string err;
};

// A program started with PELIO_HOST_SOCKET set to `socket`, its standard input from the file
// `input` (/dev/null when empty) and its output in files.
class ChildProcess
{
public:
    ChildProcess(const std::vector<std::string>& arguments, const std::string& socket, const std::string& input = {});
    // Kills it (SIGKILL) if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t GetProcessID() const { return mProcess; }
    void Signal(int signal) const;
    // What it has written to standard error so far.
    std::string ReadErr() const;
    // Waits for it to end: its exit status (128 + the signal that ended it) and output.
    CommandResult Wait();

private:
    TemporaryFolder mOutput;
    pid_t mProcess = -1;
};

// Runs the program with PELIO_HOST_SOCKET set to `socket` and waits for it.
CommandResult RunCommand(const std::vector<std::string>& arguments, const std::string& socket,
                         const std::string& input = {});
// pelio-probe's line.
std::string Probe(const std::string& socket);
// pelio-host with these arguments.
CommandResult PelioHost(const std::vector<std::string>& arguments, const std::string& socket,
                        const std::string& input = {});
// The command line of pelio-host with these arguments.
std::vector<std::string> PelioHostCommand(const std::vector<std::string>& arguments);

// `pelio-host serve` as a process, its standard error in a log file.
class ServerProcess
{
public:
    // Starts it and waits until it serves or ends.
    explicit ServerProcess(const HostFolders& folders);
    // Stops it if it still runs.
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool IsServing() const { return mServing; }
    // Sends the signal, then waits: the exit status, or 128 + the signal that ended it.
    int Stop(int signal = SIGTERM);
    std::string Log() const;

private:
    std::string mLogPath;
    pid_t mProcess = -1;
    bool mServing = false;
};

// pelio-host serve with the stand-in bundle, this process its client; it must exit cleanly (under
// the sanitizers: without a finding).
class StandInServerTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    HostFolders folders;
    std::unique_ptr<ServerProcess> server;
};

// A Server in this process on the folders' socket; the client calls of this process reach it.
class InProcessServer
{
public:
    explicit InProcessServer(const HostFolders& folders);
    ~InProcessServer();

    Server& Get() { return *mServer; }

private:
    std::unique_ptr<Server> mServer;
};

// Client calls, as an application makes them.
AudioObjectID TranslateUID(const std::string& uid);
AudioObjectID ReadObjectID(AudioObjectID objectID, AudioObjectPropertySelector selector);
std::vector<AudioObjectID> ReadObjectIDs(AudioObjectID objectID, AudioObjectPropertySelector selector,
                                         AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal);
std::string ReadString(AudioObjectID objectID, AudioObjectPropertySelector selector);
Float64 ReadSampleRate(AudioObjectID deviceID);
OSStatus SetSampleRate(AudioObjectID deviceID, Float64 rate);
// The test driver's 'tcmd' and 'tsta'.
OSStatus SendTestCommand(AudioObjectID deviceID, const std::string& command);
long long ReadTestCounter(AudioObjectID deviceID, const std::string& key);
std::vector<std::string> ReadTestEvents(AudioObjectID deviceID);
// The events with each run of "WillDo <operation> <client>" for one client written as
// "WillDo x<count> <client>".
std::vector<std::string> CollapseWillDo(const std::vector<std::string>& events);
// The test driver's 'tmix': the stereo frames its WriteMix got.
std::vector<Float32> ReadRecording(AudioObjectID deviceID);
// kAudioDevicePropertyDeviceIsRunning, or -1 when it cannot be read.
int ReadIsRunning(AudioObjectID deviceID);

// What `pelio-host play --signal sequence` played: its left sample of frame `frame` while the
// signal lasts `length` frames, silence after (the right sample is the left one's negation).
Float32 SequenceOrSilence(std::size_t frame, std::size_t length);
// The first frame of the interleaved stereo `samples` whose left sample is not `expected(frame)`
// or whose right one is not its negation; nothing when every frame agrees.
std::optional<std::size_t> FirstDifference(const std::vector<Float32>& samples,
                                           const std::function<Float32(std::size_t)>& expected);

// Whether `samples` hold two sequences mixed: one of `firstLength` frames from frame 0 and one of
// `secondLength` frames from wherever the sum first departs from the first alone (`secondStart`,
// after frame 0), exactly. Fails the test where not.
void ExpectSumOfTwoSequences(const std::vector<Float32>& samples, std::size_t firstLength, std::size_t secondLength,
                             std::size_t secondStartAtLeast = 1);

// Waits (up to 20 s) until `condition` holds; whether it did.
bool Eventually(const std::function<bool()>& condition);

} // namespace pelio::host::test
