// AudioServer/Connection.h — where the simulated audio server listens, and a client's connection
// to it.
//
// The socket path is $PELIO_HOST_SOCKET when that is set and not empty, otherwise "host.sock" in
// the per-user folder: $XDG_RUNTIME_DIR/pelio when XDG_RUNTIME_DIR is set, else /tmp/pelio-<uid>.
// The server creates the folder (mode 0700) and the socket (mode 0600); clients only connect.
//
// A Connection connects on first use and keeps the socket for later requests; requests on one
// connection are serialised by its mutex, so any thread may use it. A request that finds no
// server answers kAudioHardwareNotRunningError, as the platform does while its server is down. A
// request that fails on a connection kept from before is tried once more on a new one, so a
// restarted server is found again. Blocks on socket IO: never for a real-time thread.
#pragma once

#include <AudioServer/Protocol.h>

#include <mutex>
#include <string>

namespace audioserver {

std::string DefaultSocketFolder();
std::string SocketPath();

// A stream socket connected to the server listening at `path` (close-on-exec), or -1 when none
// answers there. For a client that keeps a connection of its own, as an application that plays.
int ConnectToServer(const std::string& path);

class Connection {
public:
    Connection() = default;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Sends the request and reads its response: 0 when a response of the right kind arrived (its
    // own status is in the response), kAudioHardwareNotRunningError when no server could be
    // reached or the exchange broke off, kAudioHardwareBadPropertySizeError when the request is
    // too large to send.
    OSStatus Exchange(const PropertyRequest& request, PropertyResponse& response);

    // Drops the socket; the next request connects again.
    void Close();

private:
    bool ExchangeOnce(const std::vector<UInt8>& message, Request kind, PropertyResponse& response);

    std::mutex mMutex;
    int mSocket = -1;
};

// The connection that the client calls of this process share. Never destroyed, so that calls
// made while the process exits still find it.
Connection& SharedConnection();

}  // namespace audioserver
