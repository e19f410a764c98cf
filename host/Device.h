#pragma once

// pelio::host::Device: one audio device of a plug-in as the server keeps it: its IDs, what the
// server knows of it (its description, read when it appears and again after every change), and
// its IO: the players (applications) whose IO runs on it, and the device's IO thread while any
// does.
//
// The IO engine drives a device as the platform's server does: AddClient when an application
// begins to play; StartIO when it has frames to play, which first asks the device which IO
// operations it does for that client, and for the first player reads the IO plan and, once the
// device's StartIO returns, starts the IO thread; StopIO when it is done, which takes the player
// out of the cycles (the last one's IO thread stops first) before the device's StopIO; RemoveClient
// at the end. Configuration changes run inside WithIOStopped, which stops the IO thread, stops IO
// for every player, applies the change, and starts it all again the same way, so no IO runs while
// a device changes shape.
//
// StartIO and StopIO come once for each client, with its ID: the platform leaves open whether its
// server calls them per client or per IO context, and a device that counts its starts (as the
// framework's does) works either way.
//
// Thread safety: any thread. The description is copied in and out under its own mutex. The
// client and IO calls and WithIOStopped are serialised by the device's IO mutex, held while the
// plug-in is called, so a plug-in sees the client and IO calls of one device one at a time.
// Nothing here is for a real-time thread; the IO thread is IOThread's.

#include "ObjectMap.h"

#include <CoreAudio/AudioServerPlugIn.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pelio::host {

class CycleLog;
class IOThread;
class Player;
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
    // `ioBufferFrames`: the nominal size of the device's IO cycles. `cycleLog`, which may be null,
    // gets the device's IO cycles (see CycleLog.h) and must outlive the device.
    Device(PlugIn& plugIn, AudioObjectID plugInID, AudioObjectID serverID, DeviceDescription description,
           UInt32 ioBufferFrames, CycleLog* cycleLog = nullptr);
    // Stops the IO thread, should one still run.
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    PlugIn& GetPlugIn() const { return mPlugIn; }
    AudioObjectID GetPlugInID() const { return mPlugInID; }
    AudioObjectID GetServerID() const { return mServerID; }

    DeviceDescription GetDescription() const;
    void SetDescription(DeviceDescription description);

    UInt32 GetIOBufferFrames() const { return mIOBufferFrames; }

    // AddDeviceClient and RemoveDeviceClient with the player's client record.
    OSStatus AddClient(const Player& player);
    OSStatus RemoveClient(const Player& player);
    // On success the IO thread mixes the player from its next cycle on. On failure (the plan
    // cannot be read, the device refuses, kAudioHardwareIllegalOperationError for a player whose
    // IO already runs or one player too many) nothing has started.
    OSStatus StartIO(const std::shared_ptr<Player>& player);
    // kAudioHardwareIllegalOperationError for a player whose IO does not run.
    OSStatus StopIO(const Player& player);
    bool IsRunning() const;

    // Stops the IO thread and IO for every player, runs `change`, and starts IO for each player
    // again, in the same order. A player whose IO cannot start again is no longer playing (it
    // reads so; see Player::IsPlaying) and is forgotten.
    void WithIOStopped(const std::function<void()>& change);

private:
    // With the IO mutex held.
    OSStatus StartPlayer(const std::shared_ptr<Player>& player);
    void StopIOThread();

    PlugIn& mPlugIn;
    const AudioObjectID mPlugInID;
    const AudioObjectID mServerID;
    const UInt32 mIOBufferFrames;
    CycleLog* const mCycleLog;

    mutable std::mutex mDescriptionMutex;
    DeviceDescription mDescription;

    mutable std::mutex mIOMutex;
    std::vector<std::shared_ptr<Player>> mPlayers;
    std::unique_ptr<IOThread> mIOThread;
};

} // namespace pelio::host
