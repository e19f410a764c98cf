#pragma once

// What an application decides about a mute control before it exists: the scope it mutes. A plain
// record; the control copies it at construction, so it may be built on any thread and reused.

#include <CoreAudio/AudioServerPlugIn.h>

namespace hal {

struct MuteControlParameters
{
    // kAudioObjectPropertyScopeOutput or kAudioObjectPropertyScopeInput.
    AudioObjectPropertyScope Scope = kAudioObjectPropertyScopeOutput;
};

} // namespace hal
