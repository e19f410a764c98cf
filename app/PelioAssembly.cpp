#include "PelioAssembly.h"

#include "PelioHandler.h"

#include "hal/Context.h"
#include "hal/Device.h"
#include "hal/Driver.h"
#include "hal/Plugin.h"
#include "hal/Tracer.h"

namespace pelio {

hal::DeviceParameters MakeDeviceParameters()
{
    hal::DeviceParameters parameters;
    parameters.Name = "Pelio iPhone";
    parameters.Manufacturer = "Pelio Audio";
    parameters.DeviceUID = kDeviceUID;
    parameters.ModelUID = kModelUID;
    parameters.ConfigurationApplicationBundleID = "local.pelio.audio";
    // An output for music and calls, not for the system's alert sounds.
    parameters.CanBeDefaultSystemDevice = false;
    parameters.SampleRate = PelioHandler::kSampleRate;
    parameters.ChannelCount = PelioHandler::kChannelCount;
    // The host mixes the applications' output; the mix is what the handler sends.
    parameters.MixingEnabled = true;
    return parameters;
}

hal::StreamParameters MakeStreamParameters()
{
    hal::StreamParameters parameters;
    parameters.Direction = hal::Direction::Output;
    parameters.StartingChannel = 1;
    // The datagrams carry exactly this format, byte for byte.
    parameters.Format = AudioStreamBasicDescription{
        .mSampleRate = PelioHandler::kSampleRate,
        .mFormatID = kAudioFormatLinearPCM,
        .mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
        .mBytesPerPacket = PelioHandler::kBytesPerFrame,
        .mFramesPerPacket = 1,
        .mBytesPerFrame = PelioHandler::kBytesPerFrame,
        .mChannelsPerFrame = PelioHandler::kChannelCount,
        .mBitsPerChannel = 32,
        .mReserved = 0,
    };
    parameters.Latency = 0;
    return parameters;
}

std::shared_ptr<hal::Driver> createDriver()
{
    const auto tracer = std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Hierarchical);
    const auto context = std::make_shared<hal::Context>(tracer);

    // The first object the dispatcher numbers: ID 2. The host is not known yet, so the stream is
    // added at once (ID 3) and the device owns it when this returns.
    const auto device = hal::MakeObject<hal::Device>(context, MakeDeviceParameters());
    device->AddStreamAsync(MakeStreamParameters());

    // One handler in both roles: it starts and stops its sender with IO and sends the mix.
    const auto handler = std::make_shared<PelioHandler>();
    device->SetControlHandler(handler);
    device->SetIOHandler(handler);

    const auto plugin = hal::MakeObject<hal::Plugin>(context);
    plugin->AddDevice(device);
    return std::make_shared<hal::Driver>(context, plugin);
}

} // namespace pelio
