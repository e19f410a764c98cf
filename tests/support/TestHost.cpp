#include "TestHost.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace pelio::test {

namespace {

// Key text as UTF-8; a key that cannot be converted gives false.
bool KeyText(CFStringRef key, std::string& text)
{
    const CFIndex capacity =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(key), kCFStringEncodingUTF8) + 1;
    std::string buffer(static_cast<std::size_t>(capacity), '\0');
    if (!CFStringGetCString(key, buffer.data(), capacity, kCFStringEncodingUTF8)) {
        return false;
    }
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    text = std::move(buffer);
    return true;
}

CFPropertyListRef DeepCopy(CFPropertyListRef value)
{
    return CFPropertyListCreateDeepCopy(kCFAllocatorDefault, value, kCFPropertyListImmutable);
}

} // namespace

bool operator==(const TestHost::Notification& left, const TestHost::Notification& right)
{
    return left.objectID == right.objectID
        && std::equal(left.addresses.begin(), left.addresses.end(), right.addresses.begin(),
                      right.addresses.end(),
                      [](const AudioObjectPropertyAddress& one, const AudioObjectPropertyAddress& other) {
                          return one.mSelector == other.mSelector && one.mScope == other.mScope
                              && one.mElement == other.mElement;
                      });
}

TestHost::TestHost()
    : mTable{{&PropertiesChanged, &CopyFromStorage, &WriteToStorage, &DeleteFromStorage,
              &RequestDeviceConfigurationChange},
             this}
{
}

TestHost::~TestHost()
{
    for (const auto& entry : mStorage) {
        CFRelease(entry.second);
    }
}

TestHost& TestHost::From(AudioServerPlugInHostRef inHost)
{
    // The table is the first member of a standard-layout record, so the two addresses agree.
    return *reinterpret_cast<const Table*>(inHost)->host;
}

std::vector<TestHost::Notification> TestHost::GetNotifications() const
{
    const std::lock_guard<std::mutex> lock(mMutex);
    return mNotifications;
}

void TestHost::ClearNotifications()
{
    const std::lock_guard<std::mutex> lock(mMutex);
    mNotifications.clear();
}

CFPropertyListRef TestHost::CopyStoredValue(const std::string& key) const
{
    const std::lock_guard<std::mutex> lock(mMutex);
    const auto entry = mStorage.find(key);
    return entry == mStorage.end() ? nullptr : DeepCopy(entry->second);
}

bool TestHost::StoreValue(const std::string& key, CFPropertyListRef value)
{
    CFPropertyListRef copy = value == nullptr ? nullptr : DeepCopy(value);
    if (copy == nullptr) {
        return false;
    }
    const std::lock_guard<std::mutex> lock(mMutex);
    const auto [entry, inserted] = mStorage.try_emplace(key, copy);
    if (!inserted) {
        CFRelease(entry->second);
        entry->second = copy;
    }
    return true;
}

std::vector<std::string> TestHost::GetStoredKeys() const
{
    const std::lock_guard<std::mutex> lock(mMutex);
    std::vector<std::string> keys;
    std::transform(mStorage.begin(), mStorage.end(), std::back_inserter(keys),
                   [](const auto& entry) { return entry.first; });
    return keys;
}

void TestHost::FailStorageWith(OSStatus status)
{
    const std::lock_guard<std::mutex> lock(mMutex);
    mStorageStatus = status;
}

std::vector<TestHost::ConfigurationChangeRequest> TestHost::GetConfigurationChangeRequests() const
{
    const std::lock_guard<std::mutex> lock(mMutex);
    return mRequests;
}

std::size_t TestHost::GetPendingConfigurationChangeCount() const
{
    const std::lock_guard<std::mutex> lock(mMutex);
    return mPendingRequests.size();
}

std::vector<TestHost::ConfigurationChangeRequest> TestHost::TakePendingConfigurationChanges()
{
    const std::lock_guard<std::mutex> lock(mMutex);
    return std::exchange(mPendingRequests, {});
}

void TestHost::SetConfigurationChangeCallbacks(ConfigurationChangeCallback perform,
                                               ConfigurationChangeCallback abort)
{
    const std::lock_guard<std::mutex> lock(mMutex);
    mPerform = std::move(perform);
    mAbort = std::move(abort);
}

std::vector<OSStatus> TestHost::PerformPendingConfigurationChanges()
{
    return RunPendingConfigurationChanges(true);
}

std::vector<OSStatus> TestHost::AbortPendingConfigurationChanges()
{
    return RunPendingConfigurationChanges(false);
}

std::vector<OSStatus> TestHost::RunPendingConfigurationChanges(bool perform)
{
    std::vector<OSStatus> statuses;
    for (;;) {
        ConfigurationChangeRequest request;
        ConfigurationChangeCallback callback;
        {
            const std::lock_guard<std::mutex> lock(mMutex);
            if (mPendingRequests.empty()) {
                return statuses;
            }
            request = mPendingRequests.front();
            mPendingRequests.erase(mPendingRequests.begin());
            callback = perform ? mPerform : mAbort;
        }
        // Outside the lock: the device may request further changes from inside the callback.
        if (callback) {
            statuses.push_back(callback(request.deviceID, request.changeAction, request.changeInfo));
        }
    }
}

OSStatus TestHost::PropertiesChanged(AudioServerPlugInHostRef inHost, AudioObjectID inObjectID,
                                     UInt32 inNumberAddresses,
                                     const AudioObjectPropertyAddress* inAddresses)
{
    TestHost& host = From(inHost);
    Notification notification{inObjectID, {}};
    if (inAddresses != nullptr) {
        notification.addresses.assign(inAddresses, inAddresses + inNumberAddresses);
    }
    const std::lock_guard<std::mutex> lock(host.mMutex);
    host.mNotifications.push_back(std::move(notification));
    return 0;
}

OSStatus TestHost::CopyFromStorage(AudioServerPlugInHostRef inHost, CFStringRef inKey,
                                   CFPropertyListRef* outData)
{
    if (outData == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    *outData = nullptr;
    std::string key;
    if (inKey == nullptr || !KeyText(inKey, key)) {
        return kAudioHardwareIllegalOperationError;
    }
    TestHost& host = From(inHost);
    const std::lock_guard<std::mutex> lock(host.mMutex);
    if (host.mStorageStatus != 0) {
        return host.mStorageStatus;
    }
    const auto entry = host.mStorage.find(key);
    if (entry != host.mStorage.end()) {
        *outData = DeepCopy(entry->second);
    }
    return 0;
}

OSStatus TestHost::WriteToStorage(AudioServerPlugInHostRef inHost, CFStringRef inKey,
                                  CFPropertyListRef inData)
{
    std::string key;
    if (inKey == nullptr || inData == nullptr || !KeyText(inKey, key)) {
        return kAudioHardwareIllegalOperationError;
    }
    TestHost& host = From(inHost);
    {
        const std::lock_guard<std::mutex> lock(host.mMutex);
        if (host.mStorageStatus != 0) {
            return host.mStorageStatus;
        }
    }
    // Copied before storing, like a server that serialises the value: the caller's containers are
    // neither retained nor released here (a platform copy may share immutable leaves).
    CFPropertyListRef copy = DeepCopy(inData);
    if (copy == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    const std::lock_guard<std::mutex> lock(host.mMutex);
    const auto [entry, inserted] = host.mStorage.try_emplace(std::move(key), copy);
    if (!inserted) {
        CFRelease(entry->second);
        entry->second = copy;
    }
    return 0;
}

OSStatus TestHost::DeleteFromStorage(AudioServerPlugInHostRef inHost, CFStringRef inKey)
{
    std::string key;
    if (inKey == nullptr || !KeyText(inKey, key)) {
        return kAudioHardwareIllegalOperationError;
    }
    TestHost& host = From(inHost);
    CFPropertyListRef removed = nullptr;
    {
        const std::lock_guard<std::mutex> lock(host.mMutex);
        if (host.mStorageStatus != 0) {
            return host.mStorageStatus;
        }
        const auto entry = host.mStorage.find(key);
        if (entry != host.mStorage.end()) {
            removed = entry->second;
            host.mStorage.erase(entry);
        }
    }
    if (removed != nullptr) {
        CFRelease(removed);
    }
    return 0;
}

OSStatus TestHost::RequestDeviceConfigurationChange(AudioServerPlugInHostRef inHost,
                                                    AudioObjectID inDeviceObjectID,
                                                    UInt64 inChangeAction, void* inChangeInfo)
{
    TestHost& host = From(inHost);
    const ConfigurationChangeRequest request{inDeviceObjectID, inChangeAction, inChangeInfo};
    const std::lock_guard<std::mutex> lock(host.mMutex);
    host.mRequests.push_back(request);
    if (host.mRequestStatus != 0) {
        return host.mRequestStatus;
    }
    host.mPendingRequests.push_back(request);
    return 0;
}

void TestHost::RefuseConfigurationChangesWith(OSStatus status)
{
    const std::lock_guard<std::mutex> lock(mMutex);
    mRequestStatus = status;
}

} // namespace pelio::test
