#pragma once

// pelio::host::PlugIn: one audio server plug-in as the server holds it, and the host interface
// through which it calls back.
//
// Load and Initialize do with a bundle what the platform does: Load loads the plug-in's storage
// and its executable, calls the factory that Info.plist names with the audio server plug-in type
// and asks the result for the driver interface (then releases the factory's reference, as with
// any interface obtained by query); Initialize calls the plug-in's Initialize with a host
// interface of this plug-in's own, where storage already works. The plug-in is never released and its executable never
// unloaded: the platform does neither, and the plug-in's threads may outlive any call.
//
// The host interface stays valid for the life of the process. Its storage operations go to this
// plug-in's Storage; PropertiesChanged and RequestDeviceConfigurationChange go to the PlugInHost
// given to Load. After Detach, and once the record is gone, every operation answers
// kAudioHardwareNotRunningError and calls nothing.
//
// Thread safety: the calls into the plug-in may come from any thread at once, as the platform
// makes them; the plug-in does its own locking. Host operations arrive on whatever thread the
// plug-in calls from and are passed on on that thread. Nothing here is for a real-time thread
// except the driver reference itself, which the IO engine may use directly.

#include "Bundle.h"
#include "Storage.h"

#include <CoreAudio/AudioServerPlugIn.h>

#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

namespace pelio::host {

class PlugIn;

// What the server does when a plug-in calls PropertiesChanged or RequestDeviceConfigurationChange.
class PlugInHost
{
public:
    virtual ~PlugInHost() = default;
    virtual OSStatus PropertiesChanged(PlugIn& plugIn, AudioObjectID objectID, UInt32 addressCount,
                                       const AudioObjectPropertyAddress* addresses) = 0;
    virtual OSStatus RequestDeviceConfigurationChange(PlugIn& plugIn, AudioObjectID deviceID, UInt64 action,
                                                      void* info) = 0;
};

class PlugIn
{
public:
    // The loaded plug-in, not yet initialised, or null with one sentence in `whyNot` (nothing of
    // the plug-in is called after a failure).
    static std::shared_ptr<PlugIn> Load(const BundleInfo& bundle, const std::string& storagePath, PlugInHost& host,
                                        std::string& whyNot);
    // Once, right after Load. False with one sentence in `whyNot` when the plug-in fails it.
    bool Initialize(std::string& whyNot);

    ~PlugIn();
    PlugIn(const PlugIn&) = delete;
    PlugIn& operator=(const PlugIn&) = delete;

    const BundleInfo& GetBundle() const { return mBundle; }
    Storage& GetStorage() { return mStorage; }
    AudioServerPlugInDriverRef GetDriver() const { return mDriver; }

    // From now on the host interface answers kAudioHardwareNotRunningError. Waits for the host
    // operations in progress on other threads.
    void Detach();

    // ---- Calls into the plug-in, by its own object IDs --------------------------------------------

    Boolean HasProperty(AudioObjectID objectID, pid_t clientProcessID, const AudioObjectPropertyAddress& address) const;
    OSStatus GetPropertyDataSize(AudioObjectID objectID, pid_t clientProcessID, const AudioObjectPropertyAddress& address,
                                 UInt32 qualifierSize, const void* qualifier, UInt32& dataSize) const;
    OSStatus GetPropertyData(AudioObjectID objectID, pid_t clientProcessID, const AudioObjectPropertyAddress& address,
                             UInt32 qualifierSize, const void* qualifier, UInt32 dataSize, UInt32& dataSizeOut,
                             void* data) const;
    OSStatus SetPropertyData(AudioObjectID objectID, pid_t clientProcessID, const AudioObjectPropertyAddress& address,
                             UInt32 qualifierSize, const void* qualifier, UInt32 dataSize, const void* data) const;

    OSStatus AddDeviceClient(AudioObjectID deviceID, const AudioServerPlugInClientInfo& client) const;
    OSStatus RemoveDeviceClient(AudioObjectID deviceID, const AudioServerPlugInClientInfo& client) const;
    OSStatus StartIO(AudioObjectID deviceID, UInt32 clientID) const;
    OSStatus StopIO(AudioObjectID deviceID, UInt32 clientID) const;
    OSStatus WillDoIOOperation(AudioObjectID deviceID, UInt32 clientID, UInt32 operationID, Boolean& willDo,
                               Boolean& willDoInPlace) const;
    OSStatus PerformDeviceConfigurationChange(AudioObjectID deviceID, UInt64 action, void* info) const;
    OSStatus AbortDeviceConfigurationChange(AudioObjectID deviceID, UInt64 action, void* info) const;

    // ---- Reads for the server's own bookkeeping, made as the host (process ID 0) ------------------
    // False when the property cannot be read. A value that outgrows its size between the two
    // calls (a list that gained an entry) is asked for again, up to three times.

    bool ReadUInt32(AudioObjectID objectID, const AudioObjectPropertyAddress& address, UInt32& value) const;
    bool ReadText(AudioObjectID objectID, const AudioObjectPropertyAddress& address, std::string& text) const;
    bool ReadBytes(AudioObjectID objectID, const AudioObjectPropertyAddress& address, std::vector<UInt8>& bytes) const;
    bool ReadObjectIDs(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                       std::vector<AudioObjectID>& objectIDs) const;

private:
    struct HostTable;

    PlugIn(BundleInfo bundle, const std::string& storagePath, PlugInHost& host);

    // Runs call(plug-in) for a host operation, or answers kAudioHardwareNotRunningError when the
    // plug-in's record is gone or detached.
    template <class Call>
    static OSStatus CallHost(AudioServerPlugInHostRef hostRef, Call&& call);
    static OSStatus HostPropertiesChanged(AudioServerPlugInHostRef host, AudioObjectID objectID, UInt32 count,
                                          const AudioObjectPropertyAddress* addresses);
    static OSStatus HostCopyFromStorage(AudioServerPlugInHostRef host, CFStringRef key, CFPropertyListRef* outValue);
    static OSStatus HostWriteToStorage(AudioServerPlugInHostRef host, CFStringRef key, CFPropertyListRef value);
    static OSStatus HostDeleteFromStorage(AudioServerPlugInHostRef host, CFStringRef key);
    static OSStatus HostRequestDeviceConfigurationChange(AudioServerPlugInHostRef host, AudioObjectID deviceID,
                                                         UInt64 action, void* info);

    const BundleInfo mBundle;
    Storage mStorage;
    AudioServerPlugInDriverRef mDriver = nullptr;
    HostTable* mHostTable = nullptr;

    // Held shared by every host operation while it runs, taken exclusively by Detach.
    mutable std::shared_mutex mHostMutex;
    PlugInHost* mHost;
};

} // namespace pelio::host
