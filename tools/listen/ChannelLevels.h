#pragma once

// Peak and RMS level of each channel of a stereo stream, in dBFS (full scale is 1.0).
//
// RMS is the plain root mean square, so a full-scale sine reads -3.01 dBFS and its peak 0 dBFS.
// Samples that are not finite (NaN, infinity) are left out of both. A channel with no samples,
// or only zeros, reads minus infinity. No allocation; not thread-safe.

#include <array>
#include <cstddef>
#include <cstdint>

namespace pelio::listen {

// 20 log10(amplitude); minus infinity for 0.
double ToDbfs(double amplitude);

class ChannelLevels
{
public:
    static constexpr std::size_t kChannels = 2;

    void Add(std::size_t channel, float sample);

    double GetPeakDbfs(std::size_t channel) const;
    double GetRmsDbfs(std::size_t channel) const;

private:
    struct Channel {
        float peak = 0.0f;
        double sumOfSquares = 0.0;
        std::uint64_t samples = 0;
    };
    std::array<Channel, kChannels> mChannels;
};

} // namespace pelio::listen
