#pragma once

// The live status line on standard error, redrawn in place, only when standard error is a
// terminal: into a pipe or a file it writes nothing at all, so logs stay clean.
//
//     12.3 s  1154 packets  lost 0  duplicate 0  reordered 0  restarts 0  bad 0  L -6.0 R -6.0 dBFS

#include "Summary.h"

#include <array>

namespace pelio::listen {

class StatusLine
{
public:
    StatusLine();

    bool IsShown() const { return mEnabled; }

    // Redraws the line with the figures so far and the peaks since the last redraw.
    void Show(const Summary& summary, const std::array<double, 2>& recentPeaksDbfs);

    // Removes the line, so that what follows starts on a clean line.
    void Clear();

private:
    bool mEnabled;
};

} // namespace pelio::listen
