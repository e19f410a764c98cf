#pragma once

// hal::Bridge: the object-level entries of the driver's interface table. Each turns the driver
// reference back into the driver, looks the object ID up in the dispatcher without waiting,
// holds a shared reference to the object for the length of the call, and passes the arguments
// unchanged to the object's operation of the same name: the property protocol of hal::Object for
// the five property entries, the client, IO and configuration operations of hal::Device for the
// eleven device entries. The bridge keeps no state and adds no logic of its own.
//
// Failures, all as results, never exceptions:
// - a null driver reference: kAudioHardwareUnspecifiedError (HasProperty: false), silently;
// - an ID that names no live object: kAudioHardwareBadObjectError (HasProperty: false), with the
//   entry's "Bridge::X() objectID=%u object not registered" message;
// - a device entry for an object that is not a device (the plug-in object, a stream): also
//   kAudioHardwareBadObjectError, with "Bridge::X() objectID=%u object is not a device";
// - an exception out of the object's operation: kAudioHardwareUnspecifiedError (false).
// The five entries of the real-time IO thread (GetZeroTimeStamp, WillDoIOOperation,
// BeginIOOperation, DoIOOperation, EndIOOperation) say nothing on these paths: a stale ID would
// otherwise format a message every cycle.
//
// Threads and cost: any entry from any host thread at once, the IO thread included for the five
// above. Their path takes no lock and allocates nothing: the dispatcher's lookup never waits, the
// object reference costs reference-count changes only, the class check is a dynamic cast. If the
// reference held turns out to be the object's last (its owner released it during the call), the
// object is destroyed when the call returns, on the calling thread.

#include "hal/RealTime.h"

#include <CoreAudio/AudioServerPlugIn.h>
#include <sys/types.h>

namespace hal {

class Bridge
{
public:
    Bridge() = delete;

    // ---- Property protocol: every object --------------------------------------------------------

    static Boolean HasProperty(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                               pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress);
    static OSStatus IsPropertySettable(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                       pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress,
                                       Boolean* outIsSettable);
    static OSStatus GetPropertyDataSize(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                        pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData,
                                        UInt32* outDataSize);
    static OSStatus GetPropertyData(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                    pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32 inDataSize,
                                    UInt32* outDataSize, void* outData);
    static OSStatus SetPropertyData(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                    pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32 inDataSize,
                                    const void* inData);

    // ---- Devices: clients, IO, configuration changes ------------------------------------------

    static OSStatus AddClient(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                              const AudioServerPlugInClientInfo* inClientInfo);
    static OSStatus RemoveClient(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                 const AudioServerPlugInClientInfo* inClientInfo);
    static OSStatus PerformConfigurationChange(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                               UInt64 inChangeAction, void* inChangeInfo);
    static OSStatus AbortConfigurationChange(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                             UInt64 inChangeAction, void* inChangeInfo);
    static OSStatus StartIO(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID, UInt32 inClientID);
    static OSStatus StopIO(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID, UInt32 inClientID);

    // The IO thread's entries.
    static OSStatus GetZeroTimeStamp(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                     UInt32 inClientID, Float64* outSampleTime, UInt64* outHostTime,
                                     UInt64* outSeed) HAL_NONBLOCKING;
    static OSStatus WillDoIOOperation(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                      UInt32 inClientID, UInt32 inOperationID, Boolean* outWillDo,
                                      Boolean* outWillDoInPlace) HAL_NONBLOCKING;
    static OSStatus BeginIOOperation(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                     UInt32 inClientID, UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                                     const AudioServerPlugInIOCycleInfo* inIOCycleInfo) HAL_NONBLOCKING;
    static OSStatus DoIOOperation(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                  AudioObjectID inStreamObjectID, UInt32 inClientID, UInt32 inOperationID,
                                  UInt32 inIOBufferFrameSize, const AudioServerPlugInIOCycleInfo* inIOCycleInfo,
                                  void* ioMainBuffer, void* ioSecondaryBuffer) HAL_NONBLOCKING;
    static OSStatus EndIOOperation(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                   UInt32 inClientID, UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                                   const AudioServerPlugInIOCycleInfo* inIOCycleInfo) HAL_NONBLOCKING;
};

} // namespace hal
