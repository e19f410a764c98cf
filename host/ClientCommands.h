#pragma once

// `pelio-host list` and `pelio-host set-default UID`: what an application does with the audio
// system, written against the platform's client calls alone (<CoreAudio/AudioHardware.h>), so the
// same code builds on macOS. Each returns the command's exit status: 0, or 1 after a line on
// `errors` saying what went wrong (the audio server not running among it).

#include <cstdio>
#include <string>

namespace pelio::host {

// One line per device that the system object lists: its ID, name and UID, and which defaults it is.
int ListDevices(std::FILE* out, std::FILE* errors);

// Makes the device with the UID the default output device.
int SetDefaultOutputDevice(const std::string& uid, std::FILE* out, std::FILE* errors);

} // namespace pelio::host
