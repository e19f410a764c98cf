#include "hal/Storage.h"

#include "hal/CodeNames.h"
#include "hal/Context.h"
#include "hal/Convert.h"
#include "hal/Tracer.h"

#include <atomic>
#include <type_traits>

namespace hal {

namespace {

// A custom value is a property list that crosses to the host and back as it is: never encoded,
// never decoded.
template <class Value>
constexpr bool kIsCustom = std::is_same_v<Value, CFPropertyListRef>;

// Releases an object this storage created, on every way out.
class ReleasedAtExit
{
public:
    explicit ReleasedAtExit(CFTypeRef object) noexcept : mObject(object) {}
    ~ReleasedAtExit()
    {
        if (mObject != nullptr) {
            CFRelease(mObject);
        }
    }
    ReleasedAtExit(const ReleasedAtExit&) = delete;
    ReleasedAtExit& operator=(const ReleasedAtExit&) = delete;

private:
    CFTypeRef mObject;
};

CFStringRef EncodeKey(const std::string& key)
{
    CFStringRef encoded = nullptr;
    Convert::ToFoundation(key, encoded);
    return encoded;
}

} // namespace

Storage::Storage(std::shared_ptr<const Context> context) : mContext(std::move(context)) {}

std::shared_ptr<const Context> Storage::GetContext() const
{
    return mContext;
}

std::pair<std::vector<UInt8>, bool> Storage::ReadBytes(const std::string& key) const
{
    return CopyFromStorage_<std::vector<UInt8>>("CFData", key);
}

std::pair<std::string, bool> Storage::ReadString(const std::string& key) const
{
    return CopyFromStorage_<std::string>("CFString", key);
}

std::pair<bool, bool> Storage::ReadBoolean(const std::string& key) const
{
    return CopyFromStorage_<bool>("CFBoolean", key);
}

std::pair<SInt64, bool> Storage::ReadInt(const std::string& key) const
{
    return CopyFromStorage_<SInt64>("CFNumber", key);
}

std::pair<Float64, bool> Storage::ReadFloat(const std::string& key) const
{
    return CopyFromStorage_<Float64>("CFNumber", key);
}

std::pair<CFPropertyListRef, bool> Storage::ReadCustom(const std::string& key) const
{
    return CopyFromStorage_<CFPropertyListRef>("CFPropertyList", key);
}

bool Storage::WriteBytes(const std::string& key, const std::vector<UInt8>& value)
{
    return WriteToStorage_("CFData", key, value);
}

bool Storage::WriteString(const std::string& key, const std::string& value)
{
    return WriteToStorage_("CFString", key, value);
}

bool Storage::WriteBoolean(const std::string& key, bool value)
{
    return WriteToStorage_("CFBoolean", key, value);
}

bool Storage::WriteInt(const std::string& key, SInt64 value)
{
    return WriteToStorage_("CFNumber", key, value);
}

bool Storage::WriteFloat(const std::string& key, Float64 value)
{
    return WriteToStorage_("CFNumber", key, value);
}

bool Storage::WriteCustom(const std::string& key, CFPropertyListRef value)
{
    return WriteToStorage_("CFPropertyList", key, value);
}

bool Storage::Delete(const std::string& key)
{
    return DeleteFromStorage_(key);
}

template <class Value>
std::pair<Value, bool> Storage::CopyFromStorage_(const char* typeName, const std::string& key) const
{
    Tracer& tracer = *mContext->Tracer;
    const CFStringRef encodedKey = EncodeKey(key);
    if (encodedKey == nullptr) {
        tracer.Message("Storage::CopyFromStorage() type=%s key=\"%s\" can't encode key", typeName, key.c_str());
        return {Value{}, false};
    }
    const ReleasedAtExit releaseKey(encodedKey);

    const AudioServerPlugInHostInterface* host = mContext->Host.load(std::memory_order_acquire);
    if (host == nullptr) {
        tracer.Message("Storage::CopyFromStorage() type=%s key=\"%s\" Context.Host is NULL (driver is not initialized yet)",
                       typeName, key.c_str());
        return {Value{}, false};
    }

    CFPropertyListRef stored = nullptr;
    const OSStatus status = host->CopyFromStorage(host, encodedKey, &stored);
    tracer.Message("Storage::CopyFromStorage() type=%s key=\"%s\" status=%s hasValue=%s", typeName, key.c_str(),
                   StatusToString(status).c_str(), stored != nullptr ? "yes" : "no");
    if (status != kAudioHardwareNoError || stored == nullptr) {
        // A host that fails may still have handed out a value; it is ours to release.
        const ReleasedAtExit releaseStored(stored);
        return {Value{}, false};
    }

    if constexpr (kIsCustom<Value>) {
        // Undecoded, and the caller's to release.
        return {stored, true};
    } else {
        const ReleasedAtExit releaseStored(stored);
        Value value{};
        if (!Convert::FromFoundation(stored, value)) {
            tracer.Message("Storage::CopyFromStorage() type=%s key=\"%s\" can't decode value", typeName, key.c_str());
            return {Value{}, false};
        }
        return {std::move(value), true};
    }
}

template <class Value>
bool Storage::WriteToStorage_(const char* typeName, const std::string& key, const Value& value)
{
    Tracer& tracer = *mContext->Tracer;
    const CFStringRef encodedKey = EncodeKey(key);
    if (encodedKey == nullptr) {
        tracer.Message("Storage::WriteToStorage() type=%s key=\"%s\" can't encode key", typeName, key.c_str());
        return false;
    }
    const ReleasedAtExit releaseKey(encodedKey);

    CFPropertyListRef encodedValue = nullptr;
    if constexpr (kIsCustom<Value>) {
        // The caller's own object, which stays the caller's. Null would reach the host as a value.
        encodedValue = value;
    } else {
        Convert::ToFoundation(value, encodedValue);
    }
    if (encodedValue == nullptr) {
        tracer.Message("Storage::WriteToStorage() type=%s key=\"%s\" can't encode value", typeName, key.c_str());
        return false;
    }
    const ReleasedAtExit releaseValue(kIsCustom<Value> ? nullptr : encodedValue);

    const AudioServerPlugInHostInterface* host = mContext->Host.load(std::memory_order_acquire);
    if (host == nullptr) {
        tracer.Message("Storage::WriteToStorage() type=%s key=\"%s\" Context.Host is NULL (driver is not initialized yet)",
                       typeName, key.c_str());
        return false;
    }

    const OSStatus status = host->WriteToStorage(host, encodedKey, encodedValue);
    tracer.Message("Storage::WriteToStorage() type=%s key=\"%s\" status=%s", typeName, key.c_str(),
                   StatusToString(status).c_str());
    return status == kAudioHardwareNoError;
}

bool Storage::DeleteFromStorage_(const std::string& key)
{
    Tracer& tracer = *mContext->Tracer;
    const CFStringRef encodedKey = EncodeKey(key);
    if (encodedKey == nullptr) {
        tracer.Message("Storage::DeleteFromStorage() key=\"%s\" can't encode key", key.c_str());
        return false;
    }
    const ReleasedAtExit releaseKey(encodedKey);

    const AudioServerPlugInHostInterface* host = mContext->Host.load(std::memory_order_acquire);
    if (host == nullptr) {
        tracer.Message("Storage::DeleteFromStorage() key=\"%s\" Context.Host is NULL (driver is not initialized yet)",
                       key.c_str());
        return false;
    }

    const OSStatus status = host->DeleteFromStorage(host, encodedKey);
    tracer.Message("Storage::DeleteFromStorage() key=\"%s\" status=%s", key.c_str(), StatusToString(status).c_str());
    return status == kAudioHardwareNoError;
}

} // namespace hal
