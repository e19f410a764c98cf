// The client property query while no audio server runs: every query is refused with 'stop', and
// the caller's size and data are left exactly as they were, so a caller that pre-sets its outputs
// (as the status probe does) reads its own defaults back.

#include <CoreAudio/AudioHardware.h>

#include <gtest/gtest.h>

#include <cstdint>

namespace {

struct Query {
    const char* name;
    AudioObjectID objectID;
    AudioObjectPropertySelector selector;
    bool withQualifier;
};

constexpr UInt32 kUntouchedValue = 0xA5A5A5A5u;

TEST(AudioHardware, EveryQueryIsRefusedWithoutTouchingTheOutputs) {
    const Query queries[] = {
        {"device by UID", kAudioObjectSystemObject, kAudioHardwarePropertyTranslateUIDToDevice, true},
        {"default output device", kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, false},
        {"unknown object", kAudioObjectUnknown, kAudioObjectPropertyName, false},
    };
    const CFStringRef uid = CFSTR("test.device.uid");

    for (const Query& query : queries) {
        SCOPED_TRACE(query.name);
        const AudioObjectPropertyAddress address{query.selector, kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};
        UInt32 size = sizeof(UInt32);
        UInt32 data = kUntouchedValue;

        const OSStatus status = AudioObjectGetPropertyData(
            query.objectID, &address, query.withQualifier ? UInt32{sizeof(CFStringRef)} : 0u,
            query.withQualifier ? &uid : nullptr, &size, &data);

        EXPECT_EQ(status, kAudioHardwareNotRunningError);
        EXPECT_EQ(size, sizeof(UInt32));
        EXPECT_EQ(data, kUntouchedValue);
    }
}

TEST(AudioHardware, NullOutputsAreRefusedAlike) {
    const AudioObjectPropertyAddress address{kAudioHardwarePropertyDefaultOutputDevice,
                                             kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, nullptr, nullptr),
              kAudioHardwareNotRunningError);
}

}  // namespace
