#include "SocketServer.h"

#include "Log.h"

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace pelio::host {

namespace {

bool MakeAddress(const std::string& path, sockaddr_un& address)
{
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::string Reason(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// The folder must exist (made here when missing) and be this user's alone.
bool PreparePrivateFolder(const std::string& folder, std::string& error)
{
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = Reason("cannot make the socket folder " + folder);
        return false;
    }
    struct stat status{};
    if (lstat(folder.c_str(), &status) != 0) {
        error = Reason("cannot inspect the socket folder " + folder);
        return false;
    }
    if (!S_ISDIR(status.st_mode) || status.st_uid != getuid() || (status.st_mode & 0022) != 0) {
        error = "the socket folder " + folder + " is not a private folder of this user";
        return false;
    }
    return true;
}

// Removes a socket that no server answers on; refuses one that a server does, or a non-socket.
bool ClearStaleSocket(const std::string& path, const sockaddr_un& address, std::string& error)
{
    struct stat status{};
    if (lstat(path.c_str(), &status) != 0) {
        return true;
    }
    if (!S_ISSOCK(status.st_mode)) {
        error = path + " exists and is not a socket";
        return false;
    }
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool answered =
        probe >= 0 && connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    if (probe >= 0) {
        close(probe);
    }
    if (answered) {
        error = "another server is already listening on " + path;
        return false;
    }
    if (unlink(path.c_str()) != 0) {
        error = Reason("cannot remove the stale socket " + path);
        return false;
    }
    return true;
}

} // namespace

SocketServer::SocketServer(Handler handler, PlayHandlerFactory playHandlers)
    : mHandler(std::move(handler))
    , mPlayHandlers(std::move(playHandlers))
{
}

SocketServer::~SocketServer()
{
    Stop();
}

bool SocketServer::Start(const std::string& path, std::string& error)
{
    sockaddr_un address{};
    if (!MakeAddress(path, address)) {
        error = "the socket path " + path + " is empty or too long";
        return false;
    }
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    if (!PreparePrivateFolder(folder, error) || !ClearStaleSocket(path, address, error)) {
        return false;
    }

    mListener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (mListener < 0) {
        error = Reason("cannot make a socket");
        return false;
    }
    struct stat status{};
    if (bind(mListener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0
        || chmod(path.c_str(), 0600) != 0 || stat(path.c_str(), &status) != 0 || listen(mListener, 16) != 0) {
        error = Reason("cannot listen on " + path);
        close(mListener);
        mListener = -1;
        return false;
    }
    mPath = path;
    mSocketInode = status.st_ino;

    int wake[2];
    if (pipe2(wake, O_CLOEXEC) != 0) {
        error = Reason("cannot make a pipe");
        Stop();
        return false;
    }
    mWakeRead = wake[0];
    mWakeWrite = wake[1];
    mAcceptThread = std::thread([this] { AcceptLoop(); });
    return true;
}

void SocketServer::Stop()
{
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        mStopping = true;
    }
    if (mAcceptThread.joinable()) {
        const char wake = 0;
        while (write(mWakeWrite, &wake, 1) < 0 && errno == EINTR) {
        }
        mAcceptThread.join();
    }
    if (mListener >= 0) {
        close(mListener);
        mListener = -1;
        // Only this server's socket: another may have taken the path since.
        struct stat status{};
        if (lstat(mPath.c_str(), &status) == 0 && status.st_ino == mSocketInode) {
            unlink(mPath.c_str());
        }
    }
    for (int* descriptor : {&mWakeRead, &mWakeWrite}) {
        if (*descriptor >= 0) {
            close(*descriptor);
            *descriptor = -1;
        }
    }

    std::list<std::unique_ptr<Connection>> connections;
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        connections.swap(mConnections);
        for (const auto& connection : connections) {
            shutdown(connection->socket, SHUT_RDWR);
        }
    }
    for (const auto& connection : connections) {
        connection->thread.join();
        close(connection->socket);
    }
}

void SocketServer::AcceptLoop()
{
    for (;;) {
        pollfd entries[2] = {{mListener, POLLIN, 0}, {mWakeRead, POLLIN, 0}};
        if (poll(entries, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            Log("the socket server stops accepting: %s", std::strerror(errno));
            return;
        }
        if (entries[1].revents != 0) {
            return;
        }
        if ((entries[0].revents & POLLIN) == 0) {
            continue;
        }
        const int socket = accept4(mListener, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket < 0) {
            continue;
        }
        Reap();

        ucred credentials{};
        socklen_t size = sizeof(credentials);
        if (getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 || credentials.uid != getuid()) {
            close(socket);
            continue;
        }
        const std::lock_guard<std::mutex> lock(mMutex);
        if (mStopping || mConnections.size() >= kMaxConnections) {
            close(socket);
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->socket = socket;
        connection->processID = credentials.pid;
        Connection& started = *connection;
        mConnections.push_back(std::move(connection));
        started.thread = std::thread([this, &started] { Serve(started); });
    }
}

void SocketServer::Serve(Connection& connection)
{
    using namespace audioserver;
    std::unique_ptr<PlayHandler> player;
    for (;;) {
        Header header;
        std::vector<UInt8> payload;
        const ReadStatus status = ReadMessage(connection.socket, -1, kStallTimeoutMs, header, payload);
        if (status != ReadStatus::Message) {
            if (status != ReadStatus::Closed) {
                Log("closed the connection of process %d: %s", connection.processID,
                    status == ReadStatus::Malformed ? "malformed message" : "broken or stalled message");
            }
            break;
        }
        std::vector<UInt8> message;
        if (!Answer(connection, header, payload, player, message)) {
            Log("closed the connection of process %d: malformed request of kind %u", connection.processID,
                header.kind);
            break;
        }
        if (!WriteMessage(connection.socket, message)) {
            break;
        }
    }
    // What the connection played stops before the connection counts as finished.
    player.reset();
    // The peer learns of the end now; the descriptor stays open until the thread is joined, so its
    // number cannot be reused while Stop may still shut it down.
    shutdown(connection.socket, SHUT_RDWR);
    connection.finished = true;
}

bool SocketServer::Answer(Connection& connection, const audioserver::Header& header, const std::vector<UInt8>& payload,
                          std::unique_ptr<PlayHandler>& player, std::vector<UInt8>& message)
{
    using namespace audioserver;
    if (IsPlayRequest(header.kind)) {
        PlayRequest request;
        if (!DecodePlayRequest(header.kind, payload, request) || !mPlayHandlers) {
            return false;
        }
        if (player == nullptr) {
            player = mPlayHandlers(connection.processID, connection.socket);
        }
        PlayResponse response;
        player->Handle(request, response);
        return EncodePlayResponse(request.kind, response, message);
    }
    PropertyRequest request;
    if (!DecodeRequest(header.kind, payload, request)) {
        return false;
    }
    PropertyResponse response;
    mHandler(request, connection.processID, response);
    if (!EncodeResponse(request.kind, response, message)) {
        PropertyResponse failure;
        failure.status = kAudioHardwareUnspecifiedError;
        EncodeResponse(request.kind, failure, message);
    }
    return true;
}

void SocketServer::Reap()
{
    std::list<std::unique_ptr<Connection>> finished;
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        for (auto entry = mConnections.begin(); entry != mConnections.end();) {
            if ((*entry)->finished) {
                finished.push_back(std::move(*entry));
                entry = mConnections.erase(entry);
            } else {
                ++entry;
            }
        }
    }
    for (const auto& connection : finished) {
        connection->thread.join();
        close(connection->socket);
    }
}

} // namespace pelio::host
