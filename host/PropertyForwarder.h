#pragma once

// Passing a client's property request on to the plug-in that owns the object, as the platform
// does for every object but the system object.
//
// The request reaches the plug-in with the plug-in's own object ID and the client's process ID.
// A qualifier or data that is a CoreFoundation object (a standard property of that kind, or a
// custom property that the object lists as CFString or CFPropertyList) arrives as a reference to
// a new object that lives for the call; an answer of that kind is taken over from the plug-in
// (which hands out a reference the caller owns) and sent on as the object. A value that crosses
// in the other form than the property needs is refused with kAudioHardwareBadPropertySizeError
// before the plug-in sees it. In the answers of the properties that list objects (owner, owned
// objects, devices, streams, controls, related devices, UID translations) every plug-in ID is
// replaced by the server's.
//
// Any thread, any number at once; blocks for as long as the plug-in takes. Not for a real-time
// thread.

#include "ObjectMap.h"

#include <AudioServer/Protocol.h>

#include <sys/types.h>

namespace pelio::host {

void ForwardRequest(ObjectMap& objects, const ObjectMap::Target& target, const audioserver::PropertyRequest& request,
                    pid_t clientProcessID, audioserver::PropertyResponse& response);

} // namespace pelio::host
