// One IO cycle of the assembled Pelio driver (pelio::createDriver) as the host's IO thread runs it,
// through the driver's interface table: GetZeroTimeStamp, then BeginIOOperation, DoIOOperation and
// EndIOOperation for ProcessMix and for WriteMix of 512 stereo 32-bit float frames. Seven calls,
// each through the bridge (the driver from the reference, the dispatcher's lookup of the device,
// the device held for the call) into the device's IO operation under its IO mutex; WriteMix ends
// in the Pelio handler, which packs the 4096 bytes into a datagram in its ring.
//
// Beside it, in the same run, the floor: the same memory work in plain loops. The stream's
// processing (the Pelio stream has no volume or mute control, so there are no samples to touch),
// one read of the host clock (the zero time stamp's), and one 4096-byte copy with a 16-byte header
// into the next of 16 ring-sized slots, exactly as the handler's own floor in
// PelioHandlerBench.cpp.
//
// Arrangement. IO is not started, so the handler's sender thread does not exist and nothing else
// touches the ring while a span is timed; the IO operations run the same code whether IO runs or
// not (the device does not look), and the clock answers as for a host that asks late, one period
// per call. Each span times 16 cycles (one ring's worth); between spans, outside the timed span, the
// ring is freed the way a sender frees it, so every timed WriteMix queues its packet rather than
// dropping it. Per-cycle figures are 16-cycle spans divided by 16.

#include "PacketRing.h"
#include "PelioAssembly.h"
#include "PelioHandler.h"

#include "hal/Device.h"
#include "hal/Driver.h"
#include "hal/Plugin.h"
#include "hal/Stream.h"

#include <CoreAudio/AudioServerPlugIn.h>

#include <benchmark/benchmark.h>

#include <mach/mach_time.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

using pelio::PelioHandler;
using pelio::bench::kCycleFrames;

constexpr std::size_t kBatch = PelioHandler::kRingSlots;

struct AssembledDriver
{
    AssembledDriver()
    {
        const auto device = driver->GetPlugin()->GetDeviceByIndex(0);
        deviceID = device->GetID();
        streamID = device->GetStreamByIndex(hal::Direction::Output, 0)->GetID();
        handler = dynamic_cast<PelioHandler*>(device->GetIOHandler());
        if (handler == nullptr) {
            throw std::logic_error("the device's IO handler is not the Pelio handler");
        }
    }

    void Cycle(Float32* mix)
    {
        Float64 sampleTime = 0;
        UInt64 hostTime = 0;
        UInt64 seed = 0;
        table.GetZeroTimeStamp(reference, deviceID, 0, &sampleTime, &hostTime, &seed);
        cycle.mOutputTime.mSampleTime = sampleTime;
        for (const UInt32 operation : {kAudioServerPlugInIOOperationProcessMix, kAudioServerPlugInIOOperationWriteMix}) {
            table.BeginIOOperation(reference, deviceID, 0, operation, kCycleFrames, &cycle);
            table.DoIOOperation(reference, deviceID, streamID, 0, operation, kCycleFrames, &cycle, mix, nullptr);
            table.EndIOOperation(reference, deviceID, 0, operation, kCycleFrames, &cycle);
        }
    }
    void EndBatch() { pelio::PelioHandlerInspector::EmptyRing(*handler); }

    std::shared_ptr<hal::Driver> driver = pelio::createDriver();
    AudioServerPlugInDriverRef reference = driver->GetReference();
    const AudioServerPlugInDriverInterface& table = **reference;
    AudioObjectID deviceID = 0;
    AudioObjectID streamID = 0;
    PelioHandler* handler = nullptr;
    AudioServerPlugInIOCycleInfo cycle{};
};

struct Floor
{
    void Cycle(Float32* mix)
    {
        benchmark::DoNotOptimize(mach_absolute_time());
        packets.Write(mix);
    }
    void EndBatch() {}

    pelio::bench::PacketFloor<PelioHandler::kRingSlots> packets;
};

template <class Target>
void BM_PelioCycle(benchmark::State& state)
{
    Target target;
    std::vector<Float32> mix = pelio::bench::MakeMix();
    std::vector<double> perCycle;
    perCycle.reserve(static_cast<std::size_t>(state.max_iterations));

    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t index = 0; index < kBatch; ++index) {
            target.Cycle(mix.data());
        }
        const auto end = std::chrono::steady_clock::now();
        const std::chrono::duration<double> span = end - start;
        state.SetIterationTime(span.count());
        perCycle.push_back(std::chrono::duration<double, std::nano>(span).count() / kBatch);
        target.EndBatch();
    }
    pelio::bench::ReportPerCall(state, perCycle);
}

BENCHMARK_TEMPLATE(BM_PelioCycle, Floor)->UseManualTime();
BENCHMARK_TEMPLATE(BM_PelioCycle, AssembledDriver)->UseManualTime();

} // namespace
