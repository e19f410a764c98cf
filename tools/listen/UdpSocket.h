#pragma once

// A UDP socket bound to the IPv4 loopback address, read without blocking.
//
// Waiting happens only in WaitReadable, for at most its timeout; a signal cuts it short, so that
// a stop request is seen at once. The receive buffer is enlarged where the system allows, so a
// receiver that falls behind for a moment loses nothing. One thread uses a socket.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace pelio::listen {

class UdpSocket
{
public:
    // Binds 127.0.0.1 on `port` (0: any free port). On failure, `error` says why.
    static std::optional<UdpSocket> BindLoopback(std::uint16_t port, std::string& error);

    UdpSocket(UdpSocket&& other) noexcept;
    UdpSocket& operator=(UdpSocket&&) = delete;
    ~UdpSocket();

    // The port actually bound.
    std::uint16_t GetPort() const { return mPort; }

    // True when a datagram is waiting; false after the timeout or a signal.
    bool WaitReadable(std::chrono::milliseconds timeout) const;

    // The size of the datagram taken into `buffer`, or nothing when none is waiting. A buffer of
    // 64 KiB holds any datagram whole.
    std::optional<std::size_t> TryReceive(std::span<std::byte> buffer) const;

private:
    UdpSocket(int descriptor, std::uint16_t port) : mDescriptor(descriptor), mPort(port) {}

    int mDescriptor;
    std::uint16_t mPort;
};

} // namespace pelio::listen
