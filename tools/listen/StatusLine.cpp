#include "StatusLine.h"

#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace pelio::listen {

namespace {

// Erases from the cursor to the end of the line.
constexpr const char* kEraseLine = "\x1b[K";

} // namespace

StatusLine::StatusLine() : mEnabled(isatty(STDERR_FILENO) == 1) {}

void StatusLine::Show(const Summary& summary, const std::array<double, 2>& recentPeaksDbfs)
{
    if (!mEnabled) {
        return;
    }
    // A silent channel shows as -inf; clamp the meter to a readable floor instead.
    const auto meter = [](double dbfs) { return std::isfinite(dbfs) ? dbfs : -99.9; };
    std::fprintf(stderr,
                 "\r%.1f s  %" PRIu64 " packets  lost %" PRIu64 "  duplicate %" PRIu64 "  reordered %" PRIu64
                 "  restarts %" PRIu64 "  bad %" PRIu64 "  L %.1f R %.1f dBFS%s",
                 summary.GetSeconds(),
                 summary.packets,
                 summary.sequence.lost,
                 summary.sequence.duplicate,
                 summary.sequence.reordered,
                 summary.sequence.restarts,
                 summary.bad,
                 meter(recentPeaksDbfs[0]),
                 meter(recentPeaksDbfs[1]),
                 kEraseLine);
    std::fflush(stderr);
}

void StatusLine::Clear()
{
    if (mEnabled) {
        std::fprintf(stderr, "\r%s", kEraseLine);
        std::fflush(stderr);
    }
}

} // namespace pelio::listen
