// The test host itself: later tests rely on it answering as the audio server does, and on it
// neither leaking nor over-releasing what passes through its storage.

#include "TestHost.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <CoreAudio/AudioServerPlugIn.h>
#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>
#include <vector>

namespace {

using pelio::test::TestHost;
using testing::ElementsAre;
using testing::IsEmpty;

// A list of one number. A container, because only containers are new objects on every platform:
// small numbers may be shared cached objects, and a copy may share its immutable leaves, so
// counting references on those tells nothing.
CFArrayRef MakeList(std::int64_t value)
{
    const CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
    const void* values[] = {number};
    const CFArrayRef list = CFArrayCreate(kCFAllocatorDefault, values, 1, &kCFTypeArrayCallBacks);
    CFRelease(number);
    return list;
}

// Whether `value` is a list equal to MakeList(expected).
bool IsList(CFPropertyListRef value, std::int64_t expected)
{
    const CFArrayRef list = MakeList(expected);
    const bool equal = CFEqual(value, list);
    CFRelease(list);
    return equal;
}

TEST(TestHostTest, RecordsNotificationsWithTheirAddresses)
{
    TestHost host;
    const AudioServerPlugInHostInterface* table = host.GetInterface();
    const AudioObjectPropertyAddress addresses[] = {
        {kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain},
        {kAudioObjectPropertyOwnedObjects, kAudioObjectPropertyScopeOutput, 3},
    };

    EXPECT_EQ(table->PropertiesChanged(table, 2, 2, addresses), 0);
    EXPECT_EQ(table->PropertiesChanged(table, 1, 1, addresses), 0);

    EXPECT_THAT(host.GetNotifications(),
                ElementsAre(TestHost::Notification{2, {addresses[0], addresses[1]}},
                            TestHost::Notification{1, {addresses[0]}}));
    host.ClearNotifications();
    EXPECT_THAT(host.GetNotifications(), IsEmpty());
}

TEST(TestHostTest, StorageKeepsCopiesAndHandsOutReferencesTheCallerOwns)
{
    TestHost host;
    const AudioServerPlugInHostInterface* table = host.GetInterface();
    CFArrayRef written = MakeList(42);

    ASSERT_EQ(table->WriteToStorage(table, CFSTR("volume"), written), 0);
    // The host keeps its own copy: the caller's value is neither retained nor released.
    EXPECT_EQ(CFGetRetainCount(written), 1);
    CFRelease(written);

    CFPropertyListRef read = nullptr;
    ASSERT_EQ(table->CopyFromStorage(table, CFSTR("volume"), &read), 0);
    ASSERT_NE(read, nullptr);
    EXPECT_TRUE(IsList(read, 42));
    EXPECT_EQ(CFGetRetainCount(read), 1); // the caller's alone
    CFRelease(read);

    EXPECT_THAT(host.GetStoredKeys(), ElementsAre("volume"));
    EXPECT_EQ(table->DeleteFromStorage(table, CFSTR("volume")), 0);
    EXPECT_THAT(host.GetStoredKeys(), IsEmpty());

    // A missing key: success without a value.
    read = kCFBooleanTrue;
    EXPECT_EQ(table->CopyFromStorage(table, CFSTR("volume"), &read), 0);
    EXPECT_EQ(read, nullptr);
}

TEST(TestHostTest, StorageRefusesNullArgumentsAndFailsOnRequest)
{
    TestHost host;
    const AudioServerPlugInHostInterface* table = host.GetInterface();
    CFArrayRef value = MakeList(7);
    CFPropertyListRef read = nullptr;

    EXPECT_EQ(table->WriteToStorage(table, nullptr, value), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(table->WriteToStorage(table, CFSTR("key"), nullptr), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(table->CopyFromStorage(table, CFSTR("key"), nullptr), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(table->DeleteFromStorage(table, nullptr), kAudioHardwareIllegalOperationError);

    ASSERT_TRUE(host.StoreValue("key", value));
    host.FailStorageWith(kAudioHardwareUnspecifiedError);
    EXPECT_EQ(table->WriteToStorage(table, CFSTR("other"), value), kAudioHardwareUnspecifiedError);
    EXPECT_EQ(table->CopyFromStorage(table, CFSTR("key"), &read), kAudioHardwareUnspecifiedError);
    EXPECT_EQ(read, nullptr);
    EXPECT_EQ(table->DeleteFromStorage(table, CFSTR("key")), kAudioHardwareUnspecifiedError);
    EXPECT_THAT(host.GetStoredKeys(), ElementsAre("key"));

    host.FailStorageWith(0);
    CFPropertyListRef stored = host.CopyStoredValue("key");
    ASSERT_NE(stored, nullptr);
    EXPECT_TRUE(IsList(stored, 7));
    CFRelease(stored);
    EXPECT_EQ(CFGetRetainCount(value), 1);
    CFRelease(value);
}

TEST(TestHostTest, ConfigurationChangesWaitUntilTheTestPerformsOrAbortsThem)
{
    TestHost host;
    const AudioServerPlugInHostInterface* table = host.GetInterface();
    std::vector<TestHost::ConfigurationChangeRequest> performed;
    std::vector<TestHost::ConfigurationChangeRequest> aborted;
    host.SetConfigurationChangeCallbacks(
        [&](AudioObjectID deviceID, UInt64 action, void* info) -> OSStatus {
            performed.push_back({deviceID, action, info});
            // A change performed may ask for another one; the same call handles it.
            if (action == 2) {
                table->RequestDeviceConfigurationChange(table, deviceID, 3, nullptr);
            }
            return 0;
        },
        [&](AudioObjectID deviceID, UInt64 action, void* info) -> OSStatus {
            aborted.push_back({deviceID, action, info});
            return kAudioHardwareIllegalOperationError;
        });

    EXPECT_EQ(table->RequestDeviceConfigurationChange(table, 2, 1, nullptr), 0);
    EXPECT_EQ(table->RequestDeviceConfigurationChange(table, 2, 2, nullptr), 0);
    EXPECT_THAT(performed, IsEmpty());

    EXPECT_THAT(host.PerformPendingConfigurationChanges(), ElementsAre(0, 0, 0));
    EXPECT_THAT(performed, ElementsAre(TestHost::ConfigurationChangeRequest{2, 1, nullptr},
                                       TestHost::ConfigurationChangeRequest{2, 2, nullptr},
                                       TestHost::ConfigurationChangeRequest{2, 3, nullptr}));

    table->RequestDeviceConfigurationChange(table, 5, 9, nullptr);
    EXPECT_THAT(host.AbortPendingConfigurationChanges(), ElementsAre(kAudioHardwareIllegalOperationError));
    EXPECT_THAT(aborted, ElementsAre(TestHost::ConfigurationChangeRequest{5, 9, nullptr}));

    // Or the test takes the pending requests and drives the device itself.
    table->RequestDeviceConfigurationChange(table, 2, 10, nullptr);
    EXPECT_THAT(host.TakePendingConfigurationChanges(),
                ElementsAre(TestHost::ConfigurationChangeRequest{2, 10, nullptr}));
    EXPECT_THAT(host.PerformPendingConfigurationChanges(), IsEmpty());

    EXPECT_EQ(host.GetConfigurationChangeRequests().size(), 5u);
}

} // namespace
