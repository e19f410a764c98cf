// The assembled Pelio driver (pelio::createDriver) driven through its interface table by
// arbitrary sequences of host calls: any entry, with object IDs, selectors, scopes, elements,
// qualifiers, sizes and data of the fuzzer's choosing, null pointers included; clients added and
// removed, IO started and stopped, IO operations of any kind with any frame size and buffer, and
// configuration changes performed and aborted. The Pelio device itself never asks for a change,
// so some operations ask the way application code would (latency, safety offset, zero time
// stamp period, available and nominal sample rates), and the host then performs or aborts what
// was asked, or answers requests that were never made.
//
// Each input gets a fresh driver, initialised (or not, as the input says) with the test host.
// Besides the sanitizers, the target checks what a host relies on:
// - every status is one the platform defines;
// - a read never writes past the size it reports, a read that fails writes nothing, and the size
//   it reports never exceeds the size offered;
// - DeviceIsRunning, and the Pelio handler's sender, follow the starts and stops that succeeded.
//
// The input is a byte code, read from the front (FuzzInput.h): one byte chooses the operation,
// the bytes after it its arguments, in the order of the code below (each argument is read in a
// statement of its own, never two in one call, whose order C++ leaves open). make_seeds.py
// writes the checked-in seeds in the same code. With PELIO_FUZZ_TRACE set, the target names each
// operation on standard error as it runs it.
//
// The handler sends to the Pelio port while IO runs: run it where nothing else listens there
// (the test command keeps it apart from the tests that do).

#include "FuzzInput.h"

#include "PelioAssembly.h"
#include "PelioHandler.h"
#include "PropertySelectors.h"
#include "TestHost.h"

#include "hal/Device.h"
#include "hal/Driver.h"
#include "hal/Plugin.h"

#include <CoreAudio/AudioServerPlugIn.h>
#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <limits>
#include <memory>
#include <span>
#include <vector>

namespace {

using pelio::fuzz::FuzzInput;

void Require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "DriverFuzzer: %s\n", what);
        std::abort();
    }
}

bool IsPlatformStatus(OSStatus status)
{
    switch (status) {
    case kAudioHardwareNoError:
    case kAudioHardwareUnspecifiedError:
    case kAudioHardwareUnknownPropertyError:
    case kAudioHardwareBadPropertySizeError:
    case kAudioHardwareIllegalOperationError:
    case kAudioHardwareBadObjectError:
    case kAudioHardwareUnsupportedOperationError:
    case kAudioDeviceUnsupportedFormatError:
        return true;
    default:
        return false;
    }
}

OSStatus Checked(OSStatus status)
{
    Require(IsPlatformStatus(status), "an entry returned a status the platform does not define");
    return status;
}

// The largest buffer the target hands out; sizes offered beyond it are lies the driver must not
// act on (no property of the Pelio device is nearly this large).
constexpr std::size_t kBufferLimit = 1 << 14;
constexpr std::uint8_t kCanary = 0xA5;
constexpr UInt32 kBytesPerFrame = pelio::PelioHandler::kBytesPerFrame;

constexpr AudioObjectID kObjectIDs[] = {2, 3, 1, 0, 4, 0xFFFFFFFF};
constexpr AudioObjectPropertyScope kScopes[] = {kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyScopeOutput,
                                                kAudioObjectPropertyScopeInput, kAudioObjectPropertyScopeWildcard,
                                                kAudioObjectPropertyScopePlayThrough};
constexpr AudioObjectPropertyElement kElements[] = {kAudioObjectPropertyElementMain, 1, 2,
                                                    kAudioObjectPropertyElementWildcard};
constexpr UInt32 kSizes[] = {0, 4, 8, 40, 1, 3, 7, 12, 16, 24, 39, 56, 64, 100, 256, 4096, 0xFFFFFFFF, 0x80000000};
constexpr UInt32 kClientIDs[] = {1, 2, 3, 0, 0xFFFFFFFF};
constexpr UInt32 kOperations[] = {
    kAudioServerPlugInIOOperationWriteMix,     kAudioServerPlugInIOOperationProcessMix,
    kAudioServerPlugInIOOperationMixOutput,    kAudioServerPlugInIOOperationReadInput,
    kAudioServerPlugInIOOperationProcessInput, kAudioServerPlugInIOOperationCycle,
    kAudioServerPlugInIOOperationThread,       kAudioServerPlugInIOOperationConvertInput,
    kAudioServerPlugInIOOperationConvertMix,   kAudioServerPlugInIOOperationProcessOutput};
constexpr UInt32 kFrameSizes[] = {512, 0, 1, 2, 511, 513, 960, 961, 1000, 1920, 4096, 16384, 0xFFFFFFFF};
constexpr UInt32 kScalars[] = {0, 1, 2, 512, 48000, 0xFFFFFFFF, 0x80000000};
constexpr Float64 kRates[] = {48000.0, 44100.0, 96000.0, 0.0, -48000.0, 1e-300, 1e300};

enum class Operation : std::uint8_t {
    HasProperty,
    IsPropertySettable,
    GetPropertyDataSize,
    GetPropertyData,
    SetPropertyData,
    AddClient,
    RemoveClient,
    StartIO,
    StopIO,
    GetZeroTimeStamp,
    WillDoIOOperation,
    Cycles,
    IOOperation,
    RequestChange,
    PerformChange,
    AbortChange,
    DriverEntry,
    Initialize,
    Count,
};

constexpr const char* kOperationNames[] = {
    "HasProperty",       "IsPropertySettable", "GetPropertyDataSize", "GetPropertyData", "SetPropertyData",
    "AddClient",         "RemoveClient",       "StartIO",             "StopIO",          "GetZeroTimeStamp",
    "WillDoIOOperation", "Cycles",             "IOOperation",         "RequestChange",   "PerformChange",
    "AbortChange",       "DriverEntry",        "Initialize",
};
static_assert(std::size(kOperationNames) == static_cast<std::size_t>(Operation::Count));

class Session
{
public:
    Session()
        : mDriver(pelio::createDriver())
        , mReference(mDriver->GetReference())
        , mTable(**mReference)
        , mDevice(mDriver->GetPlugin()->GetDeviceByIndex(0))
        , mHandler(dynamic_cast<pelio::PelioHandler*>(mDevice->GetIOHandler()))
    {
        Require(mHandler != nullptr, "the device's IO handler is not the Pelio handler");
    }

    ~Session()
    {
        // As a host that goes away: every start it made is stopped.
        while (mStartCount > 0 && mTable.StopIO(mReference, mDevice->GetID(), 1) == 0) {
            --mStartCount;
        }
        for (const CFTypeRef object : mObjects) {
            CFRelease(object);
        }
    }

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void Run(FuzzInput& input)
    {
        // Enough to reach deep states, few enough to keep an input fast.
        for (int step = 0; step < 256 && !input.IsEmpty(); ++step) {
            const auto operation = static_cast<Operation>(input.U8() % static_cast<std::uint8_t>(Operation::Count));
            if (mTraced) {
                std::fprintf(stderr, "%3d %s\n", step, kOperationNames[static_cast<std::size_t>(operation)]);
            }
            RunOne(operation, input);
            CollectRequests();
            CheckRunningState();
        }
    }

private:
    void RunOne(Operation operation, FuzzInput& input)
    {
        switch (operation) {
        case Operation::HasProperty: {
            const auto target = PickObject(input);
            const auto address = PickAddress(input);
            const pid_t process = PickProcess(input);
            mTable.HasProperty(PickReference(input), target, process, address.get());
            break;
        }
        case Operation::IsPropertySettable: {
            const auto target = PickObject(input);
            const auto address = PickAddress(input);
            Boolean settable = 2;
            const bool nullOut = input.Flag();
            Checked(mTable.IsPropertySettable(PickReference(input), target, 0, address.get(),
                                              nullOut ? nullptr : &settable));
            break;
        }
        case Operation::GetPropertyDataSize: {
            const auto target = PickObject(input);
            const auto address = PickAddress(input);
            Qualifier qualifier = PickQualifier(input);
            UInt32 size = 0;
            const bool nullOut = input.Flag();
            Checked(mTable.GetPropertyDataSize(PickReference(input), target, 0, address.get(), qualifier.size,
                                               qualifier.data, nullOut ? nullptr : &size));
            break;
        }
        case Operation::GetPropertyData:
            GetPropertyData(input);
            break;
        case Operation::SetPropertyData: {
            const auto target = PickObject(input);
            const auto address = PickAddress(input);
            Qualifier qualifier = PickQualifier(input);
            const UInt32 size = input.Pick(kSizes);
            std::vector<std::uint8_t> data = PickData(input, size);
            const bool nullData = input.Flag();
            Checked(mTable.SetPropertyData(PickReference(input), target, 0, address.get(), qualifier.size,
                                           qualifier.data, size, nullData ? nullptr : data.data()));
            break;
        }
        case Operation::AddClient:
        case Operation::RemoveClient: {
            const AudioObjectID target = PickObject(input);
            AudioServerPlugInClientInfo client{input.Pick(kClientIDs), static_cast<pid_t>(input.U16()),
                                               static_cast<Boolean>(input.U8()), nullptr};
            client.mBundleID = static_cast<CFStringRef>(PickCFObject(input));
            const bool nullInfo = input.Flag();
            const auto entry = operation == Operation::AddClient ? mTable.AddDeviceClient : mTable.RemoveDeviceClient;
            Checked(entry(PickReference(input), target, nullInfo ? nullptr : &client));
            break;
        }
        case Operation::StartIO:
        case Operation::StopIO: {
            const AudioObjectID target = PickObject(input);
            const UInt32 clientID = input.Pick(kClientIDs);
            const bool isStart = operation == Operation::StartIO;
            const OSStatus status =
                Checked((isStart ? mTable.StartIO : mTable.StopIO)(PickReference(input), target, clientID));
            if (status == 0) {
                Require(target == mDevice->GetID(), "IO started or stopped on an object that is not the device");
                mStartCount += isStart ? 1 : -1;
            }
            break;
        }
        case Operation::GetZeroTimeStamp: {
            const AudioObjectID target = PickObject(input);
            Float64 sampleTime = 0;
            UInt64 hostTime = 0;
            UInt64 seed = 0;
            const UInt32 clientID = input.Pick(kClientIDs);
            const std::uint8_t nulls = input.U8();
            const OSStatus status = Checked(mTable.GetZeroTimeStamp(
                PickReference(input), target, clientID, (nulls & 1) ? nullptr : &sampleTime,
                (nulls & 2) ? nullptr : &hostTime, (nulls & 4) ? nullptr : &seed));
            if (status == 0 && (nulls & 1) == 0) {
                Require(std::isfinite(sampleTime) && sampleTime >= 0, "a zero time stamp is not a sample time");
            }
            break;
        }
        case Operation::WillDoIOOperation: {
            const AudioObjectID target = PickObject(input);
            const UInt32 clientID = input.Pick(kClientIDs);
            const UInt32 operationID = input.Pick(kOperations);
            Boolean willDo = 2;
            Boolean inPlace = 2;
            const std::uint8_t nulls = input.U8();
            Checked(mTable.WillDoIOOperation(PickReference(input), target, clientID, operationID,
                                             (nulls & 1) ? nullptr : &willDo, (nulls & 2) ? nullptr : &inPlace));
            break;
        }
        case Operation::Cycles:
            RunCycles(input);
            break;
        case Operation::IOOperation:
            RunIOOperation(input);
            break;
        case Operation::RequestChange:
            RequestChange(input);
            break;
        case Operation::PerformChange:
        case Operation::AbortChange:
            AnswerChange(input, operation == Operation::PerformChange);
            break;
        case Operation::DriverEntry:
            CallDriverEntry(input);
            break;
        case Operation::Initialize: {
            const bool withoutHost = input.Flag();
            Checked(mTable.Initialize(PickReference(input), withoutHost ? nullptr : mHost.GetInterface()));
            break;
        }
        case Operation::Count:
            break;
        }
    }

    // ---- Arguments -----------------------------------------------------------------------------

    AudioServerPlugInDriverRef PickReference(FuzzInput& input)
    {
        // Rarely none at all.
        return input.U8() == 0x7F ? nullptr : mReference;
    }

    static AudioObjectID PickObject(FuzzInput& input) { return input.Pick(kObjectIDs); }

    static pid_t PickProcess(FuzzInput& input) { return static_cast<pid_t>(input.U16()); }

    // An address, or none (owned, so that null can be handed on).
    static std::unique_ptr<AudioObjectPropertyAddress> PickAddress(FuzzInput& input)
    {
        const std::uint8_t choice = input.U8();
        AudioObjectPropertySelector selector;
        if (choice == 0xFF) {
            return nullptr;
        }
        if (choice >= FuzzInput::kArbitrary) {
            selector = input.U32();
        } else {
            selector = pelio::test::kKnownSelectors[choice % pelio::test::kKnownSelectors.size()];
        }
        auto address = std::make_unique<AudioObjectPropertyAddress>();
        address->mSelector = selector;
        address->mScope = input.Pick(kScopes);
        address->mElement = input.Pick(kElements);
        return address;
    }

    // A CoreFoundation object, as hosts pass them: a string (the device's UID, or any text), an
    // object of another type, or none. Released with the session.
    CFTypeRef PickCFObject(FuzzInput& input)
    {
        CFTypeRef object = nullptr;
        switch (input.U8() % 6) {
        case 0:
            return nullptr;
        case 1:
            object = CFStringCreateWithCString(kCFAllocatorDefault, pelio::kDeviceUID, kCFStringEncodingUTF8);
            break;
        case 2: {
            std::vector<std::uint8_t> text(input.U8() % 48);
            input.Fill(text);
            object = CFStringCreateWithBytes(kCFAllocatorDefault, text.data(), static_cast<CFIndex>(text.size()),
                                             kCFStringEncodingUTF8, false);
            break;
        }
        case 3: {
            const SInt64 value = static_cast<SInt64>(input.U64());
            object = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
            break;
        }
        case 4: {
            std::vector<std::uint8_t> bytes(input.U8() % 16);
            input.Fill(bytes);
            object = CFDataCreate(kCFAllocatorDefault, bytes.data(), static_cast<CFIndex>(bytes.size()));
            break;
        }
        default:
            object = CFArrayCreate(kCFAllocatorDefault, nullptr, 0, &kCFTypeArrayCallBacks);
            break;
        }
        if (object != nullptr) {
            mObjects.push_back(object);
        }
        return object;
    }

    struct Qualifier
    {
        UInt32 size = 0;
        const void* data = nullptr;
        std::vector<std::uint8_t> bytes;
    };

    // Raw bytes, except where the size is that of an object reference: then a real object (or a
    // null reference), since a host passes one there and the driver may look at it.
    Qualifier PickQualifier(FuzzInput& input)
    {
        Qualifier qualifier;
        qualifier.size = input.Pick(kSizes);
        const bool nullData = input.Flag();
        if (qualifier.size == sizeof(CFTypeRef)) {
            const CFTypeRef object = PickCFObject(input);
            qualifier.bytes.resize(sizeof object);
            std::memcpy(qualifier.bytes.data(), &object, sizeof object);
        } else {
            qualifier.bytes.resize(std::min<std::size_t>(qualifier.size, kBufferLimit));
            input.Fill(qualifier.bytes);
        }
        qualifier.data = nullData ? nullptr : qualifier.bytes.data();
        return qualifier;
    }

    // Data for a set: values of the types the settable properties take, or raw bytes.
    static std::vector<std::uint8_t> PickData(FuzzInput& input, UInt32 size)
    {
        std::vector<std::uint8_t> data(std::min<std::size_t>(size, kBufferLimit));
        const std::uint8_t kind = input.U8() % 4;
        if (kind == 1 && data.size() >= sizeof(Float64)) {
            const Float64 rate = input.Pick(kRates);
            std::memcpy(data.data(), &rate, sizeof rate);
        } else if (kind == 2 && data.size() >= sizeof(UInt32)) {
            const UInt32 value = input.Pick(kScalars);
            std::memcpy(data.data(), &value, sizeof value);
        } else if (kind == 3 && data.size() >= sizeof(AudioStreamBasicDescription)) {
            AudioStreamBasicDescription format{input.Pick(kRates), kAudioFormatLinearPCM,
                                               kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
                                               input.Pick(kScalars), 1, input.Pick(kScalars), input.Pick(kScalars),
                                               32, 0};
            std::memcpy(data.data(), &format, sizeof format);
        } else {
            input.Fill(data);
        }
        return data;
    }

    // ---- Operations ------------------------------------------------------------------------------

    void GetPropertyData(FuzzInput& input)
    {
        const auto target = PickObject(input);
        const auto address = PickAddress(input);
        Qualifier qualifier = PickQualifier(input);
        const UInt32 offered = input.Pick(kSizes);
        const std::uint8_t nulls = input.U8();
        const bool nullSize = (nulls & 1) != 0;
        const bool nullData = (nulls & 2) != 0;

        std::vector<std::uint8_t> buffer(std::min<std::size_t>(offered, kBufferLimit), kCanary);
        constexpr UInt32 kUntouched = 0xDEADBEEF;
        UInt32 written = kUntouched;
        const OSStatus status =
            Checked(mTable.GetPropertyData(PickReference(input), target, 0, address.get(), qualifier.size,
                                           qualifier.data, offered, nullSize ? nullptr : &written,
                                           nullData ? nullptr : buffer.data()));

        if (status != 0) {
            Require(IsUntouched(buffer, 0), "a read that failed wrote into the buffer");
            return;
        }
        if (!nullSize) {
            Require(written != kUntouched, "a read that succeeded did not say how much it wrote");
            Require(written <= offered, "a read reported more bytes than were offered");
            Require(IsUntouched(buffer, written), "a read wrote past the size it reported");
        }
        // An object handed out belongs to the caller.
        if (address != nullptr && pelio::test::ReturnsObject(address->mSelector) && buffer.size() >= sizeof(CFTypeRef)
            && !IsUntouched(std::span(buffer).first(sizeof(CFTypeRef)), 0)) {
            Require(IsUntouched(buffer, sizeof(CFTypeRef)), "an object reference was written out of place");
            CFTypeRef object = nullptr;
            std::memcpy(&object, buffer.data(), sizeof object);
            if (object != nullptr) {
                CFRelease(object);
            }
        }
    }

    // Whether `buffer` still holds the canary from `from` on.
    static bool IsUntouched(std::span<const std::uint8_t> buffer, std::size_t from)
    {
        static const std::vector<std::uint8_t> canary(kBufferLimit, kCanary);
        return from >= buffer.size() || std::memcmp(buffer.data() + from, canary.data(), buffer.size() - from) == 0;
    }

    // Cycles as the server runs them on its IO thread: the zero time stamp, the cycle's brackets,
    // ProcessMix and WriteMix of the one stream.
    void RunCycles(FuzzInput& input)
    {
        const UInt32 frames = std::min<UInt32>(input.Pick(kFrameSizes), 16384);
        const int cycles = 1 + input.U8() % 8;
        std::vector<Float32> mix(std::size_t{frames} * 2 + 1);
        for (std::size_t index = 0; index < mix.size(); ++index) {
            mix[index] = static_cast<Float32>(index % 97) / 97.0f;
        }
        const AudioObjectID deviceID = mDevice->GetID();
        const AudioObjectID streamID = 3;
        AudioServerPlugInIOCycleInfo cycle{};
        cycle.mNominalIOBufferFrameSize = frames;
        for (int index = 0; index < cycles; ++index) {
            Float64 sampleTime = 0;
            UInt64 hostTime = 0;
            UInt64 seed = 0;
            Checked(mTable.GetZeroTimeStamp(mReference, deviceID, 1, &sampleTime, &hostTime, &seed));
            cycle.mIOCycleCounter = static_cast<UInt64>(index + 1);
            cycle.mOutputTime.mSampleTime = sampleTime + frames * index;
            Checked(mTable.BeginIOOperation(mReference, deviceID, 1, kAudioServerPlugInIOOperationCycle, frames, &cycle));
            for (const UInt32 operation : {kAudioServerPlugInIOOperationProcessMix, kAudioServerPlugInIOOperationWriteMix}) {
                Checked(mTable.BeginIOOperation(mReference, deviceID, 1, operation, frames, &cycle));
                Checked(mTable.DoIOOperation(mReference, deviceID, streamID, 1, operation, frames, &cycle, mix.data(),
                                             nullptr));
                Checked(mTable.EndIOOperation(mReference, deviceID, 1, operation, frames, &cycle));
            }
            Checked(mTable.EndIOOperation(mReference, deviceID, 1, kAudioServerPlugInIOOperationCycle, frames, &cycle));
        }
    }

    // One operation with anything in its arguments. A buffer is as large as its frame size says
    // (the host's side of the contract) or absent.
    void RunIOOperation(FuzzInput& input)
    {
        const AudioObjectID target = PickObject(input);
        const AudioObjectID streamID = PickObject(input);
        const UInt32 clientID = input.Pick(kClientIDs);
        const UInt32 operationID = input.Pick(kOperations);
        const UInt32 frames = input.Pick(kFrameSizes);
        const std::uint8_t shape = input.U8();
        const bool withBuffer = (shape & 1) == 0 && frames <= 16384;
        const bool withCycle = (shape & 2) == 0;
        std::vector<std::uint8_t> buffer(withBuffer ? std::size_t{frames} * kBytesPerFrame + 1 : 0);
        input.Fill(std::span(buffer).first(std::min<std::size_t>(buffer.size(), 64)));
        std::vector<std::uint8_t> secondary((shape & 4) ? buffer.size() : 0);
        AudioServerPlugInIOCycleInfo cycle{};
        cycle.mOutputTime.mSampleTime = static_cast<Float64>(input.U32());
        const AudioServerPlugInIOCycleInfo* cycleInfo = withCycle ? &cycle : nullptr;
        const auto reference = PickReference(input);
        switch (input.U8() % 3) {
        case 0:
            Checked(mTable.BeginIOOperation(reference, target, clientID, operationID, frames, cycleInfo));
            break;
        case 1:
            Checked(mTable.DoIOOperation(reference, target, streamID, clientID, operationID, frames, cycleInfo,
                                         withBuffer ? buffer.data() : nullptr,
                                         secondary.empty() ? nullptr : secondary.data()));
            break;
        default:
            Checked(mTable.EndIOOperation(reference, target, clientID, operationID, frames, cycleInfo));
            break;
        }
    }

    // What application code may ask of its device; each asks the host (once it is known) to
    // perform the change.
    void RequestChange(FuzzInput& input)
    {
        hal::Device& device = *mDevice;
        switch (input.U8() % 5) {
        case 0:
            device.SetLatencyAsync(input.Pick(kScalars));
            break;
        case 1:
            device.SetSafetyOffsetAsync(input.Pick(kScalars));
            break;
        case 2:
            device.SetZeroTimeStampPeriodAsync(input.Pick(kScalars));
            break;
        case 3: {
            std::vector<AudioValueRange> rates;
            for (int count = input.U8() % 4; count > 0; --count) {
                const Float64 low = input.Pick(kRates);
                rates.push_back({low, input.Flag() ? low : input.Pick(kRates)});
            }
            device.SetAvailableSampleRatesAsync(std::move(rates));
            break;
        }
        default:
            device.SetNominalSampleRateAsync(input.Pick(kRates));
            break;
        }
    }

    // The host's answer to a request that is pending, or to one that never was.
    void AnswerChange(FuzzInput& input, bool perform)
    {
        const auto entry = perform ? mTable.PerformDeviceConfigurationChange : mTable.AbortDeviceConfigurationChange;
        const std::uint8_t choice = input.U8();
        if (choice < 0xC0 && !mPending.empty()) {
            const auto request = mPending.front();
            mPending.pop_front();
            Checked(entry(mReference, request.deviceID, request.changeAction, request.changeInfo));
            return;
        }
        const auto reference = PickReference(input);
        const AudioObjectID target = PickObject(input);
        Checked(entry(reference, target, input.U64(), nullptr));
    }

    void CallDriverEntry(FuzzInput& input)
    {
        switch (input.U8() % 5) {
        case 0: {
            CFUUIDBytes uuid{};
            const std::uint8_t choice = input.U8() % 3;
            if (choice == 0) {
                uuid = CFUUIDGetUUIDBytes(kAudioServerPlugInDriverInterfaceUUID);
            } else if (choice == 1) {
                uuid = CFUUIDGetUUIDBytes(IUnknownUUID);
            } else {
                input.Fill(std::span(reinterpret_cast<std::uint8_t*>(&uuid), sizeof uuid));
            }
            void* answer = nullptr;
            const bool nullOut = input.Flag();
            const HRESULT result = mTable.QueryInterface(PickReference(input), uuid, nullOut ? nullptr : &answer);
            Require(result == S_OK || result == E_NOINTERFACE, "QueryInterface answered neither S_OK nor E_NOINTERFACE");
            Require(result != S_OK || answer == mReference, "QueryInterface handed out another reference");
            break;
        }
        case 1:
            mTable.AddRef(PickReference(input));
            break;
        case 2:
            mTable.Release(PickReference(input));
            break;
        case 3: {
            AudioObjectID created = 0;
            const AudioServerPlugInClientInfo client{1, 1, 1, nullptr};
            const bool nullClient = input.Flag();
            const bool nullOut = input.Flag();
            Checked(mTable.CreateDevice(PickReference(input), nullptr, nullClient ? nullptr : &client,
                                        nullOut ? nullptr : &created));
            break;
        }
        default:
            const auto reference = PickReference(input);
            Checked(mTable.DestroyDevice(reference, PickObject(input)));
            break;
        }
    }

    // ---- Checks ----------------------------------------------------------------------------------

    void CollectRequests()
    {
        for (const auto& request : mHost.TakePendingConfigurationChanges()) {
            mPending.push_back(request);
        }
    }

    void CheckRunningState()
    {
        Require(mStartCount >= 0, "more stops succeeded than starts");
        const bool shouldRun = mStartCount > 0;
        const AudioObjectPropertyAddress address{kAudioDevicePropertyDeviceIsRunning, kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};
        UInt32 isRunning = 2;
        UInt32 written = 0;
        Require(mTable.GetPropertyData(mReference, mDevice->GetID(), 0, &address, 0, nullptr, sizeof isRunning, &written,
                                       &isRunning)
                    == 0,
                "DeviceIsRunning cannot be read");
        Require((isRunning != 0) == shouldRun, "DeviceIsRunning disagrees with the starts and stops");
        Require(mHandler->GetIsRunning() == shouldRun, "the sender runs while IO is stopped, or not while it runs");
    }

    // PELIO_FUZZ_TRACE set: each operation is named on standard error as it runs, to read a
    // crashing input by.
    const bool mTraced = std::getenv("PELIO_FUZZ_TRACE") != nullptr;
    // Outlives the driver, which may call it until it is gone.
    pelio::test::TestHost mHost;
    std::shared_ptr<hal::Driver> mDriver;
    AudioServerPlugInDriverRef mReference;
    const AudioServerPlugInDriverInterface& mTable;
    std::shared_ptr<hal::Device> mDevice;
    pelio::PelioHandler* mHandler;
    int mStartCount = 0;
    std::deque<pelio::test::TestHost::ConfigurationChangeRequest> mPending;
    std::vector<CFTypeRef> mObjects;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    Session session;
    session.Run(input);
    return 0;
}
