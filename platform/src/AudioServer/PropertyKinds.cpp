// The kinds of the properties the audio system defines, and of a plug-in's custom properties.
#include <AudioServer/PropertyKinds.h>

#include <algorithm>
#include <cstring>
#include <iterator>

namespace audioserver {

namespace {

struct Entry {
    AudioObjectPropertySelector selector;
    PropertyKinds kinds;
};

constexpr PropertyKinds kBytes{false, false};
constexpr PropertyKinds kObjectData{false, true};
constexpr PropertyKinds kObjectQualifier{true, false};

// Every selector of the object model, the plug-in model and the system object. Selectors that
// several classes share ('tran', 'ltnc', 'dev#', 'uidd') mean the same kind of value everywhere.
constexpr Entry kStandard[] = {
    // Objects
    {kAudioObjectPropertyBaseClass, kBytes},
    {kAudioObjectPropertyClass, kBytes},
    {kAudioObjectPropertyOwner, kBytes},
    {kAudioObjectPropertyName, kObjectData},
    {kAudioObjectPropertyModelName, kObjectData},
    {kAudioObjectPropertyManufacturer, kObjectData},
    {kAudioObjectPropertyElementName, kObjectData},
    {kAudioObjectPropertyElementCategoryName, kObjectData},
    {kAudioObjectPropertyElementNumberName, kObjectData},
    {kAudioObjectPropertyOwnedObjects, kBytes},
    {kAudioObjectPropertyIdentify, kBytes},
    {kAudioObjectPropertySerialNumber, kObjectData},
    {kAudioObjectPropertyFirmwareVersion, kObjectData},
    {kAudioObjectPropertyControlList, kBytes},
    {kAudioObjectPropertyCustomPropertyInfoList, kBytes},
    // Plug-ins, transport managers, boxes
    {kAudioPlugInPropertyBundleID, kObjectData},
    {kAudioPlugInPropertyDeviceList, kBytes},
    {kAudioPlugInPropertyTranslateUIDToDevice, kObjectQualifier},
    {kAudioPlugInPropertyBoxList, kBytes},
    {kAudioPlugInPropertyTranslateUIDToBox, kObjectQualifier},
    {kAudioPlugInPropertyClockDeviceList, kBytes},
    {kAudioPlugInPropertyTranslateUIDToClockDevice, kObjectQualifier},
    {kAudioPlugInPropertyResourceBundle, kObjectData},
    {kAudioTransportManagerPropertyEndPointList, kBytes},
    {kAudioTransportManagerPropertyTranslateUIDToEndPoint, kObjectQualifier},
    {kAudioBoxPropertyBoxUID, kObjectData},
    {kAudioBoxPropertyHasAudio, kBytes},
    {kAudioBoxPropertyHasVideo, kBytes},
    {kAudioBoxPropertyHasMIDI, kBytes},
    {kAudioBoxPropertyIsProtected, kBytes},
    {kAudioBoxPropertyAcquired, kBytes},
    {kAudioBoxPropertyAcquisitionFailed, kBytes},
    {kAudioBoxPropertyDeviceList, kBytes},
    {kAudioBoxPropertyClockDeviceList, kBytes},
    // Devices and clock devices
    {kAudioDevicePropertyConfigurationApplication, kObjectData},
    {kAudioDevicePropertyDeviceUID, kObjectData},
    {kAudioDevicePropertyModelUID, kObjectData},
    {kAudioDevicePropertyTransportType, kBytes},
    {kAudioDevicePropertyRelatedDevices, kBytes},
    {kAudioDevicePropertyClockDomain, kBytes},
    {kAudioDevicePropertyDeviceIsAlive, kBytes},
    {kAudioDevicePropertyDeviceIsRunning, kBytes},
    {kAudioDevicePropertyDeviceCanBeDefaultDevice, kBytes},
    {kAudioDevicePropertyDeviceCanBeDefaultSystemDevice, kBytes},
    {kAudioDevicePropertyLatency, kBytes},
    {kAudioDevicePropertyStreams, kBytes},
    {kAudioDevicePropertySafetyOffset, kBytes},
    {kAudioDevicePropertyNominalSampleRate, kBytes},
    {kAudioDevicePropertyAvailableNominalSampleRates, kBytes},
    {kAudioDevicePropertyIcon, kObjectData},
    {kAudioDevicePropertyIsHidden, kBytes},
    {kAudioDevicePropertyPreferredChannelsForStereo, kBytes},
    {kAudioDevicePropertyPreferredChannelLayout, kBytes},
    {kAudioDevicePropertyZeroTimeStampPeriod, kBytes},
    {kAudioDevicePropertyClockAlgorithm, kBytes},
    {kAudioDevicePropertyClockIsStable, kBytes},
    {kAudioClockDevicePropertyDeviceUID, kObjectData},
    {kAudioEndPointDevicePropertyComposition, kObjectData},
    {kAudioEndPointDevicePropertyEndPointList, kBytes},
    {kAudioEndPointDevicePropertyIsPrivate, kBytes},
    // Streams
    {kAudioStreamPropertyIsActive, kBytes},
    {kAudioStreamPropertyDirection, kBytes},
    {kAudioStreamPropertyTerminalType, kBytes},
    {kAudioStreamPropertyStartingChannel, kBytes},
    {kAudioStreamPropertyVirtualFormat, kBytes},
    {kAudioStreamPropertyAvailableVirtualFormats, kBytes},
    {kAudioStreamPropertyPhysicalFormat, kBytes},
    {kAudioStreamPropertyAvailablePhysicalFormats, kBytes},
    // Controls
    {kAudioControlPropertyScope, kBytes},
    {kAudioControlPropertyElement, kBytes},
    {kAudioSliderControlPropertyValue, kBytes},
    {kAudioSliderControlPropertyRange, kBytes},
    {kAudioLevelControlPropertyScalarValue, kBytes},
    {kAudioLevelControlPropertyDecibelValue, kBytes},
    {kAudioLevelControlPropertyDecibelRange, kBytes},
    {kAudioLevelControlPropertyConvertScalarToDecibels, kBytes},
    {kAudioLevelControlPropertyConvertDecibelsToScalar, kBytes},
    {kAudioBooleanControlPropertyValue, kBytes},
    {kAudioSelectorControlPropertyCurrentItem, kBytes},
    {kAudioSelectorControlPropertyAvailableItems, kBytes},
    {kAudioSelectorControlPropertyItemName, kObjectData},
    {kAudioSelectorControlPropertyItemKind, kBytes},
    {kAudioStereoPanControlPropertyValue, kBytes},
    {kAudioStereoPanControlPropertyPanningChannels, kBytes},
    // The system object
    {kAudioHardwarePropertyDefaultInputDevice, kBytes},
    {kAudioHardwarePropertyDefaultOutputDevice, kBytes},
    {kAudioHardwarePropertyDefaultSystemOutputDevice, kBytes},
    {kAudioHardwarePropertyMixStereoToMono, kBytes},
    {kAudioHardwarePropertyPlugInList, kBytes},
    {kAudioHardwarePropertyTranslateBundleIDToPlugIn, kObjectQualifier},
    {kAudioHardwarePropertyTransportManagerList, kBytes},
    {kAudioHardwarePropertyTranslateBundleIDToTransportManager, kObjectQualifier},
    {kAudioHardwarePropertyProcessIsMain, kBytes},
    {kAudioHardwarePropertyIsInitingOrExiting, kBytes},
    {kAudioHardwarePropertyUserIDChanged, kBytes},
    {kAudioHardwarePropertyProcessIsAudible, kBytes},
    {kAudioHardwarePropertySleepingIsAllowed, kBytes},
    {kAudioHardwarePropertyUnloadingIsAllowed, kBytes},
    {kAudioHardwarePropertyHogModeIsAllowed, kBytes},
    {kAudioHardwarePropertyUserSessionIsActiveOrHeadless, kBytes},
    {kAudioHardwarePropertyServiceRestarted, kBytes},
    {kAudioHardwarePropertyPowerHint, kBytes},
};

bool IsObjectType(AudioServerPlugInCustomPropertyDataType type) {
    return type == kAudioServerPlugInCustomPropertyDataTypeCFString ||
           type == kAudioServerPlugInCustomPropertyDataTypeCFPropertyList;
}

}  // namespace

std::optional<PropertyKinds> StandardPropertyKinds(AudioObjectPropertySelector selector) {
    const auto entry = std::find_if(std::begin(kStandard), std::end(kStandard),
                                    [selector](const Entry& candidate) { return candidate.selector == selector; });
    if (entry == std::end(kStandard)) return std::nullopt;
    return entry->kinds;
}

std::optional<PropertyKinds> CustomPropertyKinds(const std::vector<UInt8>& customPropertyList,
                                                 AudioObjectPropertySelector selector) {
    constexpr std::size_t kEntrySize = sizeof(AudioServerPlugInCustomPropertyInfo);
    for (std::size_t offset = 0; offset + kEntrySize <= customPropertyList.size(); offset += kEntrySize) {
        AudioServerPlugInCustomPropertyInfo info{};
        std::memcpy(&info, customPropertyList.data() + offset, kEntrySize);
        if (info.mSelector == selector)
            return PropertyKinds{IsObjectType(info.mQualifierDataType), IsObjectType(info.mPropertyDataType)};
    }
    return std::nullopt;
}

}  // namespace audioserver
