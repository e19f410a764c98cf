/*
 * CoreAudio/AudioHardware.h — the client side of the audio system: the system object, its
 * properties, and the property query that applications use to ask the audio server about devices.
 *
 * Of the client functions the four property calls exist: AudioObjectHasProperty,
 * AudioObjectGetPropertyDataSize, AudioObjectGetPropertyData and AudioObjectSetPropertyData.
 * They may be called from any thread; each is an inter-process request to the audio server, so
 * it may block and is never for a real-time thread. Where no audio server runs, they answer
 * kAudioHardwareNotRunningError (HasProperty answers false).
 * Constants and layouts are those of the macOS SDK (LP64). A plug-in does not include this
 * header: the plug-in model (<CoreAudio/AudioServerPlugIn.h>) is its whole view of the server.
 */
#ifndef PELIO_PLATFORM_COREAUDIO_AUDIOHARDWARE_H
#define PELIO_PLATFORM_COREAUDIO_AUDIOHARDWARE_H

#include <CoreAudio/AudioHardwareBase.h>
/* As on macOS, CoreFoundation comes along: the translate properties take CFString qualifiers. */
#include <CoreFoundation/CoreFoundation.h>

/* ---- The system object --------------------------------------------------------------------- */

/* The one object that every client can always address; it lists and translates everything else. */
enum : AudioObjectID {
    kAudioObjectSystemObject = 1
};

enum : AudioClassID {
    kAudioSystemObjectClassID = 'asys'
};

enum : AudioObjectPropertySelector {
    kAudioHardwarePropertyDevices = 'dev#',
    kAudioHardwarePropertyDefaultInputDevice = 'dIn ',
    kAudioHardwarePropertyDefaultOutputDevice = 'dOut',
    kAudioHardwarePropertyDefaultSystemOutputDevice = 'sOut',
    kAudioHardwarePropertyTranslateUIDToDevice = 'uidd',
    kAudioHardwarePropertyMixStereoToMono = 'stmo',
    kAudioHardwarePropertyPlugInList = 'plg#',
    kAudioHardwarePropertyTranslateBundleIDToPlugIn = 'bidp',
    kAudioHardwarePropertyTransportManagerList = 'tmg#',
    kAudioHardwarePropertyTranslateBundleIDToTransportManager = 'tmbi',
    kAudioHardwarePropertyBoxList = 'box#',
    kAudioHardwarePropertyTranslateUIDToBox = 'uidb',
    kAudioHardwarePropertyClockDeviceList = 'clk#',
    kAudioHardwarePropertyTranslateUIDToClockDevice = 'uidc',
    kAudioHardwarePropertyProcessIsMain = 'main',
    kAudioHardwarePropertyIsInitingOrExiting = 'inot',
    kAudioHardwarePropertyUserIDChanged = 'euid',
    kAudioHardwarePropertyProcessIsAudible = 'pmut',
    kAudioHardwarePropertySleepingIsAllowed = 'slep',
    kAudioHardwarePropertyUnloadingIsAllowed = 'unld',
    kAudioHardwarePropertyHogModeIsAllowed = 'hogr',
    kAudioHardwarePropertyUserSessionIsActiveOrHeadless = 'user',
    kAudioHardwarePropertyServiceRestarted = 'srst',
    kAudioHardwarePropertyPowerHint = 'powh'
};

/* ---- Property access ----------------------------------------------------------------------- */

#ifdef __cplusplus
extern "C" {
#endif

/* Whether the object has the property. */
Boolean AudioObjectHasProperty(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress);

/* The size in bytes of the property's current value. A failure leaves the output as it was. */
OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData,
                                        UInt32* outDataSize);

/* Reads a property of an object. *ioDataSize gives the size of outData on entry and receives the
   number of bytes written. The qualifier, when the property takes one, is passed by address
   (a CFStringRef qualifier as the address of the reference). A CFString, CFURL or property-list
   value arrives as a new reference that the caller releases. A failure leaves both outputs as
   they were. */
OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* ioDataSize,
                                    void* outData);

/* Changes a property of an object. Object-valued data is passed as the address of the reference,
   which the caller keeps. Some changes complete later: the new value may be read only once the
   server has applied it. */
OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32 inDataSize,
                                    const void* inData);

#ifdef __cplusplus
}
#endif

#endif /* PELIO_PLATFORM_COREAUDIO_AUDIOHARDWARE_H */
