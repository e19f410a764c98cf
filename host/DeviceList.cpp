#include "DeviceList.h"

#include <algorithm>
#include <mutex>

namespace pelio::host {

std::vector<std::shared_ptr<Device>> DeviceList::GetDevices() const
{
    const std::shared_lock<std::shared_mutex> lock(mMutex);
    std::vector<std::shared_ptr<Device>> devices;
    devices.reserve(mEntries.size());
    for (const Entry& entry : mEntries) {
        devices.push_back(entry.device);
    }
    return devices;
}

std::shared_ptr<Device> DeviceList::Find(AudioObjectID serverID) const
{
    const std::shared_lock<std::shared_mutex> lock(mMutex);
    for (const Entry& entry : mEntries) {
        if (entry.device->GetServerID() == serverID) {
            return entry.device;
        }
    }
    return nullptr;
}

std::shared_ptr<Device> DeviceList::Find(const PlugIn& plugIn, AudioObjectID plugInID) const
{
    const std::shared_lock<std::shared_mutex> lock(mMutex);
    for (const Entry& entry : mEntries) {
        if (&entry.device->GetPlugIn() == &plugIn && entry.device->GetPlugInID() == plugInID) {
            return entry.device;
        }
    }
    return nullptr;
}

void DeviceList::ReplacePlugInDevices(const PlugIn& plugIn, std::size_t plugInOrder,
                                      std::vector<std::shared_ptr<Device>> devices)
{
    const std::unique_lock<std::shared_mutex> lock(mMutex);
    std::erase_if(mEntries, [&](const Entry& entry) { return &entry.device->GetPlugIn() == &plugIn; });
    const auto position = std::find_if(mEntries.begin(), mEntries.end(),
                                       [&](const Entry& entry) { return entry.plugInOrder > plugInOrder; });
    std::vector<Entry> added;
    added.reserve(devices.size());
    for (auto& device : devices) {
        added.push_back({plugInOrder, std::move(device)});
    }
    mEntries.insert(position, added.begin(), added.end());
}

} // namespace pelio::host
