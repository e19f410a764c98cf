// The client property calls while no audio server runs: every call is refused with 'stop' (and
// HasProperty answers false), and the caller's size and data are left exactly as they were, so a
// caller that pre-sets its outputs (as the status probe does) reads its own defaults back.

#include <CoreAudio/AudioHardware.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

namespace {

// A socket path that no server can listen on, whatever runs on this machine.
class AudioHardware : public ::testing::Test {
protected:
    void SetUp() override { setenv("PELIO_HOST_SOCKET", "/nonexistent/pelio/host.sock", 1); }
};

struct Query {
    const char* name;
    AudioObjectID objectID;
    AudioObjectPropertySelector selector;
    bool withQualifier;
};

constexpr UInt32 kUntouchedValue = 0xA5A5A5A5u;

TEST_F(AudioHardware, EveryQueryIsRefusedWithoutTouchingTheOutputs) {
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

        size = kUntouchedValue;
        EXPECT_EQ(AudioObjectGetPropertyDataSize(query.objectID, &address, 0, nullptr, &size),
                  kAudioHardwareNotRunningError);
        EXPECT_EQ(size, kUntouchedValue);
        EXPECT_FALSE(AudioObjectHasProperty(query.objectID, &address));
    }
    const AudioObjectPropertyAddress defaultOutput{kAudioHardwarePropertyDefaultOutputDevice,
                                                   kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    const AudioObjectID device = 2;
    EXPECT_EQ(AudioObjectSetPropertyData(kAudioObjectSystemObject, &defaultOutput, 0, nullptr, sizeof(device), &device),
              kAudioHardwareNotRunningError);
}

TEST_F(AudioHardware, NullOutputsAreRefusedAlike) {
    const AudioObjectPropertyAddress address{kAudioHardwarePropertyDefaultOutputDevice,
                                             kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, nullptr, nullptr),
              kAudioHardwareNotRunningError);
}

}  // namespace
