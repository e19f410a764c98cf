#include "Device.h"

#include "IOPlan.h"
#include "IOThread.h"
#include "Log.h"
#include "Player.h"
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

Device::Device(PlugIn& plugIn, AudioObjectID plugInID, AudioObjectID serverID, DeviceDescription description,
               UInt32 ioBufferFrames, CycleLog* cycleLog)
    : mPlugIn(plugIn)
    , mPlugInID(plugInID)
    , mServerID(serverID)
    , mIOBufferFrames(ioBufferFrames)
    , mCycleLog(cycleLog)
    , mDescription(std::move(description))
{
}

Device::~Device()
{
    const std::lock_guard<std::mutex> lock(mIOMutex);
    StopIOThread();
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

OSStatus Device::AddClient(const Player& player)
{
    const std::lock_guard<std::mutex> lock(mIOMutex);
    return player.WithClientInfo(
        [&](const AudioServerPlugInClientInfo& client) { return mPlugIn.AddDeviceClient(mPlugInID, client); });
}

OSStatus Device::RemoveClient(const Player& player)
{
    const std::lock_guard<std::mutex> lock(mIOMutex);
    return player.WithClientInfo(
        [&](const AudioServerPlugInClientInfo& client) { return mPlugIn.RemoveDeviceClient(mPlugInID, client); });
}

OSStatus Device::StartIO(const std::shared_ptr<Player>& player)
{
    const std::lock_guard<std::mutex> lock(mIOMutex);
    if (std::find(mPlayers.begin(), mPlayers.end(), player) != mPlayers.end()) {
        return kAudioHardwareIllegalOperationError;
    }
    return StartPlayer(player);
}

OSStatus Device::StartPlayer(const std::shared_ptr<Player>& player)
{
    if (mPlayers.size() >= IOCycle::kMaxPlayers) {
        Log("device %u: client %u cannot play: %zu players already play", mServerID, player->GetClientID(),
            mPlayers.size());
        return kAudioHardwareIllegalOperationError;
    }
    // Asked before the client's StartIO, never during a cycle.
    player->SetOperations(AskIOOperations(mPlugIn, mPlugInID, player->GetClientID()));
    std::unique_ptr<IOThread> thread;
    if (mIOThread == nullptr) {
        IOPlan plan;
        OSStatus status = kAudioHardwareNoError;
        std::string whyNot;
        if (!ReadIOPlan(mPlugIn, mPlugInID, GetDescription(), mIOBufferFrames, player->GetOperations(), plan, status,
                        whyNot)) {
            Log("device %u: IO cannot start: %s", mServerID, whyNot.c_str());
            return status;
        }
        thread = std::make_unique<IOThread>(mServerID, std::move(plan), mCycleLog);
    }
    if (const OSStatus status = mPlugIn.StartIO(mPlugInID, player->GetClientID())) {
        return status;
    }
    if (thread != nullptr) {
        // The clock runs once StartIO has returned; the thread polls it from its first cycle.
        mIOThread = std::move(thread);
        mIOThread->Attach(*player);
        mIOThread->Start();
    } else {
        mIOThread->Attach(*player);
    }
    mPlayers.push_back(player);
    player->SetPlaying(true);
    return kAudioHardwareNoError;
}

OSStatus Device::StopIO(const Player& player)
{
    const std::lock_guard<std::mutex> lock(mIOMutex);
    const auto found = std::find_if(mPlayers.begin(), mPlayers.end(),
                                    [&](const std::shared_ptr<Player>& playing) { return playing.get() == &player; });
    if (found == mPlayers.end()) {
        return kAudioHardwareIllegalOperationError;
    }
    if (mPlayers.size() == 1) {
        StopIOThread();
    } else {
        mIOThread->Detach(**found);
    }
    (*found)->SetPlaying(false);
    mPlayers.erase(found);
    return mPlugIn.StopIO(mPlugInID, player.GetClientID());
}

bool Device::IsRunning() const
{
    const std::lock_guard<std::mutex> lock(mIOMutex);
    return !mPlayers.empty();
}

void Device::WithIOStopped(const std::function<void()>& change)
{
    const std::lock_guard<std::mutex> lock(mIOMutex);
    StopIOThread();
    for (const auto& player : mPlayers) {
        if (const OSStatus status = mPlugIn.StopIO(mPlugInID, player->GetClientID())) {
            Log("device %u: StopIO for client %u failed with status %s", mServerID, player->GetClientID(),
                StatusText(status).c_str());
        }
    }
    change();
    std::vector<std::shared_ptr<Player>> players = std::move(mPlayers);
    mPlayers.clear();
    for (const auto& player : players) {
        if (const OSStatus status = StartPlayer(player)) {
            Log("device %u: IO for client %u cannot start again after a configuration change: status %s", mServerID,
                player->GetClientID(), StatusText(status).c_str());
            player->SetPlaying(false);
        }
    }
}

void Device::StopIOThread()
{
    if (mIOThread != nullptr) {
        mIOThread->Stop();
        mIOThread.reset();
    }
}

} // namespace pelio::host
