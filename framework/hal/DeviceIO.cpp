// hal::Device: the host's clients, starting and stopping IO, the device clock (zero time stamps)
// and the IO operations of each cycle, handed to the IO handler.

#include "hal/Device.h"

#include "hal/Client.h"
#include "hal/ClientInfo.h"
#include "hal/CodeNames.h"
#include "hal/Context.h"
#include "hal/PropertyProtocol.h"
#include "hal/Stream.h"
#include "hal/TracedOperation.h"
#include "hal/Tracer.h"

#include <mach/mach_time.h>

#include <cmath>
#include <limits>
#include <utility>

#if defined(__has_feature)
#if __has_feature(realtime_sanitizer)
#include <sanitizer/rtsan_interface.h>
#define HAL_HAS_REALTIME_SANITIZER 1
#endif
#endif

namespace hal {

namespace {

// What the IO handler is given for a client the device does not know (or for the mixed output,
// which has none). A reference to this never owns anything, so nothing is released through it.
const std::shared_ptr<Client> kNoClient;

#ifdef HAL_HAS_REALTIME_SANITIZER
using IOMutexWaitExemption = __rtsan::ScopedDisabler;
#else
struct IOMutexWaitExemption
{
};
#endif

// Holds the device's IO mutex for a scope.
//
// The IO mutex is the one lock the real-time IO thread may wait for, by design: apart from the IO
// operations, which the host runs one after another on that thread, only StartIO and StopIO take
// it, so the IO thread waits at most for a start or a stop (and what the control handler does in
// it). RealtimeSanitizer reports every blocking lock, as it should; it is told to let this one
// pass, for the lock and unlock calls only, so that anything else blocking on the IO path is
// still reported.
class IOMutexGuard
{
public:
    explicit IOMutexGuard(std::recursive_mutex& mutex) noexcept HAL_NONBLOCKING
        : mMutex(mutex)
    {
        [[maybe_unused]] const IOMutexWaitExemption exemption;
        mMutex.lock();
    }

    IOMutexGuard(const IOMutexGuard&) = delete;
    IOMutexGuard& operator=(const IOMutexGuard&) = delete;

    ~IOMutexGuard() HAL_NONBLOCKING
    {
        [[maybe_unused]] const IOMutexWaitExemption exemption;
        mMutex.unlock();
    }

private:
    std::recursive_mutex& mMutex;
};

// The frame of AddClient and RemoveClient, for a caller that holds the write mutex: runs
// `operation` traced, refuses another object's ID and a missing record, copies and traces the
// host's record, and returns what `work(info)` returns. Nothing thrown reaches the host.
template <class Work>
OSStatus HandleClientRequest(Tracer& tracer, const Tracer::Operation& operation,
                             const AudioServerPlugInClientInfo* inClientInfo, AudioObjectID inObjectID, Work&& work)
{
    return PropertyProtocol::RunTraced(tracer, operation, [&]() -> OSStatus {
        if (inObjectID != operation.ObjectID) {
            tracer.Message("object not found");
            return kAudioHardwareBadObjectError;
        }
        if (inClientInfo == nullptr) {
            tracer.Message("client info is null");
            return kAudioHardwareIllegalOperationError;
        }
        const ClientInfo info = ClientInfo::FromHostRecord(*inClientInfo);
        tracer.Message("client info: clientID=%u processID=%u isNativeEndian=%d bundleID=%s", info.ClientID,
                       static_cast<unsigned>(info.ProcessID), info.IsNativeEndian ? 1 : 0, info.BundleID.c_str());
        return std::forward<Work>(work)(info);
    });
}

// 2^64: host times are unsigned 64-bit, and a tick count at or above this does not convert.
constexpr Float64 kHostTimeLimit = 18446744073709551616.0;

} // namespace

// ---- Clients -----------------------------------------------------------------------------------------

OSStatus Device::AddClient(AudioObjectID inObjectID, const AudioServerPlugInClientInfo* inClientInfo)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    Tracer& tracer = GetTracer();
    const Tracer::Operation operation{.Name = "Device::AddClient()", .ObjectID = GetID()};
    return HandleClientRequest(tracer, operation, inClientInfo, inObjectID, [&](const ClientInfo& info) -> OSStatus {
        std::shared_ptr<Client> client;
        {
            const auto handlerLock = mControlHandler.GetReadLock();
            client = HandlerIn(handlerLock.GetValue()).OnAddClient(info);
        }
        if (client == nullptr) {
            tracer.Message("control handler failed");
            return kAudioHardwareUnspecifiedError;
        }
        auto clients = mClientsByID.Get();
        clients.insert_or_assign(info.ClientID, std::move(client));
        // A record replaced here goes when Set returns, on this thread, after any IO operation
        // still using it.
        mClientsByID.Set(std::move(clients));
        return 0;
    });
}

OSStatus Device::RemoveClient(AudioObjectID inObjectID, const AudioServerPlugInClientInfo* inClientInfo)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    Tracer& tracer = GetTracer();
    const Tracer::Operation operation{.Name = "Device::RemoveClient()", .ObjectID = GetID()};
    return HandleClientRequest(tracer, operation, inClientInfo, inObjectID, [&](const ClientInfo& info) -> OSStatus {
        auto clients = mClientsByID.Get();
        const auto found = clients.find(info.ClientID);
        if (found == clients.end()) {
            tracer.Message("client %u not found", info.ClientID);
            return kAudioHardwareIllegalOperationError;
        }
        std::shared_ptr<Client> client = std::move(found->second);
        clients.erase(found);
        mClientsByID.Set(std::move(clients));

        const auto handlerLock = mControlHandler.GetReadLock();
        HandlerIn(handlerLock.GetValue()).OnRemoveClient(std::move(client));
        return 0;
    });
}

UInt32 Device::GetClientCount() const noexcept HAL_NONBLOCKING
{
    const auto readLock = mClientsByID.GetReadLock();
    return static_cast<UInt32>(readLock.GetValue().size());
}

std::vector<std::shared_ptr<Client>> Device::GetClients() const
{
    const auto readLock = mClientsByID.GetReadLock();
    std::vector<std::shared_ptr<Client>> clients;
    clients.reserve(readLock.GetValue().size());
    for (const auto& [clientID, client] : readLock.GetValue()) {
        clients.push_back(client);
    }
    return clients;
}

std::shared_ptr<Client> Device::GetClientByID(UInt32 clientID) const noexcept HAL_NONBLOCKING
{
    const auto readLock = mClientsByID.GetReadLock();
    const auto found = readLock.GetValue().find(clientID);
    return found == readLock.GetValue().end() ? nullptr : found->second;
}

// ---- Starting and stopping -----------------------------------------------------------------------------

OSStatus Device::StartIO(AudioObjectID inObjectID, UInt32 inClientID)
{
    const IOMutexGuard ioLock(mIOMutex);
    Tracer& tracer = GetTracer();
    return PropertyProtocol::RunTraced(tracer, {.Name = "Device::StartIO()", .ObjectID = GetID()}, [&]() -> OSStatus {
        // Changed only under the IO mutex, which this holds.
        const SInt32 previous = mIOStartCount.load(std::memory_order_acquire);
        if (inObjectID != GetID()) {
            tracer.Message("object not found");
            return kAudioHardwareBadObjectError;
        }
        if (previous == std::numeric_limits<SInt32>::max()) {
            tracer.Message("too many starts: clientID=%u", inClientID);
            return kAudioHardwareIllegalOperationError;
        }
        if (previous == 0) {
            tracer.Message("starting io: clientID=%u", inClientID);
        }
        if (const OSStatus status = StartIOImpl(inClientID, previous); status != 0) {
            return status;
        }
        mIOStartCount.store(previous + 1, std::memory_order_release);
        if (previous == 0) {
            NotifyPropertiesChanged({kAudioDevicePropertyDeviceIsRunning}, kAudioObjectPropertyScopeGlobal, 0);
        }
        return 0;
    });
}

OSStatus Device::StopIO(AudioObjectID inObjectID, UInt32 inClientID)
{
    const IOMutexGuard ioLock(mIOMutex);
    Tracer& tracer = GetTracer();
    return PropertyProtocol::RunTraced(tracer, {.Name = "Device::StopIO()", .ObjectID = GetID()}, [&]() -> OSStatus {
        const SInt32 previous = mIOStartCount.load(std::memory_order_acquire);
        if (inObjectID != GetID()) {
            tracer.Message("object not found");
            return kAudioHardwareBadObjectError;
        }
        // A stop below zero would make the next start skip OnStartIO, and the handler would see
        // two stops in a row.
        if (previous <= 0) {
            tracer.Message("io is not running: clientID=%u", inClientID);
            return kAudioHardwareIllegalOperationError;
        }
        if (previous == 1) {
            tracer.Message("stopping io: clientID=%u", inClientID);
        }
        if (const OSStatus status = StopIOImpl(inClientID, previous - 1); status != 0) {
            return status;
        }
        mIOStartCount.store(previous - 1, std::memory_order_release);
        if (previous == 1) {
            NotifyPropertiesChanged({kAudioDevicePropertyDeviceIsRunning}, kAudioObjectPropertyScopeGlobal, 0);
        }
        return 0;
    });
}

OSStatus Device::StartIOImpl(UInt32 /*clientID*/, SInt32 startCount)
{
    if (startCount != 0) {
        return 0;
    }
    {
        // Held for the call: a handler replaced meanwhile is released after it, by the replacer.
        const auto handlerLock = mControlHandler.GetReadLock();
        if (const OSStatus status = HandlerIn(handlerLock.GetValue()).OnStartIO(); status != 0) {
            return status;
        }
    }
    // Every run begins at sample time 0; its first stamp builds the timeline on the rate and
    // period of that moment, under the same seed.
    mClock.AnchorHostTime = mach_absolute_time();
    mClock.PeriodCount = 0;
    mClock.SampleRate = 0.0;
    return 0;
}

OSStatus Device::StopIOImpl(UInt32 /*clientID*/, SInt32 startCount)
{
    if (startCount == 0) {
        const auto handlerLock = mControlHandler.GetReadLock();
        HandlerIn(handlerLock.GetValue()).OnStopIO();
    }
    return 0;
}

// ---- The clock -------------------------------------------------------------------------------------

OSStatus Device::GetZeroTimeStamp(AudioObjectID inObjectID,
                                  UInt32 inClientID,
                                  Float64* outSampleTime,
                                  UInt64* outHostTime,
                                  UInt64* outSeed) HAL_NONBLOCKING
{
    const IOMutexGuard ioLock(mIOMutex);
    Tracer& tracer = GetTracer();
    TracedOperation operation(tracer,
                              {.Name = "Device::GetZeroTimeStamp()",
                               .Flags = Tracer::Operation::ReadOnly | Tracer::Operation::Realtime,
                               .ObjectID = GetID()},
                              mParameters.RealtimeTracingEnabled);
    if (inObjectID != GetID()) {
        return operation.Finish(kAudioHardwareBadObjectError);
    }
    // The step always gets somewhere to write; the host's null pointers are skipped below.
    Float64 sampleTime = 0.0;
    UInt64 hostTime = 0;
    UInt64 seed = 0;
    if (const OSStatus status = GetZeroTimeStampImpl(inClientID, &sampleTime, &hostTime, &seed); status != 0) {
        return operation.Finish(status);
    }
    if (outSampleTime != nullptr) {
        *outSampleTime = sampleTime;
    }
    if (outHostTime != nullptr) {
        *outHostTime = hostTime;
    }
    if (outSeed != nullptr) {
        *outSeed = seed;
    }
    if (operation.IsTraced()) {
        if (outSampleTime == nullptr || outHostTime == nullptr || outSeed == nullptr) {
            tracer.Message("output buffer is null");
        }
        tracer.Message("returning outSampleTime=%f outHostTime=%lu outSeed=%lu", sampleTime,
                       static_cast<unsigned long>(hostTime), static_cast<unsigned long>(seed));
    }
    return operation.Finish(0);
}

OSStatus Device::GetZeroTimeStampImpl(UInt32 /*clientID*/,
                                      Float64* outSampleTime,
                                      UInt64* outHostTime,
                                      UInt64* outSeed) HAL_NONBLOCKING
{
    const Float64 rate = GetNominalSampleRate();
    const UInt32 period = GetZeroTimeStampPeriod();
    // A rate that is not a positive number (a zero SampleRate parameter, a derived getter's) gives
    // no timeline at all.
    if (!(rate > 0.0 && std::isfinite(rate))) {
        return kAudioHardwareIllegalOperationError;
    }
    if (rate != mClock.SampleRate || period != mClock.Period) {
        // A timeline built on another rate or period cannot go on: its host times would jump.
        // The new one starts here, and a new seed tells the host so. A run's first stamp builds
        // the run's timeline and keeps the seed.
        const bool continuesATimeline = mClock.SampleRate != 0.0;
        if (rate != mClock.SampleRate) {
            mach_timebase_info_data_t timebase{1, 1};
            mach_timebase_info(&timebase);
            // Nanoseconds per frame, in host ticks (nanoseconds = ticks * numer / denom).
            mClock.HostTicksPerFrame = (static_cast<Float64>(timebase.denom) / static_cast<Float64>(timebase.numer))
                                       * 1.0e9 / rate;
            mClock.SampleRate = rate;
        }
        mClock.Period = period;
        if (continuesATimeline) {
            mClock.AnchorHostTime = mach_absolute_time();
            mClock.PeriodCount = 0;
            ++mClock.Seed;
        }
    }

    const UInt64 now = mach_absolute_time();
    const Float64 ticksPerPeriod = mClock.HostTicksPerFrame * static_cast<Float64>(period);
    const Float64 nextOffset = ticksPerPeriod * static_cast<Float64>(mClock.PeriodCount + 1);
    // A rate so low that the offset leaves the host clock's range: converting it would be undefined.
    if (!(nextOffset < kHostTimeLimit)) {
        return kAudioHardwareIllegalOperationError;
    }
    const UInt64 nextHostTime = mClock.AnchorHostTime + static_cast<UInt64>(nextOffset);
    // At most one period per call: a host that asks late catches up step by step.
    if (now >= nextHostTime) {
        ++mClock.PeriodCount;
        mClock.LastHostTime = nextHostTime;
    } else {
        mClock.LastHostTime =
            mClock.AnchorHostTime + static_cast<UInt64>(ticksPerPeriod * static_cast<Float64>(mClock.PeriodCount));
    }
    mClock.LastSampleTime = static_cast<Float64>(mClock.PeriodCount) * static_cast<Float64>(period);

    *outSampleTime = mClock.LastSampleTime;
    *outHostTime = mClock.LastHostTime;
    *outSeed = mClock.Seed;
    return 0;
}

// ---- IO operations -----------------------------------------------------------------------------------

OSStatus Device::WillDoIOOperation(AudioObjectID inObjectID,
                                   UInt32 inClientID,
                                   UInt32 inOperationID,
                                   Boolean* outWillDo,
                                   Boolean* outWillDoInPlace) HAL_NONBLOCKING
{
    const IOMutexGuard ioLock(mIOMutex);
    Tracer& tracer = GetTracer();
    TracedOperation operation(tracer,
                              {.Name = "Device::WillDoIOOperation()",
                               .Flags = Tracer::Operation::ReadOnly | Tracer::Operation::Realtime,
                               .ObjectID = GetID()},
                              mParameters.RealtimeTracingEnabled);
    if (inObjectID != GetID()) {
        return operation.Finish(kAudioHardwareBadObjectError);
    }
    Boolean willDo = false;
    Boolean willDoInPlace = false;
    const OSStatus status = WillDoIOOperationImpl(inClientID, inOperationID, &willDo, &willDoInPlace);
    if (outWillDo != nullptr) {
        *outWillDo = willDo;
    }
    if (outWillDoInPlace != nullptr) {
        *outWillDoInPlace = willDoInPlace;
    }
    if (status == 0 && operation.IsTraced()) {
        if (outWillDo == nullptr || outWillDoInPlace == nullptr) {
            tracer.Message("output buffer is null");
        }
        tracer.Message("%s WillDo=%d WillDoInPlace=%d", OperationIDToString(inOperationID).c_str(),
                       static_cast<int>(willDo), static_cast<int>(willDoInPlace));
    }
    return operation.Finish(status);
}

OSStatus Device::WillDoIOOperationImpl(UInt32 /*clientID*/,
                                       UInt32 operationID,
                                       Boolean* outWillDo,
                                       Boolean* outWillDoInPlace) HAL_NONBLOCKING
{
    const bool hasInput = mInputStreamCount.load(std::memory_order_acquire) > 0;
    const bool hasOutput = mOutputStreamCount.load(std::memory_order_acquire) > 0;
    const bool isMixing = mParameters.MixingEnabled;
    bool willDo = false;
    switch (operationID) {
    case kAudioServerPlugInIOOperationReadInput:
    case kAudioServerPlugInIOOperationProcessInput:
        willDo = hasInput;
        break;
    case kAudioServerPlugInIOOperationMixOutput:
        willDo = hasOutput && !isMixing;
        break;
    case kAudioServerPlugInIOOperationProcessMix:
    case kAudioServerPlugInIOOperationWriteMix:
        willDo = hasOutput && isMixing;
        break;
    default:
        break;
    }
    // Whatever the device does, it does in place.
    if (willDo) {
        *outWillDo = true;
        *outWillDoInPlace = true;
    }
    return 0;
}

template <class Step>
OSStatus Device::RunBracketOperation(const char* name,
                                     AudioObjectID inObjectID,
                                     const AudioServerPlugInIOCycleInfo* inIOCycleInfo,
                                     Step&& step) HAL_NONBLOCKING
{
    if (inIOCycleInfo == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    const IOMutexGuard ioLock(mIOMutex);
    if (mParameters.RealtimeTracingEnabled) {
        // A plain line rather than an operation: the brackets only mark where the steps are.
        GetTracer().Message("%s", name);
    }
    if (inObjectID != GetID()) {
        return kAudioHardwareBadObjectError;
    }
    return step(*inIOCycleInfo);
}

OSStatus Device::BeginIOOperation(AudioObjectID inObjectID,
                                  UInt32 inClientID,
                                  UInt32 inOperationID,
                                  UInt32 inIOBufferFrameSize,
                                  const AudioServerPlugInIOCycleInfo* inIOCycleInfo) HAL_NONBLOCKING
{
    return RunBracketOperation("Device::BeginIOOperation()", inObjectID, inIOCycleInfo,
                               [&](const AudioServerPlugInIOCycleInfo& cycleInfo) HAL_NONBLOCKING {
                                   return BeginIOOperationImpl(inClientID, inOperationID, inIOBufferFrameSize,
                                                               cycleInfo);
                               });
}

OSStatus Device::DoIOOperation(AudioObjectID inObjectID,
                               AudioObjectID inStreamObjectID,
                               UInt32 inClientID,
                               UInt32 inOperationID,
                               UInt32 inIOBufferFrameSize,
                               const AudioServerPlugInIOCycleInfo* inIOCycleInfo,
                               void* ioMainBuffer,
                               void* ioSecondaryBuffer) HAL_NONBLOCKING
{
    // A handler would write through these.
    if (inIOCycleInfo == nullptr || (ioMainBuffer == nullptr && inIOBufferFrameSize != 0)) {
        return kAudioHardwareIllegalOperationError;
    }
    const IOMutexGuard ioLock(mIOMutex);
    Tracer& tracer = GetTracer();
    TracedOperation operation(tracer,
                              {.Name = "Device::DoIOOperation()", .Flags = Tracer::Operation::Realtime, .ObjectID = GetID()},
                              mParameters.RealtimeTracingEnabled);
    if (operation.IsTraced()) {
        tracer.Message("%s StreamID=%u ClientID=%u NumFrames=%u InTs=%f OutTs=%f ZeroTs=%f",
                       OperationIDToString(inOperationID).c_str(), inStreamObjectID, inClientID, inIOBufferFrameSize,
                       inIOCycleInfo->mInputTime.mSampleTime, inIOCycleInfo->mOutputTime.mSampleTime,
                       mClock.LastSampleTime);
    }
    if (inObjectID != GetID()) {
        return operation.Finish(kAudioHardwareBadObjectError);
    }
    return operation.Finish(DoIOOperationImpl(inStreamObjectID, inClientID, inOperationID, inIOBufferFrameSize,
                                              *inIOCycleInfo, ioMainBuffer, ioSecondaryBuffer));
}

OSStatus Device::EndIOOperation(AudioObjectID inObjectID,
                                UInt32 inClientID,
                                UInt32 inOperationID,
                                UInt32 inIOBufferFrameSize,
                                const AudioServerPlugInIOCycleInfo* inIOCycleInfo) HAL_NONBLOCKING
{
    return RunBracketOperation("Device::EndIOOperation()", inObjectID, inIOCycleInfo,
                               [&](const AudioServerPlugInIOCycleInfo& cycleInfo) HAL_NONBLOCKING {
                                   return EndIOOperationImpl(inClientID, inOperationID, inIOBufferFrameSize,
                                                             cycleInfo);
                               });
}

OSStatus Device::BeginIOOperationImpl(UInt32 /*clientID*/,
                                      UInt32 /*operationID*/,
                                      UInt32 /*frameSize*/,
                                      const AudioServerPlugInIOCycleInfo& /*cycleInfo*/) HAL_NONBLOCKING
{
    return 0;
}

OSStatus Device::EndIOOperationImpl(UInt32 /*clientID*/,
                                    UInt32 /*operationID*/,
                                    UInt32 /*frameSize*/,
                                    const AudioServerPlugInIOCycleInfo& /*cycleInfo*/) HAL_NONBLOCKING
{
    return 0;
}

OSStatus Device::DoIOOperationImpl(AudioObjectID streamID,
                                   UInt32 clientID,
                                   UInt32 operationID,
                                   UInt32 frameSize,
                                   const AudioServerPlugInIOCycleInfo& cycleInfo,
                                   void* mainBuffer,
                                   void* /*secondaryBuffer*/) HAL_NONBLOCKING
{
    // The client, the stream and the handler are used in place, under the read locks of their
    // tables, and handed on as references to the tables' own references: the IO thread never
    // holds a reference of its own, so it can never be the one that drops the last, and whatever
    // is removed or replaced meanwhile is released on the removing thread after this call.
    const auto streamsLock = mStreams.ByID.GetReadLock();
    const auto foundStream = streamsLock.GetValue().find(streamID);
    if (foundStream == streamsLock.GetValue().end()) {
        return kAudioHardwareIllegalOperationError;
    }
    const std::shared_ptr<Stream>& stream = foundStream->second;
    const auto handlerLock = mIOHandler.GetReadLock();
    IORequestHandler& handler = HandlerIn(handlerLock.GetValue());

    const Float64 zeroTimeStamp = mClock.LastSampleTime;
    const Float64 inputTime = cycleInfo.mInputTime.mSampleTime;
    const Float64 outputTime = cycleInfo.mOutputTime.mSampleTime;
    auto* const samples = static_cast<Float32*>(mainBuffer);

    // Each step reads only what it passes on (the client, the size in bytes or the channel
    // count): every read of a table or a format is an atomic read-modify-write pair, and the
    // mixed-output steps, which run every cycle, have no client.
    const auto withClient = [&](auto&& call) HAL_NONBLOCKING {
        const auto clientsLock = mClientsByID.GetReadLock();
        const auto foundClient = clientsLock.GetValue().find(clientID);
        call(foundClient == clientsLock.GetValue().end() ? kNoClient : foundClient->second);
    };
    switch (operationID) {
    case kAudioServerPlugInIOOperationReadInput:
        withClient([&](const std::shared_ptr<Client>& client) HAL_NONBLOCKING {
            handler.OnReadClientInput(client, stream, zeroTimeStamp, inputTime, mainBuffer,
                                      stream->ConvertFramesToBytes(frameSize));
        });
        break;
    case kAudioServerPlugInIOOperationProcessInput:
        withClient([&](const std::shared_ptr<Client>& client) HAL_NONBLOCKING {
            handler.OnProcessClientInput(client, stream, zeroTimeStamp, inputTime, samples, frameSize,
                                         stream->GetChannelCount());
        });
        break;
    case kAudioServerPlugInIOOperationMixOutput:
        withClient([&](const std::shared_ptr<Client>& client) HAL_NONBLOCKING {
            const UInt32 channels = stream->GetChannelCount();
            handler.OnProcessClientOutput(client, stream, zeroTimeStamp, outputTime, samples, frameSize, channels);
            handler.OnWriteClientOutput(client, stream, zeroTimeStamp, outputTime, samples, frameSize, channels);
        });
        break;
    case kAudioServerPlugInIOOperationProcessMix:
        handler.OnProcessMixedOutput(stream, zeroTimeStamp, outputTime, samples, frameSize, stream->GetChannelCount());
        break;
    case kAudioServerPlugInIOOperationWriteMix:
        handler.OnWriteMixedOutput(stream, zeroTimeStamp, outputTime, mainBuffer, stream->ConvertFramesToBytes(frameSize));
        break;
    default:
        break;
    }
    return 0;
}

} // namespace hal
