#include "ChannelLevels.h"

#include <cmath>
#include <limits>

namespace pelio::listen {

double ToDbfs(double amplitude)
{
    if (amplitude <= 0.0) {
        return -std::numeric_limits<double>::infinity();
    }
    return 20.0 * std::log10(amplitude);
}

void ChannelLevels::Add(std::size_t channel, float sample)
{
    if (!std::isfinite(sample)) {
        return;
    }
    Channel& state = mChannels[channel];
    state.peak = std::fmax(state.peak, std::fabs(sample));
    state.sumOfSquares += double{sample} * double{sample};
    ++state.samples;
}

double ChannelLevels::GetPeakDbfs(std::size_t channel) const
{
    return ToDbfs(mChannels[channel].peak);
}

double ChannelLevels::GetRmsDbfs(std::size_t channel) const
{
    const Channel& state = mChannels[channel];
    if (state.samples == 0) {
        return ToDbfs(0.0);
    }
    return ToDbfs(std::sqrt(state.sumOfSquares / static_cast<double>(state.samples)));
}

} // namespace pelio::listen
