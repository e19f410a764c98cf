// What the device's property tables cost against the way single-file drivers answer: a switch
// over the selector that writes a global value into the host's buffer. Two reads: the 4-byte
// DeviceIsRunning, and the device name with its new CFString (created and released in both).
//
// The floor is that switch, called through a function pointer as the host calls a driver. The
// table side is the device's GetPropertyData, a virtual call, with a disabled tracer: the trace
// frame, the null-address and object-ID checks, the row lookup and the row's steps. The interface
// side is what the host calls: the driver's table entry, the bridge's lookup of the object by ID
// (holding it for the call), then the same table answer.

#include "hal/Context.h"
#include "hal/Device.h"
#include "hal/Driver.h"
#include "hal/Plugin.h"
#include "hal/Tracer.h"

#include <CoreAudio/AudioServerPlugIn.h>
#include <CoreFoundation/CoreFoundation.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

namespace {

double Maximum(const std::vector<double>& values)
{
    return *std::max_element(values.begin(), values.end());
}

constexpr AudioObjectID kDeviceID = 2;

// The state a single-file driver keeps in globals.
struct HandWrittenDevice
{
    std::atomic<UInt32> ioStartCount{0};
    const char* name = "Virtual Audio Device";
    Float64 sampleRate = 44100.0;
};

HandWrittenDevice gHandWritten;

// Answers the same selectors as the device does, as such drivers do: one case per selector.
__attribute__((noinline)) OSStatus HandWrittenGetPropertyData(AudioObjectID objectID,
                                                              const AudioObjectPropertyAddress* address,
                                                              UInt32 inDataSize, UInt32* outDataSize, void* outData)
{
    if (address == nullptr || outDataSize == nullptr || outData == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    if (objectID != kDeviceID) {
        return kAudioHardwareBadObjectError;
    }
    switch (address->mSelector) {
    case kAudioObjectPropertyName: {
        if (inDataSize < sizeof(CFStringRef)) {
            return kAudioHardwareBadPropertySizeError;
        }
        const CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, gHandWritten.name,
                                                           kCFStringEncodingUTF8);
        std::memcpy(outData, &name, sizeof name);
        *outDataSize = sizeof name;
        return 0;
    }
    case kAudioDevicePropertyNominalSampleRate:
        if (inDataSize < sizeof(Float64)) {
            return kAudioHardwareBadPropertySizeError;
        }
        std::memcpy(outData, &gHandWritten.sampleRate, sizeof(Float64));
        *outDataSize = sizeof(Float64);
        return 0;
    case kAudioDevicePropertyTransportType:
    case kAudioDevicePropertyClockDomain:
    case kAudioDevicePropertyLatency:
    case kAudioDevicePropertySafetyOffset:
    case kAudioDevicePropertyZeroTimeStampPeriod:
    case kAudioDevicePropertyDeviceIsAlive:
    case kAudioDevicePropertyIsHidden:
    case kAudioDevicePropertyDeviceCanBeDefaultDevice:
    case kAudioDevicePropertyDeviceCanBeDefaultSystemDevice:
    case kAudioObjectPropertyIdentify: {
        if (inDataSize < sizeof(UInt32)) {
            return kAudioHardwareBadPropertySizeError;
        }
        const UInt32 value = address->mSelector == kAudioDevicePropertyDeviceIsAlive ? 1 : 0;
        std::memcpy(outData, &value, sizeof value);
        *outDataSize = sizeof value;
        return 0;
    }
    case kAudioDevicePropertyDeviceIsRunning: {
        if (inDataSize < sizeof(UInt32)) {
            return kAudioHardwareBadPropertySizeError;
        }
        const UInt32 value = gHandWritten.ioStartCount.load(std::memory_order_acquire) > 0 ? 1 : 0;
        std::memcpy(outData, &value, sizeof value);
        *outDataSize = sizeof value;
        return 0;
    }
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

using GetPropertyDataFunction = OSStatus (*)(AudioObjectID, const AudioObjectPropertyAddress*, UInt32, UInt32*, void*);

struct DeviceFixture
{
    std::shared_ptr<hal::Context> context = std::make_shared<hal::Context>(
        std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Flat));
    std::shared_ptr<hal::Device> device = hal::MakeObject<hal::Device>(context, hal::DeviceParameters{});
};

// Reads `selector` into an 8-byte buffer with `read` on every iteration, releasing the CFString
// of a name read as the host would.
template <class Read>
void ReadInALoop(benchmark::State& state, AudioObjectPropertySelector selector, UInt32 size, Read read)
{
    const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    alignas(8) unsigned char buffer[8] = {};
    UInt32 written = 0;
    for (auto _ : state) {
        const OSStatus status = read(address, size, &written, buffer);
        benchmark::DoNotOptimize(status);
        if (selector == kAudioObjectPropertyName) {
            CFTypeRef reference = nullptr;
            std::memcpy(&reference, buffer, sizeof reference);
            CFRelease(reference);
        }
        benchmark::ClobberMemory();
    }
}

void ReadThroughTheTable(benchmark::State& state, AudioObjectPropertySelector selector, UInt32 size)
{
    DeviceFixture fixture;
    const hal::Object* object = fixture.device.get();
    const AudioObjectID objectID = fixture.device->GetID();
    ReadInALoop(state, selector, size,
                [&](const AudioObjectPropertyAddress& address, UInt32 inDataSize, UInt32* outDataSize, void* outData) {
                    benchmark::DoNotOptimize(object);
                    return object->GetPropertyData(objectID, 0, &address, 0, nullptr, inDataSize, outDataSize,
                                                   outData);
                });
}

// The whole way from the host: the driver's interface table, the bridge, the device's table.
void ReadThroughTheInterface(benchmark::State& state, AudioObjectPropertySelector selector, UInt32 size)
{
    DeviceFixture fixture;
    const auto plugin = hal::MakeObject<hal::Plugin>(fixture.context);
    plugin->AddDevice(fixture.device);
    hal::Driver driver(fixture.context, plugin);
    AudioServerPlugInDriverRef reference = driver.GetReference();
    const AudioServerPlugInDriverInterface* table = *reference;
    const AudioObjectID objectID = fixture.device->GetID();
    ReadInALoop(state, selector, size,
                [&](const AudioObjectPropertyAddress& address, UInt32 inDataSize, UInt32* outDataSize, void* outData) {
                    benchmark::DoNotOptimize(table);
                    return table->GetPropertyData(reference, objectID, 0, &address, 0, nullptr, inDataSize,
                                                  outDataSize, outData);
                });
}

void ReadThroughTheSwitch(benchmark::State& state, AudioObjectPropertySelector selector, UInt32 size)
{
    GetPropertyDataFunction function = HandWrittenGetPropertyData;
    ReadInALoop(state, selector, size,
                [&](const AudioObjectPropertyAddress& address, UInt32 inDataSize, UInt32* outDataSize, void* outData) {
                    benchmark::DoNotOptimize(function);
                    return function(kDeviceID, &address, inDataSize, outDataSize, outData);
                });
}

void BM_IsRunningHandWrittenSwitch(benchmark::State& state)
{
    ReadThroughTheSwitch(state, kAudioDevicePropertyDeviceIsRunning, 4);
}

void BM_IsRunningDeviceTable(benchmark::State& state)
{
    ReadThroughTheTable(state, kAudioDevicePropertyDeviceIsRunning, 4);
}

void BM_IsRunningInterfaceTable(benchmark::State& state)
{
    ReadThroughTheInterface(state, kAudioDevicePropertyDeviceIsRunning, 4);
}

void BM_NameInterfaceTable(benchmark::State& state)
{
    ReadThroughTheInterface(state, kAudioObjectPropertyName, 8);
}

void BM_NameHandWrittenSwitch(benchmark::State& state)
{
    ReadThroughTheSwitch(state, kAudioObjectPropertyName, 8);
}

void BM_NameDeviceTable(benchmark::State& state)
{
    ReadThroughTheTable(state, kAudioObjectPropertyName, 8);
}

BENCHMARK(BM_IsRunningHandWrittenSwitch)->ComputeStatistics("max", Maximum);
BENCHMARK(BM_IsRunningDeviceTable)->ComputeStatistics("max", Maximum);
BENCHMARK(BM_IsRunningInterfaceTable)->ComputeStatistics("max", Maximum);
BENCHMARK(BM_NameHandWrittenSwitch)->ComputeStatistics("max", Maximum);
BENCHMARK(BM_NameDeviceTable)->ComputeStatistics("max", Maximum);
BENCHMARK(BM_NameInterfaceTable)->ComputeStatistics("max", Maximum);

} // namespace
