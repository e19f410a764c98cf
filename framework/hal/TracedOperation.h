#pragma once

// hal::TracedOperation: the begin and end lines of one traced operation, tied to a scope.
//
// Construction announces the operation (OperationBegin); destruction ends it (OperationEnd) with
// the status last given to Finish, 0 when none was, on every way out of the scope, an exception
// included, which it lets pass. Declare it after the scope's lock guard, so that the end line is
// printed before the lock is released.
//
// An operation built with isTraced false makes no call into the tracer at all: that is how the
// device's real-time IO operations stay silent, whatever the tracer's mode, while real-time
// tracing is off. Then, or with a disabled tracer, it allocates nothing and waits for nothing, so
// it may be used on the IO thread. Not copyable; one thread, one scope.

#include "hal/RealTime.h"
#include "hal/Tracer.h"

#include <MacTypes.h>

namespace hal {

class TracedOperation
{
public:
    TracedOperation(Tracer& tracer, const Tracer::Operation& operation, bool isTraced = true) noexcept
        : mTracer(tracer)
        , mOperation(operation)
        , mIsTraced(isTraced)
    {
        if (mIsTraced) {
            mTracer.OperationBegin(mOperation);
        }
    }

    TracedOperation(const TracedOperation&) = delete;
    TracedOperation& operator=(const TracedOperation&) = delete;

    ~TracedOperation()
    {
        if (mIsTraced) {
            mTracer.OperationEnd(mOperation, mStatus);
        }
    }

    // Whether the lines are printed: messages inside the operation follow the same choice.
    bool IsTraced() const noexcept HAL_NONBLOCKING { return mIsTraced; }

    // Records the status for the end line and hands it back, for `return operation.Finish(...)`.
    OSStatus Finish(OSStatus status) noexcept HAL_NONBLOCKING
    {
        mStatus = status;
        return status;
    }

private:
    Tracer& mTracer;
    const Tracer::Operation mOperation;
    const bool mIsTraced;
    OSStatus mStatus = 0;
};

} // namespace hal
