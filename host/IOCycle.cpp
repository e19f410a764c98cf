#include "IOCycle.h"

#include <mach/mach_time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <utility>

namespace pelio::host {

namespace {

constexpr AudioTimeStampFlags kTimeStampFlags =
    kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid | kAudioTimeStampRateScalarValid;

} // namespace

void IOCycle::StreamBuffer::Reset() noexcept HAL_NONBLOCKING
{
    main = first.data();
    spare = second.data();
}

void IOCycle::StreamBuffer::Clear() noexcept HAL_NONBLOCKING
{
    Reset();
    std::fill(first.begin(), first.end(), 0.0f);
}

std::vector<IOCycle::StreamBuffer> IOCycle::MakeBuffers(const std::vector<StreamIO>& streams, UInt32 frames)
{
    std::vector<StreamBuffer> buffers(streams.size());
    for (std::size_t index = 0; index < streams.size(); ++index) {
        // Room for the canonical frames and for the physical ones, whichever is larger.
        const std::size_t floatsPerFrame =
            std::max<std::size_t>(streams[index].channels, (streams[index].bytesPerFrame + 3) / 4);
        buffers[index].first.assign(floatsPerFrame * frames, 0.0f);
        buffers[index].second.assign(floatsPerFrame * frames, 0.0f);
        buffers[index].Reset();
    }
    return buffers;
}

IOCycle::IOCycle(IOPlan plan)
    : mPlan(std::move(plan))
    , mDriver(mPlan.driver)
    , mClock(NominalTicksPerFrame(mPlan.nominalSampleRate), mPlan.zeroTimeStampPeriod)
    , mPlayerFrames(std::size_t{mPlan.bufferFrames} * FrameRing::kChannels, 0.0f)
    , mInput(MakeBuffers(mPlan.inputStreams, mPlan.bufferFrames))
    , mClientInput(MakeBuffers(mPlan.inputStreams, mPlan.bufferFrames))
    , mClientOutput(MakeBuffers(mPlan.outputStreams, mPlan.bufferFrames))
    , mMix(MakeBuffers(mPlan.outputStreams, mPlan.bufferFrames))
{
    mInfo.mNominalIOBufferFrameSize = mPlan.bufferFrames;
    mInfo.mMainHostTicksPerFrame = mClock.GetTicksPerFrame();
    mInfo.mDeviceHostTicksPerFrame = mClock.GetTicksPerFrame();
}

bool IOCycle::Attach(Player& player) noexcept
{
    for (std::atomic<Player*>& slot : mPlayers) {
        Player* expected = nullptr;
        if (slot.compare_exchange_strong(expected, &player, std::memory_order_seq_cst)) {
            return true;
        }
    }
    return false;
}

void IOCycle::Detach(Player& player)
{
    for (std::atomic<Player*>& slot : mPlayers) {
        Player* expected = &player;
        slot.compare_exchange_strong(expected, nullptr, std::memory_order_seq_cst);
    }
    // A cycle that began before the slot was emptied may still hold the player; one that begins
    // after cannot see it. So only an odd epoch read now needs waiting out.
    const UInt64 epoch = mEpoch.load(std::memory_order_seq_cst);
    if (epoch % 2 == 1) {
        while (mEpoch.load(std::memory_order_seq_cst) == epoch) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
}

AudioTimeStamp IOCycle::TimeStampAt(Float64 sampleTime, UInt64 hostTime) const noexcept HAL_NONBLOCKING
{
    AudioTimeStamp stamp{};
    stamp.mSampleTime = sampleTime;
    stamp.mHostTime = hostTime;
    stamp.mRateScalar = mClock.GetRateScalar();
    stamp.mFlags = kTimeStampFlags;
    return stamp;
}

void IOCycle::Check(Report& report, UInt32 operationID, OSStatus status) noexcept HAL_NONBLOCKING
{
    if (status == kAudioHardwareNoError) {
        return;
    }
    if (report.failures++ == 0) {
        report.failedOperation = operationID;
        report.failure = status;
    }
}

void IOCycle::Mark(UInt32 operationID, bool begin, Report& report) noexcept HAL_NONBLOCKING
{
    const auto call = begin ? (*mDriver)->BeginIOOperation : (*mDriver)->EndIOOperation;
    Check(report, operationID, call(mDriver, mPlan.deviceID, kHostClientID, operationID, mPlan.bufferFrames, &mInfo));
}

void IOCycle::Perform(UInt32 operationID, UInt32 clientID, const IOOperationAnswer& answer,
                      const std::vector<StreamIO>& streams, std::vector<StreamBuffer>& buffers,
                      Report& report) noexcept HAL_NONBLOCKING
{
    if (!answer.willDo || streams.empty()) {
        return;
    }
    const UInt32 frames = mPlan.bufferFrames;
    Check(report, operationID,
          (*mDriver)->BeginIOOperation(mDriver, mPlan.deviceID, clientID, operationID, frames, &mInfo));
    for (std::size_t index = 0; index < streams.size(); ++index) {
        StreamBuffer& buffer = buffers[index];
        Check(report, operationID,
              (*mDriver)->DoIOOperation(mDriver, mPlan.deviceID, streams[index].streamID, clientID, operationID,
                                        frames, &mInfo, buffer.main, answer.inPlace ? nullptr : buffer.spare));
        if (!answer.inPlace) {
            std::swap(buffer.main, buffer.spare);
        }
    }
    Check(report, operationID,
          (*mDriver)->EndIOOperation(mDriver, mPlan.deviceID, clientID, operationID, frames, &mInfo));
}

void IOCycle::MixPlayer(Player& player, Report& report) noexcept HAL_NONBLOCKING
{
    const UInt32 frames = mPlan.bufferFrames;
    const IOOperationSet& operations = player.GetOperations();
    const UInt32 clientID = player.GetClientID();

    // The client's own input: a copy of the device's, for it to process.
    for (std::size_t index = 0; index < mInput.size(); ++index) {
        mClientInput[index].Reset();
        std::copy(mInput[index].main, mInput[index].main + mInput[index].first.size(), mClientInput[index].main);
    }
    Perform(kAudioServerPlugInIOOperationProcessInput, clientID,
            operations.Get(kAudioServerPlugInIOOperationProcessInput), mPlan.inputStreams, mClientInput, report);

    // The client's output, its two channels placed on the device's first two.
    player.TakeFrames(mPlayerFrames.data(), frames);
    for (std::size_t index = 0; index < mPlan.outputStreams.size(); ++index) {
        const StreamIO& stream = mPlan.outputStreams[index];
        StreamBuffer& buffer = mClientOutput[index];
        buffer.Clear();
        for (UInt32 channel = 0; channel < stream.channels; ++channel) {
            const UInt32 source = stream.firstChannel - 1 + channel;
            if (source >= FrameRing::kChannels) {
                break;
            }
            for (UInt32 frame = 0; frame < frames; ++frame) {
                buffer.main[frame * stream.channels + channel] = mPlayerFrames[frame * FrameRing::kChannels + source];
            }
        }
    }
    Perform(kAudioServerPlugInIOOperationProcessOutput, clientID,
            operations.Get(kAudioServerPlugInIOOperationProcessOutput), mPlan.outputStreams, mClientOutput, report);
    const IOOperationAnswer& mixOutput = operations.Get(kAudioServerPlugInIOOperationMixOutput);
    if (mixOutput.willDo) {
        // The device mixes the client in itself.
        Perform(kAudioServerPlugInIOOperationMixOutput, clientID, mixOutput, mPlan.outputStreams, mClientOutput,
                report);
        return;
    }
    for (std::size_t index = 0; index < mPlan.outputStreams.size(); ++index) {
        const std::size_t samples = std::size_t{frames} * mPlan.outputStreams[index].channels;
        const Float32* from = mClientOutput[index].main;
        Float32* into = mMix[index].main;
        for (std::size_t sample = 0; sample < samples; ++sample) {
            into[sample] += from[sample];
        }
    }
}

void IOCycle::BeginThread() noexcept HAL_NONBLOCKING
{
    Report ignored;
    const UInt64 now = mach_absolute_time();
    mInfo.mIOCycleCounter = 0;
    mInfo.mCurrentTime = TimeStampAt(0, now);
    mInfo.mInputTime = AudioTimeStamp{};
    mInfo.mOutputTime = AudioTimeStamp{};
    Mark(kAudioServerPlugInIOOperationThread, true, ignored);
}

void IOCycle::EndThread() noexcept HAL_NONBLOCKING
{
    Report ignored;
    const UInt64 now = mach_absolute_time();
    mInfo.mCurrentTime = TimeStampAt(mClock.HasStamp() ? mClock.SampleTimeAt(now) : 0, now);
    Mark(kAudioServerPlugInIOOperationThread, false, ignored);
}

IOCycle::Report IOCycle::Run() noexcept HAL_NONBLOCKING
{
    Report report;
    mEpoch.fetch_add(1, std::memory_order_seq_cst);
    const UInt64 now = mach_absolute_time();

    Float64 stampSampleTime = 0;
    UInt64 stampHostTime = 0;
    UInt64 seed = 0;
    const OSStatus stamped = (*mDriver)->GetZeroTimeStamp(mDriver, mPlan.deviceID, kHostClientID, &stampSampleTime,
                                                         &stampHostTime, &seed);
    Check(report, 0, stamped);
    if (stamped == kAudioHardwareNoError) {
        report.stamp = mClock.Observe(stampSampleTime, stampHostTime, seed);
        if (report.stamp == ClockModel::Change::NewTimeLine) {
            mPendingResync = Resync::NewTimeLine;
        }
    }
    if (mPendingResync != Resync::None) {
        report.resync = mPendingResync;
        mPendingResync = Resync::None;
        mWakeSampleTime = std::floor(mClock.SampleTimeAt(now));
        mCounter = 1;
    }

    const UInt32 frames = mPlan.bufferFrames;
    const Float64 wake = mWakeSampleTime;
    const Float64 inputTime = wake - frames - mPlan.inputSafetyOffset;
    const Float64 outputTime = wake + frames + mPlan.outputSafetyOffset;
    mInfo.mIOCycleCounter = mCounter;
    mInfo.mCurrentTime = TimeStampAt(mClock.SampleTimeAt(now), now);
    mInfo.mInputTime = TimeStampAt(inputTime, mClock.HostTimeAt(inputTime));
    mInfo.mOutputTime = TimeStampAt(outputTime, mClock.HostTimeAt(outputTime));
    mInfo.mMainHostTicksPerFrame = mClock.GetTicksPerFrame();
    mInfo.mDeviceHostTicksPerFrame = mClock.GetTicksPerFrame();

    Mark(kAudioServerPlugInIOOperationCycle, true, report);
    const IOOperationSet& device = mPlan.deviceOperations;
    for (StreamBuffer& buffer : mInput) {
        buffer.Clear();
    }
    Perform(kAudioServerPlugInIOOperationReadInput, kHostClientID, device.Get(kAudioServerPlugInIOOperationReadInput),
            mPlan.inputStreams, mInput, report);
    Perform(kAudioServerPlugInIOOperationConvertInput, kHostClientID,
            device.Get(kAudioServerPlugInIOOperationConvertInput), mPlan.inputStreams, mInput, report);
    for (StreamBuffer& buffer : mMix) {
        buffer.Clear();
    }
    for (std::atomic<Player*>& slot : mPlayers) {
        if (Player* player = slot.load(std::memory_order_seq_cst)) {
            MixPlayer(*player, report);
        }
    }
    Perform(kAudioServerPlugInIOOperationProcessMix, kHostClientID, device.Get(kAudioServerPlugInIOOperationProcessMix),
            mPlan.outputStreams, mMix, report);
    Perform(kAudioServerPlugInIOOperationConvertMix, kHostClientID, device.Get(kAudioServerPlugInIOOperationConvertMix),
            mPlan.outputStreams, mMix, report);
    Perform(kAudioServerPlugInIOOperationWriteMix, kHostClientID, device.Get(kAudioServerPlugInIOOperationWriteMix),
            mPlan.outputStreams, mMix, report);
    Mark(kAudioServerPlugInIOOperationCycle, false, report);
    mEpoch.fetch_add(1, std::memory_order_seq_cst);

    report.cycleCounter = mCounter;
    ++mCounter;
    mWakeSampleTime += frames;
    report.nextWakeHostTime = mClock.HostTimeAt(mWakeSampleTime);
    const UInt64 end = mach_absolute_time();
    report.endHostTime = end;
    if (end > report.nextWakeHostTime) {
        report.late = true;
        report.lateByTicks = end - report.nextWakeHostTime;
        // More than a whole buffer behind: the next cycle starts a new count at the present
        // rather than running the missed ones back to back.
        if (end > mClock.HostTimeAt(mWakeSampleTime + frames)) {
            mPendingResync = Resync::FellBehind;
        }
    }
    return report;
}

} // namespace pelio::host
