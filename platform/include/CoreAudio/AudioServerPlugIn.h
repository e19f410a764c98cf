/*
 * CoreAudio/AudioServerPlugIn.h — the audio server's plug-in model: the driver interface table that
 * a plug-in hands to the server, the host interface table that the server hands back, the records
 * passed through them, the IO operation codes, and the plug-in-only properties.
 *
 * Types, constants and UUID macros: nothing here allocates, locks or has state. The two UUID macros
 * expand to CFUUIDGetConstantUUIDWithBytes calls, which take the UUID table's lock on first use,
 * so they belong to the factory and to QueryInterface, never to the real-time IO thread. Record
 * layouts, table slot order and signatures are those of the macOS SDK (LP64): a table built here
 * is called correctly by the real server. AudioServerPlugInIOOperation is a distinct enum type in
 * C++, as in the SDK; the table passes operation IDs as plain UInt32.
 *
 * As on macOS, this header brings in the base audio types and CoreFoundation but not the client
 * API of <CoreAudio/AudioHardware.h>: a plug-in talks to the server only through these tables.
 */
#ifndef PELIO_PLATFORM_COREAUDIO_AUDIOSERVERPLUGIN_H
#define PELIO_PLATFORM_COREAUDIO_AUDIOSERVERPLUGIN_H

#include <CoreAudio/AudioHardwareBase.h>
#include <CoreAudio/CoreAudioTypes.h>
#include <CoreFoundation/CFPlugInCOM.h>
#include <CoreFoundation/CoreFoundation.h>
#include <stddef.h>
#include <sys/types.h>

/* ---- Plug-in and interface UUIDs ----------------------------------------------------------- */

/* 443ABAB8-E7B3-491A-B985-BEB9187030DB: the plug-in type that the server asks the factory for. */
#define kAudioServerPlugInTypeUUID                                                                       \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0x44, 0x3A, 0xBA, 0xB8, 0xE7, 0xB3, 0x49, 0x1A, 0xB9, 0x85, \
                                   0xBE, 0xB9, 0x18, 0x70, 0x30, 0xDB)

/* EEA5773D-CC43-49F1-8E00-8F96E7D23B17: the driver interface that the server queries for. */
#define kAudioServerPlugInDriverInterfaceUUID                                                            \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0xEE, 0xA5, 0x77, 0x3D, 0xCC, 0x43, 0x49, 0xF1, 0x8E, 0x00, \
                                   0x8F, 0x96, 0xE7, 0xD2, 0x3B, 0x17)

/* ---- Basic constants ----------------------------------------------------------------------- */

/* The plug-in's own object always has this ID; the plug-in allocates every other one. */
enum : AudioObjectID {
    kAudioObjectPlugInObject = 1
};

/* ---- Custom properties --------------------------------------------------------------------- */

typedef UInt32 AudioServerPlugInCustomPropertyDataType;
enum : AudioServerPlugInCustomPropertyDataType {
    kAudioServerPlugInCustomPropertyDataTypeNone = 0,
    kAudioServerPlugInCustomPropertyDataTypeCFString = 'cfst',
    kAudioServerPlugInCustomPropertyDataTypeCFPropertyList = 'plst'
};

/* One entry of kAudioObjectPropertyCustomPropertyInfoList: the selector of a property that the
   server does not know, and how to carry its data and its qualifier across processes. */
struct AudioServerPlugInCustomPropertyInfo {
    AudioObjectPropertySelector mSelector;
    AudioServerPlugInCustomPropertyDataType mPropertyDataType;
    AudioServerPlugInCustomPropertyDataType mQualifierDataType;
};
typedef struct AudioServerPlugInCustomPropertyInfo AudioServerPlugInCustomPropertyInfo;

/* ---- Plug-in-only properties --------------------------------------------------------------- */

enum : AudioObjectPropertySelector {
    kAudioObjectPropertyCustomPropertyInfoList = 'cust'
};

enum : AudioObjectPropertySelector {
    kAudioPlugInPropertyResourceBundle = 'rsrc'
};

enum : AudioObjectPropertySelector {
    kAudioDevicePropertyZeroTimeStampPeriod = 'ring',
    kAudioDevicePropertyClockAlgorithm = 'clok',
    kAudioDevicePropertyClockIsStable = 'cstb'
};

enum AudioDeviceClockAlgorithmSelector : UInt32 {
    kAudioDeviceClockAlgorithmRaw = 'raww',
    kAudioDeviceClockAlgorithmSimpleIIR = 'iirf',
    kAudioDeviceClockAlgorithmTwelvePtMovingWindowAverage = 'mavg'
};
typedef enum AudioDeviceClockAlgorithmSelector AudioDeviceClockAlgorithmSelector;

/* ---- Clients ------------------------------------------------------------------------------- */

/* A client of a device, as the server describes it to AddDeviceClient and RemoveDeviceClient.
   mBundleID belongs to the server: a plug-in that keeps it retains it. */
struct AudioServerPlugInClientInfo {
    UInt32 mClientID;
    pid_t mProcessID;
    Boolean mIsNativeEndian;
    CFStringRef mBundleID;
};
typedef struct AudioServerPlugInClientInfo AudioServerPlugInClientInfo;

/* ---- IO cycle ------------------------------------------------------------------------------ */

enum AudioServerPlugInIOOperation : UInt32 {
    kAudioServerPlugInIOOperationThread = 'thrd',
    kAudioServerPlugInIOOperationCycle = 'cycl',
    kAudioServerPlugInIOOperationReadInput = 'read',
    kAudioServerPlugInIOOperationConvertInput = 'cinp',
    kAudioServerPlugInIOOperationProcessInput = 'pinp',
    kAudioServerPlugInIOOperationProcessOutput = 'pout',
    kAudioServerPlugInIOOperationMixOutput = 'mixo',
    kAudioServerPlugInIOOperationProcessMix = 'pmix',
    kAudioServerPlugInIOOperationConvertMix = 'cmix',
    kAudioServerPlugInIOOperationWriteMix = 'rite'
};
typedef enum AudioServerPlugInIOOperation AudioServerPlugInIOOperation;

/* What the server knows about the IO cycle in progress; valid for the length of one call. */
struct AudioServerPlugInIOCycleInfo {
    UInt64 mIOCycleCounter;
    UInt32 mNominalIOBufferFrameSize;
    AudioTimeStamp mCurrentTime;
    AudioTimeStamp mInputTime;
    AudioTimeStamp mOutputTime;
    Float64 mMainHostTicksPerFrame;
    Float64 mDeviceHostTicksPerFrame;
};
typedef struct AudioServerPlugInIOCycleInfo AudioServerPlugInIOCycleInfo;

/* ---- Host interface ------------------------------------------------------------------------ */

typedef struct AudioServerPlugInHostInterface AudioServerPlugInHostInterface;
typedef const AudioServerPlugInHostInterface* AudioServerPlugInHostRef;

/* The server's functions that a plug-in may call, each given the host reference first. */
struct AudioServerPlugInHostInterface {
    /* Tells the server that the listed properties of an object changed. */
    OSStatus (*PropertiesChanged)(AudioServerPlugInHostRef inHost, AudioObjectID inObjectID,
                                  UInt32 inNumberAddresses, const AudioObjectPropertyAddress* inAddresses);

    /* Persistent storage keyed by string; a value copied out belongs to the caller. */
    OSStatus (*CopyFromStorage)(AudioServerPlugInHostRef inHost, CFStringRef inKey, CFPropertyListRef* outData);
    OSStatus (*WriteToStorage)(AudioServerPlugInHostRef inHost, CFStringRef inKey, CFPropertyListRef inData);
    OSStatus (*DeleteFromStorage)(AudioServerPlugInHostRef inHost, CFStringRef inKey);

    /* Asks the server to call PerformDeviceConfigurationChange (or Abort...) with the same action
       and info once it is safe to change the device's shape. */
    OSStatus (*RequestDeviceConfigurationChange)(AudioServerPlugInHostRef inHost, AudioObjectID inDeviceObjectID,
                                                 UInt64 inChangeAction, void* inChangeInfo);
};

/* ---- Driver interface ---------------------------------------------------------------------- */

typedef struct AudioServerPlugInDriverInterface AudioServerPlugInDriverInterface;

/* What the factory returns and what every entry receives first: a pointer to the plug-in's
   pointer to its table. */
typedef AudioServerPlugInDriverInterface** AudioServerPlugInDriverRef;

/* The plug-in's entry points, in the order the server expects. After the IUnknown part, object
   entries name their target by object ID. GetZeroTimeStamp and the four IO operation entries run
   on the server's real-time IO thread; every other entry runs on its ordinary threads. */
struct AudioServerPlugInDriverInterface {
    void* _reserved;
    HRESULT (*QueryInterface)(void* inDriver, REFIID inUUID, LPVOID* outInterface);
    ULONG (*AddRef)(void* inDriver);
    ULONG (*Release)(void* inDriver);

    OSStatus (*Initialize)(AudioServerPlugInDriverRef inDriver, AudioServerPlugInHostRef inHost);
    OSStatus (*CreateDevice)(AudioServerPlugInDriverRef inDriver, CFDictionaryRef inDescription,
                             const AudioServerPlugInClientInfo* inClientInfo, AudioObjectID* outDeviceObjectID);
    OSStatus (*DestroyDevice)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID);
    OSStatus (*AddDeviceClient)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                const AudioServerPlugInClientInfo* inClientInfo);
    OSStatus (*RemoveDeviceClient)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                   const AudioServerPlugInClientInfo* inClientInfo);
    OSStatus (*PerformDeviceConfigurationChange)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                                 UInt64 inChangeAction, void* inChangeInfo);
    OSStatus (*AbortDeviceConfigurationChange)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                               UInt64 inChangeAction, void* inChangeInfo);

    Boolean (*HasProperty)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID, pid_t inClientProcessID,
                           const AudioObjectPropertyAddress* inAddress);
    OSStatus (*IsPropertySettable)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                   pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress,
                                   Boolean* outIsSettable);
    OSStatus (*GetPropertyDataSize)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                    pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* outDataSize);
    OSStatus (*GetPropertyData)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID, pid_t inClientProcessID,
                                const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                const void* inQualifierData, UInt32 inDataSize, UInt32* outDataSize, void* outData);
    OSStatus (*SetPropertyData)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID, pid_t inClientProcessID,
                                const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                const void* inQualifierData, UInt32 inDataSize, const void* inData);

    OSStatus (*StartIO)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID, UInt32 inClientID);
    OSStatus (*StopIO)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID, UInt32 inClientID);
    OSStatus (*GetZeroTimeStamp)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                 UInt32 inClientID, Float64* outSampleTime, UInt64* outHostTime, UInt64* outSeed);
    OSStatus (*WillDoIOOperation)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                  UInt32 inClientID, UInt32 inOperationID, Boolean* outWillDo,
                                  Boolean* outWillDoInPlace);
    OSStatus (*BeginIOOperation)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                 UInt32 inClientID, UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                                 const AudioServerPlugInIOCycleInfo* inIOCycleInfo);
    OSStatus (*DoIOOperation)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                              AudioObjectID inStreamObjectID, UInt32 inClientID, UInt32 inOperationID,
                              UInt32 inIOBufferFrameSize, const AudioServerPlugInIOCycleInfo* inIOCycleInfo,
                              void* ioMainBuffer, void* ioSecondaryBuffer);
    OSStatus (*EndIOOperation)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                               UInt32 inClientID, UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                               const AudioServerPlugInIOCycleInfo* inIOCycleInfo);
};

#endif /* PELIO_PLATFORM_COREAUDIO_AUDIOSERVERPLUGIN_H */
