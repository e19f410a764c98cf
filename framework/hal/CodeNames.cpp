#include "hal/CodeNames.h"

#include <cstdio>

namespace hal {

namespace {

// Stringizing the constant makes the printed name the platform's spelling by construction, and a
// missing or misspelt constant a compile error.
#define HAL_NAME_CASE(constant) \
    case constant:              \
        return #constant

const char* FindClassIDName(UInt32 classID) {
    switch (classID) {
    HAL_NAME_CASE(kAudioBooleanControlClassID);
    HAL_NAME_CASE(kAudioBoxClassID);
    HAL_NAME_CASE(kAudioClipLightControlClassID);
    HAL_NAME_CASE(kAudioClockDeviceClassID);
    HAL_NAME_CASE(kAudioClockSourceControlClassID);
    HAL_NAME_CASE(kAudioControlClassID);
    HAL_NAME_CASE(kAudioDataDestinationControlClassID);
    HAL_NAME_CASE(kAudioDataSourceControlClassID);
    HAL_NAME_CASE(kAudioDeviceClassID);
    HAL_NAME_CASE(kAudioEndPointClassID);
    HAL_NAME_CASE(kAudioEndPointDeviceClassID);
    HAL_NAME_CASE(kAudioHighPassFilterControlClassID);
    HAL_NAME_CASE(kAudioJackControlClassID);
    HAL_NAME_CASE(kAudioLFEMuteControlClassID);
    HAL_NAME_CASE(kAudioLFEVolumeControlClassID);
    HAL_NAME_CASE(kAudioLevelControlClassID);
    HAL_NAME_CASE(kAudioLineLevelControlClassID);
    HAL_NAME_CASE(kAudioListenbackControlClassID);
    HAL_NAME_CASE(kAudioMuteControlClassID);
    HAL_NAME_CASE(kAudioObjectClassID);
    HAL_NAME_CASE(kAudioPhantomPowerControlClassID);
    HAL_NAME_CASE(kAudioPhaseInvertControlClassID);
    HAL_NAME_CASE(kAudioPlugInClassID);
    HAL_NAME_CASE(kAudioSelectorControlClassID);
    HAL_NAME_CASE(kAudioSliderControlClassID);
    HAL_NAME_CASE(kAudioSoloControlClassID);
    HAL_NAME_CASE(kAudioStereoPanControlClassID);
    HAL_NAME_CASE(kAudioStreamClassID);
    HAL_NAME_CASE(kAudioTalkbackControlClassID);
    HAL_NAME_CASE(kAudioTransportManagerClassID);
    HAL_NAME_CASE(kAudioVolumeControlClassID);
    default:
        return nullptr;
    }
}

// The stream's latency shares its code with the device's and prints under the device's name; the
// stream's physical format is deliberately not named.
const char* FindPropertySelectorName(UInt32 selector) {
    switch (selector) {
    HAL_NAME_CASE(kAudioBooleanControlPropertyValue);
    HAL_NAME_CASE(kAudioBoxPropertyAcquired);
    HAL_NAME_CASE(kAudioBoxPropertyAcquisitionFailed);
    HAL_NAME_CASE(kAudioBoxPropertyBoxUID);
    HAL_NAME_CASE(kAudioBoxPropertyClockDeviceList);
    HAL_NAME_CASE(kAudioBoxPropertyDeviceList);
    HAL_NAME_CASE(kAudioBoxPropertyHasAudio);
    HAL_NAME_CASE(kAudioBoxPropertyHasMIDI);
    HAL_NAME_CASE(kAudioBoxPropertyHasVideo);
    HAL_NAME_CASE(kAudioBoxPropertyIsProtected);
    HAL_NAME_CASE(kAudioClockDevicePropertyDeviceUID);
    HAL_NAME_CASE(kAudioControlPropertyElement);
    HAL_NAME_CASE(kAudioControlPropertyScope);
    HAL_NAME_CASE(kAudioDevicePropertyAvailableNominalSampleRates);
    HAL_NAME_CASE(kAudioDevicePropertyClockAlgorithm);
    HAL_NAME_CASE(kAudioDevicePropertyClockDomain);
    HAL_NAME_CASE(kAudioDevicePropertyClockIsStable);
    HAL_NAME_CASE(kAudioDevicePropertyConfigurationApplication);
    HAL_NAME_CASE(kAudioDevicePropertyDeviceCanBeDefaultDevice);
    HAL_NAME_CASE(kAudioDevicePropertyDeviceCanBeDefaultSystemDevice);
    HAL_NAME_CASE(kAudioDevicePropertyDeviceIsAlive);
    HAL_NAME_CASE(kAudioDevicePropertyDeviceIsRunning);
    HAL_NAME_CASE(kAudioDevicePropertyIcon);
    HAL_NAME_CASE(kAudioDevicePropertyIsHidden);
    HAL_NAME_CASE(kAudioDevicePropertyLatency);
    HAL_NAME_CASE(kAudioDevicePropertyModelUID);
    HAL_NAME_CASE(kAudioDevicePropertyNominalSampleRate);
    HAL_NAME_CASE(kAudioDevicePropertyPreferredChannelLayout);
    HAL_NAME_CASE(kAudioDevicePropertyPreferredChannelsForStereo);
    HAL_NAME_CASE(kAudioDevicePropertyRelatedDevices);
    HAL_NAME_CASE(kAudioDevicePropertySafetyOffset);
    HAL_NAME_CASE(kAudioDevicePropertyStreams);
    HAL_NAME_CASE(kAudioDevicePropertyTransportType);
    HAL_NAME_CASE(kAudioDevicePropertyZeroTimeStampPeriod);
    HAL_NAME_CASE(kAudioEndPointDevicePropertyComposition);
    HAL_NAME_CASE(kAudioEndPointDevicePropertyEndPointList);
    HAL_NAME_CASE(kAudioEndPointDevicePropertyIsPrivate);
    HAL_NAME_CASE(kAudioLevelControlPropertyConvertDecibelsToScalar);
    HAL_NAME_CASE(kAudioLevelControlPropertyConvertScalarToDecibels);
    HAL_NAME_CASE(kAudioLevelControlPropertyDecibelRange);
    HAL_NAME_CASE(kAudioLevelControlPropertyDecibelValue);
    HAL_NAME_CASE(kAudioLevelControlPropertyScalarValue);
    HAL_NAME_CASE(kAudioObjectPropertyBaseClass);
    HAL_NAME_CASE(kAudioObjectPropertyClass);
    HAL_NAME_CASE(kAudioObjectPropertyControlList);
    HAL_NAME_CASE(kAudioObjectPropertyCustomPropertyInfoList);
    HAL_NAME_CASE(kAudioObjectPropertyFirmwareVersion);
    HAL_NAME_CASE(kAudioObjectPropertyIdentify);
    HAL_NAME_CASE(kAudioObjectPropertyManufacturer);
    HAL_NAME_CASE(kAudioObjectPropertyModelName);
    HAL_NAME_CASE(kAudioObjectPropertyName);
    HAL_NAME_CASE(kAudioObjectPropertyOwnedObjects);
    HAL_NAME_CASE(kAudioObjectPropertyOwner);
    HAL_NAME_CASE(kAudioObjectPropertySelectorWildcard);
    HAL_NAME_CASE(kAudioObjectPropertySerialNumber);
    HAL_NAME_CASE(kAudioPlugInPropertyBoxList);
    HAL_NAME_CASE(kAudioPlugInPropertyBundleID);
    HAL_NAME_CASE(kAudioPlugInPropertyClockDeviceList);
    HAL_NAME_CASE(kAudioPlugInPropertyDeviceList);
    HAL_NAME_CASE(kAudioPlugInPropertyResourceBundle);
    HAL_NAME_CASE(kAudioPlugInPropertyTranslateUIDToBox);
    HAL_NAME_CASE(kAudioPlugInPropertyTranslateUIDToClockDevice);
    HAL_NAME_CASE(kAudioPlugInPropertyTranslateUIDToDevice);
    HAL_NAME_CASE(kAudioSelectorControlPropertyAvailableItems);
    HAL_NAME_CASE(kAudioSelectorControlPropertyCurrentItem);
    HAL_NAME_CASE(kAudioSelectorControlPropertyItemKind);
    HAL_NAME_CASE(kAudioSelectorControlPropertyItemName);
    HAL_NAME_CASE(kAudioSliderControlPropertyRange);
    HAL_NAME_CASE(kAudioSliderControlPropertyValue);
    HAL_NAME_CASE(kAudioStereoPanControlPropertyPanningChannels);
    HAL_NAME_CASE(kAudioStereoPanControlPropertyValue);
    HAL_NAME_CASE(kAudioStreamPropertyAvailablePhysicalFormats);
    HAL_NAME_CASE(kAudioStreamPropertyAvailableVirtualFormats);
    HAL_NAME_CASE(kAudioStreamPropertyDirection);
    HAL_NAME_CASE(kAudioStreamPropertyIsActive);
    HAL_NAME_CASE(kAudioStreamPropertyStartingChannel);
    HAL_NAME_CASE(kAudioStreamPropertyTerminalType);
    HAL_NAME_CASE(kAudioStreamPropertyVirtualFormat);
    HAL_NAME_CASE(kAudioTransportManagerPropertyEndPointList);
    HAL_NAME_CASE(kAudioTransportManagerPropertyTranslateUIDToEndPoint);
    default:
        return nullptr;
    }
}

const char* FindPropertyScopeName(UInt32 scope) {
    switch (scope) {
    HAL_NAME_CASE(kAudioObjectPropertyScopeGlobal);
    HAL_NAME_CASE(kAudioObjectPropertyScopeInput);
    HAL_NAME_CASE(kAudioObjectPropertyScopeOutput);
    HAL_NAME_CASE(kAudioObjectPropertyScopePlayThrough);
    HAL_NAME_CASE(kAudioObjectPropertyScopeWildcard);
    default:
        return nullptr;
    }
}

const char* FindOperationIDName(UInt32 operationID) {
    switch (operationID) {
    HAL_NAME_CASE(kAudioServerPlugInIOOperationThread);
    HAL_NAME_CASE(kAudioServerPlugInIOOperationCycle);
    HAL_NAME_CASE(kAudioServerPlugInIOOperationReadInput);
    HAL_NAME_CASE(kAudioServerPlugInIOOperationConvertInput);
    HAL_NAME_CASE(kAudioServerPlugInIOOperationProcessInput);
    HAL_NAME_CASE(kAudioServerPlugInIOOperationProcessOutput);
    HAL_NAME_CASE(kAudioServerPlugInIOOperationMixOutput);
    HAL_NAME_CASE(kAudioServerPlugInIOOperationProcessMix);
    HAL_NAME_CASE(kAudioServerPlugInIOOperationConvertMix);
    HAL_NAME_CASE(kAudioServerPlugInIOOperationWriteMix);
    default:
        return nullptr;
    }
}

const char* FindStatusName(OSStatus status) {
    switch (status) {
    case 0:
        return "OK";
    HAL_NAME_CASE(kAudioDevicePermissionsError);
    HAL_NAME_CASE(kAudioDeviceUnsupportedFormatError);
    HAL_NAME_CASE(kAudioHardwareBadDeviceError);
    HAL_NAME_CASE(kAudioHardwareBadObjectError);
    HAL_NAME_CASE(kAudioHardwareBadPropertySizeError);
    HAL_NAME_CASE(kAudioHardwareBadStreamError);
    HAL_NAME_CASE(kAudioHardwareIllegalOperationError);
    HAL_NAME_CASE(kAudioHardwareNotReadyError);
    HAL_NAME_CASE(kAudioHardwareNotRunningError);
    HAL_NAME_CASE(kAudioHardwareUnknownPropertyError);
    HAL_NAME_CASE(kAudioHardwareUnspecifiedError);
    HAL_NAME_CASE(kAudioHardwareUnsupportedOperationError);
    HAL_NAME_CASE(kAudio_BadFilePathError);
    default:
        return nullptr;
    }
}

const char* FindFormatIDName(UInt32 formatID) {
    switch (formatID) {
    HAL_NAME_CASE(kAudioFormat60958AC3);
    HAL_NAME_CASE(kAudioFormatAC3);
    HAL_NAME_CASE(kAudioFormatAES3);
    HAL_NAME_CASE(kAudioFormatALaw);
    HAL_NAME_CASE(kAudioFormatAMR);
    HAL_NAME_CASE(kAudioFormatAMR_WB);
    HAL_NAME_CASE(kAudioFormatAPAC);
    HAL_NAME_CASE(kAudioFormatAppleIMA4);
    HAL_NAME_CASE(kAudioFormatAppleLossless);
    HAL_NAME_CASE(kAudioFormatAudible);
    HAL_NAME_CASE(kAudioFormatDVIIntelIMA);
    HAL_NAME_CASE(kAudioFormatEnhancedAC3);
    HAL_NAME_CASE(kAudioFormatFLAC);
    HAL_NAME_CASE(kAudioFormatLinearPCM);
    HAL_NAME_CASE(kAudioFormatMACE3);
    HAL_NAME_CASE(kAudioFormatMACE6);
    HAL_NAME_CASE(kAudioFormatMIDIStream);
    HAL_NAME_CASE(kAudioFormatMPEG4AAC);
    HAL_NAME_CASE(kAudioFormatMPEG4AAC_ELD);
    HAL_NAME_CASE(kAudioFormatMPEG4AAC_ELD_SBR);
    HAL_NAME_CASE(kAudioFormatMPEG4AAC_ELD_V2);
    HAL_NAME_CASE(kAudioFormatMPEG4AAC_HE);
    HAL_NAME_CASE(kAudioFormatMPEG4AAC_HE_V2);
    HAL_NAME_CASE(kAudioFormatMPEG4AAC_LD);
    HAL_NAME_CASE(kAudioFormatMPEG4AAC_Spatial);
    HAL_NAME_CASE(kAudioFormatMPEG4CELP);
    HAL_NAME_CASE(kAudioFormatMPEG4HVXC);
    HAL_NAME_CASE(kAudioFormatMPEG4TwinVQ);
    HAL_NAME_CASE(kAudioFormatMPEGD_USAC);
    HAL_NAME_CASE(kAudioFormatMPEGLayer1);
    HAL_NAME_CASE(kAudioFormatMPEGLayer2);
    HAL_NAME_CASE(kAudioFormatMPEGLayer3);
    HAL_NAME_CASE(kAudioFormatMicrosoftGSM);
    HAL_NAME_CASE(kAudioFormatOpus);
    HAL_NAME_CASE(kAudioFormatParameterValueStream);
    HAL_NAME_CASE(kAudioFormatQDesign);
    HAL_NAME_CASE(kAudioFormatQDesign2);
    HAL_NAME_CASE(kAudioFormatQUALCOMM);
    HAL_NAME_CASE(kAudioFormatTimeCode);
    HAL_NAME_CASE(kAudioFormatULaw);
    HAL_NAME_CASE(kAudioFormatiLBC);
    default:
        return nullptr;
    }
}

#undef HAL_NAME_CASE

std::string NameOrCode(const char* name, UInt32 code) {
    return name != nullptr ? std::string(name) : CodeToString(code);
}

}  // namespace

std::string CodeToString(UInt32 code) {
    // The four bytes go in as they are, printable or not: the hexadecimal form that follows is
    // the unambiguous one.
    const char characters[] = {static_cast<char>(code >> 24), static_cast<char>(code >> 16),
                               static_cast<char>(code >> 8), static_cast<char>(code)};
    char hexadecimal[16];
    std::snprintf(hexadecimal, sizeof hexadecimal, "%x", static_cast<unsigned>(code));
    std::string text;
    text.reserve(20);
    text += '\'';
    text.append(characters, sizeof characters);
    text += "' (0x";
    text += hexadecimal;
    text += ')';
    return text;
}

std::string ClassIDToString(UInt32 classID) { return NameOrCode(FindClassIDName(classID), classID); }

std::string PropertySelectorToString(UInt32 selector) {
    return NameOrCode(FindPropertySelectorName(selector), selector);
}

std::string PropertyScopeToString(UInt32 scope) { return NameOrCode(FindPropertyScopeName(scope), scope); }

std::string OperationIDToString(UInt32 operationID) {
    return NameOrCode(FindOperationIDName(operationID), operationID);
}

std::string StatusToString(OSStatus status) {
    return NameOrCode(FindStatusName(status), static_cast<UInt32>(status));
}

std::string FormatIDToString(UInt32 formatID) { return NameOrCode(FindFormatIDName(formatID), formatID); }

std::string FormatFlagsToString(UInt32 flags) {
#define HAL_FLAG_NAME(constant) {constant, #constant}
    // The order is part of the output and does not follow the bit values.
    static constexpr struct {
        UInt32 Flag;
        const char* Name;
    } kFlagNames[] = {
        HAL_FLAG_NAME(kAudioFormatFlagIsAlignedHigh),
        HAL_FLAG_NAME(kAudioFormatFlagIsBigEndian),
        HAL_FLAG_NAME(kAudioFormatFlagIsFloat),
        HAL_FLAG_NAME(kAudioFormatFlagIsNonInterleaved),
        HAL_FLAG_NAME(kAudioFormatFlagIsNonMixable),
        HAL_FLAG_NAME(kAudioFormatFlagIsPacked),
        HAL_FLAG_NAME(kAudioFormatFlagIsSignedInteger),
    };
#undef HAL_FLAG_NAME
    std::string text;
    for (const auto& entry : kFlagNames) {
        if ((flags & entry.Flag) == 0) continue;
        if (!text.empty()) text += '|';
        text += entry.Name;
    }
    return text;
}

}  // namespace hal
