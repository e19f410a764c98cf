#include "AudioSink.h"

#include "Datagram.h"

#include <algorithm>
#include <array>

namespace pelio::listen {

bool AudioSink::WriteSilence(std::uint64_t frames)
{
    static constexpr std::array<float, 4800 * kChannelCount> kSilence{};
    constexpr std::uint64_t kFramesAtOnce = kSilence.size() / kChannelCount;
    while (frames > 0) {
        const std::uint64_t piece = std::min(frames, kFramesAtOnce);
        if (!Write(std::span<const float>(kSilence.data(), piece * kChannelCount))) {
            return false;
        }
        frames -= piece;
    }
    return true;
}

} // namespace pelio::listen
