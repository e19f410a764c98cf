#include "Server.h"

#include "Log.h"
#include "PropertyForwarder.h"

#include <CoreAudio/AudioHardware.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

namespace pelio::host {

namespace {

constexpr AudioObjectPropertyAddress kDeviceListAddress{kAudioPlugInPropertyDeviceList, kAudioObjectPropertyScopeGlobal,
                                                        kAudioObjectPropertyElementMain};

bool ChangesDeviceList(const AudioObjectPropertyAddress& address)
{
    return address.mSelector == kAudioPlugInPropertyDeviceList || address.mSelector == kAudioObjectPropertyOwnedObjects
        || address.mSelector == kAudioObjectPropertySelectorWildcard;
}

// The *.driver entries of the folder, in name order.
std::vector<std::string> BundlesIn(const std::string& folder, std::string& error)
{
    std::vector<std::string> names;
    std::error_code failure;
    for (const auto& entry : std::filesystem::directory_iterator(folder, failure)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 7 && name.ends_with(".driver")) {
            names.push_back(name);
        }
    }
    if (failure) {
        error = failure.message();
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

Server::Server(ServerOptions options)
    : mOptions(std::move(options))
    , mSettings(mOptions.stateFolder + "/system.plist")
    , mSystemObject(mDevices, mSettings)
    , mSockets([this](const audioserver::PropertyRequest& request, pid_t clientProcessID,
                      audioserver::PropertyResponse& response) { Handle(request, clientProcessID, response); },
               [this](pid_t clientProcessID, int socket) -> std::unique_ptr<PlayHandler> {
                   PlayDevices& devices = *this;
                   return std::make_unique<PlaySession>(devices, clientProcessID, socket);
               })
{
}

Server::~Server()
{
    Stop();
}

bool Server::Start()
{
    std::error_code failure;
    std::filesystem::create_directories(mOptions.stateFolder + "/plugins", failure);
    if (failure) {
        Log("cannot use the state folder %s: %s", mOptions.stateFolder.c_str(), failure.message().c_str());
        return false;
    }
    std::string error;
    if (!mOptions.cycleLogPath.empty()) {
        mCycleLog = CycleLog::Open(mOptions.cycleLogPath, error);
        if (mCycleLog == nullptr) {
            Log("%s", error.c_str());
            return false;
        }
    }
    if (!mSettings.Load(error)) {
        Log("the server's settings start empty: %s", error.c_str());
    }
    mQueue.RunAndWait([this] { LoadPlugIns(); });
    if (!mSockets.Start(mOptions.socketPath, error)) {
        Log("cannot serve: %s", error.c_str());
        return false;
    }
    mStarted = true;
    Log("serving %zu device(s) on %s", mDevices.GetDevices().size(), mOptions.socketPath.c_str());
    return true;
}

void Server::Stop()
{
    if (mStopped) {
        return;
    }
    mStopped = true;
    mSockets.Stop();
    // Aborts the configuration changes still waiting, on the server's thread.
    mQueue.Stop();
    std::string error;
    for (const auto& plugIn : mPlugIns) {
        plugIn->Detach();
        if (!plugIn->GetStorage().Save(error)) {
            Log("%s: storage not written: %s", plugIn->GetBundle().name.c_str(), error.c_str());
        }
    }
    if (!mSettings.Save(error)) {
        Log("settings not written: %s", error.c_str());
    }
    if (mStarted) {
        Log("stopped");
    }
}

void Server::Handle(const audioserver::PropertyRequest& request, pid_t clientProcessID,
                    audioserver::PropertyResponse& response)
{
    if (request.objectID == kAudioObjectSystemObject) {
        mSystemObject.Handle(request, response);
        return;
    }
    const auto target = mObjects.ToPlugIn(request.objectID);
    if (!target) {
        response.hasProperty = false;
        response.status = kAudioHardwareBadObjectError;
        return;
    }
    ForwardRequest(mObjects, *target, request, clientProcessID, response);
}

std::shared_ptr<Device> Server::FindDevice(AudioObjectID serverID) const
{
    return mDevices.Find(serverID);
}

std::shared_ptr<Device> Server::FindOutputDevice(AudioObjectID deviceID)
{
    const AudioObjectID chosen =
        deviceID == kAudioObjectUnknown ? mSystemObject.GetDefaultDevice(DefaultRole::Output) : deviceID;
    auto device = mDevices.Find(chosen);
    if (device == nullptr || device->GetDescription().outputStreams.empty()) {
        return nullptr;
    }
    return device;
}

UInt32 Server::NewClientID()
{
    return mNextClientID.fetch_add(1, std::memory_order_relaxed);
}

bool Server::RunOnServerThread(std::function<void()> task)
{
    return mQueue.RunAndWait(std::move(task));
}

// ---- Host interface -------------------------------------------------------------------------------

OSStatus Server::PropertiesChanged(PlugIn& plugIn, AudioObjectID objectID, UInt32 addressCount,
                                   const AudioObjectPropertyAddress* addresses)
{
    if (addressCount > 0 && addresses == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    if (!mObjects.FindServer(plugIn, objectID)) {
        Log("%s: PropertiesChanged refused: the object %u is not valid", plugIn.GetBundle().name.c_str(), objectID);
        return kAudioHardwareBadObjectError;
    }
    PlugIn* changed = &plugIn;
    if (objectID == kAudioObjectPlugInObject) {
        if (std::any_of(addresses, addresses + addressCount, ChangesDeviceList)) {
            mQueue.Post({[this, changed] { ReadDevices(*changed); }, {}});
        }
    } else if (const auto device = mDevices.Find(plugIn, objectID)) {
        mQueue.Post({[this, device] { ReadDevice(*device); }, {}});
    }
    return kAudioHardwareNoError;
}

OSStatus Server::RequestDeviceConfigurationChange(PlugIn& plugIn, AudioObjectID deviceID, UInt64 action, void* info)
{
    PlugIn* requester = &plugIn;
    const bool posted =
        mQueue.Post({[this, requester, deviceID, action, info] {
                         PerformConfigurationChange(*requester, deviceID, action, info);
                     },
                     [requester, deviceID, action, info] {
                         requester->AbortDeviceConfigurationChange(deviceID, action, info);
                     }});
    return posted ? kAudioHardwareNoError : kAudioHardwareNotRunningError;
}

// ---- On the server's thread ---------------------------------------------------------------------

void Server::LoadPlugIns()
{
    std::string error;
    const std::vector<std::string> names = BundlesIn(mOptions.plugInFolder, error);
    if (!error.empty()) {
        Log("no plug-ins: cannot read the plug-in folder %s: %s", mOptions.plugInFolder.c_str(), error.c_str());
    }
    for (const std::string& name : names) {
        const std::string path = mOptions.plugInFolder + "/" + name;
        std::string whyNot;
        BundleInfo bundle;
        if (!std::filesystem::is_directory(path)) {
            Log("skipped %s: it is not a bundle folder", name.c_str());
            continue;
        }
        if (!ReadBundleInfo(path, bundle, whyNot)) {
            Log("skipped %s: %s", name.c_str(), whyNot.c_str());
            continue;
        }
        const bool taken = std::any_of(mPlugIns.begin(), mPlugIns.end(), [&](const auto& loaded) {
            return loaded->GetBundle().identifier == bundle.identifier;
        });
        if (taken) {
            Log("skipped %s: a plug-in with the identifier %s is already loaded", name.c_str(),
                bundle.identifier.c_str());
            continue;
        }
        const std::string storagePath = mOptions.stateFolder + "/plugins/" + bundle.identifier + ".plist";
        const auto plugIn = PlugIn::Load(bundle, storagePath, *this, whyNot);
        if (plugIn == nullptr) {
            Log("skipped %s: %s", name.c_str(), whyNot.c_str());
            continue;
        }
        // Known before Initialize, so that the plug-in may already notify about its own object.
        const AudioObjectID plugInID = mObjects.ToServer(*plugIn, kAudioObjectPlugInObject);
        mPlugIns.push_back(plugIn);
        if (!plugIn->Initialize(whyNot)) {
            Log("skipped %s: %s", name.c_str(), whyNot.c_str());
            plugIn->Detach();
            mPlugIns.pop_back();
            continue;
        }
        mSystemObject.AddPlugIn(plugInID, bundle.identifier);
        Log("loaded %s (%s)", name.c_str(), bundle.identifier.c_str());
        ReadDevices(*plugIn);
    }
}

void Server::ReadDevices(PlugIn& plugIn)
{
    const char* name = plugIn.GetBundle().name.c_str();
    std::vector<AudioObjectID> deviceIDs;
    if (!plugIn.ReadObjectIDs(kAudioObjectPlugInObject, kDeviceListAddress, deviceIDs)) {
        // Nothing is known to have changed: the devices published stay as they are.
        Log("%s: its device list cannot be read", name);
        return;
    }
    std::vector<std::shared_ptr<Device>> devices;
    for (const AudioObjectID deviceID : deviceIDs) {
        DeviceDescription description;
        std::string whyNot;
        const AudioObjectID serverID = mObjects.ToServer(plugIn, deviceID);
        if (!ReadDeviceDescription(plugIn, deviceID, mObjects, description, whyNot)) {
            Log("%s: device %u is not published: %s", name, deviceID, whyNot.c_str());
            continue;
        }
        auto device = mDevices.Find(plugIn, deviceID);
        if (device != nullptr) {
            device->SetDescription(std::move(description));
        } else {
            Log("device %u: %s (%s)%s", serverID, description.name.c_str(), description.uid.c_str(),
                description.isHidden ? ", hidden" : "");
            device = std::make_shared<Device>(plugIn, deviceID, serverID, std::move(description),
                                              mOptions.ioBufferFrames, mCycleLog.get());
        }
        devices.push_back(std::move(device));
    }
    for (const auto& published : mDevices.GetDevices()) {
        if (&published->GetPlugIn() == &plugIn
            && std::find(devices.begin(), devices.end(), published) == devices.end()) {
            Log("device %u is gone", published->GetServerID());
        }
    }
    mDevices.ReplacePlugInDevices(plugIn, OrderOf(plugIn), std::move(devices));
}

void Server::ReadDevice(Device& device)
{
    DeviceDescription description;
    std::string whyNot;
    if (ReadDeviceDescription(device.GetPlugIn(), device.GetPlugInID(), mObjects, description, whyNot)) {
        device.SetDescription(std::move(description));
    } else {
        Log("device %u cannot be read again: %s", device.GetServerID(), whyNot.c_str());
    }
}

void Server::PerformConfigurationChange(PlugIn& plugIn, AudioObjectID deviceID, UInt64 action, void* info)
{
    const auto device = mDevices.Find(plugIn, deviceID);
    if (device == nullptr) {
        Log("%s: configuration change %llu aborted: device %u is not published", plugIn.GetBundle().name.c_str(),
            static_cast<unsigned long long>(action), deviceID);
        plugIn.AbortDeviceConfigurationChange(deviceID, action, info);
        return;
    }
    device->WithIOStopped([&] {
        if (const OSStatus status = plugIn.PerformDeviceConfigurationChange(deviceID, action, info)) {
            Log("device %u: configuration change %llu failed with status %s", device->GetServerID(),
                static_cast<unsigned long long>(action), StatusText(status).c_str());
        }
        ReadDevice(*device);
    });
}

std::size_t Server::OrderOf(const PlugIn& plugIn) const
{
    const auto position = std::find_if(mPlugIns.begin(), mPlugIns.end(),
                                       [&](const auto& loaded) { return loaded.get() == &plugIn; });
    return static_cast<std::size_t>(position - mPlugIns.begin());
}

} // namespace pelio::host
