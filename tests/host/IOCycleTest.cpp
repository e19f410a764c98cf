// One device's IO cycles as the IO thread runs them, against a device written into the test: the
// order of the operations and their buffers, the cycle info on the device's time line, the mix,
// resynchronisation and lateness. The host clock is moved by hand, so every time is exact.

#include "CycleLog.h"
#include "HostTestSupport.h"
#include "IOCycle.h"
#include "IOThread.h"
#include "Player.h"

#include <mach/mach_time.h>
#include <substitute/host_clock.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace pelio::host {
namespace {

// ---- The hand-moved host clock: ticks are nanoseconds -----------------------------------------

std::atomic<UInt64> gNow{1'000'000'000};

uint64_t ReadManualClock()
{
    return gNow.load();
}

constexpr Float64 kRate = 48000.0;
constexpr Float64 kTicksPerFrame = 1.0e9 / kRate;
constexpr UInt32 kFrames = 512;
constexpr UInt32 kInputSafety = 16;
constexpr UInt32 kOutputSafety = 32;

constexpr AudioObjectID kDevice = 2;
constexpr AudioObjectID kInputStream = 10;
constexpr AudioObjectID kStereoOutput = 20; // device channels 1 and 2
constexpr AudioObjectID kMonoOutput = 21;   // device channel 2
constexpr AudioObjectID kSilentOutput = 22; // device channel 3, which a stereo player never reaches

std::string Code(UInt32 code)
{
    return {static_cast<char>(code >> 24), static_cast<char>(code >> 16), static_cast<char>(code >> 8),
            static_cast<char>(code)};
}

// ---- The device --------------------------------------------------------------------------------

// Records every IO call as a line ("Do 'pout' 20 5 +": operation, stream, client, and whether a
// secondary buffer came), keeps the cycle info of each Begin Cycle and what WriteMix got per
// stream. An operation not done in place leaves its main buffer times two in the secondary one;
// one done in place adds 1 to every sample, except WriteMix, which only records. Its clock follows
// the platform's sample: one stamp per period, at most one period further per call.
struct FakeDevice
{
    AudioServerPlugInDriverInterface* reference = &table;
    AudioServerPlugInDriverInterface table{};

    std::vector<std::string> calls;
    std::vector<AudioServerPlugInIOCycleInfo> cycles;
    std::map<AudioObjectID, std::vector<Float32>> written;
    std::map<AudioObjectID, UInt32> channels{{kInputStream, 2}, {kStereoOutput, 2}, {kMonoOutput, 1}, {kSilentOutput, 1}};
    std::set<UInt32> inPlace{kAudioServerPlugInIOOperationReadInput, kAudioServerPlugInIOOperationProcessMix,
                             kAudioServerPlugInIOOperationWriteMix, kAudioServerPlugInIOOperationMixOutput,
                             kAudioServerPlugInIOOperationProcessInput};

    // The clock.
    UInt64 anchor = 1'000'000'000;
    Float64 ticksPerFrame = kTicksPerFrame;
    UInt32 period = 16384;
    UInt64 periods = 0;
    UInt64 seed = 1;

    UInt32 failingOperation = 0;
    UInt64 ticksPerWriteMix = 0; // how far the clock moves while WriteMix runs

    static FakeDevice& Of(AudioServerPlugInDriverRef driver) { return *reinterpret_cast<FakeDevice*>(driver); }
    AudioServerPlugInDriverRef Driver() { return reinterpret_cast<AudioServerPlugInDriverRef>(this); }

    FakeDevice()
    {
        table.GetZeroTimeStamp = [](AudioServerPlugInDriverRef driver, AudioObjectID, UInt32 client, Float64* sample,
                                    UInt64* host, UInt64* seed) -> OSStatus {
            FakeDevice& device = Of(driver);
            device.calls.push_back("GetZeroTimeStamp " + std::to_string(client));
            const Float64 ticksPerPeriod = device.ticksPerFrame * device.period;
            if (mach_absolute_time() >= device.anchor + static_cast<UInt64>(ticksPerPeriod * (device.periods + 1))) {
                ++device.periods;
            }
            *sample = static_cast<Float64>(device.periods * device.period);
            *host = device.anchor + static_cast<UInt64>(ticksPerPeriod * device.periods);
            *seed = device.seed;
            return 0;
        };
        table.BeginIOOperation = [](AudioServerPlugInDriverRef driver, AudioObjectID, UInt32 client, UInt32 operation,
                                    UInt32, const AudioServerPlugInIOCycleInfo* info) -> OSStatus {
            FakeDevice& device = Of(driver);
            device.calls.push_back("Begin " + Code(operation) + " " + std::to_string(client));
            if (operation == kAudioServerPlugInIOOperationCycle) {
                device.cycles.push_back(*info);
            }
            return 0;
        };
        table.EndIOOperation = [](AudioServerPlugInDriverRef driver, AudioObjectID, UInt32 client, UInt32 operation,
                                  UInt32, const AudioServerPlugInIOCycleInfo*) -> OSStatus {
            Of(driver).calls.push_back("End " + Code(operation) + " " + std::to_string(client));
            return 0;
        };
        table.DoIOOperation = [](AudioServerPlugInDriverRef driver, AudioObjectID, AudioObjectID stream, UInt32 client,
                                 UInt32 operation, UInt32 frames, const AudioServerPlugInIOCycleInfo*, void* main,
                                 void* secondary) -> OSStatus {
            FakeDevice& device = Of(driver);
            device.calls.push_back("Do " + Code(operation) + " " + std::to_string(stream) + " " + std::to_string(client)
                                   + (secondary != nullptr ? " +" : " -"));
            const std::size_t samples = std::size_t{frames} * device.channels[stream];
            auto* buffer = static_cast<Float32*>(main);
            if (operation == kAudioServerPlugInIOOperationWriteMix) {
                device.written[stream].insert(device.written[stream].end(), buffer, buffer + samples);
                gNow += device.ticksPerWriteMix;
            } else if (secondary != nullptr) {
                for (std::size_t index = 0; index < samples; ++index) {
                    static_cast<Float32*>(secondary)[index] = 2 * buffer[index];
                }
            } else if (operation != kAudioServerPlugInIOOperationMixOutput) {
                for (std::size_t index = 0; index < samples; ++index) {
                    buffer[index] += 1;
                }
            }
            return operation == device.failingOperation ? kAudioHardwareIllegalOperationError : 0;
        };
    }
};

IOOperationSet Operations(const FakeDevice& device, std::initializer_list<UInt32> operations)
{
    IOOperationSet set;
    for (const UInt32 operation : operations) {
        set.Set(operation, {true, device.inPlace.count(operation) > 0});
    }
    return set;
}

IOPlan MakePlan(FakeDevice& device, std::vector<StreamIO> inputs, std::vector<StreamIO> outputs,
                IOOperationSet operations)
{
    IOPlan plan;
    plan.driver = device.Driver();
    plan.deviceID = kDevice;
    plan.bufferFrames = kFrames;
    plan.nominalSampleRate = kRate;
    plan.zeroTimeStampPeriod = device.period;
    plan.inputSafetyOffset = kInputSafety;
    plan.outputSafetyOffset = kOutputSafety;
    plan.inputStreams = std::move(inputs);
    plan.outputStreams = std::move(outputs);
    plan.deviceOperations = operations;
    return plan;
}

// A player whose ring holds `frames` frames: left = its base + frame, right = -(base + frame).
std::shared_ptr<Player> MakePlayer(UInt32 clientID, Float32 base, std::size_t frames, IOOperationSet operations = {})
{
    auto player = std::make_shared<Player>(clientID, 1000 + clientID, "local.pelio.test", 4096);
    std::vector<Float32> samples;
    for (std::size_t frame = 0; frame < frames; ++frame) {
        samples.push_back(base + static_cast<Float32>(frame));
        samples.push_back(-(base + static_cast<Float32>(frame)));
    }
    EXPECT_EQ(player->GetRing().Write(samples.data(), frames), frames);
    player->SetOperations(operations);
    return player;
}

class IOCycleTest : public ::testing::Test
{
protected:
    IOCycleTest()
    {
        gNow = 1'000'000'000;
        EXPECT_EQ(pelio_set_host_clock(&ReadManualClock, {1, 1}), KERN_SUCCESS);
    }
    ~IOCycleTest() override { pelio_set_host_clock(nullptr, {}); }

    FakeDevice device;
};

TEST_F(IOCycleTest, RunsTheOperationsInThePlatformsOrderAndPassesTheBuffersOn)
{
    const IOOperationSet deviceOperations =
        Operations(device, {kAudioServerPlugInIOOperationReadInput, kAudioServerPlugInIOOperationConvertInput,
                            kAudioServerPlugInIOOperationProcessMix, kAudioServerPlugInIOOperationConvertMix,
                            kAudioServerPlugInIOOperationWriteMix});
    IOCycle cycle(MakePlan(device, {{kInputStream, 2, 1, 8}},
                           {{kStereoOutput, 2, 1, 8}, {kMonoOutput, 1, 2, 4}, {kSilentOutput, 1, 3, 4}},
                           deviceOperations));
    // Client 5 processes its output (not in place); client 6 has its input processed and mixes
    // itself in (MixOutput), so the host's mix leaves it out.
    const auto processed = MakePlayer(5, 100, kFrames, Operations(device, {kAudioServerPlugInIOOperationProcessOutput}));
    const auto selfMixed = MakePlayer(6, 5000, kFrames,
                                      Operations(device, {kAudioServerPlugInIOOperationProcessInput,
                                                          kAudioServerPlugInIOOperationMixOutput}));
    ASSERT_TRUE(cycle.Attach(*processed));
    ASSERT_TRUE(cycle.Attach(*selfMixed));

    const IOCycle::Report report = cycle.Run();
    EXPECT_EQ(report.failures, 0u);
    EXPECT_EQ(device.calls, (std::vector<std::string>{
                                "GetZeroTimeStamp 0",
                                "Begin cycl 0",
                                "Begin read 0", "Do read 10 0 -", "End read 0",
                                "Begin cinp 0", "Do cinp 10 0 +", "End cinp 0",
                                "Begin pout 5", "Do pout 20 5 +", "Do pout 21 5 +", "Do pout 22 5 +", "End pout 5",
                                "Begin pinp 6", "Do pinp 10 6 -", "End pinp 6",
                                "Begin mixo 6", "Do mixo 20 6 -", "Do mixo 21 6 -", "Do mixo 22 6 -", "End mixo 6",
                                "Begin pmix 0", "Do pmix 20 0 -", "Do pmix 21 0 -", "Do pmix 22 0 -", "End pmix 0",
                                "Begin cmix 0", "Do cmix 20 0 +", "Do cmix 21 0 +", "Do cmix 22 0 +", "End cmix 0",
                                "Begin rite 0", "Do rite 20 0 -", "Do rite 21 0 -", "Do rite 22 0 -", "End rite 0",
                                "End cycl 0",
                            }));

    // WriteMix got what the operations before it left: client 5's frames doubled by ProcessOutput,
    // 1 added by ProcessMix, doubled again by ConvertMix, each sample on its stream's channels.
    const auto expected = [](Float32 value) { return (2 * value + 1) * 2; };
    ASSERT_EQ(device.written[kStereoOutput].size(), 2u * kFrames);
    ASSERT_EQ(device.written[kMonoOutput].size(), kFrames);
    ASSERT_EQ(device.written[kSilentOutput].size(), kFrames);
    for (UInt32 frame = 0; frame < kFrames; ++frame) {
        const Float32 left = 100 + static_cast<Float32>(frame);
        ASSERT_EQ(device.written[kStereoOutput][2 * frame], expected(left)) << frame;
        ASSERT_EQ(device.written[kStereoOutput][2 * frame + 1], expected(-left)) << frame;
        ASSERT_EQ(device.written[kMonoOutput][frame], expected(-left)) << frame;
        ASSERT_EQ(device.written[kSilentOutput][frame], expected(0)) << frame;
    }
}

TEST_F(IOCycleTest, WriteMixGetsTheSumOfThePlayersAndSilenceWithoutThem)
{
    IOCycle cycle(MakePlan(device, {}, {{kStereoOutput, 2, 1, 8}},
                           Operations(device, {kAudioServerPlugInIOOperationWriteMix})));
    const auto first = MakePlayer(5, 1, 700);
    const auto second = MakePlayer(6, 10000, 300);
    ASSERT_TRUE(cycle.Attach(*first));
    ASSERT_TRUE(cycle.Attach(*second));
    first->MarkEnded();

    cycle.Run();
    cycle.Run();
    cycle.Detach(*first);
    cycle.Detach(*second);
    cycle.Run();

    const std::vector<Float32>& written = device.written[kStereoOutput];
    ASSERT_EQ(written.size(), 3u * 2 * kFrames);
    for (std::size_t frame = 0; frame < 3 * kFrames; ++frame) {
        const Float32 one = frame < 700 ? 1 + static_cast<Float32>(frame) : 0;
        const Float32 other = frame < 300 ? 10000 + static_cast<Float32>(frame) : 0;
        const Float32 sum = frame < 2 * kFrames ? one + other : 0;
        ASSERT_EQ(written[2 * frame], sum) << frame;
        ASSERT_EQ(written[2 * frame + 1], -sum) << frame;
    }
    // What a player that had not ended lacked counts as missed; the end of one that had does not.
    EXPECT_EQ(first->GetFramesPlayed(), 700u);
    EXPECT_EQ(first->GetFramesMissed(), 0u);
    EXPECT_EQ(second->GetFramesPlayed(), 300u);
    EXPECT_EQ(second->GetFramesMissed(), 2u * kFrames - 300);
    EXPECT_EQ(first->GetCycles(), 2u);
    EXPECT_EQ(first->GetCyclesSinceLastFrame(), 0u);
    EXPECT_EQ(second->GetCyclesSinceLastFrame(), 1u);
}

TEST_F(IOCycleTest, FillsTheCycleInfoOnTheDevicesTimeLine)
{
    IOCycle cycle(MakePlan(device, {}, {{kStereoOutput, 2, 1, 8}},
                           Operations(device, {kAudioServerPlugInIOOperationWriteMix})));
    gNow = device.anchor + 123'456'789; // 5925.9 frames after the device's sample time 0
    const Float64 firstWake = std::floor(123'456'789 / kTicksPerFrame);
    std::vector<UInt64> runAt;
    for (int run = 0; run < 4; ++run) {
        runAt.push_back(gNow);
        const IOCycle::Report report = cycle.Run();
        const Float64 nextWake = firstWake + (run + 1) * kFrames;
        EXPECT_EQ(report.cycleCounter, static_cast<UInt64>(run + 1));
        EXPECT_EQ(report.nextWakeHostTime, static_cast<UInt64>(device.anchor + nextWake * kTicksPerFrame));
        EXPECT_FALSE(report.late);
        // The IO thread wakes a little late each time.
        gNow = report.nextWakeHostTime + 50'000;
    }
    ASSERT_EQ(device.cycles.size(), 4u);
    const AudioTimeStampFlags valid =
        kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid | kAudioTimeStampRateScalarValid;
    for (std::size_t run = 0; run < device.cycles.size(); ++run) {
        SCOPED_TRACE("cycle " + std::to_string(run + 1));
        const AudioServerPlugInIOCycleInfo& info = device.cycles[run];
        const Float64 wake = firstWake + static_cast<Float64>(run * kFrames);
        EXPECT_EQ(info.mIOCycleCounter, run + 1);
        EXPECT_EQ(info.mNominalIOBufferFrameSize, kFrames);
        EXPECT_EQ(info.mCurrentTime.mHostTime, runAt[run]);
        EXPECT_DOUBLE_EQ(info.mCurrentTime.mSampleTime, static_cast<Float64>(runAt[run] - device.anchor) / kTicksPerFrame);
        EXPECT_EQ(info.mInputTime.mSampleTime, wake - kFrames - kInputSafety);
        EXPECT_EQ(info.mOutputTime.mSampleTime, wake + kFrames + kOutputSafety);
        EXPECT_EQ(info.mOutputTime.mHostTime,
                  static_cast<UInt64>(device.anchor + (wake + kFrames + kOutputSafety) * kTicksPerFrame));
        EXPECT_EQ(info.mInputTime.mHostTime,
                  static_cast<UInt64>(device.anchor + (wake - kFrames - kInputSafety) * kTicksPerFrame));
        for (const AudioTimeStamp* stamp : {&info.mCurrentTime, &info.mInputTime, &info.mOutputTime}) {
            EXPECT_EQ(stamp->mFlags, valid);
            EXPECT_EQ(stamp->mRateScalar, 1.0);
        }
        EXPECT_DOUBLE_EQ(info.mMainHostTicksPerFrame, kTicksPerFrame);
        EXPECT_DOUBLE_EQ(info.mDeviceHostTicksPerFrame, kTicksPerFrame);
    }
}

TEST_F(IOCycleTest, FollowsADeviceClockThatRunsFast)
{
    // The device runs 5% fast: its stamps come a period apart in less host time than the nominal
    // rate says. The thread, woken when each report says, must keep pace with the device's frames.
    device.ticksPerFrame = kTicksPerFrame / 1.05;
    device.period = 2048;
    IOCycle cycle(MakePlan(device, {}, {{kStereoOutput, 2, 1, 8}},
                           Operations(device, {kAudioServerPlugInIOOperationWriteMix})));
    gNow = device.anchor;
    IOCycle::Report report;
    for (int run = 0; run < 2000; ++run) {
        report = cycle.Run();
        ASSERT_FALSE(report.late) << run;
        ASSERT_EQ(report.resync, run == 0 ? IOCycle::Resync::Start : IOCycle::Resync::None) << run;
        gNow = report.nextWakeHostTime;
    }
    EXPECT_EQ(report.cycleCounter, 2000u);
    // The last cycle's output began where the device's frames stand, within a hundredth of a buffer.
    const AudioServerPlugInIOCycleInfo& last = device.cycles.back();
    const Float64 deviceFrames = static_cast<Float64>(last.mCurrentTime.mHostTime - device.anchor) / device.ticksPerFrame;
    EXPECT_NEAR(last.mOutputTime.mSampleTime - kFrames - kOutputSafety, deviceFrames, kFrames / 100.0);
    EXPECT_NEAR(last.mDeviceHostTicksPerFrame, device.ticksPerFrame, device.ticksPerFrame * 1e-6);
    EXPECT_NEAR(last.mOutputTime.mRateScalar, 1.05, 1e-6);
}

TEST_F(IOCycleTest, StartsTheCounterAgainOnANewTimeLineAndWhenFarBehind)
{
    IOCycle cycle(MakePlan(device, {}, {{kStereoOutput, 2, 1, 8}},
                           Operations(device, {kAudioServerPlugInIOOperationWriteMix})));
    const auto runAt = [&](UInt64 now) {
        gNow = now;
        return cycle.Run();
    };
    IOCycle::Report report = runAt(device.anchor);
    EXPECT_EQ(report.resync, IOCycle::Resync::Start);
    report = runAt(report.nextWakeHostTime);
    EXPECT_EQ(report.cycleCounter, 2u);

    // A new seed: a new time line, anchored now.
    device.seed = 7;
    device.anchor = gNow + 1'000'000;
    device.periods = 0;
    report = runAt(report.nextWakeHostTime);
    EXPECT_EQ(report.resync, IOCycle::Resync::NewTimeLine);
    EXPECT_EQ(report.stamp, ClockModel::Change::NewTimeLine);
    EXPECT_EQ(report.cycleCounter, 1u);
    EXPECT_EQ(device.cycles.back().mIOCycleCounter, 1u);

    // Half a buffer late: late, but the count goes on.
    device.ticksPerWriteMix = static_cast<UInt64>(kFrames * kTicksPerFrame * 1.5);
    report = runAt(report.nextWakeHostTime);
    EXPECT_TRUE(report.late);
    EXPECT_NEAR(static_cast<Float64>(report.lateByTicks), kFrames * kTicksPerFrame / 2, 2);
    device.ticksPerWriteMix = 0;
    report = runAt(gNow);
    EXPECT_EQ(report.resync, IOCycle::Resync::None);
    EXPECT_EQ(report.cycleCounter, 3u);

    // More than a buffer behind: the next cycle starts the count again, at the present.
    device.ticksPerWriteMix = static_cast<UInt64>(kFrames * kTicksPerFrame * 3);
    report = runAt(report.nextWakeHostTime);
    EXPECT_TRUE(report.late);
    device.ticksPerWriteMix = 0;
    report = runAt(gNow);
    EXPECT_EQ(report.resync, IOCycle::Resync::FellBehind);
    EXPECT_EQ(report.cycleCounter, 1u);
    const Float64 now = static_cast<Float64>(gNow - device.anchor) / kTicksPerFrame;
    EXPECT_EQ(device.cycles.back().mOutputTime.mSampleTime, std::floor(now) + kFrames + kOutputSafety);
}

TEST_F(IOCycleTest, CountsFailedCallsAndGoesOn)
{
    device.failingOperation = kAudioServerPlugInIOOperationProcessMix;
    IOCycle cycle(MakePlan(device, {}, {{kStereoOutput, 2, 1, 8}, {kMonoOutput, 1, 2, 4}},
                           Operations(device, {kAudioServerPlugInIOOperationProcessMix,
                                               kAudioServerPlugInIOOperationWriteMix})));
    const IOCycle::Report report = cycle.Run();
    EXPECT_EQ(report.failures, 2u);
    EXPECT_EQ(report.failedOperation, static_cast<UInt32>(kAudioServerPlugInIOOperationProcessMix));
    EXPECT_EQ(report.failure, kAudioHardwareIllegalOperationError);
    EXPECT_EQ(device.written[kStereoOutput].size(), 2u * kFrames);
}

TEST_F(IOCycleTest, TakesNoMorePlayersThanItHasPlacesFor)
{
    IOCycle cycle(MakePlan(device, {}, {{kStereoOutput, 2, 1, 8}},
                           Operations(device, {kAudioServerPlugInIOOperationWriteMix})));
    std::vector<std::shared_ptr<Player>> players;
    for (UInt32 client = 1; client <= IOCycle::kMaxPlayers; ++client) {
        players.push_back(MakePlayer(client, 0, 0));
        ASSERT_TRUE(cycle.Attach(*players.back()));
    }
    const auto oneTooMany = MakePlayer(99, 0, 0);
    EXPECT_FALSE(cycle.Attach(*oneTooMany));
    cycle.Detach(*players.front());
    EXPECT_TRUE(cycle.Attach(*oneTooMany));
}

// ---- The thread, on the real clock ------------------------------------------------------------

TEST(IOThread, MarksItsStartAndEndAndRunsContiguousCyclesUntilStopped)
{
    FakeDevice device;
    device.anchor = mach_absolute_time();
    IOThread thread(3, MakePlan(device, {}, {{kStereoOutput, 2, 1, 8}},
                                Operations(device, {kAudioServerPlugInIOOperationWriteMix})));
    thread.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    thread.Stop();

    ASSERT_GE(device.cycles.size(), 2u);
    EXPECT_EQ(thread.GetCycles(), device.cycles.size());
    EXPECT_EQ(device.calls.front(), "Begin thrd 0");
    EXPECT_EQ(device.calls.back(), "End thrd 0");
    // Cycles follow one another on the time line unless the thread had to resynchronise.
    for (std::size_t index = 1; index < device.cycles.size(); ++index) {
        const AudioServerPlugInIOCycleInfo& info = device.cycles[index];
        if (info.mIOCycleCounter != 1) {
            EXPECT_EQ(info.mIOCycleCounter, device.cycles[index - 1].mIOCycleCounter + 1);
            EXPECT_EQ(info.mOutputTime.mSampleTime, device.cycles[index - 1].mOutputTime.mSampleTime + kFrames);
        }
    }
    // The thread never runs ahead of the device: no cycle starts before its wake time.
    for (const AudioServerPlugInIOCycleInfo& info : device.cycles) {
        EXPECT_GE(info.mCurrentTime.mSampleTime + 1, info.mOutputTime.mSampleTime - kFrames - kOutputSafety);
    }
}

TEST(IOThread, LogsEveryCycleWithTheTimeItEndedWhenItStops)
{
    test::TemporaryFolder folder;
    const std::string path = folder / "cycles.csv";
    std::string error;
    const auto log = CycleLog::Open(path, error);
    ASSERT_NE(log, nullptr) << error;

    FakeDevice device;
    device.anchor = mach_absolute_time();
    const UInt64 started = mach_absolute_time();
    // Two runs of one thread: each writes its own cycles once.
    IOThread thread(3, MakePlan(device, {}, {{kStereoOutput, 2, 1, 8}},
                                Operations(device, {kAudioServerPlugInIOOperationWriteMix})),
                    log.get());
    for (int run = 0; run < 2; ++run) {
        thread.Start();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        thread.Stop();
    }

    std::ifstream file(path);
    std::string line;
    ASSERT_TRUE(std::getline(file, line));
    EXPECT_EQ(line, "device,cycle,end_ns,late");
    std::vector<std::vector<unsigned long long>> rows;
    while (std::getline(file, line)) {
        std::vector<unsigned long long> fields;
        std::size_t start = 0;
        for (std::size_t comma = line.find(','); ; comma = line.find(',', start)) {
            fields.push_back(std::stoull(line.substr(start, comma - start)));
            if (comma == std::string::npos) {
                break;
            }
            start = comma + 1;
        }
        ASSERT_EQ(fields.size(), 4u) << line;
        rows.push_back(fields);
    }
    ASSERT_EQ(rows.size(), device.cycles.size());
    for (std::size_t index = 0; index < rows.size(); ++index) {
        EXPECT_EQ(rows[index][0], 3u);
        EXPECT_EQ(rows[index][1], device.cycles[index].mIOCycleCounter);
        EXPECT_LE(rows[index][3], 1u);
        EXPECT_GE(rows[index][2], started);
        if (index > 0) {
            EXPECT_GE(rows[index][2], rows[index - 1][2]);
        }
    }
}

TEST(CycleLog, SaysWhyItCannotBeCreated)
{
    std::string error;
    EXPECT_EQ(CycleLog::Open("/nonexistent-folder/cycles.csv", error), nullptr);
    EXPECT_NE(error.find("/nonexistent-folder/cycles.csv"), std::string::npos) << error;
}

} // namespace
} // namespace pelio::host
