#include "UdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace pelio::listen {

namespace {

// About four seconds of the stream, far more than any pause of the receiving thread.
constexpr int kReceiveBufferBytes = 2 * 1024 * 1024;

} // namespace

std::optional<UdpSocket> UdpSocket::BindLoopback(std::uint16_t port, std::string& error)
{
    const int descriptor = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (descriptor < 0) {
        error = std::string("cannot open a UDP socket: ") + std::strerror(errno);
        return std::nullopt;
    }
    // Best effort: the system caps the size, and a smaller buffer still works.
    const int bufferBytes = kReceiveBufferBytes;
    setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof(bufferBytes));

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        error = "cannot bind 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        close(descriptor);
        return std::nullopt;
    }
    socklen_t addressSize = sizeof(address);
    if (getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &addressSize) != 0) {
        error = std::string("cannot read the bound port: ") + std::strerror(errno);
        close(descriptor);
        return std::nullopt;
    }
    return UdpSocket(descriptor, ntohs(address.sin_port));
}

UdpSocket::UdpSocket(UdpSocket&& other) noexcept
    : mDescriptor(std::exchange(other.mDescriptor, -1)), mPort(other.mPort)
{
}

UdpSocket::~UdpSocket()
{
    if (mDescriptor >= 0) {
        close(mDescriptor);
    }
}

bool UdpSocket::WaitReadable(std::chrono::milliseconds timeout) const
{
    pollfd descriptor{mDescriptor, POLLIN, 0};
    return poll(&descriptor, 1, static_cast<int>(timeout.count())) > 0 && (descriptor.revents & POLLIN) != 0;
}

std::optional<std::size_t> UdpSocket::TryReceive(std::span<std::byte> buffer) const
{
    for (;;) {
        const ssize_t size = recv(mDescriptor, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (size >= 0) {
            return static_cast<std::size_t>(size);
        }
        if (errno != EINTR) {
            return std::nullopt; // nothing waiting (or an error that the next wait reports again)
        }
    }
}

} // namespace pelio::listen
