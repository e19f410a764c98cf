#include "hal/Tracer.h"

#include "CapturingTracer.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using hal::Tracer;
using pelio::test::CapturingTracer;

// Threads nest operations on one tracer at the same time. Each thread's own lines, picked out of
// the shared record by its operation name, must show its own depths only: a depth shared between
// threads, or a race on the tracer's state, shows as a wrong prefix (or as a report under
// ThreadSanitizer).
TEST(TracerConcurrencyTest, ThreadsTracingAtOnceNestIndependently) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    constexpr int kNesting = 3;
    CapturingTracer tracer;
    const std::string names[kThreads] = {"T0::Op()", "T1::Op()", "T2::Op()", "T3::Op()"};

    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([&, thread] {
            Tracer::Operation operation;
            operation.Name = names[thread].c_str();
            for (int round = 0; round < kRounds; ++round) {
                for (int level = 0; level < kNesting; ++level) tracer.OperationBegin(operation);
                for (int level = 0; level < kNesting; ++level) tracer.OperationEnd(operation, 0);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    std::map<std::string, std::vector<std::string>> linesByName;
    for (const std::string& line : tracer.GetLines()) {
        const std::size_t nameStart = line.find(' ') + 1;
        linesByName[line.substr(nameStart, line.find(' ', nameStart) - nameStart)].push_back(line);
    }
    for (const std::string& name : names) {
        const std::vector<std::string>& lines = linesByName[name];
        ASSERT_EQ(lines.size(), static_cast<std::size_t>(kRounds * kNesting * 2)) << name;
        for (std::size_t index = 0; index < lines.size(); ++index) {
            const std::size_t step = index % (kNesting * 2);
            const bool begin = step < kNesting;
            const int depth = begin ? static_cast<int>(step) + 1 : kNesting * 2 - static_cast<int>(step);
            const std::string expected = "|" + std::string(depth, '-') + " " + name +
                                         (begin ? " begin objectID=0" : " end status=OK");
            ASSERT_EQ(lines[index], expected) << name << " line " << index;
        }
    }
}

}  // namespace
