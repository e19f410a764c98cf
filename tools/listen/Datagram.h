#pragma once

// Checks one received datagram against the Pelio stream format and reads its header.
//
// A datagram is a 16-byte little-endian header followed by interleaved stereo 32-bit float
// frames: "PELO", the sequence number (32 bits), the sample rate (32 bits, always 48000), the
// channel count (16 bits, always 2) and the frame count N (16 bits, 1 to 960), then exactly 8 x N
// bytes of samples. ParseDatagram accepts any bytes from the network, of any length, and never
// reads outside them; the samples it hands back point into the caller's bytes. No I/O, no
// allocation; callable from any thread.

#include <cstddef>
#include <cstdint>
#include <span>

namespace pelio::listen {

inline constexpr std::uint16_t kDefaultPort = 47583;
inline constexpr std::size_t kHeaderSize = 16;
inline constexpr std::uint32_t kSampleRate = 48000;
inline constexpr std::uint16_t kChannelCount = 2;
inline constexpr std::size_t kBytesPerFrame = kChannelCount * sizeof(float);
inline constexpr std::uint16_t kMaxFrameCount = 960;
inline constexpr std::size_t kMaxDatagramSize = kHeaderSize + kMaxFrameCount * kBytesPerFrame;

// Why a datagram was refused, in the order the checks run: the first that fails names it.
enum class DatagramError {
    None,
    Short,        // fewer than 16 bytes: no complete header
    Magic,        // does not start with "PELO"
    SampleRate,   // not 48000
    ChannelCount, // not 2
    FrameCount,   // 0 or above 960
    Length,       // not exactly 16 + 8 x frame count bytes
};
inline constexpr std::size_t kDatagramErrorCount = 7;

// The snake_case name that summaries use for the error ("short", "frame_count").
const char* DatagramErrorName(DatagramError error);

struct Datagram {
    std::uint32_t sequence = 0;
    std::uint16_t frameCount = 0;
    std::span<const std::byte> samples; // frameCount x 8 bytes, little-endian float32, L R L R ...
};

struct ParsedDatagram {
    DatagramError error = DatagramError::None;
    Datagram datagram; // meaningful only when error is None
};

ParsedDatagram ParseDatagram(std::span<const std::byte> bytes);

// Sample `index` (frame x 2 + channel) of a checked datagram, decoded from little-endian whatever
// the byte order of this machine.
float SampleAt(const Datagram& datagram, std::size_t index);

} // namespace pelio::listen
