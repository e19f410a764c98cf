#pragma once

// The Pelio device's object tree: one output device, "Pelio iPhone", with one stereo 32-bit float
// output stream at 48 kHz, whose mixed output the Pelio handler sends to 127.0.0.1:47583; owned by
// the plug-in object, owned by the driver that the audio server holds.
//
// Everything here is fixed at build time; nothing is read from files, options or the environment.
// Building allocates and may throw (memory exhaustion); it runs once per process, before the host
// has initialised the driver, so every configuration change of the assembly applies at once.

#include "hal/DeviceParameters.h"
#include "hal/StreamParameters.h"

#include <memory>

namespace hal {
class Driver;
}

namespace pelio {

// The device's identity as the audio system and pelio-probe see it.
inline constexpr const char* kDeviceUID = "local.pelio.audio.iphone.output";
inline constexpr const char* kModelUID = "local.pelio.audio.iphone";

// The device's parameters: the defaults, with Pelio's name, identity and format.
hal::DeviceParameters MakeDeviceParameters();
// The one output stream: 48000 Hz, 2 channels of packed native-endian 32-bit float, 8 bytes a frame.
hal::StreamParameters MakeStreamParameters();

// Builds the whole tree (tracing disabled) and returns the driver, which owns it.
std::shared_ptr<hal::Driver> createDriver();

} // namespace pelio
