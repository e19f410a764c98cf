#pragma once

// pelio::test::CapturingTracer: a tracer that records its lines in memory instead of printing them,
// so tests can check the exact text that an operation traces.
//
// Everything the base tracer does before printing (mode check, depth, suppression, formatting)
// runs unchanged; only the destination differs. The default mode is Stderr, but nothing reaches
// standard error: the overriding Print keeps the line. Lines from several threads are recorded
// under a lock, in the order they were printed. Test code only: it allocates and locks.

#include "hal/Tracer.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace pelio::test {

class CapturingTracer : public hal::Tracer {
public:
    explicit CapturingTracer(Mode mode = Mode::Stderr, Style style = Style::Hierarchical);

    // The lines printed so far, without the destination's "[hal] " prefix.
    std::vector<std::string> GetLines() const;
    void ClearLines();

    // Operations for which `ignore` returns true are silent, with everything nested in them. Set it
    // before any thread traces.
    void SetIgnore(std::function<bool(const Operation&)> ignore);

    // Operations open on the calling thread; 0 when the thread has no trace state.
    UInt32 GetDepth() const;
    // Whether the calling thread has trace state (a disabled tracer must never create it).
    bool HasThreadLocalState() const;

protected:
    void Print(const char* line) override;
    bool ShouldIgnore(const Operation& operation) override;

private:
    mutable std::mutex mMutex;
    std::vector<std::string> mLines;
    std::function<bool(const Operation&)> mIgnore;
};

}  // namespace pelio::test
