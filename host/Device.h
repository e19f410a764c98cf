#pragma once

// pelio::host::Device: one audio device of a plug-in as the server keeps it: its IDs, what the
// server knows of it (its description, read when it appears and again after every change), and
// its IO: the clients that have started IO on it.
//
// The IO engine builds on the IO part: it adds clients and starts and stops IO through these
// calls, and runs one IO thread per running device. Configuration changes run inside
// WithIOStopped, which stops IO for every client that started it, applies the change and starts
// IO again, so no IO runs while a device changes shape.
//
// Thread safety: any thread. The description is copied in and out under its own mutex. The IO
// calls and WithIOStopped are serialised by the device's IO mutex, held while the plug-in is
// called, so a plug-in sees StartIO and StopIO of one device one at a time. Nothing here is for a
// real-time thread.

#include "ObjectMap.h"

#include <CoreAudio/AudioServerPlugIn.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace pelio::host {

class PlugIn;

// The roles of the system object's default devices.
enum class DefaultRole { Output, SystemOutput, Input };

struct DeviceDescription
{
    std::string uid;
    std::string name;
    bool isHidden = false;
    bool isAlive = true;
    bool canBeDefaultOutput = false;       // DeviceCanBeDefaultDevice, output scope
    bool canBeDefaultSystemOutput = false; // DeviceCanBeDefaultSystemDevice, output scope
    bool canBeDefaultInput = false;        // DeviceCanBeDefaultDevice, input scope
    std::vector<AudioObjectID> inputStreams;  // the plug-in's IDs
    std::vector<AudioObjectID> outputStreams; // the plug-in's IDs

    // Whether the device may be the default of the role: alive, not hidden, with streams of the
    // role's direction, and willing.
    bool CanBeDefault(DefaultRole role) const;
};

// Reads the description from the plug-in and gives the device's streams and controls their
// server IDs. False with the reason when the device cannot be published (it has no UID).
bool ReadDeviceDescription(PlugIn& plugIn, AudioObjectID deviceID, ObjectMap& objects,
                           DeviceDescription& description, std::string& whyNot);

class Device
{
public:
    Device(PlugIn& plugIn, AudioObjectID plugInID, AudioObjectID serverID, DeviceDescription description);
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    PlugIn& GetPlugIn() const { return mPlugIn; }
    AudioObjectID GetPlugInID() const { return mPlugInID; }
    AudioObjectID GetServerID() const { return mServerID; }

    DeviceDescription GetDescription() const;
    void SetDescription(DeviceDescription description);

    OSStatus AddClient(const AudioServerPlugInClientInfo& client);
    OSStatus RemoveClient(const AudioServerPlugInClientInfo& client);
    // The client is remembered as running when the plug-in accepts, and forgotten on StopIO.
    OSStatus StartIO(UInt32 clientID);
    OSStatus StopIO(UInt32 clientID);
    bool IsRunning() const;

    // StopIO for every running client, then `change`, then StartIO for each again, in the same
    // order, all under the IO mutex. A client whose restart the plug-in refuses is forgotten.
    void WithIOStopped(const std::function<void()>& change);

private:
    PlugIn& mPlugIn;
    const AudioObjectID mPlugInID;
    const AudioObjectID mServerID;

    mutable std::mutex mDescriptionMutex;
    DeviceDescription mDescription;

    mutable std::mutex mIOMutex;
    std::vector<UInt32> mRunningClients;
};

} // namespace pelio::host
