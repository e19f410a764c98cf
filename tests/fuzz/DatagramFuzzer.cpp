// pelio-listen's handling of what arrives on its port: a run of datagrams, each either the
// fuzzer's raw bytes or a well-formed Pelio datagram with a sequence step, frame count and samples
// of its choosing, goes through the receiver (checks, sequence tracking, levels, jitter) and ends
// in the summary, in both printed forms.
//
// The input is read from the front (FuzzInput.h): per datagram one byte for its kind, then for a
// raw one a 16-bit length and the bytes, for a built one the sequence step, the frame count and the
// samples; and a 16-bit arrival delay in microseconds.
//
// Besides the sanitizers, the target checks what the receiver's callers rely on: a datagram is
// accepted exactly when the parser accepts it, and then carries 1 to 960 frames whose samples are
// the datagram's own, decoded; late and duplicate ones deliver nothing; silence stands in for the
// lost packets at the length of the last one delivered; the counts add up and never wrap; and the
// JSON summary carries only numbers and nulls.

#include "FuzzInput.h"

#include "Datagram.h"
#include "Receiver.h"
#include "Summary.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace {

using pelio::fuzz::FuzzInput;
namespace listen = pelio::listen;

void Require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "DatagramFuzzer: %s\n", what);
        std::abort();
    }
}

constexpr std::int64_t kSequenceSteps[] = {1, 1, 1, 2, 0, -1, 100, 116, 117, 99, -3, 5000, -200, 4097};
constexpr std::uint16_t kFrameCounts[] = {512, 960, 1, 40, 961, 0, 0xFFFF};

// A well-formed header (unless the frame count says otherwise) and samples from the input.
std::vector<std::byte> BuildDatagram(FuzzInput& input, std::uint32_t sequence)
{
    const std::uint16_t frameCount = input.Pick(kFrameCounts);
    std::vector<std::uint8_t> bytes(listen::kHeaderSize + std::size_t{std::min<std::uint16_t>(frameCount, 960)} * 8);
    std::memcpy(bytes.data(), "PELO", 4);
    const std::uint32_t header[] = {sequence, listen::kSampleRate};
    for (std::size_t field = 0; field < 2; ++field) {
        for (std::size_t byte = 0; byte < 4; ++byte) {
            bytes[4 + field * 4 + byte] = static_cast<std::uint8_t>(header[field] >> (8 * byte));
        }
    }
    bytes[12] = listen::kChannelCount;
    bytes[13] = 0;
    bytes[14] = static_cast<std::uint8_t>(frameCount);
    bytes[15] = static_cast<std::uint8_t>(frameCount >> 8);
    // The first samples from the input (NaN, infinities and denormals included), the rest a ramp.
    const std::size_t given = std::min<std::size_t>(bytes.size() - listen::kHeaderSize, input.U8() * 4u);
    input.Fill(std::span(bytes).subspan(listen::kHeaderSize, given));
    for (std::size_t offset = listen::kHeaderSize + given; offset + 4 <= bytes.size(); offset += 4) {
        const float sample = static_cast<float>(offset % 1000) / 1000.0f - 0.5f;
        const auto bits = std::bit_cast<std::uint32_t>(sample);
        for (std::size_t byte = 0; byte < 4; ++byte) {
            bytes[offset + byte] = static_cast<std::uint8_t>(bits >> (8 * byte));
        }
    }
    std::vector<std::byte> datagram(bytes.size());
    std::memcpy(datagram.data(), bytes.data(), bytes.size());
    return datagram;
}

// Every value in the one-line JSON object is a number or null.
bool HasOnlyNumbersAndNulls(const std::string& json)
{
    for (std::size_t colon = json.find(':'); colon != std::string::npos; colon = json.find(':', colon + 1)) {
        const std::string value = json.substr(colon + 1, json.find_first_of(",}", colon) - colon - 1);
        if (value == "null") {
            continue;
        }
        std::size_t digits = value.front() == '-' ? 1 : 0;
        if (digits >= value.size() || std::isdigit(static_cast<unsigned char>(value[digits])) == 0) {
            return false;
        }
        for (; digits < value.size(); ++digits) {
            if (std::isdigit(static_cast<unsigned char>(value[digits])) == 0 && value[digits] != '.') {
                return false;
            }
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    listen::Receiver receiver;
    std::uint64_t datagrams = 0;
    std::uint64_t deliveredFrames = 0;
    std::uint64_t silenceFrames = 0;
    std::uint16_t lastDelivered = 0;
    std::uint32_t sequence = input.U32();
    std::uint64_t arrival = 1'000'000'000;

    for (int index = 0; index < 128 && !input.IsEmpty(); ++index) {
        std::vector<std::byte> bytes;
        if (input.U8() % 4 == 0) {
            bytes.resize(input.U16() % (listen::kMaxDatagramSize + 64));
            input.Fill(std::span(reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size()));
        } else {
            sequence += static_cast<std::uint32_t>(input.Pick(kSequenceSteps));
            bytes = BuildDatagram(input, sequence);
        }
        arrival += input.U16() * 1000ull;
        ++datagrams;

        const listen::ParsedDatagram parsed = listen::ParseDatagram(bytes);
        const listen::Delivery delivery = receiver.Accept(bytes, arrival);
        Require(delivery.error == parsed.error, "the receiver and the parser disagree");
        if (delivery.error != listen::DatagramError::None) {
            Require(delivery.samples.empty() && delivery.silenceFrames == 0, "a refused datagram delivered audio");
            continue;
        }
        const listen::Datagram& datagram = delivery.datagram;
        Require(datagram.frameCount >= 1 && datagram.frameCount <= listen::kMaxFrameCount,
                "an accepted datagram has an impossible frame count");
        Require(bytes.size() == listen::kHeaderSize + std::size_t{datagram.frameCount} * listen::kBytesPerFrame
                    && datagram.samples.size() == std::size_t{datagram.frameCount} * listen::kBytesPerFrame,
                "an accepted datagram's length disagrees with its frame count");
        const bool leftOut =
            delivery.step.arrival == listen::Arrival::Late || delivery.step.arrival == listen::Arrival::Duplicate;
        if (leftOut) {
            Require(delivery.samples.empty() && delivery.silenceFrames == 0, "a late or duplicate packet delivered audio");
            continue;
        }
        Require(delivery.samples.size() == std::size_t{datagram.frameCount} * listen::kChannelCount,
                "a delivered packet lost samples");
        for (std::size_t sample = 0; sample < delivery.samples.size(); ++sample) {
            Require(std::bit_cast<std::uint32_t>(delivery.samples[sample])
                        == std::bit_cast<std::uint32_t>(listen::SampleAt(datagram, sample)),
                    "a delivered sample is not the datagram's");
        }
        Require(delivery.silenceFrames == std::uint64_t{delivery.step.missing} * lastDelivered,
                "the silence does not stand for the lost packets");
        deliveredFrames += datagram.frameCount;
        silenceFrames += delivery.silenceFrames;
        lastDelivered = datagram.frameCount;
    }

    const listen::Summary summary = receiver.GetSummary();
    Require(summary.packets + summary.bad == datagrams, "datagrams went uncounted");
    Require(summary.frames == deliveredFrames && summary.silenceFrames == silenceFrames,
            "the summary's frames are not what was delivered");
    Require(summary.sequence.duplicate + summary.sequence.reordered <= summary.packets,
            "more late and duplicate packets than packets");
    Require(summary.sequence.lost < (std::uint64_t{1} << 40), "the lost count wrapped");
    std::uint64_t bad = 0;
    for (const std::uint64_t count : summary.badByError) {
        bad += count;
    }
    Require(bad == summary.bad, "the bad datagrams by error do not add up");
    Require(!listen::FormatSummaryText(summary).empty(), "an empty summary");
    Require(HasOnlyNumbersAndNulls(listen::FormatSummaryJson(summary)), "the JSON summary carries something else");
    return 0;
}
