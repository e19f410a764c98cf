#pragma once

// What an application decides about a device before it exists: identity, clock, initial format
// values and two behaviour switches. A plain record with a working default for every field; the
// device copies it whole at construction and never looks at the caller's copy again, so it may be
// built on any thread and reused for several devices.

#include <CoreAudio/AudioServerPlugIn.h>
#include <MacTypes.h>

#include <string>

namespace hal {

struct DeviceParameters
{
    // Strings are UTF-8; they become CoreFoundation objects only when the host reads them.
    std::string Name = "Virtual Audio Device";
    std::string Manufacturer = "Virtual Audio";
    // Empty: the device generates "<ModelUID>:<random id>" at construction, different every time.
    std::string DeviceUID;
    std::string ModelUID = "virtual-audio";
    std::string SerialNumber;
    std::string FirmwareVersion;
    std::string IconURL;
    std::string ConfigurationApplicationBundleID;

    // Initial values; the device's immediate setters change them later.
    bool CanBeDefaultDevice = true;
    bool CanBeDefaultSystemDevice = true;

    // Initial nominal sample rate in Hz, and the zero time stamp period when that is left at 0.
    UInt32 SampleRate = 44100;
    // The preferred channel count when neither a count, nor channels, nor a layout has been set.
    UInt32 ChannelCount = 2;
    // In frames; initial values that configuration changes may replace.
    UInt32 Latency = 0;
    UInt32 SafetyOffset = 0;
    UInt32 ZeroTimeStampPeriod = 0;

    bool ClockIsStable = true;
    UInt32 ClockAlgorithm = kAudioDeviceClockAlgorithmSimpleIIR;
    UInt32 ClockDomain = 0;

    // True: the host hands the device the mix of all clients (ProcessMix, WriteMix); false: each
    // client's output separately (MixOutput).
    bool MixingEnabled = true;
    // Traces every step of the real-time IO path. Formats and allocates on the IO thread: for
    // diagnosis only.
    bool RealtimeTracingEnabled = false;
};

} // namespace hal
