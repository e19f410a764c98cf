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
//     performedOnRequestThread, performedWhileRunning, unknownObjectStatus, and events, the order
//     of StartIO, StopIO, Request, Perform and Abort.
//   - The custom property 'tcmd' (a string, settable) takes the commands "add-device",
//     "remove-device", "hide" (hides device 2 and says so), "notify-unknown" (PropertiesChanged
//     of an object that does not exist; its status is kept) and "request-from-thread" (a change
//     to 44100 asked for from a thread of the plug-in's own).

#include <CoreAudio/AudioServerPlugIn.h>

#include <algorithm>
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
    std::thread::id requestThread;
    std::vector<std::string> events;
};

State& TheState()
{
    static State* state = new State;
    return *state;
}

void AddEvent(State& state, const char* event)
{
    if (state.events.size() < 256) {
        state.events.emplace_back(event);
    }
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
            value = Scalar<UInt32>(16384);
            return 0;
        case kAudioObjectPropertyCustomPropertyInfoList:
            value = Bytes(std::vector<AudioServerPlugInCustomPropertyInfo>{
                {kStateSelector, kAudioServerPlugInCustomPropertyDataTypeCFPropertyList,
                 kAudioServerPlugInCustomPropertyDataTypeNone},
                {kCommandSelector, kAudioServerPlugInCustomPropertyDataTypeCFString,
                 kAudioServerPlugInCustomPropertyDataTypeNone}});
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

OSStatus AddDeviceClient(AudioServerPlugInDriverRef, AudioObjectID deviceID, const AudioServerPlugInClientInfo*)
{
    State& state = TheState();
    const std::lock_guard<std::mutex> lock(state.mutex);
    return IsDevice(state, deviceID) ? 0 : kAudioHardwareBadObjectError;
}

OSStatus RemoveDeviceClient(AudioServerPlugInDriverRef driver, AudioObjectID deviceID,
                            const AudioServerPlugInClientInfo* client)
{
    return AddDeviceClient(driver, deviceID, client);
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
    ++state.running;
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
    AddEvent(state, "StopIO");
    return 0;
}

OSStatus GetZeroTimeStamp(AudioServerPlugInDriverRef, AudioObjectID, UInt32, Float64* sampleTime, UInt64* hostTime,
                          UInt64* seed)
{
    *sampleTime = 0;
    *hostTime = 0;
    *seed = 1;
    return 0;
}

OSStatus WillDoIOOperation(AudioServerPlugInDriverRef, AudioObjectID, UInt32, UInt32, Boolean* willDo,
                           Boolean* willDoInPlace)
{
    *willDo = false;
    *willDoInPlace = true;
    return 0;
}

OSStatus BeginIOOperation(AudioServerPlugInDriverRef, AudioObjectID, UInt32, UInt32, UInt32,
                          const AudioServerPlugInIOCycleInfo*)
{
    return 0;
}

OSStatus DoIOOperation(AudioServerPlugInDriverRef, AudioObjectID, AudioObjectID, UInt32, UInt32, UInt32,
                       const AudioServerPlugInIOCycleInfo*, void*, void*)
{
    return 0;
}

OSStatus EndIOOperation(AudioServerPlugInDriverRef, AudioObjectID, UInt32, UInt32, UInt32,
                        const AudioServerPlugInIOCycleInfo*)
{
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
