#pragma once

// Builds Pelio datagrams for tests, well-formed by default, with any header field or the payload
// length set wrong on purpose.

#include "Datagram.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace pelio::listen::testing {

struct DatagramFields {
    std::array<char, 4> magic = {'P', 'E', 'L', 'O'};
    std::uint32_t sequence = 0;
    std::uint32_t sampleRate = 48000;
    std::uint16_t channelCount = 2;
    std::uint16_t frameCount = 1;
    std::optional<std::size_t> payloadBytes = std::nullopt; // default: 8 x frameCount
    std::optional<std::vector<float>> samples = std::nullopt; // default: TestSamples(sequence, frameCount)
};

// A distinct, non-zero value for every sample of every packet, so that any misplaced, dropped or
// altered sample shows.
inline float TestSample(std::uint32_t sequence, std::size_t index)
{
    const float magnitude = 0.001f * static_cast<float>((sequence * 7u + index) % 997u + 1u);
    return index % 2 == 0 ? magnitude : -magnitude;
}

inline std::vector<float> TestSamples(std::uint32_t sequence, std::uint16_t frameCount)
{
    std::vector<float> samples(std::size_t{frameCount} * 2);
    for (std::size_t index = 0; index < samples.size(); ++index) {
        samples[index] = TestSample(sequence, index);
    }
    return samples;
}

inline void PutLittleEndian(std::vector<std::byte>& bytes, std::uint32_t value, int size)
{
    for (int byte = 0; byte < size; ++byte) {
        bytes.push_back(static_cast<std::byte>(value >> (8 * byte)));
    }
}

// The payload holds the samples, cut or padded with zeros to payloadBytes.
inline std::vector<std::byte> BuildDatagram(const DatagramFields& fields)
{
    std::vector<std::byte> bytes;
    for (char letter : fields.magic) {
        bytes.push_back(static_cast<std::byte>(letter));
    }
    PutLittleEndian(bytes, fields.sequence, 4);
    PutLittleEndian(bytes, fields.sampleRate, 4);
    PutLittleEndian(bytes, fields.channelCount, 2);
    PutLittleEndian(bytes, fields.frameCount, 2);

    const std::size_t payloadBytes = fields.payloadBytes.value_or(std::size_t{fields.frameCount} * kBytesPerFrame);
    std::vector<std::byte> payload;
    for (float sample : fields.samples.value_or(TestSamples(fields.sequence, fields.frameCount))) {
        PutLittleEndian(payload, std::bit_cast<std::uint32_t>(sample), 4);
    }
    payload.resize(payloadBytes);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

inline std::vector<std::byte> BuildPacket(std::uint32_t sequence, std::uint16_t frameCount)
{
    return BuildDatagram({.sequence = sequence, .frameCount = frameCount});
}

} // namespace pelio::listen::testing
