// A small audio server plug-in for the server's tests, written straight against the driver
// interface table (no framework): one output device with one stereo output stream.
//
// Objects: the plug-in (1), the device (2) and its stream (3); the command "add-device" adds a
// second device (4) with its stream (5), "remove-device" takes it away again.
//
// Built several times with compile definitions:
//   TEST_DEVICE_UID, TEST_DEVICE_NAME   the device's identity (the first device; the added one
//                                       appends ".added" and " Added")
//   TEST_DEVICE_HIDDEN                  1: the device starts hidden
//   TEST_FACTORY_RETURNS_NULL           1: the factory returns no plug-in
//   TEST_REFUSE_INTERFACE               1: QueryInterface refuses the driver interface
//
// What the server's tests look at:
//   - Initialize reads the number "launches" from storage and writes it back increased by one.
//   - Setting the nominal sample rate (44100 or 48000) asks the host for a configuration change
//     from inside the property call, with the rate as the action; the rate changes when the host
//     performs it.
//   - The custom property 'tsta' (a dictionary) reports: launches, performed, aborted,
//     performedOnRequestThread, performedWhileRunning, unknownObjectStatus, the IO counters below,
//     and events, the order of AddDeviceClient and RemoveDeviceClient (with client ID, process ID
//     and bundle ID), WillDo (with the operation and client ID), StartIO, StopIO, Request, Perform
//     and Abort.
//   - The custom property 'tcmd' (a string, settable) takes the commands "add-device",
//     "remove-device", "hide" (hides device 2 and says so), "notify-unknown" (PropertiesChanged
//     of an object that does not exist; its status is kept), "request-from-thread" (a change
//     to 44100 asked for from a thread of the plug-in's own), "new-time-line" (the next zero time
//     stamp starts a time line with a new seed), "slow-cycle" (the next WriteMix takes 40 ms) and
//     "clear-recording".
//   - IO as a real device does it, with nothing on the IO path that locks, allocates or calls the
//     system: a clock like the platform's sample (zero time stamps one period of 16384 frames
//     apart, anchored at the first StartIO, one period further when asked after it passed), and
//     ProcessMix and WriteMix, in place. WriteMix records the first kRecordedFrames frames it gets
//     since the last "clear-recording"; the custom property 'tmix' (data) returns them. The IO
//     counters check the server as it drives the device: cycles (Begin Cycle), writeMixFrames,
//     resyncs (cycle counters back at 1), counterFaults (a counter neither one more than the last
//     nor 1), outputTimeFaults (output times not contiguous), outsideCycle (an operation outside
//     Begin and End Cycle), ioWhileStopped (an IO call while no client has started IO),
//     threadMarks (Begin and End Thread).

#include <CoreAudio/AudioServerPlugIn.h>

#include <mach/mach_time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifndef TEST_DEVICE_UID
#define TEST_DEVICE_UID "local.pelio.test.device"
#endif
#ifndef TEST_DEVICE_NAME
#define TEST_DEVICE_NAME "Test Device"
#endif
#ifndef TEST_DEVICE_HIDDEN
#define TEST_DEVICE_HIDDEN 0
#endif
#ifndef TEST_FACTORY_RETURNS_NULL
#define TEST_FACTORY_RETURNS_NULL 0
#endif
#ifndef TEST_REFUSE_INTERFACE
#define TEST_REFUSE_INTERFACE 0
#endif

namespace {

constexpr AudioObjectID kPlugInID = kAudioObjectPlugInObject;
constexpr AudioObjectID kDeviceID = 2;
constexpr AudioObjectID kStreamID = 3;
constexpr AudioObjectID kAddedDeviceID = 4;
constexpr AudioObjectID kAddedStreamID = 5;
constexpr AudioObjectID kUnknownObjectID = 77;

constexpr AudioObjectPropertySelector kStateSelector = 'tsta';
constexpr AudioObjectPropertySelector kCommandSelector = 'tcmd';
constexpr AudioObjectPropertySelector kRecordingSelector = 'tmix';

constexpr UInt32 kZeroTimeStampPeriod = 16384;
constexpr UInt32 kChannels = 2;
constexpr std::size_t kRecordedFrames = 120000;

// ---- State --------------------------------------------------------------------------------------

struct State
{
    std::mutex mutex;
    AudioServerPlugInHostRef host = nullptr;
    Float64 sampleRate = 48000.0;
    bool hidden = TEST_DEVICE_HIDDEN != 0;
    bool added = false;
    int running = 0;
    long long launches = 0;
    long long performed = 0;
    long long aborted = 0;
    long long performedOnRequestThread = 0;
    long long performedWhileRunning = 0;
    long long unknownObjectStatus = 0;
    // Reads of the device list still to refuse, as for a list that grew between the size asked
    // and the read; -1 refuses every one.
    int deviceListRefusals = 0;
    std::thread::id requestThread;
    std::vector<std::string> events;
};

State& TheState()
{
    static State* state = new State;
    return *state;
}

void AddEvent(State& state, const std::string& event)
{
    if (state.events.size() < 4096) {
        state.events.push_back(event);
    }
}

// What the IO calls touch: atomics and storage that exists from the start, never the state's
// mutex, so that the IO thread neither waits nor allocates here.
struct IOState
{
    std::atomic<int> running{0};
    // The clock. The anchor and the rate are set by the first StartIO, before IO runs.
    std::atomic<UInt64> anchorHostTime{0};
    std::atomic<Float64> ticksPerFrame{0};
    std::atomic<UInt64> periods{0};
    std::atomic<UInt64> seed{1};
    std::atomic<bool> newTimeLineAsked{false};
    std::atomic<int> slowCyclesAsked{0};
    // The checks.
    std::atomic<bool> inCycle{false};
    std::atomic<UInt64> lastCounter{0};
    std::atomic<Float64> lastOutputTime{0};
    std::atomic<long long> cycles{0};
    std::atomic<long long> resyncs{0};
    std::atomic<long long> counterFaults{0};
    std::atomic<long long> outputTimeFaults{0};
    std::atomic<long long> outsideCycle{0};
    std::atomic<long long> ioWhileStopped{0};
    std::atomic<long long> threadMarks{0};
    std::atomic<long long> writeMixFrames{0};
    // WriteMix's frames, published by the count.
    std::atomic<std::size_t> recorded{0};
    Float32 recording[kRecordedFrames * kChannels];
};

IOState& TheIOState()
{
    static IOState* state = new IOState;
    return *state;
}

// ---- Values -------------------------------------------------------------------------------------

CFStringRef NewString(const std::string& text)
{
    return CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
}

std::string TextOf(CFStringRef string)
{
    char buffer[256] = {};
    if (string == nullptr || !CFStringGetCString(string, buffer, sizeof(buffer), kCFStringEncodingUTF8)) {
        return {};
    }
    return buffer;
}

// A property's current value: its bytes, or an object made when it is read.
struct Value
{
    std::vector<UInt8> bytes;
    std::function<CFTypeRef()> make;
};

template <class T>
Value Bytes(const std::vector<T>& items)
{
    Value value;
    value.bytes.resize(items.size() * sizeof(T));
    if (!items.empty()) {
        std::memcpy(value.bytes.data(), items.data(), value.bytes.size());
    }
    return value;
}

template <class T>
Value Scalar(T item)
{
    return Bytes(std::vector<T>{item});
}

Value Text(std::string text)
{
    Value value;
    value.make = [text] { return static_cast<CFTypeRef>(NewString(text)); };
    return value;
}

AudioStreamBasicDescription StreamFormat(Float64 sampleRate)
{
    AudioStreamBasicDescription format{};
    format.mSampleRate = sampleRate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    format.mBytesPerPacket = 8;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 8;
    format.mChannelsPerFrame = 2;
    format.mBitsPerChannel = 32;
    return format;
}

CFTypeRef MakeStateDictionary(State& state)
{
    CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                                  &kCFTypeDictionaryValueCallBacks);
    const auto put = [&](const char* key, CFTypeRef value) {
        const CFStringRef keyString = NewString(key);
        CFDictionarySetValue(dictionary, keyString, value);
        CFRelease(keyString);
        CFRelease(value);
    };
    const auto number = [](long long value) {
        const SInt64 wide = value;
        return static_cast<CFTypeRef>(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &wide));
    };
    put("launches", number(state.launches));
    put("performed", number(state.performed));
    put("aborted", number(state.aborted));
    put("performedOnRequestThread", number(state.performedOnRequestThread));
    put("performedWhileRunning", number(state.performedWhileRunning));
    put("unknownObjectStatus", number(state.unknownObjectStatus));
    const IOState& io = TheIOState();
    put("cycles", number(io.cycles));
    put("resyncs", number(io.resyncs));
    put("counterFaults", number(io.counterFaults));
    put("outputTimeFaults", number(io.outputTimeFaults));
    put("outsideCycle", number(io.outsideCycle));
    put("ioWhileStopped", number(io.ioWhileStopped));
    put("threadMarks", number(io.threadMarks));
    put("writeMixFrames", number(io.writeMixFrames));
    CFMutableArrayRef events = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
    for (const std::string& event : state.events) {
        const CFStringRef text = NewString(event);
        CFArrayAppendValue(events, text);
        CFRelease(text);
    }
    put("events", events);
    return dictionary;
}

bool IsDevice(const State& state, AudioObjectID objectID)
{
    return objectID == kDeviceID || (objectID == kAddedDeviceID && state.added);
}

bool IsStream(const State& state, AudioObjectID objectID)
{
    return objectID == kStreamID || (objectID == kAddedStreamID && state.added);
}

std::vector<AudioObjectID> DeviceIDs(const State& state)
{
    return state.added ? std::vector<AudioObjectID>{kDeviceID, kAddedDeviceID} : std::vector<AudioObjectID>{kDeviceID};
}

bool IsInputOrOutput(AudioObjectPropertyScope scope)
{
    return scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeOutput;
}

// The value of a property, under the state's mutex. kAudioHardwareBadObjectError for an object
// that does not exist, kAudioHardwareUnknownPropertyError for a property it does not have.
OSStatus Lookup(State& state, AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                UInt32 qualifierSize, const void* qualifier, Value& value)
{
    const AudioObjectPropertySelector selector = address.mSelector;
    if (objectID == kPlugInID) {
        switch (selector) {
        case kAudioObjectPropertyBaseClass:
            value = Scalar<UInt32>(kAudioObjectClassID);
            return 0;
        case kAudioObjectPropertyClass:
            value = Scalar<UInt32>(kAudioPlugInClassID);
            return 0;
        case kAudioObjectPropertyOwner:
            value = Scalar<UInt32>(kAudioObjectUnknown);
            return 0;
        case kAudioObjectPropertyManufacturer:
            value = Text("Pelio Test");
            return 0;
        case kAudioObjectPropertyOwnedObjects:
        case kAudioPlugInPropertyDeviceList:
            value = Bytes(DeviceIDs(state));
            return 0;
        case kAudioPlugInPropertyTranslateUIDToDevice: {
            if (qualifierSize != sizeof(CFStringRef) || qualifier == nullptr) {
                value = Scalar<UInt32>(kAudioObjectUnknown);
                return 0;
            }
            const std::string uid = TextOf(*static_cast<const CFStringRef*>(qualifier));
            AudioObjectID found = kAudioObjectUnknown;
            if (uid == TEST_DEVICE_UID) {
                found = kDeviceID;
            } else if (state.added && uid == TEST_DEVICE_UID ".added") {
                found = kAddedDeviceID;
            }
            value = Scalar<UInt32>(found);
            return 0;
        }
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (IsDevice(state, objectID)) {
        const bool first = objectID == kDeviceID;
        const AudioObjectID streamID = first ? kStreamID : kAddedStreamID;
        switch (selector) {
        case kAudioObjectPropertyBaseClass:
            value = Scalar<UInt32>(kAudioObjectClassID);
            return 0;
        case kAudioObjectPropertyClass:
            value = Scalar<UInt32>(kAudioDeviceClassID);
            return 0;
        case kAudioObjectPropertyOwner:
            value = Scalar<UInt32>(kPlugInID);
            return 0;
        case kAudioObjectPropertyName:
            value = Text(first ? TEST_DEVICE_NAME : TEST_DEVICE_NAME " Added");
            return 0;
        case kAudioObjectPropertyManufacturer:
            value = Text("Pelio Test");
            return 0;
        case kAudioDevicePropertyDeviceUID:
            value = Text(first ? TEST_DEVICE_UID : TEST_DEVICE_UID ".added");
            return 0;
        case kAudioDevicePropertyModelUID:
            value = Text("local.pelio.test.model");
            return 0;
        case kAudioDevicePropertyTransportType:
            value = Scalar<UInt32>(kAudioDeviceTransportTypeVirtual);
            return 0;
        case kAudioDevicePropertyDeviceIsAlive:
            value = Scalar<UInt32>(1);
            return 0;
        case kAudioDevicePropertyDeviceIsRunning:
            value = Scalar<UInt32>(state.running > 0 ? 1 : 0);
            return 0;
        case kAudioDevicePropertyDeviceCanBeDefaultDevice:
        case kAudioDevicePropertyDeviceCanBeDefaultSystemDevice:
            value = Scalar<UInt32>(address.mScope == kAudioObjectPropertyScopeInput ? 0 : 1);
            return 0;
        case kAudioDevicePropertyIsHidden:
            value = Scalar<UInt32>(first && state.hidden ? 1 : 0);
            return 0;
        case kAudioDevicePropertyStreams:
            value = Bytes(address.mScope == kAudioObjectPropertyScopeInput ? std::vector<AudioObjectID>{}
                                                                            : std::vector<AudioObjectID>{streamID});
            return 0;
        case kAudioObjectPropertyOwnedObjects:
            value = Bytes(std::vector<AudioObjectID>{streamID});
            return 0;
        case kAudioObjectPropertyControlList:
            value = Bytes(std::vector<AudioObjectID>{});
            return 0;
        case kAudioDevicePropertyNominalSampleRate:
            value = Scalar<Float64>(state.sampleRate);
            return 0;
        case kAudioDevicePropertyAvailableNominalSampleRates:
            value = Bytes(std::vector<AudioValueRange>{{44100.0, 44100.0}, {48000.0, 48000.0}});
            return 0;
        case kAudioDevicePropertyLatency:
        case kAudioDevicePropertySafetyOffset:
            value = Scalar<UInt32>(0);
            return IsInputOrOutput(address.mScope) ? 0 : kAudioHardwareUnknownPropertyError;
        case kAudioDevicePropertyZeroTimeStampPeriod:
            value = Scalar<UInt32>(kZeroTimeStampPeriod);
            return 0;
        case kAudioObjectPropertyCustomPropertyInfoList:
            value = Bytes(std::vector<AudioServerPlugInCustomPropertyInfo>{
                {kStateSelector, kAudioServerPlugInCustomPropertyDataTypeCFPropertyList,
                 kAudioServerPlugInCustomPropertyDataTypeNone},
                {kCommandSelector, kAudioServerPlugInCustomPropertyDataTypeCFString,
                 kAudioServerPlugInCustomPropertyDataTypeNone},
                {kRecordingSelector, kAudioServerPlugInCustomPropertyDataTypeCFPropertyList,
                 kAudioServerPlugInCustomPropertyDataTypeNone}});
            return 0;
        case kRecordingSelector:
            value.make = [] {
                const IOState& io = TheIOState();
                const std::size_t frames = io.recorded.load(std::memory_order_acquire);
                return static_cast<CFTypeRef>(CFDataCreate(kCFAllocatorDefault,
                                                           reinterpret_cast<const UInt8*>(io.recording),
                                                           static_cast<CFIndex>(frames * kChannels * sizeof(Float32))));
            };
            return 0;
        case kStateSelector:
            value.make = [&state] { return MakeStateDictionary(state); };
            return 0;
        case kCommandSelector:
            value = Text("");
            return 0;
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (IsStream(state, objectID)) {
        switch (selector) {
        case kAudioObjectPropertyBaseClass:
            value = Scalar<UInt32>(kAudioObjectClassID);
            return 0;
        case kAudioObjectPropertyClass:
            value = Scalar<UInt32>(kAudioStreamClassID);
            return 0;
        case kAudioObjectPropertyOwner:
            value = Scalar<UInt32>(objectID == kStreamID ? kDeviceID : kAddedDeviceID);
            return 0;
        case kAudioStreamPropertyIsActive:
            value = Scalar<UInt32>(1);
            return 0;
        case kAudioStreamPropertyDirection:
            value = Scalar<UInt32>(0);
            return 0;
        case kAudioStreamPropertyTerminalType:
            value = Scalar<UInt32>(kAudioStreamTerminalTypeSpeaker);
            return 0;
        case kAudioStreamPropertyStartingChannel:
            value = Scalar<UInt32>(1);
            return 0;
        case kAudioStreamPropertyLatency:
            value = Scalar<UInt32>(0);
            return 0;
        case kAudioStreamPropertyVirtualFormat:
        case kAudioStreamPropertyPhysicalFormat:
            value = Scalar(StreamFormat(state.sampleRate));
            return 0;
        case kAudioStreamPropertyAvailableVirtualFormats:
        case kAudioStreamPropertyAvailablePhysicalFormats:
            value = Bytes(std::vector<AudioStreamRangedDescription>{
                {StreamFormat(state.sampleRate), {state.sampleRate, state.sampleRate}}});
            return 0;
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }
    return kAudioHardwareBadObjectError;
}

// ---- Calls into the host, made without the state's mutex --------------------------------------

void Notify(AudioServerPlugInHostRef host, AudioObjectID objectID, AudioObjectPropertySelector selector)
{
    const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    if (host != nullptr) {
        host->PropertiesChanged(host, objectID, 1, &address);
    }
}

void RequestRate(Float64 rate)
{
    State& state = TheState();
    AudioServerPlugInHostRef host = nullptr;
    {
        const std::lock_guard<std::mutex> lock(state.mutex);
        host = state.host;
        state.requestThread = std::this_thread::get_id();
        AddEvent(state, "Request");
    }
    if (host != nullptr) {
        host->RequestDeviceConfigurationChange(host, kDeviceID, static_cast<UInt64>(rate), nullptr);
    }
}

OSStatus RunCommand(const std::string& command)
{
    State& state = TheState();
    AudioServerPlugInHostRef host = nullptr;
    {
        const std::lock_guard<std::mutex> lock(state.mutex);
        host = state.host;
        if (command == "add-device") {
            state.added = true;
        } else if (command == "remove-device") {
            state.added = false;
        } else if (command == "hide") {
            state.hidden = true;
        } else if (command == "new-time-line") {
            TheIOState().newTimeLineAsked.store(true);
            return 0;
        } else if (command == "slow-cycle") {
            TheIOState().slowCyclesAsked.fetch_add(1);
            return 0;
        } else if (command == "clear-recording") {
            TheIOState().recorded.store(0);
            return 0;
        } else if (command == "refuse-device-list-once" || command == "refuse-device-list"
                   || command == "accept-device-list") {
            state.deviceListRefusals = command == "refuse-device-list-once" ? 1
                                     : command == "refuse-device-list"      ? -1
                                                                            : 0;
            return 0;
        } else if (command != "notify-unknown" && command != "request-from-thread") {
            return kAudioHardwareIllegalOperationError;
        }
    }
    if (command == "add-device" || command == "remove-device") {
        Notify(host, kPlugInID, kAudioPlugInPropertyDeviceList);
    } else if (command == "hide") {
        Notify(host, kDeviceID, kAudioDevicePropertyIsHidden);
    } else if (command == "notify-unknown") {
        const AudioObjectPropertyAddress address{kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};
        const OSStatus status = host->PropertiesChanged(host, kUnknownObjectID, 1, &address);
        const std::lock_guard<std::mutex> lock(state.mutex);
        state.unknownObjectStatus = status;
    } else {
        std::thread requester([] { RequestRate(44100.0); });
        requester.join();
    }
    return 0;
}

// ---- The driver interface -----------------------------------------------------------------------

HRESULT QueryInterface(void* driver, REFIID uuid, LPVOID* outInterface);
ULONG AddRef(void*)
{
    return 1;
}
ULONG Release(void*)
{
    return 1;
}

OSStatus Initialize(AudioServerPlugInDriverRef, AudioServerPlugInHostRef host)
{
    // What a previous run stored is there already.
    CFPropertyListRef stored = nullptr;
    SInt64 launches = 0;
    const CFStringRef key = NewString("launches");
    if (host->CopyFromStorage(host, key, &stored) == 0 && stored != nullptr) {
        if (CFGetTypeID(stored) == CFNumberGetTypeID()) {
            CFNumberGetValue(static_cast<CFNumberRef>(stored), kCFNumberSInt64Type, &launches);
        }
        CFRelease(stored);
    }
    ++launches;
    const CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &launches);
    host->WriteToStorage(host, key, number);
    CFRelease(number);
    CFRelease(key);

    State& state = TheState();
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.host = host;
    state.launches = launches;
    return 0;
}

OSStatus CreateDevice(AudioServerPlugInDriverRef, CFDictionaryRef, const AudioServerPlugInClientInfo*, AudioObjectID*)
{
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus DestroyDevice(AudioServerPlugInDriverRef, AudioObjectID)
{
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus RecordClient(const char* call, AudioObjectID deviceID, const AudioServerPlugInClientInfo* client)
{
    State& state = TheState();
    const std::lock_guard<std::mutex> lock(state.mutex);
    if (!IsDevice(state, deviceID)) {
        return kAudioHardwareBadObjectError;
    }
    if (client == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    AddEvent(state, std::string(call) + " " + std::to_string(client->mClientID) + " " + std::to_string(client->mProcessID)
                        + " " + TextOf(client->mBundleID));
    return 0;
}

OSStatus AddDeviceClient(AudioServerPlugInDriverRef, AudioObjectID deviceID, const AudioServerPlugInClientInfo* client)
{
    return RecordClient("AddDeviceClient", deviceID, client);
}

OSStatus RemoveDeviceClient(AudioServerPlugInDriverRef, AudioObjectID deviceID,
                            const AudioServerPlugInClientInfo* client)
{
    return RecordClient("RemoveDeviceClient", deviceID, client);
}

OSStatus PerformDeviceConfigurationChange(AudioServerPlugInDriverRef, AudioObjectID deviceID, UInt64 action, void*)
{
    State& state = TheState();
    const std::lock_guard<std::mutex> lock(state.mutex);
    if (deviceID != kDeviceID) {
        return kAudioHardwareBadObjectError;
    }
    AddEvent(state, "Perform");
    ++state.performed;
    state.performedOnRequestThread += std::this_thread::get_id() == state.requestThread ? 1 : 0;
    state.performedWhileRunning += state.running > 0 ? 1 : 0;
    state.sampleRate = static_cast<Float64>(action);
    return 0;
}

OSStatus AbortDeviceConfigurationChange(AudioServerPlugInDriverRef, AudioObjectID, UInt64, void*)
{
    State& state = TheState();
    const std::lock_guard<std::mutex> lock(state.mutex);
    AddEvent(state, "Abort");
    ++state.aborted;
    return 0;
}

Boolean HasProperty(AudioServerPlugInDriverRef, AudioObjectID objectID, pid_t, const AudioObjectPropertyAddress* address)
{
    State& state = TheState();
    const std::lock_guard<std::mutex> lock(state.mutex);
    Value value;
    return address != nullptr && Lookup(state, objectID, *address, 0, nullptr, value) == 0;
}

OSStatus IsPropertySettable(AudioServerPlugInDriverRef, AudioObjectID objectID, pid_t,
                            const AudioObjectPropertyAddress* address, Boolean* outIsSettable)
{
    State& state = TheState();
    const std::lock_guard<std::mutex> lock(state.mutex);
    Value value;
    const OSStatus status = Lookup(state, objectID, *address, 0, nullptr, value);
    if (status == 0) {
        *outIsSettable = IsDevice(state, objectID)
            && (address->mSelector == kAudioDevicePropertyNominalSampleRate || address->mSelector == kCommandSelector);
    }
    return status;
}

OSStatus GetPropertyDataSize(AudioServerPlugInDriverRef, AudioObjectID objectID, pid_t,
                             const AudioObjectPropertyAddress* address, UInt32 qualifierSize, const void* qualifier,
                             UInt32* outDataSize)
{
    State& state = TheState();
    const std::lock_guard<std::mutex> lock(state.mutex);
    Value value;
    const OSStatus status = Lookup(state, objectID, *address, qualifierSize, qualifier, value);
    if (status == 0) {
        *outDataSize = value.make ? sizeof(CFTypeRef) : static_cast<UInt32>(value.bytes.size());
    }
    return status;
}

OSStatus GetPropertyData(AudioServerPlugInDriverRef, AudioObjectID objectID, pid_t,
                         const AudioObjectPropertyAddress* address, UInt32 qualifierSize, const void* qualifier,
                         UInt32 dataSize, UInt32* outDataSize, void* outData)
{
    State& state = TheState();
    const std::lock_guard<std::mutex> lock(state.mutex);
    if (objectID == kPlugInID && address->mSelector == kAudioPlugInPropertyDeviceList
        && state.deviceListRefusals != 0) {
        state.deviceListRefusals -= state.deviceListRefusals > 0 ? 1 : 0;
        return kAudioHardwareBadPropertySizeError;
    }
    Value value;
    const OSStatus status = Lookup(state, objectID, *address, qualifierSize, qualifier, value);
    if (status != 0) {
        return status;
    }
    if (value.make) {
        if (dataSize < sizeof(CFTypeRef)) {
            return kAudioHardwareBadPropertySizeError;
        }
        const CFTypeRef object = value.make();
        std::memcpy(outData, &object, sizeof(object));
        *outDataSize = sizeof(object);
        return 0;
    }
    if (dataSize < value.bytes.size()) {
        return kAudioHardwareBadPropertySizeError;
    }
    if (!value.bytes.empty()) {
        std::memcpy(outData, value.bytes.data(), value.bytes.size());
    }
    *outDataSize = static_cast<UInt32>(value.bytes.size());
    return 0;
}

OSStatus SetPropertyData(AudioServerPlugInDriverRef, AudioObjectID objectID, pid_t,
                         const AudioObjectPropertyAddress* address, UInt32, const void*, UInt32 dataSize,
                         const void* data)
{
    State& state = TheState();
    {
        const std::lock_guard<std::mutex> lock(state.mutex);
        if (!IsDevice(state, objectID)) {
            return kAudioHardwareBadObjectError;
        }
    }
    if (address->mSelector == kAudioDevicePropertyNominalSampleRate) {
        Float64 rate = 0;
        if (dataSize != sizeof(rate) || data == nullptr) {
            return kAudioHardwareBadPropertySizeError;
        }
        std::memcpy(&rate, data, sizeof(rate));
        if (rate != 44100.0 && rate != 48000.0) {
            return kAudioHardwareIllegalOperationError;
        }
        RequestRate(rate);
        return 0;
    }
    if (address->mSelector == kCommandSelector) {
        if (dataSize != sizeof(CFStringRef) || data == nullptr) {
            return kAudioHardwareBadPropertySizeError;
        }
        return RunCommand(TextOf(*static_cast<const CFStringRef*>(data)));
    }
    return kAudioHardwareUnknownPropertyError;
}

OSStatus StartIO(AudioServerPlugInDriverRef, AudioObjectID, UInt32)
{
    State& state = TheState();
    const std::lock_guard<std::mutex> lock(state.mutex);
    IOState& io = TheIOState();
    if (state.running == 0) {
        // The clock starts: sample time 0 is now.
        mach_timebase_info_data_t timebase{1, 1};
        mach_timebase_info(&timebase);
        io.ticksPerFrame.store(1.0e9 / state.sampleRate * timebase.denom / timebase.numer);
        io.anchorHostTime.store(mach_absolute_time());
        io.periods.store(0);
        io.lastCounter.store(0);
    }
    ++state.running;
    io.running.store(state.running);
    AddEvent(state, "StartIO");
    return 0;
}

OSStatus StopIO(AudioServerPlugInDriverRef, AudioObjectID, UInt32)
{
    State& state = TheState();
    const std::lock_guard<std::mutex> lock(state.mutex);
    if (state.running == 0) {
        return kAudioHardwareIllegalOperationError;
    }
    --state.running;
    TheIOState().running.store(state.running);
    AddEvent(state, "StopIO");
    return 0;
}

void CheckRunning(IOState& io)
{
    if (io.running.load(std::memory_order_acquire) == 0) {
        io.ioWhileStopped.fetch_add(1);
    }
}

OSStatus GetZeroTimeStamp(AudioServerPlugInDriverRef, AudioObjectID, UInt32, Float64* sampleTime, UInt64* hostTime,
                          UInt64* seed)
{
    IOState& io = TheIOState();
    CheckRunning(io);
    const UInt64 now = mach_absolute_time();
    if (io.newTimeLineAsked.exchange(false)) {
        io.seed.fetch_add(1);
        io.anchorHostTime.store(now);
        io.periods.store(0);
    }
    const Float64 ticksPerPeriod = io.ticksPerFrame.load() * kZeroTimeStampPeriod;
    const UInt64 anchor = io.anchorHostTime.load();
    UInt64 periods = io.periods.load();
    if (now >= anchor + static_cast<UInt64>(ticksPerPeriod * static_cast<Float64>(periods + 1))) {
        io.periods.store(++periods);
    }
    *sampleTime = static_cast<Float64>(periods * kZeroTimeStampPeriod);
    *hostTime = anchor + static_cast<UInt64>(ticksPerPeriod * static_cast<Float64>(periods));
    *seed = io.seed.load();
    return 0;
}

OSStatus WillDoIOOperation(AudioServerPlugInDriverRef, AudioObjectID, UInt32 clientID, UInt32 operationID,
                           Boolean* willDo, Boolean* willDoInPlace)
{
    {
        State& state = TheState();
        const std::lock_guard<std::mutex> lock(state.mutex);
        char code[5] = {static_cast<char>(operationID >> 24), static_cast<char>(operationID >> 16),
                        static_cast<char>(operationID >> 8), static_cast<char>(operationID), 0};
        AddEvent(state, std::string("WillDo ") + code + " " + std::to_string(clientID));
    }
    *willDo = operationID == kAudioServerPlugInIOOperationProcessMix
        || operationID == kAudioServerPlugInIOOperationWriteMix;
    *willDoInPlace = true;
    return 0;
}

OSStatus BeginIOOperation(AudioServerPlugInDriverRef, AudioObjectID, UInt32, UInt32 operationID, UInt32 frames,
                          const AudioServerPlugInIOCycleInfo* cycle)
{
    IOState& io = TheIOState();
    CheckRunning(io);
    if (operationID == kAudioServerPlugInIOOperationThread) {
        io.threadMarks.fetch_add(1);
        return 0;
    }
    if (operationID != kAudioServerPlugInIOOperationCycle) {
        if (!io.inCycle.load()) {
            io.outsideCycle.fetch_add(1);
        }
        return 0;
    }
    io.inCycle.store(true);
    io.cycles.fetch_add(1);
    const UInt64 last = io.lastCounter.exchange(cycle->mIOCycleCounter);
    if (cycle->mIOCycleCounter == 1) {
        io.resyncs.fetch_add(last != 0 ? 1 : 0);
    } else if (cycle->mIOCycleCounter != last + 1) {
        io.counterFaults.fetch_add(1);
    } else if (cycle->mOutputTime.mSampleTime != io.lastOutputTime.load() + frames) {
        io.outputTimeFaults.fetch_add(1);
    }
    io.lastOutputTime.store(cycle->mOutputTime.mSampleTime);
    return 0;
}

OSStatus DoIOOperation(AudioServerPlugInDriverRef, AudioObjectID, AudioObjectID, UInt32, UInt32 operationID,
                       UInt32 frames, const AudioServerPlugInIOCycleInfo*, void* mainBuffer, void*)
{
    IOState& io = TheIOState();
    CheckRunning(io);
    if (!io.inCycle.load()) {
        io.outsideCycle.fetch_add(1);
    }
    if (operationID != kAudioServerPlugInIOOperationWriteMix || mainBuffer == nullptr) {
        return 0;
    }
    if (io.slowCyclesAsked.load() > 0) {
        io.slowCyclesAsked.fetch_sub(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    io.writeMixFrames.fetch_add(frames);
    // One writer, the IO thread: the count is published after the frames.
    const std::size_t recorded = io.recorded.load(std::memory_order_relaxed);
    const std::size_t taken = std::min<std::size_t>(frames, kRecordedFrames - recorded);
    std::memcpy(io.recording + recorded * kChannels, mainBuffer, taken * kChannels * sizeof(Float32));
    io.recorded.store(recorded + taken, std::memory_order_release);
    return 0;
}

OSStatus EndIOOperation(AudioServerPlugInDriverRef, AudioObjectID, UInt32, UInt32 operationID, UInt32,
                        const AudioServerPlugInIOCycleInfo*)
{
    IOState& io = TheIOState();
    CheckRunning(io);
    if (operationID == kAudioServerPlugInIOOperationThread) {
        io.threadMarks.fetch_add(1);
    } else if (operationID == kAudioServerPlugInIOOperationCycle) {
        io.inCycle.store(false);
    } else if (!io.inCycle.load()) {
        io.outsideCycle.fetch_add(1);
    }
    return 0;
}

AudioServerPlugInDriverInterface gInterface = {
    nullptr,
    QueryInterface,
    AddRef,
    Release,
    Initialize,
    CreateDevice,
    DestroyDevice,
    AddDeviceClient,
    RemoveDeviceClient,
    PerformDeviceConfigurationChange,
    AbortDeviceConfigurationChange,
    HasProperty,
    IsPropertySettable,
    GetPropertyDataSize,
    GetPropertyData,
    SetPropertyData,
    StartIO,
    StopIO,
    GetZeroTimeStamp,
    WillDoIOOperation,
    BeginIOOperation,
    DoIOOperation,
    EndIOOperation,
};
AudioServerPlugInDriverInterface* gInterfacePointer = &gInterface;

HRESULT QueryInterface(void* driver, REFIID uuid, LPVOID* outInterface)
{
    const CFUUIDRef requested = CFUUIDCreateFromUUIDBytes(kCFAllocatorDefault, uuid);
    const bool known = !TEST_REFUSE_INTERFACE
        && (CFEqual(requested, IUnknownUUID) || CFEqual(requested, kAudioServerPlugInDriverInterfaceUUID));
    CFRelease(requested);
    if (!known) {
        return E_NOINTERFACE;
    }
    *outInterface = driver;
    return S_OK;
}

} // namespace

extern "C" __attribute__((visibility("default"))) void* TestDriverFactory(CFAllocatorRef, CFUUIDRef requestedType)
{
    if (TEST_FACTORY_RETURNS_NULL || !CFEqual(requestedType, kAudioServerPlugInTypeUUID)) {
        return nullptr;
    }
    return &gInterfacePointer;
}
