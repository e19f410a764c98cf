#pragma once

// Test support: a UDP socket bound to 127.0.0.1 that receives what a PelioHandler sends, and the
// received datagrams with their header fields decoded as the wire format defines them (byte by
// byte, little-endian), independently of how the handler encodes them.
//
// One thread at a time per receiver. Not for the IO thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pelio {

struct Datagram
{
    std::vector<std::byte> bytes;

    std::uint32_t GetSequence() const { return GetUInt32(4); }
    std::uint32_t GetSampleRate() const { return GetUInt32(8); }
    std::uint16_t GetChannelCount() const { return GetUInt16(12); }
    std::uint16_t GetFrameCount() const { return GetUInt16(14); }
    // Everything behind the 16-byte header.
    std::span<const std::byte> GetPayload() const;

    std::uint32_t GetUInt32(std::size_t offset) const;
    std::uint16_t GetUInt16(std::size_t offset) const;
};

class DatagramReceiver
{
public:
    // Binds `port`, or a free port when it is 0, so that tests can run side by side. Throws
    // std::system_error when the socket cannot be made or the port is taken.
    explicit DatagramReceiver(std::uint16_t port = 0);
    ~DatagramReceiver();

    // A receiver on the Pelio port (47583), where the assembled driver sends; null when the port
    // is taken, with what to do about it in `whyNot`.
    static std::unique_ptr<DatagramReceiver> OnPelioPort(std::string& whyNot);

    DatagramReceiver(const DatagramReceiver&) = delete;
    DatagramReceiver& operator=(const DatagramReceiver&) = delete;

    std::uint16_t GetPort() const { return mPort; }

    // The next datagram, or nothing when none arrives within `timeout`.
    std::optional<Datagram> Receive(std::chrono::milliseconds timeout);

    // Receives until `timeout` passes without a datagram, and returns what came.
    std::vector<Datagram> ReceiveUntilQuiet(std::chrono::milliseconds timeout);

private:
    int mSocket = -1;
    std::uint16_t mPort = 0;
};

} // namespace pelio
