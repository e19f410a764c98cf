#include "Datagram.h"

#include <bit>
#include <cstring>

namespace pelio::listen {

namespace {

std::uint32_t ReadLittleEndian32(const std::byte* bytes)
{
    return std::to_integer<std::uint32_t>(bytes[0]) | std::to_integer<std::uint32_t>(bytes[1]) << 8 |
           std::to_integer<std::uint32_t>(bytes[2]) << 16 | std::to_integer<std::uint32_t>(bytes[3]) << 24;
}

std::uint16_t ReadLittleEndian16(const std::byte* bytes)
{
    return static_cast<std::uint16_t>(std::to_integer<std::uint16_t>(bytes[0]) |
                                      std::to_integer<std::uint16_t>(bytes[1]) << 8);
}

ParsedDatagram Refused(DatagramError error)
{
    return {error, {}};
}

} // namespace

const char* DatagramErrorName(DatagramError error)
{
    switch (error) {
    case DatagramError::None: return "none";
    case DatagramError::Short: return "short";
    case DatagramError::Magic: return "magic";
    case DatagramError::SampleRate: return "rate";
    case DatagramError::ChannelCount: return "channels";
    case DatagramError::FrameCount: return "frame_count";
    case DatagramError::Length: return "length";
    }
    return "unknown";
}

ParsedDatagram ParseDatagram(std::span<const std::byte> bytes)
{
    if (bytes.size() < kHeaderSize) {
        return Refused(DatagramError::Short);
    }
    const std::byte* header = bytes.data();
    if (std::memcmp(header, "PELO", 4) != 0) {
        return Refused(DatagramError::Magic);
    }
    if (ReadLittleEndian32(header + 8) != kSampleRate) {
        return Refused(DatagramError::SampleRate);
    }
    if (ReadLittleEndian16(header + 12) != kChannelCount) {
        return Refused(DatagramError::ChannelCount);
    }
    const std::uint16_t frameCount = ReadLittleEndian16(header + 14);
    if (frameCount == 0 || frameCount > kMaxFrameCount) {
        return Refused(DatagramError::FrameCount);
    }
    const std::size_t payloadSize = std::size_t{frameCount} * kBytesPerFrame;
    if (bytes.size() != kHeaderSize + payloadSize) {
        return Refused(DatagramError::Length);
    }
    return {DatagramError::None,
            {ReadLittleEndian32(header + 4), frameCount, bytes.subspan(kHeaderSize, payloadSize)}};
}

float SampleAt(const Datagram& datagram, std::size_t index)
{
    return std::bit_cast<float>(ReadLittleEndian32(datagram.samples.data() + index * sizeof(float)));
}

} // namespace pelio::listen
