// hal::Plugin: the device tables, adding and removing devices, and the property protocol.

#include "hal/Plugin.h"

#include "hal/Context.h"
#include "hal/Device.h"
#include "hal/PropertyProtocol.h"
#include "hal/TracedOperation.h"
#include "hal/Tracer.h"

#include <algorithm>
#include <utility>

namespace hal {

namespace {

using PropertyProtocol::List;
using PropertyProtocol::Qualified;
using PropertyProtocol::Text;

// Nothing here is settable. Scope and element never matter.
constexpr auto kProperties = PropertyProtocol::MakeTable<Plugin>({
    {kAudioPlugInPropertyDeviceList,           "DeviceIDs",          List<&Plugin::GetDeviceIDs>},
    {kAudioObjectPropertyManufacturer,         "Manufacturer",       Text<&Plugin::GetManufacturer>},
    {kAudioPlugInPropertyResourceBundle,       "ResourceBundlePath", Text<&Plugin::GetResourceBundlePath>},
    {kAudioPlugInPropertyTranslateUIDToDevice, "DeviceIDByUID",      Qualified<&Plugin::GetDeviceIDByUID>},
});

unsigned long AsLong(AudioObjectID objectID)
{
    return static_cast<unsigned long>(objectID);
}

} // namespace

// ---- Construction and identity -------------------------------------------------------------------

Plugin::Plugin(std::shared_ptr<const Context> context, const PluginParameters& parameters)
    : Object(std::move(context), "Plugin", kAudioObjectPlugInObject)
    , mParameters(parameters)
{
}

Plugin::~Plugin() = default;

AudioClassID Plugin::GetClass() const
{
    return kAudioPlugInClassID;
}

AudioClassID Plugin::GetBaseClass() const
{
    return kAudioObjectClassID;
}

bool Plugin::IsInstance(AudioClassID classID) const
{
    return classID == kAudioPlugInClassID || classID == kAudioObjectClassID;
}

bool Plugin::IsBuiltInProperty(AudioObjectPropertySelector selector) const
{
    return kProperties.Find(selector) != nullptr || Object::IsBuiltInProperty(selector);
}

// ---- Getters -----------------------------------------------------------------------------------------

std::string Plugin::GetManufacturer() const
{
    return mParameters.Manufacturer;
}

std::string Plugin::GetResourceBundlePath() const
{
    return mParameters.ResourceBundlePath;
}

std::vector<AudioObjectID> Plugin::GetDeviceIDs() const
{
    return GetOwnedObjectIDs(kAudioObjectPropertyScopeGlobal, kAudioDeviceClassID);
}

AudioObjectID Plugin::GetDeviceIDByUID(const std::string& uid) const
{
    const auto readLock = mDevicesByUID.GetReadLock();
    const auto found = readLock.GetValue().find(uid);
    return found == readLock.GetValue().end() ? kAudioObjectUnknown : found->second->GetID();
}

// ---- Devices -----------------------------------------------------------------------------------------

UInt32 Plugin::GetDeviceCount() const noexcept HAL_NONBLOCKING
{
    const auto readLock = mDevices.GetReadLock();
    return static_cast<UInt32>(readLock.GetValue().size());
}

std::shared_ptr<Device> Plugin::GetDeviceByIndex(UInt32 index) const noexcept HAL_NONBLOCKING
{
    const auto readLock = mDevices.GetReadLock();
    const DeviceList& devices = readLock.GetValue();
    return index < devices.size() ? devices[index] : nullptr;
}

std::shared_ptr<Device> Plugin::GetDeviceByID(AudioObjectID objectID) const noexcept HAL_NONBLOCKING
{
    const auto readLock = mDevicesByID.GetReadLock();
    const auto found = readLock.GetValue().find(objectID);
    return found == readLock.GetValue().end() ? nullptr : found->second;
}

bool Plugin::HasDevice(const std::shared_ptr<Device>& device) const noexcept HAL_NONBLOCKING
{
    if (device == nullptr) {
        return false;
    }
    const auto readLock = mDevicesByID.GetReadLock();
    return readLock.GetValue().contains(device->GetID());
}

void Plugin::AddDevice(const std::shared_ptr<Device>& device)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    Tracer& tracer = GetTracer();
    const TracedOperation operation(tracer, {.Name = "Plugin::AddDevice()", .ObjectID = GetID()});

    if (device == nullptr) {
        tracer.Message("Plugin::AddDevice() device is null pluginID=%lu", AsLong(GetID()));
        return;
    }
    if (const AudioObjectID ownerID = device->GetOwnerID(); ownerID != kAudioObjectUnknown) {
        if (ownerID == GetID()) {
            tracer.Message("Plugin::AddDevice() device already added devID=%lu pluginID=%lu", AsLong(device->GetID()),
                           AsLong(GetID()));
        } else {
            tracer.Message("Plugin::AddDevice() unexpected device owner devID=%lu devOwnerID=%lu pluginID=%lu",
                           AsLong(device->GetID()), AsLong(ownerID), AsLong(GetID()));
        }
        return;
    }

    DeviceList devices = mDevices.Get();
    devices.push_back(device);
    mDevices.Set(std::move(devices));

    DevicesByID byID = mDevicesByID.Get();
    byID.insert_or_assign(device->GetID(), device);
    mDevicesByID.Set(std::move(byID));

    DevicesByUID byUID = mDevicesByUID.Get();
    if (std::string uid = device->GetDeviceUID(); !uid.empty()) {
        byUID.insert_or_assign(std::move(uid), device);
    }
    mDevicesByUID.Set(std::move(byUID));

    device->RequestOwnershipChange(this, true);
    NotifyPropertiesChanged({kAudioObjectPropertyOwnedObjects, kAudioPlugInPropertyDeviceList},
                            kAudioObjectPropertyScopeGlobal, 0);
}

void Plugin::RemoveDevice(const std::shared_ptr<Device>& device)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    Tracer& tracer = GetTracer();
    const TracedOperation operation(tracer, {.Name = "Plugin::RemoveDevice()", .ObjectID = GetID()});

    if (device == nullptr) {
        tracer.Message("Plugin::RemoveDevice() device is null pluginID=%lu", AsLong(GetID()));
        return;
    }
    // Any owner is accepted: a device is only ever owned by the plug-in that added it.
    if (!device->HasOwner()) {
        tracer.Message("Plugin::RemoveDevice() device already removed devID=%lu pluginID=%lu",
                       AsLong(device->GetID()), AsLong(GetID()));
        return;
    }

    DeviceList devices = mDevices.Get();
    if (const auto found = std::find(devices.begin(), devices.end(), device); found != devices.end()) {
        devices.erase(found);
    }
    mDevices.Set(std::move(devices));

    DevicesByID byID = mDevicesByID.Get();
    byID.erase(device->GetID());
    mDevicesByID.Set(std::move(byID));

    DevicesByUID byUID = mDevicesByUID.Get();
    if (const std::string uid = device->GetDeviceUID(); !uid.empty()) {
        byUID.erase(uid);
    }
    mDevicesByUID.Set(std::move(byUID));

    device->RequestOwnershipChange(this, false);
    NotifyPropertiesChanged({kAudioObjectPropertyOwnedObjects, kAudioPlugInPropertyDeviceList},
                            kAudioObjectPropertyScopeGlobal, 0);
}

// ---- Property protocol -------------------------------------------------------------------------------

Boolean Plugin::HasProperty(AudioObjectID inObjectID, pid_t inClientProcessID,
                            const AudioObjectPropertyAddress* inAddress) const
{
    return AnswerHasProperty("Plugin::HasProperty()", kProperties, inObjectID, inClientProcessID, inAddress,
                             [&] { return Object::HasProperty(inObjectID, inClientProcessID, inAddress); });
}

OSStatus Plugin::IsPropertySettable(AudioObjectID inObjectID, pid_t inClientProcessID,
                                    const AudioObjectPropertyAddress* inAddress, Boolean* outIsSettable) const
{
    return AnswerIsPropertySettable(
        "Plugin::IsPropertySettable()", kProperties, inObjectID, inClientProcessID, inAddress, outIsSettable,
        [&] { return Object::IsPropertySettable(inObjectID, inClientProcessID, inAddress, outIsSettable); });
}

OSStatus Plugin::GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientProcessID,
                                     const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                     const void* inQualifierData, UInt32* outDataSize) const
{
    return AnswerGetPropertyDataSize("Plugin::GetPropertyDataSize()", kProperties, inObjectID, inClientProcessID,
                                     inAddress, inQualifierDataSize, inQualifierData, outDataSize, [&] {
        return Object::GetPropertyDataSize(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                           inQualifierData, outDataSize);
    });
}

OSStatus Plugin::GetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                                 const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                 const void* inQualifierData, UInt32 inDataSize, UInt32* outDataSize,
                                 void* outData) const
{
    return AnswerGetPropertyData("Plugin::GetPropertyData()", kProperties, inObjectID, inClientProcessID, inAddress,
                                 inQualifierDataSize, inQualifierData, inDataSize, outDataSize, outData, [&] {
        return Object::GetPropertyData(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                       inQualifierData, inDataSize, outDataSize, outData);
    });
}

OSStatus Plugin::SetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                                 const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                 const void* inQualifierData, UInt32 inDataSize, const void* inData)
{
    return AnswerSetPropertyData("Plugin::SetPropertyData()", kProperties, inObjectID, inClientProcessID, inAddress,
                                 inQualifierDataSize, inQualifierData, inDataSize, inData, [&] {
        return Object::SetPropertyData(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                       inQualifierData, inDataSize, inData);
    });
}

} // namespace hal
