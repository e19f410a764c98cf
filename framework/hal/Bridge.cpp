// hal::Bridge: from the driver reference and an object ID to the object's operation.

#include "hal/Bridge.h"

#include "hal/Context.h"
#include "hal/Device.h"
#include "hal/Dispatcher.h"
#include "hal/Driver.h"
#include "hal/Object.h"
#include "hal/Tracer.h"

#include <memory>
#include <utility>

namespace hal {

namespace {

// What an entry says about an ID that it cannot serve. The entries of the IO thread have none
// and say nothing: a stale ID would otherwise format a message every cycle.
struct Messages
{
    PrintfFormat<AudioObjectID> NotRegistered;
    // Device entries only.
    PrintfFormat<AudioObjectID> NotADevice = NotRegistered;
};

void Tell(const Driver& driver, PrintfFormat<AudioObjectID> message, AudioObjectID objectID)
{
    driver.GetContextInPlace().Tracer->Message(message, objectID);
}

// Not marked non-blocking itself: the IO thread's entries that call it are, and so make what it
// runs on their behalf a real-time context, while the other entries lock and allocate as they may.
//
// Runs `call(object)` on the object that `inObjectID` names, held for the call; `Target` is
// Object, or Device for the device entries, which refuse every other object. `noDriver` and
// `notFound` are the entry's answers without driver and without (suitable) object. Nothing
// thrown leaves: an exception ends as `failed`.
template <class Target, class Result, class Call>
Result Forward(const Messages* messages, AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID, Result noDriver,
               Result notFound, Result failed, Call&& call) noexcept
{
    try {
        Driver* driver = Driver::GetDriver(inDriver);
        if (driver == nullptr) {
            return noDriver;
        }
        // The IO thread's entries have the dispatcher keep quiet too.
        const std::shared_ptr<Object> object =
            driver->GetContextInPlace().Dispatcher->FindObject(inObjectID, messages != nullptr);
        if (object == nullptr) {
            if (messages != nullptr) {
                Tell(*driver, messages->NotRegistered, inObjectID);
            }
            return notFound;
        }
        if constexpr (std::is_same_v<Target, Object>) {
            return std::forward<Call>(call)(*object);
        } else {
            // The host sends device IDs only; a confused one must not make a stream or the
            // plug-in object run as a device.
            Target* target = dynamic_cast<Target*>(object.get());
            if (target == nullptr) {
                if (messages != nullptr) {
                    Tell(*driver, messages->NotADevice, inObjectID);
                }
                return notFound;
            }
            return std::forward<Call>(call)(*target);
        }
    } catch (...) {
        return failed;
    }
}

// Forward for the entries that answer a status: `Target` is Object or Device.
template <class Target, class Call>
OSStatus ForwardStatus(const Messages* messages, AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                       Call&& call) noexcept
{
    return Forward<Target>(messages, inDriver, inObjectID, OSStatus{kAudioHardwareUnspecifiedError},
                           OSStatus{kAudioHardwareBadObjectError}, OSStatus{kAudioHardwareUnspecifiedError},
                           std::forward<Call>(call));
}

constexpr Messages kHasProperty{"Bridge::HasProperty() objectID=%u object not registered"};
constexpr Messages kIsPropertySettable{"Bridge::IsPropertySettable() objectID=%u object not registered"};
constexpr Messages kGetPropertyDataSize{"Bridge::GetPropertyDataSize() objectID=%u object not registered"};
constexpr Messages kGetPropertyData{"Bridge::GetPropertyData() objectID=%u object not registered"};
constexpr Messages kSetPropertyData{"Bridge::SetPropertyData() objectID=%u object not registered"};
constexpr Messages kAddClient{"Bridge::AddClient() objectID=%u object not registered",
                              "Bridge::AddClient() objectID=%u object is not a device"};
constexpr Messages kRemoveClient{"Bridge::RemoveClient() objectID=%u object not registered",
                                 "Bridge::RemoveClient() objectID=%u object is not a device"};
constexpr Messages kStartIO{"Bridge::StartIO() objectID=%u object not registered",
                            "Bridge::StartIO() objectID=%u object is not a device"};
constexpr Messages kStopIO{"Bridge::StopIO() objectID=%u object not registered",
                           "Bridge::StopIO() objectID=%u object is not a device"};
constexpr Messages kPerformConfigurationChange{
    "Bridge::PerformConfigurationChange() objectID=%u object not registered",
    "Bridge::PerformConfigurationChange() objectID=%u object is not a device"};
constexpr Messages kAbortConfigurationChange{"Bridge::AbortConfigurationChange() objectID=%u object not registered",
                                             "Bridge::AbortConfigurationChange() objectID=%u object is not a device"};
// The IO thread's entries.
constexpr const Messages* kSilent = nullptr;

} // namespace

// ---- Property protocol ---------------------------------------------------------------------------------

Boolean Bridge::HasProperty(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID, pid_t inClientProcessID,
                            const AudioObjectPropertyAddress* inAddress)
{
    return Forward<Object>(&kHasProperty, inDriver, inObjectID, Boolean{false}, Boolean{false}, Boolean{false},
                           [&](const Object& object) {
        return object.HasProperty(inObjectID, inClientProcessID, inAddress);
    });
}

OSStatus Bridge::IsPropertySettable(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                    pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress,
                                    Boolean* outIsSettable)
{
    return ForwardStatus<Object>(&kIsPropertySettable, inDriver, inObjectID, [&](const Object& object) {
        return object.IsPropertySettable(inObjectID, inClientProcessID, inAddress, outIsSettable);
    });
}

OSStatus Bridge::GetPropertyDataSize(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                     pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress,
                                     UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* outDataSize)
{
    return ForwardStatus<Object>(&kGetPropertyDataSize, inDriver, inObjectID, [&](const Object& object) {
        return object.GetPropertyDataSize(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                          inQualifierData, outDataSize);
    });
}

OSStatus Bridge::GetPropertyData(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                 pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress,
                                 UInt32 inQualifierDataSize, const void* inQualifierData, UInt32 inDataSize,
                                 UInt32* outDataSize, void* outData)
{
    return ForwardStatus<Object>(&kGetPropertyData, inDriver, inObjectID, [&](const Object& object) {
        return object.GetPropertyData(inObjectID, inClientProcessID, inAddress, inQualifierDataSize, inQualifierData,
                                      inDataSize, outDataSize, outData);
    });
}

OSStatus Bridge::SetPropertyData(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                 pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress,
                                 UInt32 inQualifierDataSize, const void* inQualifierData, UInt32 inDataSize,
                                 const void* inData)
{
    return ForwardStatus<Object>(&kSetPropertyData, inDriver, inObjectID, [&](Object& object) {
        return object.SetPropertyData(inObjectID, inClientProcessID, inAddress, inQualifierDataSize, inQualifierData,
                                      inDataSize, inData);
    });
}

// ---- Devices -------------------------------------------------------------------------------------------------

OSStatus Bridge::AddClient(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                           const AudioServerPlugInClientInfo* inClientInfo)
{
    return ForwardStatus<Device>(&kAddClient, inDriver, inDeviceObjectID,
                           [&](Device& device) { return device.AddClient(inDeviceObjectID, inClientInfo); });
}

OSStatus Bridge::RemoveClient(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                              const AudioServerPlugInClientInfo* inClientInfo)
{
    return ForwardStatus<Device>(&kRemoveClient, inDriver, inDeviceObjectID,
                           [&](Device& device) { return device.RemoveClient(inDeviceObjectID, inClientInfo); });
}

OSStatus Bridge::PerformConfigurationChange(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                            UInt64 inChangeAction, void* inChangeInfo)
{
    return ForwardStatus<Device>(&kPerformConfigurationChange, inDriver, inDeviceObjectID, [&](Device& device) {
        return device.PerformConfigurationChange(inDeviceObjectID, inChangeAction, inChangeInfo);
    });
}

OSStatus Bridge::AbortConfigurationChange(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                          UInt64 inChangeAction, void* inChangeInfo)
{
    return ForwardStatus<Device>(&kAbortConfigurationChange, inDriver, inDeviceObjectID, [&](Device& device) {
        return device.AbortConfigurationChange(inDeviceObjectID, inChangeAction, inChangeInfo);
    });
}

OSStatus Bridge::StartIO(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID, UInt32 inClientID)
{
    return ForwardStatus<Device>(&kStartIO, inDriver, inDeviceObjectID,
                           [&](Device& device) { return device.StartIO(inDeviceObjectID, inClientID); });
}

OSStatus Bridge::StopIO(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID, UInt32 inClientID)
{
    return ForwardStatus<Device>(&kStopIO, inDriver, inDeviceObjectID,
                           [&](Device& device) { return device.StopIO(inDeviceObjectID, inClientID); });
}

OSStatus Bridge::GetZeroTimeStamp(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                  UInt32 inClientID, Float64* outSampleTime, UInt64* outHostTime,
                                  UInt64* outSeed) HAL_NONBLOCKING
{
    return ForwardStatus<Device>(kSilent, inDriver, inDeviceObjectID, [&](Device& device) HAL_NONBLOCKING {
        return device.GetZeroTimeStamp(inDeviceObjectID, inClientID, outSampleTime, outHostTime, outSeed);
    });
}

OSStatus Bridge::WillDoIOOperation(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                   UInt32 inClientID, UInt32 inOperationID, Boolean* outWillDo,
                                   Boolean* outWillDoInPlace) HAL_NONBLOCKING
{
    return ForwardStatus<Device>(kSilent, inDriver, inDeviceObjectID, [&](Device& device) HAL_NONBLOCKING {
        return device.WillDoIOOperation(inDeviceObjectID, inClientID, inOperationID, outWillDo, outWillDoInPlace);
    });
}

OSStatus Bridge::BeginIOOperation(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                  UInt32 inClientID, UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                                  const AudioServerPlugInIOCycleInfo* inIOCycleInfo) HAL_NONBLOCKING
{
    return ForwardStatus<Device>(kSilent, inDriver, inDeviceObjectID, [&](Device& device) HAL_NONBLOCKING {
        return device.BeginIOOperation(inDeviceObjectID, inClientID, inOperationID, inIOBufferFrameSize,
                                       inIOCycleInfo);
    });
}

OSStatus Bridge::DoIOOperation(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                               AudioObjectID inStreamObjectID, UInt32 inClientID, UInt32 inOperationID,
                               UInt32 inIOBufferFrameSize, const AudioServerPlugInIOCycleInfo* inIOCycleInfo,
                               void* ioMainBuffer, void* ioSecondaryBuffer) HAL_NONBLOCKING
{
    return ForwardStatus<Device>(kSilent, inDriver, inDeviceObjectID, [&](Device& device) HAL_NONBLOCKING {
        return device.DoIOOperation(inDeviceObjectID, inStreamObjectID, inClientID, inOperationID,
                                    inIOBufferFrameSize, inIOCycleInfo, ioMainBuffer, ioSecondaryBuffer);
    });
}

OSStatus Bridge::EndIOOperation(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                UInt32 inClientID, UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                                const AudioServerPlugInIOCycleInfo* inIOCycleInfo) HAL_NONBLOCKING
{
    return ForwardStatus<Device>(kSilent, inDriver, inDeviceObjectID, [&](Device& device) HAL_NONBLOCKING {
        return device.EndIOOperation(inDeviceObjectID, inClientID, inOperationID, inIOBufferFrameSize,
                                     inIOCycleInfo);
    });
}

} // namespace hal
