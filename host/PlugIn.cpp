#include "PlugIn.h"

#include "Log.h"

#include <AudioServer/Protocol.h>
#include <AudioServer/Text.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <type_traits>
#include <utility>

#include <dlfcn.h>

namespace pelio::host {

namespace {

// The signature of the function that CFPlugInFactories names.
using FactoryFunction = void* (*)(CFAllocatorRef allocator, CFUUIDRef typeUUID);

constexpr pid_t kHostProcessID = 0;

std::string HexText(HRESULT result)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(result));
    return text;
}

} // namespace

// The table a plug-in receives, followed by the way back to its record. Standard layout, so the
// host reference the plug-in passes back is also the address of this record.
struct PlugIn::HostTable
{
    AudioServerPlugInHostInterface interface;
    std::weak_ptr<PlugIn>* plugIn;
};

namespace {

// Host tables are never freed, since a plug-in may call through its table at any time; they are
// listed here so that they stay reachable.
void KeepForever(void* table, void* link)
{
    static std::mutex mutex;
    static auto* kept = new std::vector<void*>;
    const std::lock_guard<std::mutex> lock(mutex);
    kept->push_back(table);
    kept->push_back(link);
}

} // namespace

PlugIn::PlugIn(BundleInfo bundle, const std::string& storagePath, PlugInHost& host)
    : mBundle(std::move(bundle))
    , mStorage(storagePath)
    , mHost(&host)
{
}

PlugIn::~PlugIn() = default;

std::shared_ptr<PlugIn> PlugIn::Load(const BundleInfo& bundle, const std::string& storagePath, PlugInHost& host,
                                     std::string& whyNot)
{
    std::shared_ptr<PlugIn> plugIn(new PlugIn(bundle, storagePath, host));
    std::string error;
    if (!plugIn->mStorage.Load(error)) {
        Log("%s: its storage starts empty: %s", bundle.name.c_str(), error.c_str());
    }

    // Never unloaded, also after a failure: the executable's own initialisation may have started
    // threads or handed out pointers into it.
    void* library = dlopen(bundle.executablePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = dlerror();
        whyNot = std::string("the executable does not load: ") + (reason != nullptr ? reason : "unknown error");
        return nullptr;
    }
    const auto factory = reinterpret_cast<FactoryFunction>(dlsym(library, bundle.factoryFunction.c_str()));
    if (factory == nullptr) {
        whyNot = "the executable exports no factory function " + bundle.factoryFunction;
        return nullptr;
    }
    void* created = factory(kCFAllocatorDefault, kAudioServerPlugInTypeUUID);
    if (created == nullptr) {
        whyNot = "the factory " + bundle.factoryFunction + " returned no plug-in";
        return nullptr;
    }
    auto* unknown = static_cast<IUnknownVTbl**>(created);
    void* driver = nullptr;
    const HRESULT result =
        (*unknown)->QueryInterface(unknown, CFUUIDGetUUIDBytes(kAudioServerPlugInDriverInterfaceUUID), &driver);
    (*unknown)->Release(unknown);
    if (result != S_OK || driver == nullptr) {
        whyNot = "the plug-in refuses the driver interface (" + HexText(result) + ")";
        return nullptr;
    }
    plugIn->mDriver = static_cast<AudioServerPlugInDriverRef>(driver);

    static_assert(std::is_standard_layout_v<HostTable>, "the host reference must lead back to its table");
    auto* link = new std::weak_ptr<PlugIn>(plugIn);
    plugIn->mHostTable = new HostTable{{&HostPropertiesChanged, &HostCopyFromStorage, &HostWriteToStorage,
                                        &HostDeleteFromStorage, &HostRequestDeviceConfigurationChange},
                                       link};
    KeepForever(plugIn->mHostTable, link);
    return plugIn;
}

bool PlugIn::Initialize(std::string& whyNot)
{
    const OSStatus status = (*mDriver)->Initialize(mDriver, &mHostTable->interface);
    if (status != kAudioHardwareNoError) {
        whyNot = "Initialize failed with status " + StatusText(status);
        return false;
    }
    return true;
}

void PlugIn::Detach()
{
    const std::unique_lock<std::shared_mutex> lock(mHostMutex);
    mHost = nullptr;
}

// ---- Host interface -------------------------------------------------------------------------------

template <class Call>
OSStatus PlugIn::CallHost(AudioServerPlugInHostRef hostRef, Call&& call)
{
    if (hostRef == nullptr) {
        return kAudioHardwareNotRunningError;
    }
    // Holds the record for the call, so that it cannot go while the call runs.
    const std::shared_ptr<PlugIn> plugIn = reinterpret_cast<const HostTable*>(hostRef)->plugIn->lock();
    if (plugIn == nullptr) {
        return kAudioHardwareNotRunningError;
    }
    const std::shared_lock<std::shared_mutex> lock(plugIn->mHostMutex);
    if (plugIn->mHost == nullptr) {
        return kAudioHardwareNotRunningError;
    }
    return call(*plugIn);
}

OSStatus PlugIn::HostPropertiesChanged(AudioServerPlugInHostRef hostRef, AudioObjectID objectID, UInt32 count,
                                       const AudioObjectPropertyAddress* addresses)
{
    return CallHost(hostRef,
                    [&](PlugIn& plugIn) { return plugIn.mHost->PropertiesChanged(plugIn, objectID, count, addresses); });
}

OSStatus PlugIn::HostCopyFromStorage(AudioServerPlugInHostRef hostRef, CFStringRef key, CFPropertyListRef* outValue)
{
    return CallHost(hostRef, [&](PlugIn& plugIn) { return plugIn.mStorage.Copy(key, outValue); });
}

OSStatus PlugIn::HostWriteToStorage(AudioServerPlugInHostRef hostRef, CFStringRef key, CFPropertyListRef value)
{
    return CallHost(hostRef, [&](PlugIn& plugIn) { return plugIn.mStorage.Write(key, value); });
}

OSStatus PlugIn::HostDeleteFromStorage(AudioServerPlugInHostRef hostRef, CFStringRef key)
{
    return CallHost(hostRef, [&](PlugIn& plugIn) { return plugIn.mStorage.Delete(key); });
}

OSStatus PlugIn::HostRequestDeviceConfigurationChange(AudioServerPlugInHostRef hostRef, AudioObjectID deviceID,
                                                      UInt64 action, void* info)
{
    return CallHost(hostRef, [&](PlugIn& plugIn) {
        return plugIn.mHost->RequestDeviceConfigurationChange(plugIn, deviceID, action, info);
    });
}

// ---- Calls into the plug-in -----------------------------------------------------------------------

Boolean PlugIn::HasProperty(AudioObjectID objectID, pid_t clientProcessID,
                            const AudioObjectPropertyAddress& address) const
{
    return (*mDriver)->HasProperty(mDriver, objectID, clientProcessID, &address);
}

OSStatus PlugIn::GetPropertyDataSize(AudioObjectID objectID, pid_t clientProcessID,
                                     const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                     const void* qualifier, UInt32& dataSize) const
{
    return (*mDriver)->GetPropertyDataSize(mDriver, objectID, clientProcessID, &address, qualifierSize, qualifier,
                                           &dataSize);
}

OSStatus PlugIn::GetPropertyData(AudioObjectID objectID, pid_t clientProcessID,
                                 const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                 const void* qualifier, UInt32 dataSize, UInt32& dataSizeOut, void* data) const
{
    return (*mDriver)->GetPropertyData(mDriver, objectID, clientProcessID, &address, qualifierSize, qualifier,
                                       dataSize, &dataSizeOut, data);
}

OSStatus PlugIn::SetPropertyData(AudioObjectID objectID, pid_t clientProcessID,
                                 const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                 const void* qualifier, UInt32 dataSize, const void* data) const
{
    return (*mDriver)->SetPropertyData(mDriver, objectID, clientProcessID, &address, qualifierSize, qualifier,
                                       dataSize, data);
}

OSStatus PlugIn::AddDeviceClient(AudioObjectID deviceID, const AudioServerPlugInClientInfo& client) const
{
    return (*mDriver)->AddDeviceClient(mDriver, deviceID, &client);
}

OSStatus PlugIn::RemoveDeviceClient(AudioObjectID deviceID, const AudioServerPlugInClientInfo& client) const
{
    return (*mDriver)->RemoveDeviceClient(mDriver, deviceID, &client);
}

OSStatus PlugIn::StartIO(AudioObjectID deviceID, UInt32 clientID) const
{
    return (*mDriver)->StartIO(mDriver, deviceID, clientID);
}

OSStatus PlugIn::StopIO(AudioObjectID deviceID, UInt32 clientID) const
{
    return (*mDriver)->StopIO(mDriver, deviceID, clientID);
}

OSStatus PlugIn::WillDoIOOperation(AudioObjectID deviceID, UInt32 clientID, UInt32 operationID, Boolean& willDo,
                                   Boolean& willDoInPlace) const
{
    return (*mDriver)->WillDoIOOperation(mDriver, deviceID, clientID, operationID, &willDo, &willDoInPlace);
}

OSStatus PlugIn::PerformDeviceConfigurationChange(AudioObjectID deviceID, UInt64 action, void* info) const
{
    return (*mDriver)->PerformDeviceConfigurationChange(mDriver, deviceID, action, info);
}

OSStatus PlugIn::AbortDeviceConfigurationChange(AudioObjectID deviceID, UInt64 action, void* info) const
{
    return (*mDriver)->AbortDeviceConfigurationChange(mDriver, deviceID, action, info);
}

// ---- Reads --------------------------------------------------------------------------------------

bool PlugIn::ReadUInt32(AudioObjectID objectID, const AudioObjectPropertyAddress& address, UInt32& value) const
{
    UInt32 read = 0;
    UInt32 size = 0;
    if (GetPropertyData(objectID, kHostProcessID, address, 0, nullptr, sizeof(read), size, &read)
            != kAudioHardwareNoError
        || size != sizeof(read)) {
        return false;
    }
    value = read;
    return true;
}

bool PlugIn::ReadText(AudioObjectID objectID, const AudioObjectPropertyAddress& address, std::string& text) const
{
    CFStringRef string = nullptr;
    UInt32 size = 0;
    if (GetPropertyData(objectID, kHostProcessID, address, 0, nullptr, sizeof(string), size, &string)
            != kAudioHardwareNoError
        || size != sizeof(string) || string == nullptr) {
        return false;
    }
    const bool converted = audioserver::CopyText(string, text);
    CFRelease(string);
    return converted;
}

bool PlugIn::ReadBytes(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                       std::vector<UInt8>& bytes) const
{
    // A list may grow between the size and the read (a device added meanwhile), which the
    // plug-in answers with a bad size: asked again, the size is the new one.
    constexpr int kAttempts = 3;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        UInt32 size = 0;
        if (GetPropertyDataSize(objectID, kHostProcessID, address, 0, nullptr, size) != kAudioHardwareNoError
            || size > audioserver::kMaxPropertyDataSize) {
            return false;
        }
        std::vector<UInt8> read(size);
        UInt32 written = 0;
        const OSStatus status = GetPropertyData(objectID, kHostProcessID, address, 0, nullptr, size, written, read.data());
        if (status == kAudioHardwareBadPropertySizeError) {
            continue;
        }
        if (status != kAudioHardwareNoError || written > size) {
            return false;
        }
        read.resize(written);
        bytes = std::move(read);
        return true;
    }
    return false;
}

bool PlugIn::ReadObjectIDs(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                           std::vector<AudioObjectID>& objectIDs) const
{
    std::vector<UInt8> bytes;
    if (!ReadBytes(objectID, address, bytes)) {
        return false;
    }
    objectIDs.resize(bytes.size() / sizeof(AudioObjectID));
    if (!objectIDs.empty()) {
        std::memcpy(objectIDs.data(), bytes.data(), objectIDs.size() * sizeof(AudioObjectID));
    }
    return true;
}

} // namespace pelio::host
