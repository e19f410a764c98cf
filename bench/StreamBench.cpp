// Cost of a stream's processing of one IO cycle (512 frames, stereo, 32-bit float) with a volume
// and a mute control attached, as the IO handler's defaults run it, beside the floor: a plain loop
// that multiplies the same buffer by a constant gain. Between them lie the two double-buffer reads
// of the attached controls, the volume's gain computation from its raw value and its limit to
// [-1.0, 1.0], and the mute control's flag check.
//
// The volume stays at unity and the mute off, so that the samples keep their values across
// iterations (a gain below 1 would drive them into denormals and time those instead); the
// floor's gain is read at run time, so that the compiler cannot drop the multiplication.

#include "hal/Context.h"
#include "hal/Device.h"
#include "hal/MuteControl.h"
#include "hal/Stream.h"
#include "hal/Tracer.h"
#include "hal/VolumeControl.h"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <memory>
#include <vector>

namespace {

constexpr UInt32 kFrames = 512;
constexpr UInt32 kChannels = 2;

std::vector<Float32> MakeSignal()
{
    std::vector<Float32> samples(std::size_t{kFrames} * kChannels);
    for (std::size_t index = 0; index < samples.size(); ++index) {
        samples[index] = static_cast<Float32>(index % 200) / 100.0f - 1.0f;
    }
    return samples;
}

struct StreamWithControls
{
    explicit StreamWithControls(bool attachControls)
    {
        hal::StreamParameters parameters;
        parameters.Format = {48000.0, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
                             8, 1, 8, 2, 32, 0};
        stream = hal::MakeObject<hal::Stream>(context, device, parameters);
        if (attachControls) {
            stream->AttachVolumeControl(volume);
            stream->AttachMuteControl(mute);
        }
    }

    std::shared_ptr<hal::Context> context = std::make_shared<hal::Context>(
        std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Flat));
    std::shared_ptr<hal::Device> device = hal::MakeObject<hal::Device>(context, hal::DeviceParameters{});
    std::shared_ptr<hal::VolumeControl> volume =
        hal::MakeObject<hal::VolumeControl>(context, hal::VolumeControlParameters{});
    std::shared_ptr<hal::MuteControl> mute = hal::MakeObject<hal::MuteControl>(context, hal::MuteControlParameters{});
    std::shared_ptr<hal::Stream> stream;
};

void StreamProcessing(benchmark::State& state, bool attachControls)
{
    StreamWithControls fixture(attachControls);
    std::vector<Float32> samples = MakeSignal();
    for (auto _ : state) {
        fixture.stream->ApplyProcessing(samples.data(), kFrames, kChannels);
        benchmark::DoNotOptimize(samples.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kFrames * kChannels);
}

void BM_StreamProcessingWithVolumeAndMute(benchmark::State& state)
{
    StreamProcessing(state, true);
}

// The stream's own share: two double-buffer reads that find no control.
void BM_StreamProcessingWithoutControls(benchmark::State& state)
{
    StreamProcessing(state, false);
}

void BM_MultiplyByConstantFloor(benchmark::State& state)
{
    std::vector<Float32> samples = MakeSignal();
    Float32 gain = 1.0f;
    benchmark::DoNotOptimize(gain);
    for (auto _ : state) {
        Float32* data = samples.data();
        for (std::size_t index = 0; index < std::size_t{kFrames} * kChannels; ++index) {
            data[index] *= gain;
        }
        benchmark::DoNotOptimize(samples.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kFrames * kChannels);
}

BENCHMARK(BM_MultiplyByConstantFloor);
BENCHMARK(BM_StreamProcessingWithVolumeAndMute);
BENCHMARK(BM_StreamProcessingWithoutControls);

} // namespace
