// pelio-host play against pelio-host serve, both as processes as a user runs them, with the
// stand-in driver, whose WriteMix records what it gets and whose IO counters check how the server
// drives it: what an application plays arrives exactly, mixed with what others play, through
// configuration changes and clock trouble; an application that vanishes stops the device.

#include "HostTestSupport.h"
#include "TestSignal.h"

#include <sndfile.h>

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <numbers>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace pelio::host::test {
namespace {

constexpr const char* kBundleID = "local.pelio.host.play";

using PlayTest = StandInServerTest;

// The sequence signal's stereo frames [first, first + count).
std::vector<Float32> Sequence(std::size_t count, std::size_t first = 0)
{
    std::vector<Float32> samples;
    for (std::size_t frame = first; frame < first + count; ++frame) {
        samples.push_back(TestSignal::SequenceSample(frame));
        samples.push_back(-TestSignal::SequenceSample(frame));
    }
    return samples;
}

std::string ClientRecord(UInt32 clientID, pid_t processID)
{
    return std::to_string(clientID) + " " + std::to_string(processID) + " " + kBundleID;
}

// What the IO counters of the stand-in must read after IO ran as the platform runs it.
void ExpectIOWithoutFaults(AudioObjectID deviceID)
{
    for (const char* counter : {"counterFaults", "outputTimeFaults", "outsideCycle", "ioWhileStopped"}) {
        EXPECT_EQ(ReadTestCounter(deviceID, counter), 0) << counter;
    }
}

TEST_F(PlayTest, WhatAnApplicationPlaysArrivesExactlyWithTheDeviceDrivenAsThePlatformDrivesIt)
{
    const AudioObjectID deviceID = TranslateUID(kStandInUID);
    ChildProcess play(PelioHostCommand({"play", "--signal", "sequence", "--seconds", "1.5"}), folders.socket);
    const pid_t processID = play.GetProcessID();
    const CommandResult result = play.Wait();
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    const std::smatch match = [&] {
        std::smatch found;
        std::regex_match(result.out, found,
                         std::regex(R"(played 1\.50 s \(72000 frames in (\d+) IO cycles\) on Pelio iPhone \(device \d+\)\n)"));
        return found;
    }();
    ASSERT_FALSE(match.empty()) << result.out;
    EXPECT_EQ(result.err, "");

    // Every frame, from the first cycle on, in order; silence in the cycles after the last.
    const std::vector<Float32> recorded = ReadRecording(deviceID);
    ASSERT_GE(recorded.size(), 2u * 72000);
    EXPECT_EQ(FirstDifference(recorded, [](std::size_t frame) { return SequenceOrSilence(frame, 72000); }), std::nullopt);

    EXPECT_EQ(ReadIsRunning(deviceID), 0);
    EXPECT_EQ(CollapseWillDo(ReadTestEvents(deviceID)),
              (std::vector<std::string>{"AddDeviceClient " + ClientRecord(1, processID), "WillDo x10 1", "StartIO",
                                        "StopIO", "RemoveDeviceClient " + ClientRecord(1, processID)}));
    EXPECT_EQ(ReadTestCounter(deviceID, "cycles"), std::stoll(match[1]));
    EXPECT_EQ(ReadTestCounter(deviceID, "threadMarks"), 2);
    EXPECT_EQ(ReadTestCounter(deviceID, "resyncs"), 0);
    ExpectIOWithoutFaults(deviceID);
}

TEST_F(PlayTest, TwoApplicationsPlayingAtOnceArriveAsTheirSum)
{
    const AudioObjectID deviceID = TranslateUID(kStandInUID);
    ChildProcess first(PelioHostCommand({"play", "--signal", "sequence", "--seconds", "2"}), folders.socket);
    ASSERT_TRUE(Eventually([&] { return ReadTestCounter(deviceID, "writeMixFrames") >= 4800; }));
    ChildProcess second(PelioHostCommand({"play", "--signal", "sequence", "--seconds", "0.5"}), folders.socket);
    const pid_t firstID = first.GetProcessID();
    const pid_t secondID = second.GetProcessID();
    const CommandResult secondResult = second.Wait();
    const CommandResult firstResult = first.Wait();
    ASSERT_EQ(firstResult.exitStatus, 0) << firstResult.err;
    ASSERT_EQ(secondResult.exitStatus, 0) << secondResult.err;
    EXPECT_EQ(firstResult.err + secondResult.err, "");

    // The first from frame 0 on; the second from where the sum first departs from the first.
    ExpectSumOfTwoSequences(ReadRecording(deviceID), 96000, 24000, 4800);

    // Two clients of their own, each asked about before its StartIO, on one IO thread.
    EXPECT_EQ(CollapseWillDo(ReadTestEvents(deviceID)),
              (std::vector<std::string>{"AddDeviceClient " + ClientRecord(1, firstID), "WillDo x10 1", "StartIO",
                                        "AddDeviceClient " + ClientRecord(2, secondID), "WillDo x10 2", "StartIO",
                                        "StopIO", "RemoveDeviceClient " + ClientRecord(2, secondID), "StopIO",
                                        "RemoveDeviceClient " + ClientRecord(1, firstID)}));
    EXPECT_EQ(ReadTestCounter(deviceID, "threadMarks"), 2);
    ExpectIOWithoutFaults(deviceID);
}

TEST_F(PlayTest, AnApplicationKilledWhilePlayingLeavesTheDeviceStopped)
{
    const AudioObjectID deviceID = TranslateUID(kStandInUID);
    ChildProcess play(PelioHostCommand({"play", "--signal", "sine", "--seconds", "60"}), folders.socket);
    const pid_t processID = play.GetProcessID();
    ASSERT_TRUE(Eventually([&] { return ReadIsRunning(deviceID) == 1; }));
    play.Signal(SIGKILL);
    EXPECT_EQ(play.Wait().exitStatus, 128 + SIGKILL);

    ASSERT_TRUE(Eventually([&] { return ReadIsRunning(deviceID) == 0; }));
    const std::vector<std::string> events = CollapseWillDo(ReadTestEvents(deviceID));
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(events.end() - 2, events.end()),
              (std::vector<std::string>{"StopIO", "RemoveDeviceClient " + ClientRecord(1, processID)}));
    EXPECT_TRUE(Eventually([&] {
        return server->Log().find("process " + std::to_string(processID) + " went away while playing")
            != std::string::npos;
    })) << server->Log();
    ExpectIOWithoutFaults(deviceID);
}

TEST_F(PlayTest, PlaybackGoesOnUnbrokenThroughAConfigurationChange)
{
    const AudioObjectID deviceID = TranslateUID(kStandInUID);
    ChildProcess play(PelioHostCommand({"play", "--signal", "sequence", "--seconds", "2"}), folders.socket);
    ASSERT_TRUE(Eventually([&] { return ReadTestCounter(deviceID, "writeMixFrames") >= 9600; }));
    ASSERT_EQ(SetSampleRate(deviceID, 44100.0), 0);
    ASSERT_TRUE(Eventually([&] { return ReadTestCounter(deviceID, "performed") == 1; }));
    const CommandResult result = play.Wait();
    ASSERT_EQ(result.exitStatus, 0) << result.err;

    // IO stopped for the change and started again, the device asked anew; not a frame lost.
    EXPECT_EQ(FirstDifference(ReadRecording(deviceID), [](std::size_t frame) { return SequenceOrSilence(frame, 96000); }),
              std::nullopt);
    const std::vector<std::string> events = CollapseWillDo(ReadTestEvents(deviceID));
    EXPECT_EQ(std::vector<std::string>(events.begin() + 2, events.end() - 1),
              (std::vector<std::string>{"StartIO", "Request", "StopIO", "Perform", "WillDo x10 1", "StartIO",
                                        "StopIO"}));
    EXPECT_EQ(ReadTestCounter(deviceID, "performedWhileRunning"), 0);
    EXPECT_EQ(ReadTestCounter(deviceID, "threadMarks"), 4);
    ExpectIOWithoutFaults(deviceID);
}

TEST_F(PlayTest, ANewTimeLineAndALateCycleResynchroniseWithoutLosingAFrame)
{
    const AudioObjectID deviceID = TranslateUID(kStandInUID);
    ChildProcess play(PelioHostCommand({"play", "--signal", "sequence", "--seconds", "2"}), folders.socket);
    ASSERT_TRUE(Eventually([&] { return ReadTestCounter(deviceID, "writeMixFrames") >= 9600; }));
    ASSERT_EQ(SendTestCommand(deviceID, "new-time-line"), 0);
    ASSERT_TRUE(Eventually([&] { return ReadTestCounter(deviceID, "resyncs") == 1; }));
    ASSERT_EQ(SendTestCommand(deviceID, "slow-cycle"), 0);
    const CommandResult result = play.Wait();
    ASSERT_EQ(result.exitStatus, 0) << result.err;

    EXPECT_EQ(ReadTestCounter(deviceID, "resyncs"), 2);
    EXPECT_EQ(FirstDifference(ReadRecording(deviceID), [](std::size_t frame) { return SequenceOrSilence(frame, 96000); }),
              std::nullopt);
    const std::string log = server->Log();
    EXPECT_NE(log.find("the IO thread resynchronises, the cycle counter starts again at 1: the zero time stamps "
                       "changed seed"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("after its deadline (processor overload; 1 late so far)"), std::string::npos) << log;
    EXPECT_NE(log.find("the IO thread resynchronises, the cycle counter starts again at 1: it fell more than a "
                       "buffer behind"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("resynchronisations, 0 failed calls"), std::string::npos) << log;
    ExpectIOWithoutFaults(deviceID);
}

// ---- Sounds from files and from standard input ------------------------------------------------

void WriteSoundFile(const std::string& path, int format, int rate, int channels, const std::vector<Float32>& samples)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size() / channels)),
              static_cast<sf_count_t>(samples.size() / channels));
    sf_close(file);
}

TEST_F(PlayTest, PlaysSoundFilesAtAnyRateAndRawStereoFromStandardInput)
{
    const AudioObjectID deviceID = TranslateUID(kStandInUID);
    const std::string sound = folders.root / "sound";
    constexpr std::size_t kFrames = 24000;

    std::vector<Float32> mono;
    for (std::size_t frame = 0; frame < kFrames; ++frame) {
        mono.push_back(TestSignal::SequenceSample(frame));
    }
    std::vector<Float32> sine;
    for (int frame = 0; frame < 44100; ++frame) {
        sine.push_back(static_cast<Float32>(0.5 * std::sin(2 * std::numbers::pi * 1000.0 * frame / 44100.0)));
    }

    struct Case
    {
        const char* name;
        std::function<void()> write;
        std::vector<std::string> arguments;
        bool fromStandardInput;
        std::function<void(const std::vector<Float32>&)> check;
    };
    const auto exactSequence = [](const std::vector<Float32>& recorded) {
        EXPECT_EQ(FirstDifference(recorded, [](std::size_t frame) { return SequenceOrSilence(frame, kFrames); }),
                  std::nullopt);
    };
    const Case cases[] = {
        {"a float WAV at the device's rate, bit for bit",
         [&] { WriteSoundFile(sound, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 2, Sequence(kFrames)); },
         {sound}, false, exactSequence},
        {"raw stereo float from standard input, bit for bit",
         [&] {
             const std::vector<Float32> samples = Sequence(kFrames);
             std::ofstream(sound, std::ios::binary)
                 .write(reinterpret_cast<const char*>(samples.data()),
                        static_cast<std::streamsize>(samples.size() * sizeof(Float32)));
         },
         {"-"}, true, exactSequence},
        {"a mono file on both channels",
         [&] { WriteSoundFile(sound, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 1, mono); },
         {sound}, false,
         [](const std::vector<Float32>& recorded) {
             for (std::size_t frame = 0; frame < kFrames; ++frame) {
                 ASSERT_EQ(recorded[2 * frame], TestSignal::SequenceSample(frame)) << frame;
                 ASSERT_EQ(recorded[2 * frame + 1], TestSignal::SequenceSample(frame)) << frame;
             }
         }},
        {"a second of 1 kHz at 44100 Hz, converted: a second of 1 kHz at 48000 Hz",
         [&] { WriteSoundFile(sound, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 44100, 1, sine); },
         {sound}, false,
         [](const std::vector<Float32>& recorded) {
             std::size_t lastSound = 0;
             int crossings = 0;
             for (std::size_t frame = 1; frame < recorded.size() / 2; ++frame) {
                 if (std::fabs(recorded[2 * frame]) > 1e-3f) {
                     lastSound = frame;
                 }
                 crossings += (recorded[2 * frame - 2] < 0) != (recorded[2 * frame] < 0) ? 1 : 0;
             }
             EXPECT_NEAR(static_cast<double>(lastSound), 48000, 64);
             EXPECT_NEAR(crossings, 2000, 4);
         }},
        {"--seconds cuts a file short",
         [&] { WriteSoundFile(sound, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 2, Sequence(kFrames)); },
         {"--seconds", "0.25", sound}, false,
         [](const std::vector<Float32>& recorded) {
             EXPECT_EQ(FirstDifference(recorded, [](std::size_t frame) { return SequenceOrSilence(frame, 12000); }),
                       std::nullopt);
         }},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        testCase.write();
        ASSERT_EQ(SendTestCommand(deviceID, "clear-recording"), 0);
        std::vector<std::string> arguments{"play"};
        arguments.insert(arguments.end(), testCase.arguments.begin(), testCase.arguments.end());
        const CommandResult result = PelioHost(arguments, folders.socket, testCase.fromStandardInput ? sound : "");
        ASSERT_EQ(result.exitStatus, 0) << result.err;
        testCase.check(ReadRecording(deviceID));
    }
    EXPECT_EQ(ReadIsRunning(deviceID), 0);
}

TEST(Play, SaysWhatGoesWrong)
{
    const HostFolders folders;
    folders.Install("StandIn");
    struct Case
    {
        const char* name;
        std::vector<std::string> arguments;
        int exitStatus;
        std::string message; // how standard error begins
    };
    const Case withoutServer[] = {
        {"no server", {"play", "--signal", "sine"}, 1, "pelio-host: the audio server is not running"},
        {"no sound", {"play"}, 2, "pelio-host: play takes one sound: a file, - for standard input, or --signal NAME"},
        {"two sounds", {"play", "a.wav", "--signal", "sine"}, 2,
         "pelio-host: play takes one sound: a file, - for standard input, or --signal NAME"},
        {"no such signal", {"play", "--signal", "noise"}, 2,
         "pelio-host: no signal is called noise (sequence, sine, two-tone)"},
        {"seconds that are no number", {"play", "--seconds", "soon", "-"}, 2,
         "pelio-host: --seconds takes a positive number of seconds, not soon"},
        {"no seconds at all", {"play", "--seconds", "0", "-"}, 2,
         "pelio-host: --seconds takes a positive number of seconds, not 0"},
        {"an unknown option", {"play", "--loud", "-"}, 2, "pelio-host: unknown option --loud"},
    };
    for (const Case& testCase : withoutServer) {
        SCOPED_TRACE(testCase.name);
        const CommandResult result = PelioHost(testCase.arguments, folders.socket);
        EXPECT_EQ(result.exitStatus, testCase.exitStatus);
        EXPECT_EQ(result.err.substr(0, result.err.find('\n')), testCase.message);
    }

    ServerProcess server(folders);
    ASSERT_TRUE(server.IsServing()) << server.Log();
    const Case withServer[] = {
        {"an unknown device", {"play", "--device", "no.such.device", "--signal", "sine"}, 1,
         "pelio-host: no device has the UID no.such.device"},
        {"a file that is not there", {"play", folders.root / "absent.wav"}, 1,
         "pelio-host: cannot read " + (folders.root / "absent.wav") + ": "},
    };
    for (const Case& testCase : withServer) {
        SCOPED_TRACE(testCase.name);
        const CommandResult result = PelioHost(testCase.arguments, folders.socket);
        EXPECT_EQ(result.exitStatus, testCase.exitStatus);
        EXPECT_EQ(result.err.substr(0, testCase.message.size()), testCase.message) << result.err;
    }
}

} // namespace
} // namespace pelio::host::test
