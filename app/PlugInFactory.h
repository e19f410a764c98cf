#pragma once

// What the plug-in factory does, for any way of building the driver: the driver of the process is
// built on the first call for the audio server's plug-in type and never destroyed, and every such
// call answers its reference.
//
// Never destroyed, because the audio server's threads may still call into the plug-in while the
// process exits: a driver destroyed by a static destructor would leave them a freed interface
// table and freed objects. The host's reference count is informational; the system reclaims
// everything at exit, and the sender thread ends with the process.
//
// Concurrent first calls build one driver; the others wait for it. A build that throws builds
// nothing, answers null, and lets the next call try again. Each distinct `Build` type has a
// driver of its own.

#include "hal/Driver.h"

#include <CoreAudio/AudioServerPlugIn.h>
#include <CoreFoundation/CoreFoundation.h>

#include <memory>

namespace pelio {

template <class Build>
hal::Driver& GetPersistentDriver(Build& build)
{
    // Allocated and never deleted: no destructor runs at exit.
    static std::shared_ptr<hal::Driver>* const driver = new std::shared_ptr<hal::Driver>(build());
    return **driver;
}

// The factory's answer to `requestedType`: the driver reference for the audio server plug-in
// type, null for any other (or none). Nothing thrown leaves: the caller is the audio server.
template <class Build>
void* MakePlugIn(CFUUIDRef requestedType, Build& build) noexcept
{
    try {
        if (requestedType == nullptr || !CFEqual(requestedType, kAudioServerPlugInTypeUUID)) {
            return nullptr;
        }
        return GetPersistentDriver(build).GetReference();
    } catch (...) {
        return nullptr;
    }
}

} // namespace pelio
