#include "DatagramReceiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

namespace pelio {

namespace {

[[noreturn]] void ThrowSystemError(const char* what)
{
    throw std::system_error(errno, std::system_category(), what);
}

} // namespace

std::span<const std::byte> Datagram::GetPayload() const
{
    return std::span<const std::byte>(bytes).subspan(16);
}

std::uint32_t Datagram::GetUInt32(std::size_t offset) const
{
    return static_cast<std::uint32_t>(GetUInt16(offset)) | static_cast<std::uint32_t>(GetUInt16(offset + 2)) << 16;
}

std::uint16_t Datagram::GetUInt16(std::size_t offset) const
{
    return static_cast<std::uint16_t>(std::to_integer<unsigned>(bytes.at(offset))
                                      | std::to_integer<unsigned>(bytes.at(offset + 1)) << 8);
}

DatagramReceiver::DatagramReceiver(std::uint16_t port)
{
    mSocket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (mSocket < 0) {
        ThrowSystemError("socket");
    }
    // As much room as the system gives: a test that reads late should not lose datagrams here.
    const int bufferBytes = 8 << 20;
    ::setsockopt(mSocket, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t addressBytes = sizeof address;
    if (::bind(mSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
        || ::getsockname(mSocket, reinterpret_cast<sockaddr*>(&address), &addressBytes) != 0) {
        const int error = errno;
        ::close(mSocket);
        errno = error;
        ThrowSystemError("bind");
    }
    mPort = ntohs(address.sin_port);
}

std::unique_ptr<DatagramReceiver> DatagramReceiver::OnPelioPort(std::string& whyNot)
{
    try {
        return std::make_unique<DatagramReceiver>(47583);
    } catch (const std::system_error& error) {
        whyNot = std::string("UDP port 47583 on 127.0.0.1 is busy (") + error.what()
                 + "): stop whatever listens there (a running pelio-listen?) and run the test again";
        return nullptr;
    }
}

DatagramReceiver::~DatagramReceiver()
{
    ::close(mSocket);
}

std::optional<Datagram> DatagramReceiver::Receive(std::chrono::milliseconds timeout)
{
    pollfd ready{mSocket, POLLIN, 0};
    int result = 0;
    do {
        result = ::poll(&ready, 1, static_cast<int>(timeout.count()));
    } while (result < 0 && errno == EINTR);
    if (result <= 0) {
        return std::nullopt;
    }
    Datagram datagram;
    datagram.bytes.resize(65536);
    const ssize_t received = ::recv(mSocket, datagram.bytes.data(), datagram.bytes.size(), 0);
    if (received < 0) {
        return std::nullopt;
    }
    datagram.bytes.resize(static_cast<std::size_t>(received));
    return datagram;
}

std::vector<Datagram> DatagramReceiver::ReceiveUntilQuiet(std::chrono::milliseconds timeout)
{
    std::vector<Datagram> datagrams;
    while (auto datagram = Receive(timeout)) {
        datagrams.push_back(std::move(*datagram));
    }
    return datagrams;
}

} // namespace pelio
