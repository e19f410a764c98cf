#include "ClientCommands.h"

#include "Log.h"

#include <CoreAudio/AudioHardware.h>
#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace pelio::host {

namespace {

constexpr AudioObjectPropertyAddress GlobalAddress(AudioObjectPropertySelector selector)
{
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

OSStatus ReadObjectID(AudioObjectID objectID, AudioObjectPropertySelector selector, UInt32 qualifierSize,
                      const void* qualifier, AudioObjectID& value)
{
    const AudioObjectPropertyAddress address = GlobalAddress(selector);
    UInt32 size = sizeof(value);
    value = kAudioObjectUnknown;
    return AudioObjectGetPropertyData(objectID, &address, qualifierSize, qualifier, &size, &value);
}

std::string ReadText(AudioObjectID objectID, AudioObjectPropertySelector selector)
{
    const AudioObjectPropertyAddress address = GlobalAddress(selector);
    CFStringRef string = nullptr;
    UInt32 size = sizeof(string);
    if (AudioObjectGetPropertyData(objectID, &address, 0, nullptr, &size, &string) != kAudioHardwareNoError
        || string == nullptr) {
        return "?";
    }
    const CFIndex capacity = CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
    std::string text(static_cast<std::size_t>(capacity), '\0');
    const bool converted = CFStringGetCString(string, text.data(), capacity, kCFStringEncodingUTF8);
    CFRelease(string);
    if (!converted) {
        return "?";
    }
    text.resize(std::strlen(text.c_str()));
    return text;
}

struct Row
{
    AudioObjectID deviceID;
    std::string name;
    std::string uid;
    std::string defaults;
};

} // namespace

int ReportFailure(std::FILE* errors, const std::string& what, OSStatus status)
{
    if (status == kAudioHardwareNotRunningError) {
        std::fprintf(errors, "pelio-host: the audio server is not running\n");
    } else {
        std::fprintf(errors, "pelio-host: %s: status %s\n", what.c_str(), StatusText(status).c_str());
    }
    return 1;
}

OSStatus TranslateDeviceUID(const std::string& uid, AudioObjectID& deviceID)
{
    deviceID = kAudioObjectUnknown;
    const CFStringRef uidString = CFStringCreateWithCString(kCFAllocatorDefault, uid.c_str(), kCFStringEncodingUTF8);
    if (uidString == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    const OSStatus status = ReadObjectID(kAudioObjectSystemObject, kAudioHardwarePropertyTranslateUIDToDevice,
                                         sizeof(uidString), &uidString, deviceID);
    CFRelease(uidString);
    return status;
}

OSStatus ReadDefaultOutputDevice(AudioObjectID& deviceID)
{
    return ReadObjectID(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, 0, nullptr, deviceID);
}

OSStatus ReadNominalSampleRate(AudioObjectID deviceID, Float64& sampleRate)
{
    const AudioObjectPropertyAddress address = GlobalAddress(kAudioDevicePropertyNominalSampleRate);
    UInt32 size = sizeof(sampleRate);
    return AudioObjectGetPropertyData(deviceID, &address, 0, nullptr, &size, &sampleRate);
}

std::string ReadName(AudioObjectID objectID)
{
    return ReadText(objectID, kAudioObjectPropertyName);
}

int ListDevices(std::FILE* out, std::FILE* errors)
{
    const AudioObjectPropertyAddress devicesAddress = GlobalAddress(kAudioHardwarePropertyDevices);
    UInt32 size = 0;
    OSStatus status = AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devicesAddress, 0, nullptr, &size);
    if (status != kAudioHardwareNoError) {
        return ReportFailure(errors, "cannot read the device list", status);
    }
    std::vector<AudioObjectID> deviceIDs(size / sizeof(AudioObjectID));
    size = static_cast<UInt32>(deviceIDs.size() * sizeof(AudioObjectID));
    status = AudioObjectGetPropertyData(kAudioObjectSystemObject, &devicesAddress, 0, nullptr, &size, deviceIDs.data());
    if (status != kAudioHardwareNoError) {
        return ReportFailure(errors, "cannot read the device list", status);
    }
    deviceIDs.resize(size / sizeof(AudioObjectID));

    AudioObjectID defaultOutput = kAudioObjectUnknown;
    AudioObjectID defaultSystemOutput = kAudioObjectUnknown;
    AudioObjectID defaultInput = kAudioObjectUnknown;
    ReadDefaultOutputDevice(defaultOutput);
    ReadObjectID(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultSystemOutputDevice, 0, nullptr,
                 defaultSystemOutput);
    ReadObjectID(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice, 0, nullptr, defaultInput);

    std::vector<Row> rows;
    for (const AudioObjectID deviceID : deviceIDs) {
        Row row{deviceID, ReadName(deviceID),
                ReadText(deviceID, kAudioDevicePropertyDeviceUID), ""};
        const auto mark = [&](AudioObjectID chosen, const char* role) {
            if (chosen == deviceID) {
                row.defaults += row.defaults.empty() ? role : std::string(", ") + role;
            }
        };
        mark(defaultOutput, "default output");
        mark(defaultSystemOutput, "default system output");
        mark(defaultInput, "default input");
        rows.push_back(std::move(row));
    }
    if (rows.empty()) {
        std::fprintf(out, "no devices\n");
        return 0;
    }
    std::size_t nameWidth = 0;
    std::size_t uidWidth = 0;
    for (const Row& row : rows) {
        nameWidth = std::max(nameWidth, row.name.size());
        uidWidth = std::max(uidWidth, row.uid.size());
    }
    for (const Row& row : rows) {
        std::fprintf(out, "%4u  %-*s  %-*s  %s\n", row.deviceID, static_cast<int>(nameWidth), row.name.c_str(),
                     static_cast<int>(uidWidth), row.uid.c_str(), row.defaults.c_str());
    }
    return 0;
}

int SetDefaultOutputDevice(const std::string& uid, std::FILE* out, std::FILE* errors)
{
    AudioObjectID deviceID = kAudioObjectUnknown;
    const OSStatus translated = TranslateDeviceUID(uid, deviceID);
    if (translated == kAudioHardwareIllegalOperationError) {
        std::fprintf(errors, "pelio-host: the UID is not valid UTF-8\n");
        return 1;
    }
    if (translated != kAudioHardwareNoError) {
        return ReportFailure(errors, "cannot look the UID up", translated);
    }
    if (deviceID == kAudioObjectUnknown) {
        std::fprintf(errors, "pelio-host: no device has the UID %s\n", uid.c_str());
        return 1;
    }
    const AudioObjectPropertyAddress address = GlobalAddress(kAudioHardwarePropertyDefaultOutputDevice);
    const OSStatus status =
        AudioObjectSetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, sizeof(deviceID), &deviceID);
    if (status != kAudioHardwareNoError) {
        return ReportFailure(errors, "cannot make " + uid + " the default output device", status);
    }
    std::fprintf(out, "default output device: %s (%s)\n", ReadName(deviceID).c_str(),
                 uid.c_str());
    return 0;
}

} // namespace pelio::host
