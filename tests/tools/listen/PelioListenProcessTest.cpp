// pelio-listen run as a person runs it: a process on a free port, datagrams sent to it over UDP,
// stopped by a signal or by its own packet count; then its exit status, summary and files.

#include "DatagramBuilder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sndfile.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace pelio::listen {
namespace {

using testing::BuildDatagram;
using testing::BuildPacket;
using testing::TestSamples;

// Reads everything a pipe gives until it closes, or until the deadline.
std::string ReadToEnd(int descriptor, std::chrono::steady_clock::time_point deadline)
{
    std::string text;
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd wait{descriptor, POLLIN, 0};
        if (poll(&wait, 1, 100) <= 0) {
            continue;
        }
        const ssize_t size = read(descriptor, buffer, sizeof(buffer));
        if (size <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(size));
    }
    return text;
}

class ListenProcess
{
public:
    explicit ListenProcess(std::vector<std::string> arguments)
    {
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0) {
            ADD_FAILURE() << "pipe: " << std::strerror(errno);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);

        arguments.insert(arguments.begin(), PELIO_LISTEN_PROGRAM);
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        const int spawned = posix_spawn(&mChild, PELIO_LISTEN_PROGRAM, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        mOut = out[0];
        mErr = err[0];
        if (spawned != 0) {
            ADD_FAILURE() << "cannot start " << PELIO_LISTEN_PROGRAM << ": " << std::strerror(spawned);
            mChild = -1;
        }
    }

    ~ListenProcess()
    {
        if (mChild > 0) {
            kill(mChild, SIGKILL);
            waitpid(mChild, nullptr, 0);
        }
        close(mOut);
        close(mErr);
    }

    // The port from the first line on standard error, which comes once the socket is bound.
    std::uint16_t WaitUntilListening()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (mErrText.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd wait{mErr, POLLIN, 0};
            char letter;
            if (poll(&wait, 1, 100) > 0 && read(mErr, &letter, 1) == 1) {
                mErrText += letter;
            }
        }
        const std::string prefix = "pelio-listen: listening on 127.0.0.1:";
        if (!mErrText.starts_with(prefix)) {
            ADD_FAILURE() << "no listening line, standard error so far: " << mErrText;
            return 0;
        }
        return static_cast<std::uint16_t>(std::stoi(mErrText.substr(prefix.size())));
    }

    void Signal(int signal) { kill(mChild, signal); }

    // Holds the process still and returns once it is stopped.
    void Pause()
    {
        kill(mChild, SIGSTOP);
        int status = 0;
        waitpid(mChild, &status, WUNTRACED);
        EXPECT_TRUE(WIFSTOPPED(status));
    }

    struct Result {
        int exitStatus = -1;
        std::string out;
        std::string err;
    };

    // Collects the output and the exit status; kills the process if it does not end in time.
    Result Wait()
    {
        Result result;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        result.out = ReadToEnd(mOut, deadline);
        result.err = mErrText + ReadToEnd(mErr, deadline);
        int status = 0;
        while (waitpid(mChild, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ADD_FAILURE() << "pelio-listen did not end";
                kill(mChild, SIGKILL);
                waitpid(mChild, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        mChild = -1;
        result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return result;
    }

private:
    pid_t mChild = -1;
    int mOut = -1;
    int mErr = -1;
    std::string mErrText;
};

class Sender
{
public:
    explicit Sender(std::uint16_t port) : mSocket(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP))
    {
        mDestination.sin_family = AF_INET;
        mDestination.sin_port = htons(port);
        mDestination.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~Sender() { close(mSocket); }

    void Send(const std::vector<std::byte>& datagram)
    {
        const ssize_t sent = sendto(mSocket, datagram.data(), datagram.size(), 0,
                                    reinterpret_cast<const sockaddr*>(&mDestination), sizeof(mDestination));
        ASSERT_EQ(sent, static_cast<ssize_t>(datagram.size())) << std::strerror(errno);
    }

private:
    int mSocket;
    sockaddr_in mDestination{};
};

std::map<std::string, std::string> ParseSummary(const std::string& text)
{
    std::map<std::string, std::string> values;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t colon = line.find(": ");
        if (colon != std::string::npos) {
            values[line.substr(0, colon)] = line.substr(colon + 2);
        }
    }
    return values;
}

std::vector<float> ReadWav(const std::string& path, SF_INFO& info)
{
    info = {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        ADD_FAILURE() << "cannot read " << path << ": " << sf_strerror(nullptr);
        return {};
    }
    std::vector<float> samples(static_cast<std::size_t>(info.frames * info.channels));
    EXPECT_EQ(sf_readf_float(file, samples.data(), info.frames), info.frames);
    sf_close(file);
    return samples;
}

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class PelioListenProcess : public ::testing::Test
{
protected:
    void SetUp() override
    {
        mDirectory = std::filesystem::temp_directory_path() /
                     ("pelio-listen-test-" + std::to_string(getpid()) + "-" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(mDirectory);
    }
    void TearDown() override { std::filesystem::remove_all(mDirectory); }

    std::string PathOf(const char* name) const { return (mDirectory / name).string(); }

    std::filesystem::path mDirectory;
};

TEST_F(PelioListenProcess, CountsTheStreamAndWritesItUntilTerminated)
{
    ListenProcess listen({"--port", "0", "--wav", PathOf("out.wav"), "--spectrogram", PathOf("out.png"),
                          "--arrivals", PathOf("arrivals.csv")});
    const std::uint16_t port = listen.WaitUntilListening();
    ASSERT_NE(port, 0);

    // Held still while the datagrams arrive and the stop request comes, it must still take in
    // everything that was queued before the stop.
    listen.Pause();
    Sender sender(port);
    sender.Send(BuildPacket(100, 512));
    sender.Send(BuildPacket(101, 512));
    sender.Send(BuildDatagram({.magic = {'P', 'E', 'L', 'X'}, .sequence = 102, .frameCount = 512}));
    sender.Send(BuildDatagram({.sequence = 102, .frameCount = 512, .payloadBytes = 100}));
    sender.Send(BuildPacket(103, 512)); // 102 never arrives well-formed
    sender.Send(BuildPacket(103, 512));
    sender.Send(BuildPacket(104, 256));
    listen.Signal(SIGTERM);
    listen.Signal(SIGCONT);
    const ListenProcess::Result result = listen.Wait();

    ASSERT_EQ(result.exitStatus, 0) << result.err;
    std::map<std::string, std::string> summary = ParseSummary(result.out);
    EXPECT_EQ(summary["packets"], "5");
    EXPECT_EQ(summary["frames"], "1792");
    EXPECT_EQ(summary["seconds"], "0.037");
    EXPECT_EQ(summary["silence_frames"], "512");
    EXPECT_EQ(summary["lost"], "1");
    EXPECT_EQ(summary["duplicate"], "1");
    EXPECT_EQ(summary["reordered"], "0");
    EXPECT_EQ(summary["bad"], "2");
    EXPECT_EQ(summary["bad_magic"], "1");
    EXPECT_EQ(summary["bad_length"], "1");
    EXPECT_NE(summary["peak_left_dbfs"], "-inf");
    EXPECT_EQ(result.err.find('\r'), std::string::npos) << "a status line went into a pipe";

    SF_INFO info;
    const std::vector<float> wav = ReadWav(PathOf("out.wav"), info);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    std::vector<float> expected;
    for (std::uint32_t sequence : {100, 101}) {
        const std::vector<float> samples = TestSamples(sequence, 512);
        expected.insert(expected.end(), samples.begin(), samples.end());
    }
    expected.insert(expected.end(), 512 * 2, 0.0f);
    for (const std::vector<float>& samples : {TestSamples(103, 512), TestSamples(104, 256)}) {
        expected.insert(expected.end(), samples.begin(), samples.end());
    }
    EXPECT_EQ(wav, expected);

    const std::string csv = ReadFile(PathOf("arrivals.csv"));
    std::istringstream lines(csv);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "arrival_ns,sequence,frames,arrival");
    std::vector<std::string> rows;
    while (std::getline(lines, line)) {
        rows.push_back(line.substr(line.find(',') + 1)); // the time differs from run to run
    }
    EXPECT_EQ(rows, (std::vector<std::string>{"100,512,first", "101,512,in_order", "103,512,after_gap",
                                              "103,512,duplicate", "104,256,in_order"}));

    EXPECT_TRUE(ReadFile(PathOf("out.png")).starts_with("\x89PNG"));
}

TEST_F(PelioListenProcess, PassesRawSamplesToStandardOutputAndEndsAfterItsPacketCount)
{
    ListenProcess listen({"--port", "0", "--raw", "-", "--json", "--packets", "2"});
    const std::uint16_t port = listen.WaitUntilListening();
    ASSERT_NE(port, 0);

    Sender sender(port);
    sender.Send(BuildPacket(7, 960));
    sender.Send(BuildPacket(9, 3)); // a gap of one 960-frame packet
    sender.Send(BuildPacket(10, 3)); // beyond the count: not taken in
    const ListenProcess::Result result = listen.Wait();

    ASSERT_EQ(result.exitStatus, 0) << result.err;
    std::vector<float> expected = TestSamples(7, 960);
    expected.insert(expected.end(), 960 * 2, 0.0f);
    const std::vector<float> last = TestSamples(9, 3);
    expected.insert(expected.end(), last.begin(), last.end());
    ASSERT_EQ(result.out.size(), expected.size() * sizeof(float));
    EXPECT_EQ(std::memcmp(result.out.data(), expected.data(), result.out.size()), 0);

    // With the audio on standard output, the summary goes to standard error, after the first line.
    EXPECT_NE(result.err.find("\n{\"packets\":2,\"frames\":963,"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("\"lost\":1,"), std::string::npos) << result.err;
}

TEST_F(PelioListenProcess, RefusesAWrongCommandLine)
{
    ListenProcess listen({"--port", "65536"});
    const ListenProcess::Result result = listen.Wait();
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_NE(result.err.find("--port takes"), std::string::npos) << result.err;
    EXPECT_TRUE(result.out.empty());
}

} // namespace
} // namespace pelio::listen
