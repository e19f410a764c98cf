#pragma once

// `pelio-host list` and `pelio-host set-default UID`: what an application does with the audio
// system, written against the platform's client calls alone (<CoreAudio/AudioHardware.h>), so the
// same code builds on macOS. Each returns the command's exit status: 0, or 1 after a line on
// `errors` saying what went wrong (the audio server not running among it).

#include <CoreAudio/AudioHardware.h>

#include <cstdio>
#include <string>

namespace pelio::host {

// One line per device that the system object lists: its ID, name and UID, and which defaults it is.
int ListDevices(std::FILE* out, std::FILE* errors);

// Makes the device with the UID the default output device.
int SetDefaultOutputDevice(const std::string& uid, std::FILE* out, std::FILE* errors);

// ---- What the commands share, on the same client calls -------------------------------------------

// The device with the UID, kAudioObjectUnknown when none has it; the client call's status.
OSStatus TranslateDeviceUID(const std::string& uid, AudioObjectID& deviceID);
OSStatus ReadDefaultOutputDevice(AudioObjectID& deviceID);
OSStatus ReadNominalSampleRate(AudioObjectID deviceID, Float64& sampleRate);
// The object's name, or "?" when it cannot be read.
std::string ReadName(AudioObjectID objectID);
// Writes the line for a failed client call and returns the exit status 1.
int ReportFailure(std::FILE* errors, const std::string& what, OSStatus status);

} // namespace pelio::host
