#include "SystemObject.h"

#include "Log.h"

#include <AudioServer/Text.h>

#include <CoreAudio/AudioHardware.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

namespace pelio::host {

namespace {

using audioserver::PropertyRequest;
using audioserver::PropertyResponse;
using audioserver::Request;
using audioserver::Value;

constexpr AudioObjectPropertySelector kOwnSelectors[] = {
    kAudioObjectPropertyBaseClass,
    kAudioObjectPropertyClass,
    kAudioObjectPropertyOwner,
    kAudioObjectPropertyOwnedObjects,
    kAudioHardwarePropertyDevices,
    kAudioHardwarePropertyDefaultInputDevice,
    kAudioHardwarePropertyDefaultOutputDevice,
    kAudioHardwarePropertyDefaultSystemOutputDevice,
    kAudioHardwarePropertyTranslateUIDToDevice,
    kAudioHardwarePropertyPlugInList,
    kAudioHardwarePropertyTranslateBundleIDToPlugIn,
};

bool IsOwnSelector(AudioObjectPropertySelector selector)
{
    return std::find(std::begin(kOwnSelectors), std::end(kOwnSelectors), selector) != std::end(kOwnSelectors);
}

std::optional<DefaultRole> RoleOf(AudioObjectPropertySelector selector)
{
    switch (selector) {
    case kAudioHardwarePropertyDefaultOutputDevice:
        return DefaultRole::Output;
    case kAudioHardwarePropertyDefaultSystemOutputDevice:
        return DefaultRole::SystemOutput;
    case kAudioHardwarePropertyDefaultInputDevice:
        return DefaultRole::Input;
    default:
        return std::nullopt;
    }
}

const char* SettingsKey(DefaultRole role)
{
    switch (role) {
    case DefaultRole::Output:
        return "DefaultOutputDevice";
    case DefaultRole::SystemOutput:
        return "DefaultSystemOutputDevice";
    case DefaultRole::Input:
        return "DefaultInputDevice";
    }
    return "";
}

// The text of a CFString qualifier; false when the qualifier is anything else.
bool QualifierText(const Value& qualifier, std::string& text)
{
    return qualifier.GetKind() == Value::Kind::Object && qualifier.GetObject() != nullptr
        && audioserver::CopyText(static_cast<CFStringRef>(qualifier.GetObject()), text);
}

} // namespace

SystemObject::SystemObject(const DeviceList& devices, Storage& settings)
    : mDevices(devices)
    , mSettings(settings)
{
}

void SystemObject::AddPlugIn(AudioObjectID serverID, std::string identifier)
{
    const std::lock_guard<std::mutex> lock(mPlugInsMutex);
    mPlugIns.push_back({serverID, std::move(identifier)});
}

std::vector<AudioObjectID> SystemObject::GetPlugInIDs() const
{
    const std::lock_guard<std::mutex> lock(mPlugInsMutex);
    std::vector<AudioObjectID> plugInIDs;
    for (const PlugInEntry& entry : mPlugIns) {
        plugInIDs.push_back(entry.serverID);
    }
    return plugInIDs;
}

AudioObjectID SystemObject::GetDefaultDevice(DefaultRole role) const
{
    const std::string chosen = mSettings.CopyText(SettingsKey(role));
    AudioObjectID first = kAudioObjectUnknown;
    for (const auto& device : mDevices.GetDevices()) {
        const DeviceDescription description = device->GetDescription();
        if (!description.CanBeDefault(role)) {
            continue;
        }
        if (!chosen.empty() && description.uid == chosen) {
            return device->GetServerID();
        }
        if (first == kAudioObjectUnknown) {
            first = device->GetServerID();
        }
    }
    return first;
}

OSStatus SystemObject::SetDefaultDevice(DefaultRole role, AudioObjectID deviceID)
{
    const auto device = mDevices.Find(deviceID);
    if (device == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    const DeviceDescription description = device->GetDescription();
    if (!description.CanBeDefault(role)) {
        return kAudioHardwareIllegalOperationError;
    }
    if (const OSStatus status = mSettings.WriteText(SettingsKey(role), description.uid)) {
        return status;
    }
    std::string error;
    if (!mSettings.Save(error)) {
        Log("the default device choice is not kept: %s", error.c_str());
    }
    return kAudioHardwareNoError;
}

OSStatus SystemObject::Read(const PropertyRequest& request, std::vector<UInt32>& values, bool& isList) const
{
    const AudioObjectPropertySelector selector = request.address.mSelector;
    isList = false;
    values.clear();
    if (const auto role = RoleOf(selector)) {
        values.push_back(GetDefaultDevice(*role));
        return kAudioHardwareNoError;
    }
    switch (selector) {
    case kAudioObjectPropertyBaseClass:
        values.push_back(kAudioObjectClassID);
        return kAudioHardwareNoError;
    case kAudioObjectPropertyClass:
        values.push_back(kAudioSystemObjectClassID);
        return kAudioHardwareNoError;
    case kAudioObjectPropertyOwner:
        values.push_back(kAudioObjectUnknown);
        return kAudioHardwareNoError;
    case kAudioObjectPropertyOwnedObjects:
    case kAudioHardwarePropertyPlugInList:
        isList = true;
        values = GetPlugInIDs();
        return kAudioHardwareNoError;
    case kAudioHardwarePropertyDevices:
        isList = true;
        for (const auto& device : mDevices.GetDevices()) {
            if (!device->GetDescription().isHidden) {
                values.push_back(device->GetServerID());
            }
        }
        return kAudioHardwareNoError;
    case kAudioHardwarePropertyTranslateUIDToDevice: {
        std::string uid;
        if (request.kind == Request::GetPropertyData && !QualifierText(request.qualifier, uid)) {
            return kAudioHardwareBadPropertySizeError;
        }
        AudioObjectID found = kAudioObjectUnknown;
        for (const auto& device : mDevices.GetDevices()) {
            if (found == kAudioObjectUnknown && device->GetDescription().uid == uid) {
                found = device->GetServerID();
            }
        }
        values.push_back(found);
        return kAudioHardwareNoError;
    }
    case kAudioHardwarePropertyTranslateBundleIDToPlugIn: {
        std::string identifier;
        if (request.kind == Request::GetPropertyData && !QualifierText(request.qualifier, identifier)) {
            return kAudioHardwareBadPropertySizeError;
        }
        const std::lock_guard<std::mutex> lock(mPlugInsMutex);
        const auto entry = std::find_if(mPlugIns.begin(), mPlugIns.end(),
                                        [&](const PlugInEntry& candidate) { return candidate.identifier == identifier; });
        values.push_back(entry != mPlugIns.end() ? entry->serverID : kAudioObjectUnknown);
        return kAudioHardwareNoError;
    }
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

void SystemObject::Handle(const PropertyRequest& request, PropertyResponse& response)
{
    const AudioObjectPropertySelector selector = request.address.mSelector;
    switch (request.kind) {
    case Request::HasProperty:
        response.hasProperty = IsOwnSelector(selector);
        return;
    case Request::GetPropertyDataSize:
    case Request::GetPropertyData: {
        std::vector<UInt32> values;
        bool isList = false;
        response.status = Read(request, values, isList);
        if (response.status != kAudioHardwareNoError) {
            return;
        }
        if (request.kind == Request::GetPropertyDataSize) {
            response.dataSize = static_cast<UInt32>(values.size() * sizeof(UInt32));
            return;
        }
        std::size_t count = values.size();
        if (isList) {
            count = std::min<std::size_t>(count, request.dataSize / sizeof(UInt32));
        } else if (request.dataSize < sizeof(UInt32)) {
            response.status = kAudioHardwareBadPropertySizeError;
            return;
        }
        response.data = Value::FromBytes(values.data(), count * sizeof(UInt32));
        return;
    }
    case Request::SetPropertyData: {
        const auto role = RoleOf(selector);
        if (!role) {
            response.status =
                IsOwnSelector(selector) ? kAudioHardwareIllegalOperationError : kAudioHardwareUnknownPropertyError;
            return;
        }
        const auto& bytes = request.data.GetBytes();
        if (request.data.GetKind() != Value::Kind::Bytes || bytes.size() != sizeof(AudioObjectID)) {
            response.status = kAudioHardwareBadPropertySizeError;
            return;
        }
        AudioObjectID deviceID = kAudioObjectUnknown;
        std::memcpy(&deviceID, bytes.data(), sizeof(deviceID));
        response.status = SetDefaultDevice(*role, deviceID);
        return;
    }
    }
}

} // namespace pelio::host
