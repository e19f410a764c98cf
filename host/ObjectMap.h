#pragma once

// pelio::host::ObjectMap: the object IDs that clients see, mapped to the plug-ins' own.
//
// Every plug-in numbers its objects itself and calls its plug-in object 1, which is also the
// system object's ID; so each object a plug-in reports gets an ID of the server's, from 2 upward,
// the first time the server sees it, and keeps it for the life of the server. ToServer maps
// kAudioObjectUnknown (0) to itself; it is never an object that was seen. An ID is never reused, so a client holding the ID of a vanished
// object reaches its plug-in, which refuses it.
//
// Thread safety: any thread; lookups share a reader lock, new IDs take the writer lock. Allocates
// when it grows: not for a real-time thread.

#include <CoreAudio/AudioHardwareBase.h>

#include <map>
#include <optional>
#include <shared_mutex>
#include <unordered_map>
#include <utility>

namespace pelio::host {

class PlugIn;

class ObjectMap
{
public:
    struct Target
    {
        PlugIn* plugIn = nullptr;
        AudioObjectID objectID = kAudioObjectUnknown;
    };

    // The server's ID of the plug-in's object, made on first sight.
    AudioObjectID ToServer(PlugIn& plugIn, AudioObjectID objectID);
    // The server's ID of an object already seen, or nothing.
    std::optional<AudioObjectID> FindServer(const PlugIn& plugIn, AudioObjectID objectID) const;
    // The plug-in object behind a server ID, or nothing.
    std::optional<Target> ToPlugIn(AudioObjectID serverID) const;

private:
    mutable std::shared_mutex mMutex;
    AudioObjectID mNextID = 2;
    std::unordered_map<AudioObjectID, Target> mTargets;
    std::map<std::pair<const PlugIn*, AudioObjectID>, AudioObjectID> mServerIDs;
};

} // namespace pelio::host
