#pragma once

// pelio::host::SocketServer: the Unix-domain socket through which applications reach the server.
//
// Start makes the socket's folder when it is missing (mode 0700) and refuses a folder that is not
// private (not this user's, or writable by others), refuses to take over a socket on which
// another server answers, replaces a stale one, and listens with mode 0600. Connections from
// other users are closed at once. One thread accepts; each connection gets a thread of its own
// (at most kMaxConnections at a time; more are closed at once), which reads a request, hands it
// to the handler and writes the response, until the client closes. A message that is malformed,
// truncated, oversized, of an unknown kind or version, or that stalls half-sent for longer than
// kStallTimeoutMs, closes its own connection and disturbs nothing else.
//
// Property requests go to the handler. The play requests of a connection go to a PlayHandler of
// the connection's own, made by the factory on its first play request (given the peer's process
// ID and the socket, for its waits to watch) and destroyed on the connection's thread when the
// connection ends, whatever ends it: that is how the server learns that an application which
// plays has gone.
//
// Stop closes the listening socket and removes its file, shuts every connection down and joins
// every thread. The handler runs on any number of connection threads at once.

#include <AudioServer/Protocol.h>

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pelio::host {

// What one connection's play requests go to. Handle may wait (for as long as the application's
// audio needs); it runs on the connection's thread.
class PlayHandler
{
public:
    virtual ~PlayHandler() = default;
    virtual void Handle(const audioserver::PlayRequest& request, audioserver::PlayResponse& response) = 0;
};

class SocketServer
{
public:
    static constexpr std::size_t kMaxConnections = 64;
    static constexpr int kStallTimeoutMs = 5000;

    using Handler = std::function<void(const audioserver::PropertyRequest& request, pid_t clientProcessID,
                                       audioserver::PropertyResponse& response)>;

    using PlayHandlerFactory = std::function<std::unique_ptr<PlayHandler>(pid_t clientProcessID, int socket)>;

    SocketServer(Handler handler, PlayHandlerFactory playHandlers);
    ~SocketServer();
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    // False with the reason when it cannot listen at `path`.
    bool Start(const std::string& path, std::string& error);
    void Stop();

private:
    struct Connection
    {
        int socket = -1;
        pid_t processID = 0;
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    void AcceptLoop();
    void Serve(Connection& connection);
    // Joins and closes the connections whose threads have ended.
    void Reap();

    // One request and its response; false when the request is malformed.
    bool Answer(Connection& connection, const audioserver::Header& header, const std::vector<UInt8>& payload,
                std::unique_ptr<PlayHandler>& player, std::vector<UInt8>& message);

    const Handler mHandler;
    const PlayHandlerFactory mPlayHandlers;
    std::string mPath;
    ino_t mSocketInode = 0;
    int mListener = -1;
    int mWakeRead = -1;
    int mWakeWrite = -1;
    std::thread mAcceptThread;

    std::mutex mMutex;
    bool mStopping = false;
    std::list<std::unique_ptr<Connection>> mConnections;
};

} // namespace pelio::host
