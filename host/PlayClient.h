#pragma once

// pelio::host::PlayClient: an application's side of the play requests (AudioServer/Protocol.h):
// a connection of its own to the server, on which it starts playing on a device, sends its frames
// and stops. Closing the connection (Close, the destructor, or the end of the process) stops
// whatever still plays.
//
// Every call waits for the server's answer; Play also while the application's ring on the server
// is full, which paces a sender that has its frames faster than the device plays them. A call
// that gets no answer within 30 seconds, or on a connection that broke, answers
// kAudioHardwareNotRunningError and closes the connection. One thread at a time.

#include <AudioServer/Protocol.h>

#include <cstddef>
#include <string>

namespace pelio::host {

class PlayClient
{
public:
    PlayClient() = default;
    ~PlayClient();
    PlayClient(const PlayClient&) = delete;
    PlayClient& operator=(const PlayClient&) = delete;

    // kAudioHardwareNotRunningError when no server answers at `socketPath`.
    OSStatus Connect(const std::string& socketPath);
    void Close();

    // On success `response` carries the device's ID and the client ID the server gave.
    OSStatus Start(AudioObjectID deviceID, const std::string& bundleID, audioserver::PlayResponse& response);
    // Interleaved stereo frames, as many as there are (sent in messages of at most
    // kMaxFramesPerMessage).
    OSStatus Play(const Float32* samples, std::size_t frames);
    // Returns once the device has played every frame sent; `response` carries the figures.
    OSStatus Stop(audioserver::PlayResponse& response);

private:
    OSStatus Exchange(const audioserver::PlayRequest& request, audioserver::PlayResponse& response);

    int mSocket = -1;
};

} // namespace pelio::host
