#pragma once

// pelio::host::Server: the simulated audio server, what `pelio-host serve` runs.
//
// Start loads every *.driver bundle of the plug-in folder (in name order; each bundle that cannot
// be loaded is skipped with one line saying why), publishes their devices, and listens on the
// socket; Stop ends serving, aborts the configuration changes still waiting, and writes every
// plug-in's storage and the server's settings to the state folder:
//     <state>/plugins/<bundle identifier>.plist   one per plug-in, read before its Initialize
//     <state>/system.plist                        the chosen default devices
//
// Plug-ins call back through their host interfaces on any thread. PropertiesChanged of an object
// the server never saw is refused with kAudioHardwareBadObjectError, as the platform refuses it;
// otherwise what changed is read again later on the server's thread: the device list after a
// change of the plug-in object (a list that cannot be read leaves the published devices as they
// are), the device's description after a change of a device.
// RequestDeviceConfigurationChange returns at once; the change is performed later on the
// server's thread with IO stopped around it, then the device is read again. A change for a device
// the server does not publish by then (a request made during Initialize is taken, and its device
// is known once the plug-in is read), or one still waiting when the server stops, is aborted.
//
// Applications that play reach it over the same socket, each on a connection of its own, served by
// a PlaySession; client IDs count from 1. Stop ends them before the plug-ins' storage is written,
// so no IO runs by then.
//
// Thread safety: Start and Stop from one controlling thread; everything else from any thread.

#include "CycleLog.h"
#include "DeviceList.h"
#include "ObjectMap.h"
#include "PlaySession.h"
#include "PlugIn.h"
#include "SocketServer.h"
#include "Storage.h"
#include "SystemObject.h"
#include "WorkQueue.h"

#include <AudioServer/Protocol.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pelio::host {

struct ServerOptions
{
    std::string plugInFolder;
    std::string stateFolder;
    std::string socketPath;
    UInt32 ioBufferFrames = 512; // the nominal size of every device's IO cycles
    std::string cycleLogPath;    // where to log every IO cycle (see CycleLog.h); none when empty
};

class Server final : private PlugInHost, private PlayDevices
{
public:
    explicit Server(ServerOptions options);
    // Stops.
    ~Server() override;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // False, with a line logged, when the state folder or the socket cannot be used. Plug-ins
    // that cannot be loaded do not make it fail.
    bool Start();
    void Stop();

    // Answers one client request: what the socket threads call.
    void Handle(const audioserver::PropertyRequest& request, pid_t clientProcessID,
                audioserver::PropertyResponse& response);

    // The published device with this server ID, or null; for the IO engine and tests.
    std::shared_ptr<Device> FindDevice(AudioObjectID serverID) const;
    // Runs `task` on the server's thread once everything posted before it has run.
    bool RunOnServerThread(std::function<void()> task);

private:
    OSStatus PropertiesChanged(PlugIn& plugIn, AudioObjectID objectID, UInt32 addressCount,
                               const AudioObjectPropertyAddress* addresses) override;
    OSStatus RequestDeviceConfigurationChange(PlugIn& plugIn, AudioObjectID deviceID, UInt64 action,
                                              void* info) override;
    std::shared_ptr<Device> FindOutputDevice(AudioObjectID deviceID) override;
    UInt32 NewClientID() override;

    // On the server's thread.
    void LoadPlugIns();
    void ReadDevices(PlugIn& plugIn);
    void ReadDevice(Device& device);
    void PerformConfigurationChange(PlugIn& plugIn, AudioObjectID deviceID, UInt64 action, void* info);
    std::size_t OrderOf(const PlugIn& plugIn) const;

    const ServerOptions mOptions;
    // Before the devices, which write to it until they are gone.
    std::unique_ptr<CycleLog> mCycleLog;
    ObjectMap mObjects;
    DeviceList mDevices;
    Storage mSettings;
    SystemObject mSystemObject;
    // Written only on the server's thread while loading, before the socket opens.
    std::vector<std::shared_ptr<PlugIn>> mPlugIns;
    WorkQueue mQueue;
    std::atomic<UInt32> mNextClientID{1};
    SocketServer mSockets;
    bool mStarted = false;
    bool mStopped = false;
};

} // namespace pelio::host
