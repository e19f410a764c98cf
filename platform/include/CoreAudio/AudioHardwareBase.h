/*
 * CoreAudio/AudioHardwareBase.h — the audio object model shared by clients and plug-ins: object IDs,
 * property addresses, the class IDs of objects (plug-ins, boxes, devices, streams, controls), their
 * property selectors, scopes and elements, and the hardware error statuses.
 *
 * Only type definitions and constants: nothing here allocates, locks or has state, so every name
 * is usable from any thread, the real-time IO thread included. Values and record layouts are those
 * of the macOS SDK (LP64); selectors, class IDs and statuses are anonymous enumerators of their
 * integer types, so they compare and convert as plain UInt32 or OSStatus values, as in the SDK.
 * The system object and the client functions are not here: they belong to <CoreAudio/AudioHardware.h>.
 */
#ifndef PELIO_PLATFORM_COREAUDIO_AUDIOHARDWAREBASE_H
#define PELIO_PLATFORM_COREAUDIO_AUDIOHARDWAREBASE_H

#include <CoreAudio/CoreAudioTypes.h>

/* ---- Object identity and property addresses ----------------------------------------------- */

typedef UInt32 AudioObjectID;
typedef UInt32 AudioClassID;
typedef UInt32 AudioObjectPropertySelector;
typedef UInt32 AudioObjectPropertyScope;
typedef UInt32 AudioObjectPropertyElement;

struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
};
typedef struct AudioObjectPropertyAddress AudioObjectPropertyAddress;

/* ---- Statuses ------------------------------------------------------------------------------ */

enum : OSStatus {
    kAudioHardwareNoError = 0,
    kAudioHardwareNotRunningError = 'stop',
    kAudioHardwareUnspecifiedError = 'what',
    kAudioHardwareUnknownPropertyError = 'who?',
    kAudioHardwareBadPropertySizeError = '!siz',
    kAudioHardwareIllegalOperationError = 'nope',
    kAudioHardwareBadObjectError = '!obj',
    kAudioHardwareBadDeviceError = '!dev',
    kAudioHardwareBadStreamError = '!str',
    kAudioHardwareUnsupportedOperationError = 'unop',
    kAudioHardwareNotReadyError = 'nrdy',
    kAudioDeviceUnsupportedFormatError = '!dat',
    kAudioDevicePermissionsError = '!hog'
};

/* ---- Basic constants ----------------------------------------------------------------------- */

enum : AudioObjectID {
    kAudioObjectUnknown = 0
};

enum : AudioObjectPropertyScope {
    kAudioObjectPropertyScopeGlobal = 'glob',
    kAudioObjectPropertyScopeInput = 'inpt',
    kAudioObjectPropertyScopeOutput = 'outp',
    kAudioObjectPropertyScopePlayThrough = 'ptru',
    kAudioObjectPropertyScopeWildcard = '****'
};

enum : AudioObjectPropertyElement {
    kAudioObjectPropertyElementMain = 0,
    kAudioObjectPropertyElementWildcard = 0xFFFFFFFFU
};

enum : AudioObjectPropertySelector {
    kAudioObjectPropertySelectorWildcard = '****'
};

enum : AudioClassID {
    kAudioObjectClassIDWildcard = '****'
};

/* ---- AudioObject --------------------------------------------------------------------------- */

enum : AudioClassID {
    kAudioObjectClassID = 'aobj'
};

enum : AudioObjectPropertySelector {
    kAudioObjectPropertyBaseClass = 'bcls',
    kAudioObjectPropertyClass = 'clas',
    kAudioObjectPropertyOwner = 'stdv',
    kAudioObjectPropertyName = 'lnam',
    kAudioObjectPropertyModelName = 'lmod',
    kAudioObjectPropertyManufacturer = 'lmak',
    kAudioObjectPropertyElementName = 'lchn',
    kAudioObjectPropertyElementCategoryName = 'lccn',
    kAudioObjectPropertyElementNumberName = 'lcnn',
    kAudioObjectPropertyOwnedObjects = 'ownd',
    kAudioObjectPropertyIdentify = 'iden',
    kAudioObjectPropertySerialNumber = 'snum',
    kAudioObjectPropertyFirmwareVersion = 'fwvn',
    kAudioObjectPropertyControlList = 'ctrl'
};

/* ---- AudioPlugIn --------------------------------------------------------------------------- */

enum : AudioClassID {
    kAudioPlugInClassID = 'aplg'
};

enum : AudioObjectPropertySelector {
    kAudioPlugInPropertyBundleID = 'piid',
    kAudioPlugInPropertyDeviceList = 'dev#',
    kAudioPlugInPropertyTranslateUIDToDevice = 'uidd',
    kAudioPlugInPropertyBoxList = 'box#',
    kAudioPlugInPropertyTranslateUIDToBox = 'uidb',
    kAudioPlugInPropertyClockDeviceList = 'clk#',
    kAudioPlugInPropertyTranslateUIDToClockDevice = 'uidc'
};

/* ---- AudioTransportManager ----------------------------------------------------------------- */

enum : AudioClassID {
    kAudioTransportManagerClassID = 'trpm'
};

enum : AudioObjectPropertySelector {
    kAudioTransportManagerPropertyEndPointList = 'end#',
    kAudioTransportManagerPropertyTranslateUIDToEndPoint = 'uide',
    kAudioTransportManagerPropertyTransportType = 'tran'
};

/* ---- AudioBox ------------------------------------------------------------------------------ */

enum : AudioClassID {
    kAudioBoxClassID = 'abox'
};

enum : AudioObjectPropertySelector {
    kAudioBoxPropertyBoxUID = 'buid',
    kAudioBoxPropertyTransportType = 'tran',
    kAudioBoxPropertyHasAudio = 'bhau',
    kAudioBoxPropertyHasVideo = 'bhvi',
    kAudioBoxPropertyHasMIDI = 'bhmi',
    kAudioBoxPropertyIsProtected = 'bpro',
    kAudioBoxPropertyAcquired = 'bxon',
    kAudioBoxPropertyAcquisitionFailed = 'bxof',
    kAudioBoxPropertyDeviceList = 'bdv#',
    kAudioBoxPropertyClockDeviceList = 'bcl#'
};

/* ---- AudioDevice --------------------------------------------------------------------------- */

enum : AudioClassID {
    kAudioDeviceClassID = 'adev'
};

enum : UInt32 {
    kAudioDeviceTransportTypeUnknown = 0,
    kAudioDeviceTransportTypeBuiltIn = 'bltn',
    kAudioDeviceTransportTypeAggregate = 'grup',
    kAudioDeviceTransportTypeVirtual = 'virt',
    kAudioDeviceTransportTypePCI = 'pci ',
    kAudioDeviceTransportTypeUSB = 'usb ',
    kAudioDeviceTransportTypeFireWire = '1394',
    kAudioDeviceTransportTypeBluetooth = 'blue',
    kAudioDeviceTransportTypeBluetoothLE = 'blea',
    kAudioDeviceTransportTypeHDMI = 'hdmi',
    kAudioDeviceTransportTypeDisplayPort = 'dprt',
    kAudioDeviceTransportTypeAirPlay = 'airp',
    kAudioDeviceTransportTypeAVB = 'eavb',
    kAudioDeviceTransportTypeThunderbolt = 'thun'
};

enum : AudioObjectPropertySelector {
    kAudioDevicePropertyConfigurationApplication = 'capp',
    kAudioDevicePropertyDeviceUID = 'uid ',
    kAudioDevicePropertyModelUID = 'muid',
    kAudioDevicePropertyTransportType = 'tran',
    kAudioDevicePropertyRelatedDevices = 'akin',
    kAudioDevicePropertyClockDomain = 'clkd',
    kAudioDevicePropertyDeviceIsAlive = 'livn',
    kAudioDevicePropertyDeviceIsRunning = 'goin',
    kAudioDevicePropertyDeviceCanBeDefaultDevice = 'dflt',
    kAudioDevicePropertyDeviceCanBeDefaultSystemDevice = 'sflt',
    kAudioDevicePropertyLatency = 'ltnc',
    kAudioDevicePropertyStreams = 'stm#',
    kAudioDevicePropertySafetyOffset = 'saft',
    kAudioDevicePropertyNominalSampleRate = 'nsrt',
    kAudioDevicePropertyAvailableNominalSampleRates = 'nsr#',
    kAudioDevicePropertyIcon = 'icon',
    kAudioDevicePropertyIsHidden = 'hidn',
    kAudioDevicePropertyPreferredChannelsForStereo = 'dch2',
    kAudioDevicePropertyPreferredChannelLayout = 'srnd'
};

/* ---- AudioClockDevice ---------------------------------------------------------------------- */

enum : AudioClassID {
    kAudioClockDeviceClassID = 'aclk'
};

enum : AudioObjectPropertySelector {
    kAudioClockDevicePropertyDeviceUID = 'cuid',
    kAudioClockDevicePropertyTransportType = 'tran',
    kAudioClockDevicePropertyClockDomain = 'clkd',
    kAudioClockDevicePropertyDeviceIsAlive = 'livn',
    kAudioClockDevicePropertyDeviceIsRunning = 'goin',
    kAudioClockDevicePropertyLatency = 'ltnc',
    kAudioClockDevicePropertyControlList = 'ctrl',
    kAudioClockDevicePropertyNominalSampleRate = 'nsrt',
    kAudioClockDevicePropertyAvailableNominalSampleRates = 'nsr#'
};

/* ---- AudioEndPointDevice and AudioEndPoint ------------------------------------------------- */

enum : AudioClassID {
    kAudioEndPointDeviceClassID = 'edev',
    kAudioEndPointClassID = 'endp'
};

enum : AudioObjectPropertySelector {
    kAudioEndPointDevicePropertyComposition = 'acom',
    kAudioEndPointDevicePropertyEndPointList = 'agrp',
    kAudioEndPointDevicePropertyIsPrivate = 'priv'
};

/* ---- AudioStream --------------------------------------------------------------------------- */

enum : AudioClassID {
    kAudioStreamClassID = 'astr'
};

enum : UInt32 {
    kAudioStreamTerminalTypeUnknown = 0,
    kAudioStreamTerminalTypeLine = 'line',
    kAudioStreamTerminalTypeDigitalAudioInterface = 'spdf',
    kAudioStreamTerminalTypeSpeaker = 'spkr',
    kAudioStreamTerminalTypeHeadphones = 'hdph',
    kAudioStreamTerminalTypeLFESpeaker = 'lfes',
    kAudioStreamTerminalTypeReceiverSpeaker = 'rspk',
    kAudioStreamTerminalTypeMicrophone = 'micr',
    kAudioStreamTerminalTypeHeadsetMicrophone = 'hmic',
    kAudioStreamTerminalTypeReceiverMicrophone = 'rmic',
    kAudioStreamTerminalTypeTTY = 'tty_',
    kAudioStreamTerminalTypeHDMI = 'hdmi',
    kAudioStreamTerminalTypeDisplayPort = 'dprt'
};

enum : AudioObjectPropertySelector {
    kAudioStreamPropertyIsActive = 'sact',
    kAudioStreamPropertyDirection = 'sdir',
    kAudioStreamPropertyTerminalType = 'term',
    kAudioStreamPropertyStartingChannel = 'schn',
    kAudioStreamPropertyLatency = kAudioDevicePropertyLatency,
    kAudioStreamPropertyVirtualFormat = 'sfmt',
    kAudioStreamPropertyAvailableVirtualFormats = 'sfma',
    kAudioStreamPropertyPhysicalFormat = 'pft ',
    kAudioStreamPropertyAvailablePhysicalFormats = 'pfta'
};

/* A format together with the range of sample rates at which it is offered. */
struct AudioStreamRangedDescription {
    AudioStreamBasicDescription mFormat;
    AudioValueRange mSampleRateRange;
};
typedef struct AudioStreamRangedDescription AudioStreamRangedDescription;

/* ---- AudioControl and its subclasses ------------------------------------------------------- */

enum : AudioClassID {
    kAudioControlClassID = 'actl'
};

enum : AudioObjectPropertySelector {
    kAudioControlPropertyScope = 'cscp',
    kAudioControlPropertyElement = 'celm'
};

enum : AudioClassID {
    kAudioSliderControlClassID = 'sldr'
};

enum : AudioObjectPropertySelector {
    kAudioSliderControlPropertyValue = 'sdrv',
    kAudioSliderControlPropertyRange = 'sdrr'
};

enum : AudioClassID {
    kAudioLevelControlClassID = 'levl',
    kAudioVolumeControlClassID = 'vlme',
    kAudioLFEVolumeControlClassID = 'subv'
};

enum : AudioObjectPropertySelector {
    kAudioLevelControlPropertyScalarValue = 'lcsv',
    kAudioLevelControlPropertyDecibelValue = 'lcdv',
    kAudioLevelControlPropertyDecibelRange = 'lcdr',
    kAudioLevelControlPropertyConvertScalarToDecibels = 'lcsd',
    kAudioLevelControlPropertyConvertDecibelsToScalar = 'lcds'
};

enum : AudioClassID {
    kAudioBooleanControlClassID = 'togl',
    kAudioMuteControlClassID = 'mute',
    kAudioSoloControlClassID = 'solo',
    kAudioJackControlClassID = 'jack',
    kAudioLFEMuteControlClassID = 'subm',
    kAudioPhantomPowerControlClassID = 'phan',
    kAudioPhaseInvertControlClassID = 'phsi',
    kAudioClipLightControlClassID = 'clip',
    kAudioTalkbackControlClassID = 'talb',
    kAudioListenbackControlClassID = 'lsnb'
};

enum : AudioObjectPropertySelector {
    kAudioBooleanControlPropertyValue = 'bcvl'
};

enum : AudioClassID {
    kAudioSelectorControlClassID = 'slct',
    kAudioDataSourceControlClassID = 'dsrc',
    kAudioDataDestinationControlClassID = 'dest',
    kAudioClockSourceControlClassID = 'clck',
    kAudioLineLevelControlClassID = 'nlvl',
    kAudioHighPassFilterControlClassID = 'hipf'
};

enum : AudioObjectPropertySelector {
    kAudioSelectorControlPropertyCurrentItem = 'scci',
    kAudioSelectorControlPropertyAvailableItems = 'scai',
    kAudioSelectorControlPropertyItemName = 'scin',
    kAudioSelectorControlPropertyItemKind = 'clkk'
};

enum : UInt32 {
    kAudioSelectorControlItemKindSpacer = 'spcr',
    kAudioClockSourceItemKindInternal = 'int '
};

enum : AudioClassID {
    kAudioStereoPanControlClassID = 'span'
};

enum : AudioObjectPropertySelector {
    kAudioStereoPanControlPropertyValue = 'spcv',
    kAudioStereoPanControlPropertyPanningChannels = 'spcc'
};

#endif /* PELIO_PLATFORM_COREAUDIO_AUDIOHARDWAREBASE_H */
