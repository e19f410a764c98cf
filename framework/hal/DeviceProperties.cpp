// hal::Device: the property protocol. One row per property; the answering steps are the ones
// every class shares (PropertyProtocol.h, hal::Object).

#include "hal/Device.h"

#include "hal/PropertyProtocol.h"

#include <array>

namespace hal {

namespace {

using PropertyProtocol::Bytes;
using PropertyProtocol::DescribeElided;
using PropertyProtocol::List;
using PropertyProtocol::Text;
using PropertyProtocol::URL;
using PropertyProtocol::Value;
using enum PropertyProtocol::ScopeRule;

// Every value comes from a virtual getter. The element of the address is never looked at, its
// scope only by HasProperty (the rule in the last column) and by the stream list. The nominal
// sample rate changes when the host performs the change that its setter requests.
constexpr auto kProperties = PropertyProtocol::MakeTable<Device>({
    {kAudioObjectPropertyName,                           "Name",                Text<&Device::GetName>},
    {kAudioObjectPropertyManufacturer,                   "Manufacturer",        Text<&Device::GetManufacturer>},
    {kAudioDevicePropertyDeviceUID,                      "DeviceUID",           Text<&Device::GetDeviceUID>},
    {kAudioDevicePropertyModelUID,                       "ModelUID",            Text<&Device::GetModelUID>},
    {kAudioObjectPropertySerialNumber,                   "SerialNumber",        Text<&Device::GetSerialNumber>},
    {kAudioObjectPropertyFirmwareVersion,                "FirmwareVersion",     Text<&Device::GetFirmwareVersion>},
    {kAudioDevicePropertyIcon,                           "IconURL",             URL<&Device::GetIconURL>},
    {kAudioDevicePropertyConfigurationApplication,       "ConfigurationApplicationBundleID",
     Text<&Device::GetConfigurationApplicationBundleID>},
    {kAudioDevicePropertyTransportType,                  "TransportType",       Value<&Device::GetTransportType>},
    {kAudioDevicePropertyRelatedDevices,                 "RelatedDeviceIDs",    List<&Device::GetRelatedDeviceIDs>},
    {kAudioDevicePropertyClockIsStable,                  "ClockIsStable",       Value<&Device::GetClockIsStable>},
    {kAudioDevicePropertyClockAlgorithm,                 "ClockAlgorithm",      Value<&Device::GetClockAlgorithm>},
    {kAudioDevicePropertyClockDomain,                    "ClockDomain",         Value<&Device::GetClockDomain>},
    {kAudioDevicePropertyLatency,                        "Latency",             Value<&Device::GetLatency>,
     InputOrOutput},
    {kAudioDevicePropertySafetyOffset,                   "SafetyOffset",        Value<&Device::GetSafetyOffset>,
     InputOrOutput},
    {kAudioDevicePropertyZeroTimeStampPeriod,            "ZeroTimeStampPeriod", Value<&Device::GetZeroTimeStampPeriod>},
    {kAudioDevicePropertyNominalSampleRate,              "NominalSampleRate",
     Value<&Device::GetNominalSampleRate, &Device::SetNominalSampleRateAsync>},
    {kAudioDevicePropertyAvailableNominalSampleRates,    "AvailableSampleRates", List<&Device::GetAvailableSampleRates>},
    {kAudioDevicePropertyPreferredChannelsForStereo,     "PreferredChannelsForStereo",
     List<&Device::GetPreferredChannelsForStereo, DescribeElided{}>, InputOrOutput},
    {kAudioDevicePropertyPreferredChannelLayout,         "PreferredChannelLayout",
     Bytes<&Device::GetPreferredChannelLayout>, InputOrOutput},
    {kAudioDevicePropertyDeviceIsRunning,                "IsRunning",           Value<&Device::GetIsRunning>},
    {kAudioObjectPropertyIdentify,                       "IsIdentifying",
     Value<&Device::GetIsIdentifying, &Device::SetIsIdentifying>},
    {kAudioDevicePropertyDeviceIsAlive,                  "IsAlive",             Value<&Device::GetIsAlive>},
    {kAudioDevicePropertyIsHidden,                       "IsHidden",            Value<&Device::GetIsHidden>},
    {kAudioDevicePropertyDeviceCanBeDefaultDevice,       "CanBeDefaultDevice",  Value<&Device::GetCanBeDefaultDevice>,
     InputOrOutput},
    {kAudioDevicePropertyDeviceCanBeDefaultSystemDevice, "CanBeDefaultSystemDevice",
     Value<&Device::GetCanBeDefaultSystemDevice>, InputOrOutput},
    // The streams of the address's scope; the controls of every scope, whatever the address says.
    {kAudioDevicePropertyStreams,                        "StreamIDs",           List<&Device::GetStreamIDs>},
    {kAudioObjectPropertyControlList,                    "ControlIDs",
     List<[](const Device& device) { return device.GetControlIDs(kAudioObjectPropertyScopeGlobal); }>},
});

} // namespace

bool Device::IsBuiltInProperty(AudioObjectPropertySelector selector) const
{
    return kProperties.Find(selector) != nullptr || Object::IsBuiltInProperty(selector);
}

Boolean Device::HasProperty(AudioObjectID inObjectID, pid_t inClientProcessID,
                            const AudioObjectPropertyAddress* inAddress) const
{
    return AnswerHasProperty("Device::HasProperty()", kProperties, inObjectID, inClientProcessID, inAddress,
                             [&] { return Object::HasProperty(inObjectID, inClientProcessID, inAddress); });
}

OSStatus Device::IsPropertySettable(AudioObjectID inObjectID, pid_t inClientProcessID,
                                    const AudioObjectPropertyAddress* inAddress, Boolean* outIsSettable) const
{
    return AnswerIsPropertySettable(
        "Device::IsPropertySettable()", kProperties, inObjectID, inClientProcessID, inAddress, outIsSettable,
        [&] { return Object::IsPropertySettable(inObjectID, inClientProcessID, inAddress, outIsSettable); });
}

OSStatus Device::GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientProcessID,
                                     const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                     const void* inQualifierData, UInt32* outDataSize) const
{
    return AnswerGetPropertyDataSize("Device::GetPropertyDataSize()", kProperties, inObjectID, inClientProcessID,
                                     inAddress, inQualifierDataSize, inQualifierData, outDataSize, [&] {
        return Object::GetPropertyDataSize(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                           inQualifierData, outDataSize);
    });
}

OSStatus Device::GetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                                 const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                 const void* inQualifierData, UInt32 inDataSize, UInt32* outDataSize,
                                 void* outData) const
{
    return AnswerGetPropertyData("Device::GetPropertyData()", kProperties, inObjectID, inClientProcessID, inAddress,
                                 inQualifierDataSize, inQualifierData, inDataSize, outDataSize, outData, [&] {
        return Object::GetPropertyData(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                       inQualifierData, inDataSize, outDataSize, outData);
    });
}

OSStatus Device::SetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                                 const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                 const void* inQualifierData, UInt32 inDataSize, const void* inData)
{
    return AnswerSetPropertyData("Device::SetPropertyData()", kProperties, inObjectID, inClientProcessID, inAddress,
                                 inQualifierDataSize, inQualifierData, inDataSize, inData, [&] {
        return Object::SetPropertyData(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                       inQualifierData, inDataSize, inData);
    });
}

} // namespace hal
