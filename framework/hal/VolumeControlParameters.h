#pragma once

// What an application decides about a volume control before it exists: the scope it controls and
// the range of its raw values with the decibels at both ends. A plain record; the defaults are the
// range a device gives the volume control it creates with a stream (raw 0 to 96, -96 dB to 0 dB:
// one decibel per raw step). The control copies it at construction and never looks at the
// caller's copy again, so it may be built on any thread and reused for several controls.

#include <CoreAudio/AudioServerPlugIn.h>
#include <MacTypes.h>

namespace hal {

struct VolumeControlParameters
{
    // kAudioObjectPropertyScopeOutput or kAudioObjectPropertyScopeInput.
    AudioObjectPropertyScope Scope = kAudioObjectPropertyScopeOutput;
    // MinRawValue must lie below MaxRawValue, and the decibels must be finite and must not fall
    // from the minimum to the maximum; otherwise the control refuses the range (see VolumeControl).
    SInt32 MinRawValue = 0;
    // Also the initial raw value: a new control plays at full volume.
    SInt32 MaxRawValue = 96;
    Float32 MinDecibelValue = -96.0f;
    Float32 MaxDecibelValue = 0.0f;
};

} // namespace hal
