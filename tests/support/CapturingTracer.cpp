#include "CapturingTracer.h"

#include <utility>

namespace pelio::test {

CapturingTracer::CapturingTracer(Mode mode, Style style) : hal::Tracer(mode, style) {}

std::vector<std::string> CapturingTracer::GetLines() const {
    std::lock_guard lock(mMutex);
    return mLines;
}

void CapturingTracer::ClearLines() {
    std::lock_guard lock(mMutex);
    mLines.clear();
}

void CapturingTracer::SetIgnore(std::function<bool(const Operation&)> ignore) { mIgnore = std::move(ignore); }

UInt32 CapturingTracer::GetDepth() const {
    const ThreadLocalState* state = FindThreadLocalState();
    return state != nullptr ? state->Depth : 0;
}

bool CapturingTracer::HasThreadLocalState() const { return FindThreadLocalState() != nullptr; }

void CapturingTracer::Print(const char* line) {
    std::lock_guard lock(mMutex);
    mLines.emplace_back(line);
}

bool CapturingTracer::ShouldIgnore(const Operation& operation) { return mIgnore && mIgnore(operation); }

}  // namespace pelio::test
