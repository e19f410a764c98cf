#include "HostTestSupport.h"
#include "TestSignal.h"

#include <AudioServer/Connection.h>
#include <AudioServer/Text.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pelio::host::test {

namespace {

constexpr AudioObjectPropertySelector kTestStateSelector = 'tsta';
constexpr AudioObjectPropertySelector kTestCommandSelector = 'tcmd';

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Starts the program with its output in files and PELIO_HOST_SOCKET set; its process ID.
pid_t Spawn(const std::vector<std::string>& arguments, const std::string& socket, const std::string& outPath,
            const std::string& errPath, const std::string& inPath = {})
{
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "PELIO_HOST_SOCKET=", 18) != 0) {
            environment.emplace_back(*entry);
        }
    }
    environment.push_back("PELIO_HOST_SOCKET=" + socket);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : environment) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, inPath.empty() ? "/dev/null" : inPath.c_str(), O_RDONLY,
                                     0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t process = -1;
    const int failure = posix_spawn(&process, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return failure == 0 ? process : -1;
}

int ExitStatusOf(int status)
{
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

AudioObjectPropertyAddress GlobalAddress(AudioObjectPropertySelector selector,
                                         AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal)
{
    return {selector, scope, kAudioObjectPropertyElementMain};
}

// The test driver's state dictionary, or null.
CFDictionaryRef CopyTestState(AudioObjectID deviceID)
{
    const AudioObjectPropertyAddress address = GlobalAddress(kTestStateSelector);
    CFTypeRef state = nullptr;
    UInt32 size = sizeof(state);
    if (AudioObjectGetPropertyData(deviceID, &address, 0, nullptr, &size, &state) != kAudioHardwareNoError
        || state == nullptr) {
        return nullptr;
    }
    if (CFGetTypeID(state) != CFDictionaryGetTypeID()) {
        CFRelease(state);
        return nullptr;
    }
    return static_cast<CFDictionaryRef>(state);
}

CFTypeRef TestStateValue(CFDictionaryRef state, const std::string& key)
{
    const CFStringRef keyString = audioserver::CreateString(key);
    const CFTypeRef value = CFDictionaryGetValue(state, keyString);
    CFRelease(keyString);
    return value;
}

} // namespace

TemporaryFolder::TemporaryFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "pelio-host-test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "cannot make a temporary folder";
    }
    mPath = pattern;
}

TemporaryFolder::~TemporaryFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(mPath, ignored);
}

HostFolders::HostFolders()
    : plugIns(root / "HAL")
    , state(root / "state")
    , socket(root / "host.sock")
{
    std::filesystem::create_directory(plugIns);
}

void HostFolders::Install(const std::string& bundle, const std::string& installedName) const
{
    const std::string name = installedName.empty() ? bundle : installedName;
    std::filesystem::copy(std::string(PELIO_TEST_BUNDLE_DIRECTORY) + "/" + bundle + ".driver",
                          plugIns + "/" + name + ".driver", std::filesystem::copy_options::recursive);
}

void HostFolders::InstallPelioDriver() const
{
    std::filesystem::copy(PELIO_DRIVER_BUNDLE, plugIns + "/PelioDriver.driver", std::filesystem::copy_options::recursive);
}

void HostFolders::Uninstall(const std::string& installedName) const
{
    std::filesystem::remove_all(plugIns + "/" + installedName + ".driver");
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const std::string& socket,
                           const std::string& input)
    : mProcess(Spawn(arguments, socket, mOutput / "out", mOutput / "err", input))
{
    if (mProcess <= 0) {
        ADD_FAILURE() << "cannot start " << arguments.front();
    }
}

ChildProcess::~ChildProcess()
{
    if (mProcess > 0) {
        Signal(SIGKILL);
        Wait();
    }
}

void ChildProcess::Signal(int signal) const
{
    if (mProcess > 0) {
        kill(mProcess, signal);
    }
}

std::string ChildProcess::ReadErr() const
{
    return ReadFile(mOutput / "err");
}

CommandResult ChildProcess::Wait()
{
    CommandResult result;
    int status = 0;
    if (mProcess > 0 && waitpid(mProcess, &status, 0) == mProcess) {
        result.exitStatus = ExitStatusOf(status);
    }
    mProcess = -1;
    result.out = ReadFile(mOutput / "out");
    result.err = ReadFile(mOutput / "err");
    return result;
}

CommandResult RunCommand(const std::vector<std::string>& arguments, const std::string& socket,
                         const std::string& input)
{
    return ChildProcess(arguments, socket, input).Wait();
}

std::string Probe(const std::string& socket)
{
    return RunCommand({PELIO_PROBE_EXECUTABLE}, socket).out;
}

std::vector<std::string> PelioHostCommand(const std::vector<std::string>& arguments)
{
    std::vector<std::string> command{PELIO_HOST_EXECUTABLE};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

CommandResult PelioHost(const std::vector<std::string>& arguments, const std::string& socket,
                        const std::string& input)
{
    return RunCommand(PelioHostCommand(arguments), socket, input);
}

ServerProcess::ServerProcess(const HostFolders& folders)
    : mLogPath(folders.root / "serve.log")
{
    mProcess = Spawn({PELIO_HOST_EXECUTABLE, "serve", "--plugins", folders.plugIns, "--state", folders.state},
                     folders.socket, folders.root / "serve.out", mLogPath);
    if (mProcess <= 0) {
        ADD_FAILURE() << "cannot start pelio-host";
        return;
    }
    const bool settled = Eventually([&] {
        mServing = Log().find("pelio-host: serving") != std::string::npos;
        int status = 0;
        if (!mServing && waitpid(mProcess, &status, WNOHANG) == mProcess) {
            mProcess = -1;
        }
        return mServing || mProcess == -1;
    });
    if (!settled) {
        ADD_FAILURE() << "pelio-host neither serves nor ends:\n" << Log();
    }
}

ServerProcess::~ServerProcess()
{
    if (mProcess > 0) {
        Stop();
    }
}

int ServerProcess::Stop(int signal)
{
    if (mProcess <= 0) {
        return -1;
    }
    kill(mProcess, signal);
    int status = 0;
    waitpid(mProcess, &status, 0);
    mProcess = -1;
    mServing = false;
    return ExitStatusOf(status);
}

std::string ServerProcess::Log() const
{
    return ReadFile(mLogPath);
}

void StandInServerTest::SetUp()
{
    folders.Install("StandIn");
    setenv("PELIO_HOST_SOCKET", folders.socket.c_str(), 1);
    server = std::make_unique<ServerProcess>(folders);
    ASSERT_TRUE(server->IsServing()) << server->Log();
}

void StandInServerTest::TearDown()
{
    audioserver::SharedConnection().Close();
    if (server != nullptr && server->IsServing()) {
        EXPECT_EQ(server->Stop(), 0) << server->Log();
    }
}

InProcessServer::InProcessServer(const HostFolders& folders)
{
    setenv("PELIO_HOST_SOCKET", folders.socket.c_str(), 1);
    audioserver::SharedConnection().Close();
    ServerOptions options;
    options.plugInFolder = folders.plugIns;
    options.stateFolder = folders.state;
    options.socketPath = folders.socket;
    mServer = std::make_unique<Server>(std::move(options));
    EXPECT_TRUE(mServer->Start());
}

InProcessServer::~InProcessServer()
{
    mServer->Stop();
    audioserver::SharedConnection().Close();
}

AudioObjectID TranslateUID(const std::string& uid)
{
    const CFStringRef uidString = audioserver::CreateString(uid);
    const AudioObjectPropertyAddress address = GlobalAddress(kAudioHardwarePropertyTranslateUIDToDevice);
    AudioObjectID deviceID = kAudioObjectUnknown;
    UInt32 size = sizeof(deviceID);
    const OSStatus status =
        AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, sizeof(uidString), &uidString, &size, &deviceID);
    CFRelease(uidString);
    EXPECT_EQ(status, kAudioHardwareNoError) << uid;
    return deviceID;
}

AudioObjectID ReadObjectID(AudioObjectID objectID, AudioObjectPropertySelector selector)
{
    const AudioObjectPropertyAddress address = GlobalAddress(selector);
    AudioObjectID value = kAudioObjectUnknown;
    UInt32 size = sizeof(value);
    EXPECT_EQ(AudioObjectGetPropertyData(objectID, &address, 0, nullptr, &size, &value), kAudioHardwareNoError);
    return value;
}

std::vector<AudioObjectID> ReadObjectIDs(AudioObjectID objectID, AudioObjectPropertySelector selector,
                                         AudioObjectPropertyScope scope)
{
    const AudioObjectPropertyAddress address = GlobalAddress(selector, scope);
    UInt32 size = 0;
    EXPECT_EQ(AudioObjectGetPropertyDataSize(objectID, &address, 0, nullptr, &size), kAudioHardwareNoError);
    std::vector<AudioObjectID> values(size / sizeof(AudioObjectID));
    EXPECT_EQ(AudioObjectGetPropertyData(objectID, &address, 0, nullptr, &size, values.data()), kAudioHardwareNoError);
    values.resize(size / sizeof(AudioObjectID));
    return values;
}

std::string ReadString(AudioObjectID objectID, AudioObjectPropertySelector selector)
{
    const AudioObjectPropertyAddress address = GlobalAddress(selector);
    CFStringRef string = nullptr;
    UInt32 size = sizeof(string);
    std::string text;
    if (AudioObjectGetPropertyData(objectID, &address, 0, nullptr, &size, &string) == kAudioHardwareNoError
        && string != nullptr) {
        EXPECT_EQ(size, sizeof(string));
        audioserver::CopyText(string, text);
        CFRelease(string);
    }
    return text;
}

Float64 ReadSampleRate(AudioObjectID deviceID)
{
    const AudioObjectPropertyAddress address = GlobalAddress(kAudioDevicePropertyNominalSampleRate);
    Float64 rate = 0;
    UInt32 size = sizeof(rate);
    EXPECT_EQ(AudioObjectGetPropertyData(deviceID, &address, 0, nullptr, &size, &rate), kAudioHardwareNoError);
    return rate;
}

OSStatus SetSampleRate(AudioObjectID deviceID, Float64 rate)
{
    const AudioObjectPropertyAddress address = GlobalAddress(kAudioDevicePropertyNominalSampleRate);
    return AudioObjectSetPropertyData(deviceID, &address, 0, nullptr, sizeof(rate), &rate);
}

OSStatus SendTestCommand(AudioObjectID deviceID, const std::string& command)
{
    const CFStringRef text = audioserver::CreateString(command);
    const AudioObjectPropertyAddress address = GlobalAddress(kTestCommandSelector);
    const OSStatus status = AudioObjectSetPropertyData(deviceID, &address, 0, nullptr, sizeof(text), &text);
    CFRelease(text);
    return status;
}

long long ReadTestCounter(AudioObjectID deviceID, const std::string& key)
{
    const CFDictionaryRef state = CopyTestState(deviceID);
    if (state == nullptr) {
        ADD_FAILURE() << "no test state on device " << deviceID;
        return -1;
    }
    SInt64 value = -1;
    const CFTypeRef number = TestStateValue(state, key);
    if (number == nullptr || CFGetTypeID(number) != CFNumberGetTypeID()
        || !CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberSInt64Type, &value)) {
        ADD_FAILURE() << "no counter " << key;
    }
    CFRelease(state);
    return value;
}

std::vector<std::string> ReadTestEvents(AudioObjectID deviceID)
{
    std::vector<std::string> events;
    const CFDictionaryRef state = CopyTestState(deviceID);
    if (state == nullptr) {
        ADD_FAILURE() << "no test state on device " << deviceID;
        return events;
    }
    const CFTypeRef list = TestStateValue(state, "events");
    if (list != nullptr && CFGetTypeID(list) == CFArrayGetTypeID()) {
        const auto array = static_cast<CFArrayRef>(list);
        for (CFIndex index = 0; index < CFArrayGetCount(array); ++index) {
            std::string text;
            audioserver::CopyText(static_cast<CFStringRef>(CFArrayGetValueAtIndex(array, index)), text);
            events.push_back(text);
        }
    }
    CFRelease(state);
    return events;
}

std::vector<std::string> CollapseWillDo(const std::vector<std::string>& events)
{
    std::vector<std::string> collapsed;
    std::string client;
    int count = 0;
    const auto flush = [&] {
        if (count > 0) {
            collapsed.push_back("WillDo x" + std::to_string(count) + " " + client);
        }
        count = 0;
    };
    for (const std::string& event : events) {
        // "WillDo 'code' client", the code four characters long.
        if (event.starts_with("WillDo ") && event.size() > 12) {
            const std::string eventClient = event.substr(12);
            if (count > 0 && eventClient != client) {
                flush();
            }
            client = eventClient;
            ++count;
            continue;
        }
        flush();
        collapsed.push_back(event);
    }
    flush();
    return collapsed;
}

std::vector<Float32> ReadRecording(AudioObjectID deviceID)
{
    const AudioObjectPropertyAddress address = GlobalAddress('tmix');
    CFTypeRef data = nullptr;
    UInt32 size = sizeof(data);
    std::vector<Float32> samples;
    if (AudioObjectGetPropertyData(deviceID, &address, 0, nullptr, &size, &data) != kAudioHardwareNoError
        || data == nullptr) {
        ADD_FAILURE() << "no recording on device " << deviceID;
        return samples;
    }
    const Held held(data);
    if (CFGetTypeID(data) == CFDataGetTypeID()) {
        const auto bytes = static_cast<CFDataRef>(data);
        samples.resize(static_cast<std::size_t>(CFDataGetLength(bytes)) / sizeof(Float32));
        std::memcpy(samples.data(), CFDataGetBytePtr(bytes), samples.size() * sizeof(Float32));
    }
    return samples;
}

int ReadIsRunning(AudioObjectID deviceID)
{
    const AudioObjectPropertyAddress address = GlobalAddress(kAudioDevicePropertyDeviceIsRunning);
    UInt32 running = 0;
    UInt32 size = sizeof(running);
    if (AudioObjectGetPropertyData(deviceID, &address, 0, nullptr, &size, &running) != kAudioHardwareNoError) {
        return -1;
    }
    return static_cast<int>(running);
}

Float32 SequenceOrSilence(std::size_t frame, std::size_t length)
{
    return frame < length ? TestSignal::SequenceSample(frame) : 0.0f;
}

std::optional<std::size_t> FirstDifference(const std::vector<Float32>& samples,
                                           const std::function<Float32(std::size_t)>& expected)
{
    for (std::size_t frame = 0; frame < samples.size() / 2; ++frame) {
        const Float32 left = expected(frame);
        if (samples[2 * frame] != left || samples[2 * frame + 1] != -left) {
            return frame;
        }
    }
    return std::nullopt;
}

void ExpectSumOfTwoSequences(const std::vector<Float32>& samples, std::size_t firstLength, std::size_t secondLength,
                             std::size_t secondStartAtLeast)
{
    ASSERT_GE(samples.size(), 2 * firstLength);
    const auto secondStart =
        FirstDifference(samples, [&](std::size_t frame) { return SequenceOrSilence(frame, firstLength); });
    ASSERT_TRUE(secondStart.has_value()) << "the second sequence is not there";
    EXPECT_GE(*secondStart, secondStartAtLeast);
    EXPECT_EQ(FirstDifference(samples,
                              [&](std::size_t frame) {
                                  const Float32 second =
                                      frame >= *secondStart ? SequenceOrSilence(frame - *secondStart, secondLength)
                                                            : 0.0f;
                                  return SequenceOrSilence(frame, firstLength) + second;
                              }),
              std::nullopt)
        << "the second sequence starts at frame " << *secondStart;
}

bool Eventually(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace pelio::host::test
