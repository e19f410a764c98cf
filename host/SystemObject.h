#pragma once

// pelio::host::SystemObject: the object that every client can address, kAudioObjectSystemObject.
//
// It answers BaseClass ('aobj'), Class ('asys'), Owner (none), OwnedObjects and PlugInList (the
// plug-ins), Devices (every device that is not hidden), TranslateUIDToDevice (hidden devices
// too; a UID that no device has gives kAudioObjectUnknown and status 0),
// TranslateBundleIDToPlugIn, and DefaultOutputDevice, DefaultSystemOutputDevice and
// DefaultInputDevice, the three settable properties. Lists are cut to whole elements when the
// buffer is short; a single value needs 4 bytes.
//
// A default is the device the user chose for the role while that device is present and can take
// the role, otherwise the first present device that can (DeviceDescription::CanBeDefault),
// otherwise kAudioObjectUnknown. The choice is kept by UID in the settings storage, written at
// once, so it holds across restarts and comes back with its device.
//
// Thread safety: any thread, any number at once. Not for a real-time thread.

#include "DeviceList.h"
#include "Storage.h"

#include <AudioServer/Protocol.h>

#include <mutex>
#include <string>
#include <vector>

namespace pelio::host {

class SystemObject
{
public:
    SystemObject(const DeviceList& devices, Storage& settings);

    // Adds a loaded plug-in to the plug-in list.
    void AddPlugIn(AudioObjectID serverID, std::string identifier);

    void Handle(const audioserver::PropertyRequest& request, audioserver::PropertyResponse& response);

    AudioObjectID GetDefaultDevice(DefaultRole role) const;
    // kAudioHardwareBadObjectError for an ID that names no present device,
    // kAudioHardwareIllegalOperationError for a device that cannot take the role.
    OSStatus SetDefaultDevice(DefaultRole role, AudioObjectID deviceID);

private:
    struct PlugInEntry
    {
        AudioObjectID serverID;
        std::string identifier;
    };

    // The value or list of a readable property, or its failure status.
    OSStatus Read(const audioserver::PropertyRequest& request, std::vector<UInt32>& values, bool& isList) const;
    std::vector<AudioObjectID> GetPlugInIDs() const;

    const DeviceList& mDevices;
    Storage& mSettings;
    mutable std::mutex mPlugInsMutex;
    std::vector<PlugInEntry> mPlugIns;
};

} // namespace pelio::host
