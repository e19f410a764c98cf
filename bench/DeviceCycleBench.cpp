// Cost of one IO cycle of a device alone, as the host runs it on its IO thread: the zero time stamp,
// then ProcessMix and WriteMix of 512 stereo 32-bit float frames, each bracketed by Begin and End,
// through the default IO handler with a volume and a mute control attached to the stream. Real-
// time tracing is off, as shipped.
//
// Beside it, in the same run, the floors: the same arithmetic in plain loops, with nothing of the
// framework around it. The host clock read, and
// - the multiply floor: the samples multiplied by the gain, nothing more;
// - the arithmetic floor: multiplied by the gain, limited to [-1.0, 1.0] and NaN silenced, as the
//   volume control must, written with the minimum and maximum instructions the limit comes down
//   to where the target has them.
// Between the cycle and the arithmetic floor lie the framework's own costs: the IO mutex, the
// lookups, the double-buffer reads of handler, stream, client and controls, the gain computation
// from the raw value, the mute check and the virtual calls.
//
// Each iteration is timed on its own, so that the tail shows: p50_ns and p99_ns are the median and
// the 99th percentile of one iteration, two steady-clock reads included (in the floors alike).
//
// The volume stays at unity and the mute off, so that the samples keep their values across
// iterations (a gain below 1 would drive them into denormals and time those instead); the
// floors' gain is read at run time, so that the compiler cannot drop the multiplication.

#include "hal/Context.h"
#include "hal/Device.h"
#include "hal/MuteControl.h"
#include "hal/Stream.h"
#include "hal/Tracer.h"
#include "hal/VolumeControl.h"

#include <benchmark/benchmark.h>

#include <mach/mach_time.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr UInt32 kFrames = 512;
constexpr UInt32 kChannels = 2;
constexpr std::size_t kSamples = std::size_t{kFrames} * kChannels;

std::vector<Float32> MakeSignal()
{
    std::vector<Float32> samples(kSamples);
    for (std::size_t index = 0; index < samples.size(); ++index) {
        samples[index] = static_cast<Float32>(index % 200) / 100.0f - 1.0f;
    }
    return samples;
}

// Runs `body` once per iteration, timing each run, and reports the median and 99th percentile.
template <class Body>
void TimeEachIteration(benchmark::State& state, Body&& body)
{
    // Enough for the fastest benchmark's iterations; later ones go untimed rather than allocate.
    std::vector<double> durations;
    durations.reserve(std::size_t{1} << 23);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        body();
        const auto end = std::chrono::steady_clock::now();
        if (durations.size() < durations.capacity()) {
            durations.push_back(std::chrono::duration<double, std::nano>(end - start).count());
        }
    }
    std::sort(durations.begin(), durations.end());
    const auto percentile = [&](double fraction) {
        return durations.empty() ? 0.0 : durations[static_cast<std::size_t>(fraction * (durations.size() - 1))];
    };
    state.counters["p50_ns"] = percentile(0.50);
    state.counters["p99_ns"] = percentile(0.99);
    state.SetItemsProcessed(state.iterations() * kSamples);
}

struct RunningDevice
{
    RunningDevice()
    {
        hal::DeviceParameters parameters;
        parameters.SampleRate = 48000;
        device = hal::MakeObject<hal::Device>(context, parameters);
        hal::StreamParameters streamParameters;
        streamParameters.Format = {48000.0, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
                                   8, 1, 8, kChannels, 32, 0};
        stream = device->AddStreamWithControlsAsync(streamParameters);
        device->StartIO(device->GetID(), 1);
    }

    ~RunningDevice() { device->StopIO(device->GetID(), 1); }

    std::shared_ptr<hal::Context> context = std::make_shared<hal::Context>(
        std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Flat));
    std::shared_ptr<hal::Device> device;
    std::shared_ptr<hal::Stream> stream;
};

void BM_DeviceCycle(benchmark::State& state)
{
    RunningDevice fixture;
    hal::Device& device = *fixture.device;
    const AudioObjectID deviceID = device.GetID();
    const AudioObjectID streamID = fixture.stream->GetID();
    AudioServerPlugInIOCycleInfo cycle{};
    std::vector<Float32> samples = MakeSignal();
    TimeEachIteration(state, [&] {
        Float64 sampleTime = 0.0;
        UInt64 hostTime = 0;
        UInt64 seed = 0;
        device.GetZeroTimeStamp(deviceID, 0, &sampleTime, &hostTime, &seed);
        cycle.mOutputTime.mSampleTime = sampleTime;
        for (const UInt32 operation : {kAudioServerPlugInIOOperationProcessMix, kAudioServerPlugInIOOperationWriteMix}) {
            device.BeginIOOperation(deviceID, 0, operation, kFrames, &cycle);
            device.DoIOOperation(deviceID, streamID, 0, operation, kFrames, &cycle, samples.data(), nullptr);
            device.EndIOOperation(deviceID, 0, operation, kFrames, &cycle);
        }
        benchmark::DoNotOptimize(samples.data());
        benchmark::ClobberMemory();
    });
}

void BM_CycleMultiplyFloor(benchmark::State& state)
{
    std::vector<Float32> samples = MakeSignal();
    Float32 gain = 1.0f;
    benchmark::DoNotOptimize(gain);
    TimeEachIteration(state, [&] {
        benchmark::DoNotOptimize(mach_absolute_time());
        Float32* data = samples.data();
        for (std::size_t index = 0; index < kSamples; ++index) {
            data[index] *= gain;
        }
        benchmark::DoNotOptimize(samples.data());
        benchmark::ClobberMemory();
    });
}

void BM_CycleArithmeticFloor(benchmark::State& state)
{
    std::vector<Float32> samples = MakeSignal();
    Float32 gain = 1.0f;
    benchmark::DoNotOptimize(gain);
    TimeEachIteration(state, [&] {
        benchmark::DoNotOptimize(mach_absolute_time());
        Float32* data = samples.data();
        std::size_t index = 0;
#if defined(__SSE2__)
        const __m128 scale = _mm_set1_ps(gain);
        const __m128 high = _mm_set1_ps(1.0f);
        const __m128 low = _mm_set1_ps(-1.0f);
        for (; index + 4 <= kSamples; index += 4) {
            __m128 x = _mm_mul_ps(_mm_loadu_ps(data + index), scale);
            x = _mm_and_ps(x, _mm_cmpord_ps(x, x));
            _mm_storeu_ps(data + index, _mm_max_ps(_mm_min_ps(x, high), low));
        }
#endif
        for (; index < kSamples; ++index) {
            Float32 x = data[index] * gain;
            x = x == x ? x : 0.0f;
            x = x < 1.0f ? x : 1.0f;
            data[index] = x > -1.0f ? x : -1.0f;
        }
        benchmark::DoNotOptimize(samples.data());
        benchmark::ClobberMemory();
    });
}

BENCHMARK(BM_CycleMultiplyFloor);
BENCHMARK(BM_CycleArithmeticFloor);
BENCHMARK(BM_DeviceCycle);

} // namespace
