#pragma once

// Arrival jitter of a datagram stream: how far each gap between two consecutive packets strays
// from the time the earlier packet's audio lasts.
//
// For packets n and n + 1 arriving in order, the deviation is |t(n + 1) - t(n) - frames(n) / 48000|.
// A sender that released each packet exactly when its audio was due would show 0; one that
// sends in bursts shows the burst period. Pairs across a gap, a restart or a late packet are not
// measured. Percentiles are by nearest rank over every deviation kept, 4 bytes per packet (about
// 1.3 MB an hour at 512 frames a packet). Not thread-safe.

#include <cstdint>
#include <vector>

namespace pelio::listen {

class ArrivalJitter
{
public:
    void AddDeviation(double seconds);

    // The deviation that `fraction` (0 to 1) of all measured pairs do not exceed, in
    // milliseconds; NaN while nothing has been measured.
    double GetPercentileMilliseconds(double fraction) const;

    std::uint64_t GetCount() const { return mDeviationsMicroseconds.size(); }

private:
    std::vector<float> mDeviationsMicroseconds;
};

} // namespace pelio::listen
