#include "ArrivalJitter.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace pelio::listen {

void ArrivalJitter::AddDeviation(double seconds)
{
    mDeviationsMicroseconds.push_back(static_cast<float>(std::fabs(seconds) * 1e6));
}

double ArrivalJitter::GetPercentileMilliseconds(double fraction) const
{
    if (mDeviationsMicroseconds.empty()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const std::size_t count = mDeviationsMicroseconds.size();
    const auto rank = static_cast<std::size_t>(std::ceil(std::clamp(fraction, 0.0, 1.0) * static_cast<double>(count)));
    const std::size_t index = rank == 0 ? 0 : rank - 1;

    std::vector<float> deviations = mDeviationsMicroseconds;
    std::nth_element(deviations.begin(), deviations.begin() + static_cast<std::ptrdiff_t>(index), deviations.end());
    return deviations[index] / 1000.0;
}

} // namespace pelio::listen
