#pragma once

// pelio::host::PlaySession: the server's side of one application that plays: the play requests
// of one connection (AudioServer/Protocol.h).
//
// StartPlaying makes the application a client of the device it names, or of the default output
// device (AddDeviceClient, with a client ID of the server's, the process ID the socket reports and
// the bundle ID the application sends). PlayFrames puts frames into the application's ring
// (kRingFrames), waiting while the ring is full. Once the ring holds kStartFrames, or when the
// application stops before that, its IO starts (Device::StartIO): like a player that fills its
// buffer before it starts, so the first cycles have frames to mix. StopPlaying waits until every
// frame sent has been mixed and kCyclesAfterLastFrame further cycles have run, so that the device
// has done what it does with the last frames before its IO stops; then Device::StopIO and
// RemoveDeviceClient. A session that ends without StopPlaying, because the connection closed (the
// application ended, crashed or was killed), stops and removes the client at once: the device
// never keeps running for a client that is gone.
//
// Every wait also watches the connection and gives up when it closes, or when the server stops
// the application's IO (a configuration change after which it could not start again).
//
// Thread safety: one connection thread runs a session, its destructor included.

#include "SocketServer.h"

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

namespace pelio::host {

class Device;
class Player;

// What a session needs of the server.
class PlayDevices
{
public:
    virtual ~PlayDevices() = default;
    // The published device with this ID, or the default output device for kAudioObjectUnknown;
    // null when there is none or it has no output stream.
    virtual std::shared_ptr<Device> FindOutputDevice(AudioObjectID deviceID) = 0;
    // A client ID no other client has had; never kHostClientID.
    virtual UInt32 NewClientID() = 0;
};

class PlaySession final : public PlayHandler
{
public:
    static constexpr std::size_t kRingFrames = 48000;
    static constexpr std::size_t kStartFrames = 9600;
    static constexpr UInt64 kCyclesAfterLastFrame = 2;

    PlaySession(PlayDevices& devices, pid_t processID, int socket);
    ~PlaySession() override;

    void Handle(const audioserver::PlayRequest& request, audioserver::PlayResponse& response) override;

private:
    OSStatus Start(AudioObjectID deviceID, const std::string& bundleID, audioserver::PlayResponse& response);
    OSStatus Play(const std::vector<Float32>& samples);
    OSStatus Stop(audioserver::PlayResponse& response);
    // Starts the player's IO once its ring holds enough frames, or any at all when `now`.
    OSStatus StartIOWhenReady(bool now);
    // StopIO if the IO runs, RemoveDeviceClient, and the session is free to play again.
    void Finish();
    // Waits until `condition` holds (true) or the connection closes (false).
    bool WaitFor(const std::function<bool()>& condition) const;

    PlayDevices& mDevices;
    const pid_t mProcessID;
    const int mSocket;
    std::shared_ptr<Device> mDevice;
    std::shared_ptr<Player> mPlayer;
    bool mIOStarted = false;
    UInt64 mFramesSent = 0;
};

} // namespace pelio::host
