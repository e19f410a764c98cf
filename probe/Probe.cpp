#include "Probe.h"

namespace pelio::probe {

namespace {

constexpr AudioObjectPropertyAddress SystemProperty(AudioObjectPropertySelector selector)
{
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

const char* JsonBoolean(bool value)
{
    return value ? "true" : "false";
}

} // namespace

DeviceStatus QueryDeviceStatus(PropertyDataQuery query)
{
    // The driver gives the Pelio device this UID; the probe shares no code with it, only the text.
    // The qualifier is the string reference itself, passed by its address.
    CFStringRef deviceUID = CFSTR("local.pelio.audio.iphone.output");

    const AudioObjectPropertyAddress translateAddress =
        SystemProperty(kAudioHardwarePropertyTranslateUIDToDevice);
    AudioObjectID deviceID = kAudioObjectUnknown;
    UInt32 deviceIDSize = sizeof(deviceID);
    const OSStatus translateStatus = query(kAudioObjectSystemObject,
                                           &translateAddress,
                                           sizeof(deviceUID),
                                           &deviceUID,
                                           &deviceIDSize,
                                           &deviceID);

    // Asked even when the translation failed; its status is not needed, since a failed query
    // leaves the ID at kAudioObjectUnknown.
    const AudioObjectPropertyAddress defaultOutputAddress =
        SystemProperty(kAudioHardwarePropertyDefaultOutputDevice);
    AudioObjectID defaultDeviceID = kAudioObjectUnknown;
    UInt32 defaultDeviceIDSize = sizeof(defaultDeviceID);
    query(kAudioObjectSystemObject,
          &defaultOutputAddress,
          0,
          nullptr,
          &defaultDeviceIDSize,
          &defaultDeviceID);

    DeviceStatus status;
    status.available = translateStatus == kAudioHardwareNoError && deviceID != kAudioObjectUnknown;
    status.defaultOutput = deviceID != kAudioObjectUnknown && defaultDeviceID == deviceID;
    return status;
}

void PrintDeviceStatus(const DeviceStatus& status, std::FILE* out)
{
    std::fprintf(out,
                 "{\"available\":%s,\"defaultOutput\":%s}\n",
                 JsonBoolean(status.available),
                 JsonBoolean(status.defaultOutput));
}

} // namespace pelio::probe
