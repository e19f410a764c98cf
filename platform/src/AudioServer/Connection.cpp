// A client's connection to the simulated audio server.
#include <AudioServer/Connection.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace audioserver {

namespace {

// How long a client waits for the server to begin its answer, and for each later piece of it. A
// server that takes longer is treated as gone.
constexpr int kResponseTimeoutMs = 30000;
constexpr int kStallTimeoutMs = 5000;

std::string EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

int ConnectToServer(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) return -1;
    if (connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        close(socket);
        return -1;
    }
    return socket;
}

std::string DefaultSocketFolder() {
    const std::string runtime = EnvironmentValue("XDG_RUNTIME_DIR");
    if (!runtime.empty()) return runtime + "/pelio";
    return "/tmp/pelio-" + std::to_string(getuid());
}

std::string SocketPath() {
    const std::string configured = EnvironmentValue("PELIO_HOST_SOCKET");
    return configured.empty() ? DefaultSocketFolder() + "/host.sock" : configured;
}

Connection::~Connection() {
    Close();
}

void Connection::Close() {
    if (mSocket >= 0) close(mSocket);
    mSocket = -1;
}

OSStatus Connection::Exchange(const PropertyRequest& request, PropertyResponse& response) {
    std::vector<UInt8> message;
    if (!EncodeRequest(request, message)) return kAudioHardwareBadPropertySizeError;

    const std::lock_guard<std::mutex> lock(mMutex);
    const bool reused = mSocket >= 0;
    for (int attempt = 0; attempt < (reused ? 2 : 1); ++attempt) {
        if (mSocket < 0) mSocket = ConnectToServer(SocketPath());
        if (mSocket < 0) return kAudioHardwareNotRunningError;
        if (ExchangeOnce(message, request.kind, response)) return kAudioHardwareNoError;
        Close();
    }
    return kAudioHardwareNotRunningError;
}

bool Connection::ExchangeOnce(const std::vector<UInt8>& message, Request kind, PropertyResponse& response) {
    if (!WriteMessage(mSocket, message)) return false;
    Header header;
    std::vector<UInt8> payload;
    if (ReadMessage(mSocket, kResponseTimeoutMs, kStallTimeoutMs, header, payload) != ReadStatus::Message)
        return false;
    if (header.kind != (static_cast<UInt16>(kind) | kResponseFlag)) return false;
    response = PropertyResponse();
    return DecodeResponse(kind, payload, response);
}

Connection& SharedConnection() {
    static Connection* const connection = new Connection;
    return *connection;
}

}  // namespace audioserver
