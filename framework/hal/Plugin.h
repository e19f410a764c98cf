#pragma once

// hal::Plugin: the root audio object of a plug-in ('aplg', base class 'aobj'), always object ID 1
// (kAudioObjectPlugInObject). It lists the plug-in's devices, names the manufacturer and the
// resource bundle, and translates a device UID into the device's object ID.
//
// Two records of the devices change together: the plug-in's own tables (by order of addition, by
// ID, by UID), which the lookups read, and the owned objects of the object base, which the
// device list property reports (in ascending ID order) and to which each device attaches itself
// through its ownership change.
//
// Reading. The lookups and the property operations take no mutex and never wait: they read the
// tables through DoubleBuffer read locks and copy at most one shared reference out.
// GetDeviceCount, GetDeviceByIndex, GetDeviceByID, HasDevice and GetDeviceIDByUID allocate
// nothing and are safe on the IO thread; the list and string getters allocate.
//
// Changing. AddDevice and RemoveDevice hold the plug-in's recursive write mutex for their whole
// body, the device's ownership change and the host notification included. Lock order: this
// mutex, then whatever the device's ownership change takes (the device's write mutex, then the
// object bases' mutexes). They copy whole tables and notify the host: not for the IO thread.
//
// Lifetime: create it with hal::MakeObject<Plugin>(context[, parameters]); it registers as
// object 1, so a context holds at most one.

#include "hal/DoubleBuffer.h"
#include "hal/Object.h"
#include "hal/PluginParameters.h"
#include "hal/RealTime.h"

#include <CoreAudio/AudioServerPlugIn.h>
#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace hal {

class Context;
class Device;

class Plugin : public Object
{
public:
    ~Plugin() override;

    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    // ---- Class identity -------------------------------------------------------------------------

    AudioClassID GetClass() const override;
    AudioClassID GetBaseClass() const override;
    // True for the plug-in class and its base class.
    bool IsInstance(AudioClassID classID) const override;

    // ---- Property protocol ----------------------------------------------------------------------
    // The device list, the manufacturer, the resource bundle and the UID translation for the
    // plug-in's own ID; everything else goes to the object base. Each operation is traced and
    // returns every failure as a status.

    Boolean HasProperty(AudioObjectID inObjectID, pid_t inClientProcessID,
                        const AudioObjectPropertyAddress* inAddress) const override;
    OSStatus IsPropertySettable(AudioObjectID inObjectID, pid_t inClientProcessID,
                                const AudioObjectPropertyAddress* inAddress, Boolean* outIsSettable) const override;
    OSStatus GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientProcessID,
                                 const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                 const void* inQualifierData, UInt32* outDataSize) const override;
    OSStatus GetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                             const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                             const void* inQualifierData, UInt32 inDataSize, UInt32* outDataSize,
                             void* outData) const override;
    OSStatus SetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                             const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                             const void* inQualifierData, UInt32 inDataSize, const void* inData) override;

    // ---- Getters ----------------------------------------------------------------------------------

    virtual std::string GetManufacturer() const;
    virtual std::string GetResourceBundlePath() const;
    // The owned devices, by ascending ID.
    virtual std::vector<AudioObjectID> GetDeviceIDs() const;
    // The device whose UID is exactly `uid`, or kAudioObjectUnknown. Devices with an empty UID are
    // never found; of two with the same UID, the one added last. Allocates nothing.
    virtual AudioObjectID GetDeviceIDByUID(const std::string& uid) const;

    // ---- Devices ----------------------------------------------------------------------------------

    UInt32 GetDeviceCount() const noexcept HAL_NONBLOCKING;
    // In the order of addition; empty when `index` is not below the count.
    std::shared_ptr<Device> GetDeviceByIndex(UInt32 index) const noexcept HAL_NONBLOCKING;
    std::shared_ptr<Device> GetDeviceByID(AudioObjectID objectID) const noexcept HAL_NONBLOCKING;
    bool HasDevice(const std::shared_ptr<Device>& device) const noexcept HAL_NONBLOCKING;

    // Adds the device to the tables and makes this plug-in its owner, then notifies the host of
    // the owned objects and the device list. A device that already has an owner, or a null one, is
    // traced and changes nothing.
    void AddDevice(const std::shared_ptr<Device>& device);
    // Takes the device out of the tables and releases its ownership (which applies its pending
    // configuration changes), then notifies. A device without owner, or a null one, is traced and
    // changes nothing.
    void RemoveDevice(const std::shared_ptr<Device>& device);

protected:
    // Registers the plug-in as object 1. Create it with hal::MakeObject<Plugin>(...).
    explicit Plugin(std::shared_ptr<const Context> context, const PluginParameters& parameters = {});

    bool IsBuiltInProperty(AudioObjectPropertySelector selector) const override;

    const PluginParameters& GetParameters() const noexcept { return mParameters; }

private:
    template <class T, class... Arguments>
    friend std::shared_ptr<T> MakeObject(Arguments&&... arguments);

    using DeviceList = std::vector<std::shared_ptr<Device>>;
    using DevicesByID = std::unordered_map<AudioObjectID, std::shared_ptr<Device>>;
    using DevicesByUID = std::unordered_map<std::string, std::shared_ptr<Device>>;

    std::recursive_mutex mWriteMutex;
    const PluginParameters mParameters;
    DoubleBuffer<DeviceList> mDevices{DeviceList{}};
    DoubleBuffer<DevicesByID> mDevicesByID{DevicesByID{}};
    DoubleBuffer<DevicesByUID> mDevicesByUID{DevicesByUID{}};
};

} // namespace hal
