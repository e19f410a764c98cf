#pragma once

// pelio::test::TestHost: the audio server's side of the host interface, for tests. It offers a
// real AudioServerPlugInHostInterface table (store GetInterface() in a context's Host) whose five
// operations behave as the framework relies on:
//
// - PropertiesChanged records the object ID and the addresses, and returns 0.
// - Storage is an in-memory map from key text to property lists. WriteToStorage keeps a deep copy
//   of the value (as a server that serialises it would), so the caller's containers are never
//   retained (immutable leaves may be: the platform's deep copy shares them);
//   CopyFromStorage hands out a new deep copy that the caller owns and must release (status 0,
//   null value for a missing key); DeleteFromStorage removes the key (0 also when it was missing).
//   A null key or value pointer is refused with kAudioHardwareIllegalOperationError. Tests can make
//   every storage operation fail with a chosen status.
// - RequestDeviceConfigurationChange records the request and returns 0 (or, while the test says
//   so, refuses it with a chosen status and keeps it out of the pending ones). The change is neither
//   performed nor aborted until the test says so: PerformPendingConfigurationChanges and
//   AbortPendingConfigurationChanges hand each pending request, in request order, to the callback
//   the test set (typically the device's PerformConfigurationChange or AbortConfigurationChange);
//   TakePendingConfigurationChanges lets the test drive the device itself instead.
//
// Thread-safe: every operation and every accessor may be called from any number of threads at
// once. Callbacks run on the thread that asked for them, with no lock of the host held, so they
// may request further changes. Test code only: it allocates and locks.

#include <CoreAudio/AudioServerPlugIn.h>
#include <CoreFoundation/CoreFoundation.h>

#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace pelio::test {

class TestHost
{
public:
    struct Notification
    {
        AudioObjectID objectID = kAudioObjectUnknown;
        std::vector<AudioObjectPropertyAddress> addresses;

        friend bool operator==(const Notification& left, const Notification& right);
    };

    struct ConfigurationChangeRequest
    {
        AudioObjectID deviceID = kAudioObjectUnknown;
        UInt64 changeAction = 0;
        void* changeInfo = nullptr;

        friend bool operator==(const ConfigurationChangeRequest& left,
                               const ConfigurationChangeRequest& right) = default;
    };

    // Receives the device ID, the change action and the change info of one request, as the
    // server's calls into the driver do; its status is returned to the test.
    using ConfigurationChangeCallback = std::function<OSStatus(AudioObjectID, UInt64, void*)>;

    TestHost();
    // Releases the stored values.
    ~TestHost();

    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    // The table to hand to the framework; valid as long as this host lives.
    const AudioServerPlugInHostInterface* GetInterface() const { return &mTable.interface; }

    // ---- Notifications --------------------------------------------------------------------------

    std::vector<Notification> GetNotifications() const;
    void ClearNotifications();

    // ---- Storage --------------------------------------------------------------------------------

    // A new deep copy of the value stored under `key` (the caller releases it), or null.
    CFPropertyListRef CopyStoredValue(const std::string& key) const;
    // Stores a deep copy of `value` under `key`, as WriteToStorage would; false (and nothing
    // stored) when `value` is not a property list.
    bool StoreValue(const std::string& key, CFPropertyListRef value);
    std::vector<std::string> GetStoredKeys() const;
    // From now on every storage operation returns `status` and changes nothing; 0 restores them.
    void FailStorageWith(OSStatus status);

    // ---- Configuration changes -----------------------------------------------------------------

    // Every request ever made, in order, performed or not.
    std::vector<ConfigurationChangeRequest> GetConfigurationChangeRequests() const;
    // How many requests are waiting to be performed or aborted.
    std::size_t GetPendingConfigurationChangeCount() const;
    // Removes the requests that are still pending and returns them, in request order.
    std::vector<ConfigurationChangeRequest> TakePendingConfigurationChanges();

    void SetConfigurationChangeCallbacks(ConfigurationChangeCallback perform,
                                         ConfigurationChangeCallback abort);
    // From now on every request is recorded but answered with `status` and never becomes
    // pending; 0 accepts them again.
    void RefuseConfigurationChangesWith(OSStatus status);
    // Hands each pending request, oldest first, to the perform (or abort) callback; requests made
    // inside a callback are handled in the same call. Returns the statuses in that order; without
    // a callback the requests are dropped and nothing is returned for them.
    std::vector<OSStatus> PerformPendingConfigurationChanges();
    std::vector<OSStatus> AbortPendingConfigurationChanges();

private:
    // Standard layout with the table first, so that the host pointer the framework passes back
    // leads to this host.
    struct Table
    {
        AudioServerPlugInHostInterface interface;
        TestHost* host;
    };

    static TestHost& From(AudioServerPlugInHostRef inHost);

    static OSStatus PropertiesChanged(AudioServerPlugInHostRef inHost, AudioObjectID inObjectID,
                                      UInt32 inNumberAddresses,
                                      const AudioObjectPropertyAddress* inAddresses);
    static OSStatus CopyFromStorage(AudioServerPlugInHostRef inHost, CFStringRef inKey,
                                    CFPropertyListRef* outData);
    static OSStatus WriteToStorage(AudioServerPlugInHostRef inHost, CFStringRef inKey,
                                   CFPropertyListRef inData);
    static OSStatus DeleteFromStorage(AudioServerPlugInHostRef inHost, CFStringRef inKey);
    static OSStatus RequestDeviceConfigurationChange(AudioServerPlugInHostRef inHost,
                                                     AudioObjectID inDeviceObjectID,
                                                     UInt64 inChangeAction, void* inChangeInfo);

    std::vector<OSStatus> RunPendingConfigurationChanges(bool perform);

    Table mTable;
    mutable std::mutex mMutex;
    std::vector<Notification> mNotifications;
    std::map<std::string, CFPropertyListRef> mStorage; // each value owned (retained once)
    OSStatus mStorageStatus = 0;
    std::vector<ConfigurationChangeRequest> mRequests;
    std::vector<ConfigurationChangeRequest> mPendingRequests;
    OSStatus mRequestStatus = 0;
    ConfigurationChangeCallback mPerform;
    ConfigurationChangeCallback mAbort;
};

} // namespace pelio::test
