#include "ObjectMap.h"

#include <mutex>

namespace pelio::host {

AudioObjectID ObjectMap::ToServer(PlugIn& plugIn, AudioObjectID objectID)
{
    if (objectID == kAudioObjectUnknown) {
        return kAudioObjectUnknown;
    }
    if (const auto known = FindServer(plugIn, objectID)) {
        return *known;
    }
    const std::unique_lock<std::shared_mutex> lock(mMutex);
    const auto [entry, added] = mServerIDs.try_emplace({&plugIn, objectID}, mNextID);
    if (added) {
        mTargets[mNextID] = Target{&plugIn, objectID};
        ++mNextID;
    }
    return entry->second;
}

std::optional<AudioObjectID> ObjectMap::FindServer(const PlugIn& plugIn, AudioObjectID objectID) const
{
    const std::shared_lock<std::shared_mutex> lock(mMutex);
    const auto entry = mServerIDs.find({&plugIn, objectID});
    if (entry == mServerIDs.end()) {
        return std::nullopt;
    }
    return entry->second;
}

std::optional<ObjectMap::Target> ObjectMap::ToPlugIn(AudioObjectID serverID) const
{
    const std::shared_lock<std::shared_mutex> lock(mMutex);
    const auto entry = mTargets.find(serverID);
    if (entry == mTargets.end()) {
        return std::nullopt;
    }
    return entry->second;
}

} // namespace pelio::host
