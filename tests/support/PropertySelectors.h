#pragma once

// The property selectors that the framework's objects answer, and those a few others a host asks
// about, for tests that sweep every property (the interface-table checks, the stress test, the
// fuzz targets); and which of them hand the caller a CoreFoundation object that it must release.
// Test code only.

#include <CoreAudio/AudioServerPlugIn.h>

#include <algorithm>
#include <array>

namespace pelio::test {

// Answered as a new CFStringRef or CFURLRef, which the caller owns.
inline constexpr auto kObjectReturningSelectors = std::to_array<AudioObjectPropertySelector>({
    kAudioObjectPropertyName,
    kAudioObjectPropertyManufacturer,
    kAudioObjectPropertySerialNumber,
    kAudioObjectPropertyFirmwareVersion,
    kAudioDevicePropertyDeviceUID,
    kAudioDevicePropertyModelUID,
    kAudioDevicePropertyIcon,
    kAudioDevicePropertyConfigurationApplication,
    kAudioPlugInPropertyResourceBundle,
});

inline bool ReturnsObject(AudioObjectPropertySelector selector)
{
    return std::find(kObjectReturningSelectors.begin(), kObjectReturningSelectors.end(), selector)
        != kObjectReturningSelectors.end();
}

// Every selector of the object, plug-in, device, stream and control tables, then some that no
// object here answers (the wildcard among them).
inline constexpr auto kKnownSelectors = std::to_array<AudioObjectPropertySelector>({
    // Every object.
    kAudioObjectPropertyBaseClass,
    kAudioObjectPropertyClass,
    kAudioObjectPropertyOwner,
    kAudioObjectPropertyOwnedObjects,
    kAudioObjectPropertyCustomPropertyInfoList,
    // The plug-in object.
    kAudioPlugInPropertyDeviceList,
    kAudioPlugInPropertyResourceBundle,
    kAudioPlugInPropertyTranslateUIDToDevice,
    // Devices.
    kAudioObjectPropertyName,
    kAudioObjectPropertyManufacturer,
    kAudioDevicePropertyDeviceUID,
    kAudioDevicePropertyModelUID,
    kAudioObjectPropertySerialNumber,
    kAudioObjectPropertyFirmwareVersion,
    kAudioDevicePropertyIcon,
    kAudioDevicePropertyConfigurationApplication,
    kAudioDevicePropertyTransportType,
    kAudioDevicePropertyRelatedDevices,
    kAudioDevicePropertyClockIsStable,
    kAudioDevicePropertyClockAlgorithm,
    kAudioDevicePropertyClockDomain,
    kAudioDevicePropertyLatency,
    kAudioDevicePropertySafetyOffset,
    kAudioDevicePropertyZeroTimeStampPeriod,
    kAudioDevicePropertyNominalSampleRate,
    kAudioDevicePropertyAvailableNominalSampleRates,
    kAudioDevicePropertyPreferredChannelsForStereo,
    kAudioDevicePropertyPreferredChannelLayout,
    kAudioDevicePropertyDeviceIsRunning,
    kAudioObjectPropertyIdentify,
    kAudioDevicePropertyDeviceIsAlive,
    kAudioDevicePropertyIsHidden,
    kAudioDevicePropertyDeviceCanBeDefaultDevice,
    kAudioDevicePropertyDeviceCanBeDefaultSystemDevice,
    kAudioDevicePropertyStreams,
    kAudioObjectPropertyControlList,
    // Streams.
    kAudioStreamPropertyIsActive,
    kAudioStreamPropertyDirection,
    kAudioStreamPropertyTerminalType,
    kAudioStreamPropertyStartingChannel,
    kAudioStreamPropertyLatency,
    kAudioStreamPropertyVirtualFormat,
    kAudioStreamPropertyAvailableVirtualFormats,
    kAudioStreamPropertyPhysicalFormat,
    kAudioStreamPropertyAvailablePhysicalFormats,
    // Controls.
    kAudioControlPropertyScope,
    kAudioControlPropertyElement,
    kAudioLevelControlPropertyScalarValue,
    kAudioLevelControlPropertyDecibelValue,
    kAudioLevelControlPropertyDecibelRange,
    kAudioLevelControlPropertyConvertScalarToDecibels,
    kAudioLevelControlPropertyConvertDecibelsToScalar,
    kAudioBooleanControlPropertyValue,
    // Nobody's.
    kAudioObjectPropertySelectorWildcard,
    kAudioObjectPropertyModelName,
    kAudioObjectPropertyElementName,
    kAudioPlugInPropertyBoxList,
});

} // namespace pelio::test
