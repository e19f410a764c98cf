// The plug-in factory that the audio server calls by name, as the bundle's Info.plist declares it.

#include "PelioAssembly.h"
#include "PlugInFactory.h"

#include <CoreFoundation/CoreFoundation.h>

// The one symbol the module exports, undecorated: the Pelio driver's reference for the audio
// server's plug-in type, the same on every call; null for any other type, and null when building
// the tree fails (a later call tries again).
extern "C" __attribute__((visibility("default"))) void* PelioEntryPoint(CFAllocatorRef /*allocator*/,
                                                                          CFUUIDRef requestedTypeUUID)
{
    return pelio::MakePlugIn(requestedTypeUUID, pelio::createDriver);
}
