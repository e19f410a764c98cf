// The client property query of the substitute audio system.

#include <CoreAudio/AudioHardware.h>

// The one place where a client's property query meets the audio server. No server runs on these
// systems yet, so every query is answered as the platform answers when its server is down, and the
// caller's outputs are left as they were. The simulated audio server will answer here.
extern "C" OSStatus AudioObjectGetPropertyData([[maybe_unused]] AudioObjectID inObjectID,
                                               [[maybe_unused]] const AudioObjectPropertyAddress* inAddress,
                                               [[maybe_unused]] UInt32 inQualifierDataSize,
                                               [[maybe_unused]] const void* inQualifierData,
                                               [[maybe_unused]] UInt32* ioDataSize,
                                               [[maybe_unused]] void* outData) {
    return kAudioHardwareNotRunningError;
}
