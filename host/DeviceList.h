#pragma once

// pelio::host::DeviceList: the devices the server publishes, over all plug-ins, in the order the
// plug-ins were loaded and then in each plug-in's own order.
//
// Thread safety: any thread. Readers share a lock and copy out shared references, so a device
// stays usable while the list changes; each plug-in's devices are replaced whole, so readers
// never see half of a change. Not for a real-time thread.

#include "Device.h"

#include <memory>
#include <shared_mutex>
#include <vector>

namespace pelio::host {

class DeviceList
{
public:
    std::vector<std::shared_ptr<Device>> GetDevices() const;
    std::shared_ptr<Device> Find(AudioObjectID serverID) const;
    std::shared_ptr<Device> Find(const PlugIn& plugIn, AudioObjectID plugInID) const;

    // Puts `devices` in the place of the plug-in's current ones; `plugInOrder`, the plug-in's
    // position among those loaded, places them among the other plug-ins' devices.
    void ReplacePlugInDevices(const PlugIn& plugIn, std::size_t plugInOrder,
                              std::vector<std::shared_ptr<Device>> devices);

private:
    struct Entry
    {
        std::size_t plugInOrder;
        std::shared_ptr<Device> device;
    };

    mutable std::shared_mutex mMutex;
    std::vector<Entry> mEntries;
};

} // namespace pelio::host
