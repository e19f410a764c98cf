// The whole way, as a user runs it: pelio-host serve with the built PelioDriver bundle,
// pelio-listen on the Pelio port, and pelio-host play, all as processes. What an application plays
// reaches the receiver as Pelio datagrams.
//
// The driver sends to the fixed port 47583, so these tests take it (CTest runs nothing else that
// uses it at the same time) and fail, saying so, when another program holds it.

#include "HostTestSupport.h"
#include "TestSignal.h"

#include <AudioServer/Connection.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace pelio::host::test {
namespace {

constexpr UInt32 kFramesPerDatagram = 512; // one datagram per IO cycle of the nominal size
// The silent cycles the server runs after an application's last frame before it stops IO. The
// driver does not send what is still queued when IO stops, so their datagrams may not all leave.
constexpr long long kTailCycles = 2;

std::string ReadFileText(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<Float32> ReadRawFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<Float32> samples(bytes.size() / sizeof(Float32));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(Float32));
    return samples;
}

// The sequence numbers of the arrivals log, in the order the datagrams arrived.
std::vector<UInt32> ReadSequenceNumbers(const std::string& path)
{
    std::vector<UInt32> numbers;
    std::istringstream lines(ReadFileText(path));
    std::string line;
    std::getline(lines, line); // the heading
    while (std::getline(lines, line)) {
        const auto comma = line.find(',');
        numbers.push_back(static_cast<UInt32>(std::stoul(line.substr(comma + 1))));
    }
    return numbers;
}

// A number from the receiver's one-line JSON summary.
long long SummaryNumber(const std::string& json, const std::string& key)
{
    std::smatch match;
    if (!std::regex_search(json, match, std::regex("\"" + key + "\":(-?[0-9]+)"))) {
        ADD_FAILURE() << "no " << key << " in " << json;
        return -1;
    }
    return std::stoll(match[1]);
}

// The IO cycles `pelio-host play` says it played in.
long long PlayedCycles(const CommandResult& result)
{
    std::smatch match;
    if (!std::regex_search(result.out, match, std::regex(R"(in (\d+) IO cycles\))"))) {
        ADD_FAILURE() << "no cycle count in: " << result.out << result.err;
        return -1;
    }
    return std::stoll(match[1]);
}

class PelioStream : public ::testing::Test
{
protected:
    void SetUp() override
    {
        folders.InstallPelioDriver();
        setenv("PELIO_HOST_SOCKET", folders.socket.c_str(), 1);
        server = std::make_unique<ServerProcess>(folders);
        ASSERT_TRUE(server->IsServing()) << server->Log();
        // The stand-in's UID is Pelio's own.
        deviceID = TranslateUID(kStandInUID);
        ASSERT_NE(deviceID, kAudioObjectUnknown);

        listen = std::make_unique<ChildProcess>(
            std::vector<std::string>{PELIO_LISTEN_PROGRAM, "--json", "--raw", folders.root / "received.f32",
                                     "--arrivals", folders.root / "arrivals.csv"},
            folders.socket);
        const bool listening = Eventually([&] {
            const std::string err = listen->ReadErr();
            return err.find("listening on 127.0.0.1:47583") != std::string::npos
                || err.find("cannot bind") != std::string::npos;
        });
        ASSERT_TRUE(listening) << "pelio-listen neither listens nor fails";
        ASSERT_EQ(listen->ReadErr().find("cannot bind"), std::string::npos)
            << "The Pelio port 47583 is taken by another program; these tests need it. " << listen->ReadErr();
    }

    void TearDown() override
    {
        audioserver::SharedConnection().Close();
        if (server != nullptr && server->IsServing()) {
            EXPECT_EQ(server->Stop(), 0) << server->Log();
        }
    }

    // Stops the receiver and returns its JSON summary.
    std::string StopListening()
    {
        listen->Signal(SIGINT);
        const CommandResult result = listen->Wait();
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        return result.out;
    }

    CommandResult Play(const std::vector<std::string>& arguments)
    {
        std::vector<std::string> command{"play"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return PelioHost(command, folders.socket);
    }

    HostFolders folders;
    std::unique_ptr<ServerProcess> server;
    std::unique_ptr<ChildProcess> listen;
    AudioObjectID deviceID = kAudioObjectUnknown;
};

TEST_F(PelioStream, ADeterministicSignalArrivesBitExactlyInOrderAndWithoutLoss)
{
    const CommandResult played = Play({"--signal", "sequence", "--seconds", "2"});
    ASSERT_EQ(played.exitStatus, 0) << played.err;
    const long long cycles = PlayedCycles(played);
    const std::string summary = StopListening();

    // One datagram per cycle, numbered from 100, none lost, doubled, reordered or refused: all
    // those that carry the signal, and of the silent tail what left before IO stopped.
    const std::vector<UInt32> numbers = ReadSequenceNumbers(folders.root / "arrivals.csv");
    EXPECT_GE(static_cast<long long>(numbers.size()), cycles - kTailCycles);
    EXPECT_LE(static_cast<long long>(numbers.size()), cycles);
    for (std::size_t index = 0; index < numbers.size(); ++index) {
        ASSERT_EQ(numbers[index], 100 + index) << index;
    }
    EXPECT_EQ(SummaryNumber(summary, "packets"), static_cast<long long>(numbers.size())) << summary;
    for (const char* key : {"lost", "duplicate", "reordered", "restarts", "bad", "silence_frames"}) {
        EXPECT_EQ(SummaryNumber(summary, key), 0) << key << " in " << summary;
    }
    // Every frame as it was played, then silence.
    const std::vector<Float32> received = ReadRawFile(folders.root / "received.f32");
    EXPECT_EQ(received.size(), numbers.size() * kFramesPerDatagram * 2);
    EXPECT_GE(received.size(), 2u * 96000);
    EXPECT_EQ(FirstDifference(received, [](std::size_t frame) { return SequenceOrSilence(frame, 96000); }),
              std::nullopt);
}

TEST_F(PelioStream, ASecondPlayContinuesTheSequence100AboveWhereTheFirstEnded)
{
    const CommandResult first = Play({"--signal", "sequence", "--seconds", "1"});
    ASSERT_EQ(first.exitStatus, 0) << first.err;
    const CommandResult second = Play({"--signal", "sequence", "--seconds", "1"});
    ASSERT_EQ(second.exitStatus, 0) << second.err;
    const long long firstCycles = PlayedCycles(first);
    const std::string summary = StopListening();

    // The first run used the numbers 100 to 100 + its cycles - 1; the next start of IO skips 100
    // numbers, so the second run begins at 200 + the first run's cycles.
    const std::vector<UInt32> numbers = ReadSequenceNumbers(folders.root / "arrivals.csv");
    std::size_t boundary = 1;
    while (boundary < numbers.size() && numbers[boundary] == numbers[boundary - 1] + 1) {
        ++boundary;
    }
    ASSERT_LT(boundary, numbers.size()) << "no second run";
    EXPECT_GE(static_cast<long long>(boundary), firstCycles - kTailCycles);
    EXPECT_EQ(numbers.front(), 100u);
    EXPECT_EQ(numbers[boundary], 200 + firstCycles);
    for (std::size_t index = boundary + 1; index < numbers.size(); ++index) {
        ASSERT_EQ(numbers[index], numbers[index - 1] + 1) << index;
    }
    EXPECT_GE(static_cast<long long>(numbers.size() - boundary), PlayedCycles(second) - kTailCycles);
    // The receiver takes the jump for one restart, and counts as lost only the packets of the
    // first run's silent tail that were still queued when its IO stopped.
    EXPECT_EQ(SummaryNumber(summary, "restarts"), 1) << summary;
    EXPECT_EQ(SummaryNumber(summary, "lost"), static_cast<long long>(numbers[boundary] - numbers[boundary - 1] - 1 - 100))
        << summary;
}

TEST_F(PelioStream, TwoApplicationsPlayingAtOnceArriveAsTheirSum)
{
    ChildProcess first(PelioHostCommand({"play", "--signal", "sequence", "--seconds", "2"}), folders.socket);
    ASSERT_TRUE(Eventually([&] { return ReadIsRunning(deviceID) == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const CommandResult second = PelioHost({"play", "--signal", "sequence", "--seconds", "0.5"}, folders.socket);
    const CommandResult firstResult = first.Wait();
    ASSERT_EQ(firstResult.exitStatus, 0) << firstResult.err;
    ASSERT_EQ(second.exitStatus, 0) << second.err;
    const std::string summary = StopListening();
    EXPECT_EQ(SummaryNumber(summary, "lost"), 0) << summary;

    ExpectSumOfTwoSequences(ReadRawFile(folders.root / "received.f32"), 96000, 24000);
}

TEST_F(PelioStream, AnApplicationKilledWhilePlayingLeavesTheDeviceStopped)
{
    ChildProcess play(PelioHostCommand({"play", "--signal", "two-tone", "--seconds", "60"}), folders.socket);
    ASSERT_TRUE(Eventually([&] { return ReadIsRunning(deviceID) == 1; }));
    ASSERT_TRUE(Eventually([&] { return ReadFileText(folders.root / "arrivals.csv").size() > 200; }));
    play.Signal(SIGKILL);
    EXPECT_EQ(play.Wait().exitStatus, 128 + SIGKILL);
    EXPECT_TRUE(Eventually([&] { return ReadIsRunning(deviceID) == 0; }));
    EXPECT_NE(server->Log().find("went away while playing"), std::string::npos) << server->Log();
    StopListening();
}

} // namespace
} // namespace pelio::host::test
