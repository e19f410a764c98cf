#include "hal/RealTime.h"
#include "hal/Tracer.h"

#include "CapturingTracer.h"

#include <gtest/gtest.h>

namespace {

using hal::Tracer;
using pelio::test::CapturingTracer;

// What the IO thread does on every cycle. Under RealtimeSanitizer any allocation, lock or system
// call in here stops the process: a disabled tracer must add none.
void TraceOneCycle(Tracer& tracer, const Tracer::Operation& operation, UInt32 frames) HAL_NONBLOCKING {
    tracer.OperationBegin(operation);
    tracer.Message("cycle of %u frames, %s", frames, "mixed");
    tracer.OperationEnd(operation, 0);
}

TEST(TracerRealtimeTest, DisabledTracerDoesNothingOnTheIoPath) {
    CapturingTracer tracer(Tracer::Mode::Disabled);
    Tracer::Operation operation;
    operation.Name = "Device::DoIOOperation()";
    operation.Flags = Tracer::Operation::Realtime;
    operation.ObjectID = 2;
    for (UInt32 cycle = 0; cycle < 1000; ++cycle) {
        TraceOneCycle(tracer, operation, 512);
    }
    EXPECT_TRUE(tracer.GetLines().empty());
    EXPECT_FALSE(tracer.HasThreadLocalState());
}

}  // namespace
