#include "Device.h"

#include "Log.h"
#include "PlugIn.h"

#include <algorithm>
#include <utility>

namespace pelio::host {

namespace {

constexpr AudioObjectPropertyAddress Address(AudioObjectPropertySelector selector,
                                             AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal)
{
    return {selector, scope, kAudioObjectPropertyElementMain};
}

// A flag the device may leave out; absent reads as `absent`.
bool ReadFlag(const PlugIn& plugIn, AudioObjectID deviceID, const AudioObjectPropertyAddress& address, bool absent)
{
    UInt32 value = 0;
    return plugIn.ReadUInt32(deviceID, address, value) ? value != 0 : absent;
}

} // namespace

bool DeviceDescription::CanBeDefault(DefaultRole role) const
{
    if (isHidden || !isAlive) {
        return false;
    }
    switch (role) {
    case DefaultRole::Output:
        return canBeDefaultOutput && !outputStreams.empty();
    case DefaultRole::SystemOutput:
        return canBeDefaultSystemOutput && !outputStreams.empty();
    case DefaultRole::Input:
        return canBeDefaultInput && !inputStreams.empty();
    }
    return false;
}

bool ReadDeviceDescription(PlugIn& plugIn, AudioObjectID deviceID, ObjectMap& objects,
                           DeviceDescription& description, std::string& whyNot)
{
    DeviceDescription read;
    if (!plugIn.ReadText(deviceID, Address(kAudioDevicePropertyDeviceUID), read.uid) || read.uid.empty()) {
        whyNot = "it has no device UID";
        return false;
    }
    plugIn.ReadText(deviceID, Address(kAudioObjectPropertyName), read.name);
    read.isHidden = ReadFlag(plugIn, deviceID, Address(kAudioDevicePropertyIsHidden), false);
    read.isAlive = ReadFlag(plugIn, deviceID, Address(kAudioDevicePropertyDeviceIsAlive), true);
    read.canBeDefaultOutput = ReadFlag(
        plugIn, deviceID, Address(kAudioDevicePropertyDeviceCanBeDefaultDevice, kAudioObjectPropertyScopeOutput), false);
    read.canBeDefaultSystemOutput = ReadFlag(
        plugIn, deviceID,
        Address(kAudioDevicePropertyDeviceCanBeDefaultSystemDevice, kAudioObjectPropertyScopeOutput), false);
    read.canBeDefaultInput = ReadFlag(
        plugIn, deviceID, Address(kAudioDevicePropertyDeviceCanBeDefaultDevice, kAudioObjectPropertyScopeInput), false);
    plugIn.ReadObjectIDs(deviceID, Address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput),
                         read.inputStreams);
    plugIn.ReadObjectIDs(deviceID, Address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput),
                         read.outputStreams);

    // Streams and controls get their server IDs now, so that their notifications are accepted.
    std::vector<AudioObjectID> owned = read.inputStreams;
    owned.insert(owned.end(), read.outputStreams.begin(), read.outputStreams.end());
    std::vector<AudioObjectID> controls;
    plugIn.ReadObjectIDs(deviceID, Address(kAudioObjectPropertyControlList), controls);
    owned.insert(owned.end(), controls.begin(), controls.end());
    for (const AudioObjectID objectID : owned) {
        objects.ToServer(plugIn, objectID);
    }
    description = std::move(read);
    return true;
}

Device::Device(PlugIn& plugIn, AudioObjectID plugInID, AudioObjectID serverID, DeviceDescription description)
    : mPlugIn(plugIn)
    , mPlugInID(plugInID)
    , mServerID(serverID)
    , mDescription(std::move(description))
{
}

DeviceDescription Device::GetDescription() const
{
    const std::lock_guard<std::mutex> lock(mDescriptionMutex);
    return mDescription;
}

void Device::SetDescription(DeviceDescription description)
{
    const std::lock_guard<std::mutex> lock(mDescriptionMutex);
    mDescription = std::move(description);
}

OSStatus Device::AddClient(const AudioServerPlugInClientInfo& client)
{
    const std::lock_guard<std::mutex> lock(mIOMutex);
    return mPlugIn.AddDeviceClient(mPlugInID, client);
}

OSStatus Device::RemoveClient(const AudioServerPlugInClientInfo& client)
{
    const std::lock_guard<std::mutex> lock(mIOMutex);
    return mPlugIn.RemoveDeviceClient(mPlugInID, client);
}

OSStatus Device::StartIO(UInt32 clientID)
{
    const std::lock_guard<std::mutex> lock(mIOMutex);
    const OSStatus status = mPlugIn.StartIO(mPlugInID, clientID);
    if (status == kAudioHardwareNoError) {
        mRunningClients.push_back(clientID);
    }
    return status;
}

OSStatus Device::StopIO(UInt32 clientID)
{
    const std::lock_guard<std::mutex> lock(mIOMutex);
    const OSStatus status = mPlugIn.StopIO(mPlugInID, clientID);
    const auto running = std::find(mRunningClients.begin(), mRunningClients.end(), clientID);
    if (running != mRunningClients.end()) {
        mRunningClients.erase(running);
    }
    return status;
}

bool Device::IsRunning() const
{
    const std::lock_guard<std::mutex> lock(mIOMutex);
    return !mRunningClients.empty();
}

void Device::WithIOStopped(const std::function<void()>& change)
{
    const std::lock_guard<std::mutex> lock(mIOMutex);
    for (const UInt32 clientID : mRunningClients) {
        if (const OSStatus status = mPlugIn.StopIO(mPlugInID, clientID)) {
            Log("device %u: StopIO for client %u failed with status %s", mServerID, clientID,
                StatusText(status).c_str());
        }
    }
    change();
    std::vector<UInt32> restarted;
    for (const UInt32 clientID : mRunningClients) {
        if (const OSStatus status = mPlugIn.StartIO(mPlugInID, clientID)) {
            Log("device %u: StartIO for client %u failed with status %s after a configuration change", mServerID,
                clientID, StatusText(status).c_str());
        } else {
            restarted.push_back(clientID);
        }
    }
    mRunningClients = std::move(restarted);
}

} // namespace pelio::host
