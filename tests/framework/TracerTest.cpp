#include "hal/Tracer.h"

#include "CapturingTracer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using hal::Tracer;
using pelio::test::CapturingTracer;
using Lines = std::vector<std::string>;

Tracer::Operation MakeOperation(const char* name, AudioObjectID objectID = 0) {
    Tracer::Operation operation;
    operation.Name = name;
    operation.ObjectID = objectID;
    return operation;
}

// ---- Line formats -----------------------------------------------------------------------------

struct BeginCase {
    const char* Description;
    Tracer::Operation Operation;
    const char* Expected;
};

TEST(TracerTest, BeginLineShowsExactlyTheFieldsThatAreSet) {
    static const AudioObjectPropertyAddress kVirtualFormat{'sfmt', 'glob', 0};
    static const AudioObjectPropertyAddress kPhysicalFormatOutput{'pft ', 'outp', 7};
    static const AudioObjectPropertyAddress kNominalRateOutput{'nsrt', 'outp', 0};
    static const UInt32 kQualifier = 0;
    static const Float64 kRate = 48000.0;
    static UInt32 outSize = 0;

    const BeginCase cases[] = {
        {"no property, no client: only the object ID, also when it is 0",
         {.Name = "Dispatcher::RegisterObject()"},
         "|- Dispatcher::RegisterObject() begin objectID=0"},
        {"a property read as the host makes it",
         {.Name = "Stream::GetPropertyData()", .Flags = Tracer::Operation::ReadOnly, .ObjectID = 3,
          .ClientPID = 412, .PropertyAddress = &kVirtualFormat, .InDataSize = 40, .OutDataSize = &outSize},
         "|- Stream::GetPropertyData() begin kAudioStreamPropertyVirtualFormat clientPID=412 objectID=3 "
         "scope=kAudioObjectPropertyScopeGlobal inSize=40"},
        {"every optional piece, in order; the element is never printed",
         {.Name = "Device::SetPropertyData()", .ObjectID = 2, .ClientPID = 7,
          .PropertyAddress = &kNominalRateOutput, .QualifierDataSize = 4, .QualifierData = &kQualifier,
          .InDataSize = 8, .InData = &kRate},
         "|- Device::SetPropertyData() begin kAudioDevicePropertyNominalSampleRate clientPID=7 objectID=2 "
         "scope=kAudioObjectPropertyScopeOutput inSize=8 qualSize=4"},
        {"an unnamed selector prints in its code form",
         {.Name = "Stream::HasProperty()", .ObjectID = 3, .PropertyAddress = &kPhysicalFormatOutput},
         "|- Stream::HasProperty() begin 'pft ' (0x70667420) objectID=3 scope=kAudioObjectPropertyScopeOutput"},
        {"a negative client PID is signed",
         {.Name = "Device::HasProperty()", .ObjectID = 2, .ClientPID = -1},
         "|- Device::HasProperty() begin clientPID=-1 objectID=2"},
        {"input data without a size still shows the size",
         {.Name = "Device::SetPropertyData()", .ObjectID = 2, .InData = &kRate},
         "|- Device::SetPropertyData() begin objectID=2 inSize=0"},
        {"a qualifier size without data still shows",
         {.Name = "Device::GetPropertyData()", .ObjectID = 2, .QualifierDataSize = 4},
         "|- Device::GetPropertyData() begin objectID=2 qualSize=4"},
        {"the largest object ID prints unsigned",
         {.Name = "Object::HasProperty()", .ObjectID = 0xFFFFFFFF},
         "|- Object::HasProperty() begin objectID=4294967295"},
    };
    for (const BeginCase& testCase : cases) {
        CapturingTracer tracer;
        tracer.OperationBegin(testCase.Operation);
        EXPECT_EQ(tracer.GetLines(), Lines{testCase.Expected}) << testCase.Description;
        tracer.OperationEnd(testCase.Operation, 0);
    }
}

TEST(TracerTest, EndLineShowsStatusAndOutputSizeOnlyOnSuccess) {
    UInt32 outSize = 40;
    struct EndCase {
        const char* Description;
        UInt32* OutDataSize;
        int Status;
        std::string Expected;
    };
    const EndCase cases[] = {
        {"success with an output size", &outSize, 0, "|- Op() end status=OK outSize=40"},
        {"success without an output size", nullptr, 0, "|- Op() end status=OK"},
        {"failure hides the output size", &outSize, kAudioHardwareBadPropertySizeError,
         "|- Op() end status=kAudioHardwareBadPropertySizeError"},
        {"an unnamed negative status prints its 32 bits", nullptr, -50,
         std::string("|- Op() end status='\xFF\xFF\xFF\xCE' (0xffffffce)")},
    };
    for (const EndCase& testCase : cases) {
        CapturingTracer tracer;
        Tracer::Operation operation = MakeOperation("Op()");
        operation.OutDataSize = testCase.OutDataSize;
        tracer.OperationBegin(operation);
        tracer.OperationEnd(operation, testCase.Status);
        const Lines lines = tracer.GetLines();
        ASSERT_EQ(lines.size(), 2u) << testCase.Description;
        EXPECT_EQ(lines[1], testCase.Expected) << testCase.Description;
    }
}

TEST(TracerTest, EndLineReadsTheOutputSizeAfterTheOperationHasRun) {
    CapturingTracer tracer;
    UInt32 outSize = 8;  // the buffer size offered by the host
    Tracer::Operation operation = MakeOperation("Device::GetPropertyDataSize()", 2);
    operation.OutDataSize = &outSize;
    tracer.OperationBegin(operation);
    outSize = 4;  // what the operation returned
    tracer.OperationEnd(operation, 0);
    EXPECT_EQ(tracer.GetLines().back(), "|- Device::GetPropertyDataSize() end status=OK outSize=4");
}

TEST(TracerTest, StreamPropertyReadPrintsItsThreeLinesOnStandardError) {
    Tracer tracer(Tracer::Mode::Stderr, Tracer::Style::Hierarchical);
    const AudioObjectPropertyAddress address{kAudioStreamPropertyVirtualFormat, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    UInt32 outSize = 40;
    Tracer::Operation operation{.Name = "Stream::GetPropertyData()",
                                .Flags = Tracer::Operation::ReadOnly,
                                .ObjectID = 3,
                                .ClientPID = 412,
                                .PropertyAddress = &address,
                                .InDataSize = 40,
                                .OutDataSize = &outSize};

    testing::internal::CaptureStderr();
    tracer.OperationBegin(operation);
    tracer.Message("returning VirtualFormat=%s", "...");
    tracer.OperationEnd(operation, 0);
    const std::string output = testing::internal::GetCapturedStderr();

    EXPECT_EQ(output,
              "[hal] |- Stream::GetPropertyData() begin kAudioStreamPropertyVirtualFormat clientPID=412 objectID=3 "
              "scope=kAudioObjectPropertyScopeGlobal inSize=40\n"
              "[hal] |-- returning VirtualFormat=...\n"
              "[hal] |- Stream::GetPropertyData() end status=OK outSize=40\n");
}

TEST(TracerTest, MessageFollowsPrintfRules) {
    CapturingTracer tracer(Tracer::Mode::Stderr, Tracer::Style::Flat);
    tracer.Message("objectID=%u pid=%d rate=%.1f name=%s %%", 7u, -3, 44100.5, "Pelio");
    tracer.Message("value not changed");
    EXPECT_EQ(tracer.GetLines(), (Lines{"objectID=7 pid=-3 rate=44100.5 name=Pelio %", "value not changed"}));
}

TEST(TracerTest, LongMessageIsCutTo1023Characters) {
    CapturingTracer tracer(Tracer::Mode::Stderr, Tracer::Style::Flat);
    const std::string message(2000, 'x');
    tracer.Message("%s", message.c_str());
    ASSERT_EQ(tracer.GetLines().size(), 1u);
    EXPECT_EQ(tracer.GetLines()[0], std::string(1023, 'x'));
}

// ---- Depth and style --------------------------------------------------------------------------

TEST(TracerTest, HierarchicalPrefixGrowsWithDepthUpToTenDashes) {
    CapturingTracer tracer;
    std::vector<Tracer::Operation> operations;
    for (AudioObjectID level = 1; level <= 12; ++level) {
        operations.push_back(MakeOperation("Op()", level));
    }
    for (const Tracer::Operation& operation : operations) {
        tracer.OperationBegin(operation);
        tracer.Message("m%u", operation.ObjectID);
    }
    for (auto operation = operations.rbegin(); operation != operations.rend(); ++operation) {
        tracer.OperationEnd(*operation, 0);
    }
    const Lines lines = tracer.GetLines();
    ASSERT_EQ(lines.size(), 36u);
    // A message sits one step deeper than its operation; the end line matches its begin line.
    EXPECT_EQ(lines[0], "|- Op() begin objectID=1");
    EXPECT_EQ(lines[1], "|-- m1");
    EXPECT_EQ(lines[2], "|-- Op() begin objectID=2");
    EXPECT_EQ(lines[3], "|--- m2");
    EXPECT_EQ(lines[18], "|---------- Op() begin objectID=10");
    EXPECT_EQ(lines[19], "|----------- m10");
    EXPECT_EQ(lines[22], "|---------- Op() begin objectID=12");
    EXPECT_EQ(lines[23], "|----------- m12");
    EXPECT_EQ(lines[24], "|---------- Op() end status=OK");
    EXPECT_EQ(lines[34], "|-- Op() end status=OK");
    EXPECT_EQ(lines[35], "|- Op() end status=OK");
    EXPECT_EQ(tracer.GetDepth(), 0u);
}

TEST(TracerTest, FlatStyleAndUnknownStylesWriteNoPrefix) {
    for (const Tracer::Style style : {Tracer::Style::Flat, static_cast<Tracer::Style>(7)}) {
        CapturingTracer tracer(Tracer::Mode::Stderr, style);
        const Tracer::Operation operation = MakeOperation("Device::StartIO()", 2);
        tracer.OperationBegin(operation);
        tracer.Message("starting");
        tracer.OperationEnd(operation, 0);
        EXPECT_EQ(tracer.GetLines(), (Lines{"Device::StartIO() begin objectID=2", "starting",
                                            "Device::StartIO() end status=OK"}));
    }
}

TEST(TracerTest, MessageOutsideAnyOperationHasOneDash) {
    CapturingTracer tracer;
    tracer.Message("Bridge::HasProperty() objectID=%u object not registered", 9u);
    EXPECT_EQ(tracer.GetLines(), Lines{"|- Bridge::HasProperty() objectID=9 object not registered"});
}

TEST(TracerTest, ThreadsKeepSeparateDepths) {
    CapturingTracer tracer;
    const Tracer::Operation outer = MakeOperation("Outer()");
    const Tracer::Operation inner = MakeOperation("Inner()");
    tracer.OperationBegin(outer);
    tracer.OperationBegin(inner);
    UInt32 otherThreadDepth = 99;
    std::thread([&] {
        tracer.OperationBegin(outer);
        otherThreadDepth = tracer.GetDepth();
        tracer.OperationEnd(outer, 0);
    }).join();
    EXPECT_EQ(otherThreadDepth, 1u);
    EXPECT_EQ(tracer.GetDepth(), 2u);
    tracer.OperationEnd(inner, 0);
    tracer.OperationEnd(outer, 0);
    EXPECT_EQ(tracer.GetLines(), (Lines{"|- Outer() begin objectID=0", "|-- Inner() begin objectID=0",
                                        "|- Outer() begin objectID=0", "|- Outer() end status=OK",
                                        "|-- Inner() end status=OK", "|- Outer() end status=OK"}));
}

// ---- Suppression ------------------------------------------------------------------------------

TEST(TracerTest, IgnoredOperationSilencesEverythingInsideItAndTracingResumesAtTheSameDepth) {
    CapturingTracer tracer;
    tracer.SetIgnore([](const Tracer::Operation& operation) {
        return (operation.Flags & Tracer::Operation::Realtime) != 0;
    });
    const Tracer::Operation outer = MakeOperation("Device::StartIO()", 2);
    Tracer::Operation ignored = MakeOperation("Device::DoIOOperation()", 2);
    ignored.Flags = Tracer::Operation::Realtime;
    const Tracer::Operation nested = MakeOperation("Stream::ProcessMix()", 3);

    tracer.OperationBegin(outer);
    tracer.OperationBegin(ignored);
    tracer.Message("inside the ignored operation");
    tracer.OperationBegin(nested);
    EXPECT_EQ(tracer.GetDepth(), 3u) << "silent operations still count";
    tracer.Message("inside a nested operation");
    tracer.OperationEnd(nested, kAudioHardwareUnspecifiedError);
    tracer.OperationEnd(ignored, 0);
    EXPECT_EQ(tracer.GetDepth(), 1u);
    tracer.Message("after");
    // The same operation again is suppressed again: the suppression was reset, not lost.
    tracer.OperationBegin(ignored);
    tracer.OperationEnd(ignored, 0);
    tracer.OperationEnd(outer, 0);

    EXPECT_EQ(tracer.GetLines(), (Lines{"|- Device::StartIO() begin objectID=2", "|-- after",
                                        "|- Device::StartIO() end status=OK"}));
    EXPECT_EQ(tracer.GetDepth(), 0u);
}

TEST(TracerTest, IgnoredOutermostOperationLeavesTheThreadClean) {
    CapturingTracer tracer;
    tracer.SetIgnore([](const Tracer::Operation& operation) { return operation.ObjectID == 5; });
    const Tracer::Operation ignored = MakeOperation("Op()", 5);
    const Tracer::Operation traced = MakeOperation("Op()", 6);
    tracer.OperationBegin(ignored);
    tracer.OperationBegin(traced);  // nested: silent although ShouldIgnore would accept it
    tracer.OperationEnd(traced, 0);
    tracer.OperationEnd(ignored, 0);
    tracer.OperationBegin(traced);
    tracer.OperationEnd(traced, 0);
    EXPECT_EQ(tracer.GetLines(), (Lines{"|- Op() begin objectID=6", "|- Op() end status=OK"}));
}

// ---- Unpaired begins and ends -----------------------------------------------------------------

TEST(TracerTest, EndWithoutBeginPrintsTheEndLineThenAWarningAndKeepsDepthAtZero) {
    CapturingTracer tracer;
    const Tracer::Operation operation = MakeOperation("Op()", 4);
    tracer.OperationEnd(operation, 0);
    EXPECT_EQ(tracer.GetDepth(), 0u);
    tracer.OperationBegin(operation);
    EXPECT_EQ(tracer.GetLines(), (Lines{"| Op() end status=OK", Tracer::kUnpairedEndMessage,
                                        "|- Op() begin objectID=4"}));
}

TEST(TracerTest, RunawayNestingWarnsFromThe1001stBeginAndDepthStopsAt1000) {
    CapturingTracer tracer;
    const Tracer::Operation operation = MakeOperation("Recursive()");
    for (int begin = 0; begin < 1000; ++begin) {
        tracer.OperationBegin(operation);
    }
    EXPECT_EQ(tracer.GetDepth(), 1000u);
    EXPECT_EQ(tracer.GetLines().size(), 1000u);
    tracer.ClearLines();

    tracer.OperationBegin(operation);
    tracer.OperationBegin(operation);
    EXPECT_EQ(tracer.GetDepth(), 1000u);
    const std::string deepest = "|---------- Recursive() begin objectID=0";
    EXPECT_EQ(tracer.GetLines(), (Lines{Tracer::kUnpairedBeginMessage, deepest, Tracer::kUnpairedBeginMessage,
                                        deepest}));

    // Tracing goes on: the ends unwind the counted depth.
    for (int end = 0; end < 1000; ++end) {
        tracer.OperationEnd(operation, 0);
    }
    EXPECT_EQ(tracer.GetDepth(), 0u);
}

// ---- Modes ------------------------------------------------------------------------------------

TEST(TracerTest, DisabledTracerPrintsNothingAndCreatesNoThreadState) {
    CapturingTracer disabled(Tracer::Mode::Disabled);
    CapturingTracer enabled(Tracer::Mode::Stderr);
    const Tracer::Operation operation = MakeOperation("Device::DoIOOperation()", 2);
    bool disabledHasState = true;
    bool enabledHasState = false;
    // A fresh thread has no state from earlier tests.
    std::thread([&] {
        for (CapturingTracer* tracer : {&disabled, &enabled}) {
            tracer->OperationBegin(operation);
            tracer->Message("cycle %u", 1u);
            tracer->OperationEnd(operation, 0);
            tracer->OperationEnd(operation, 0);  // unpaired: would warn if traced
        }
        disabledHasState = disabled.HasThreadLocalState();
        enabledHasState = enabled.HasThreadLocalState();
    }).join();
    EXPECT_FALSE(disabledHasState);
    EXPECT_TRUE(enabledHasState) << "the probe must see state where tracing ran";
    EXPECT_TRUE(disabled.GetLines().empty());
    EXPECT_EQ(enabled.GetLines().size(), 5u);
}

TEST(TracerTest, UnknownModeTracesButTheBasePrintWritesNothing) {
    const auto otherMode = static_cast<Tracer::Mode>(3);
    Tracer plain(otherMode, Tracer::Style::Hierarchical);
    testing::internal::CaptureStderr();
    plain.Message("nowhere");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    CapturingTracer capturing(otherMode);
    capturing.Message("somewhere");
    EXPECT_EQ(capturing.GetLines(), Lines{"|- somewhere"});
}

// Each tracer takes a thread-specific key, and a process has about a thousand of them: tracers
// that come and go (one per test context) must give theirs back or tracing breaks.
TEST(TracerTest, ManyTracersInTurnEachKeepTheirDepth) {
    for (int index = 0; index < 2000; ++index) {
        CapturingTracer tracer;
        const Tracer::Operation operation = MakeOperation("Op()");
        tracer.OperationBegin(operation);
        tracer.OperationBegin(operation);
        const Lines lines = tracer.GetLines();
        ASSERT_EQ(lines.size(), 2u) << "tracer " << index;
        ASSERT_EQ(lines[1], "|-- Op() begin objectID=0") << "tracer " << index;
        // Left open on purpose: the tracer frees this thread's state when it goes.
    }
}

}  // namespace
