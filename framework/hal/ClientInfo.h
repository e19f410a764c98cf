#pragma once

// hal::ClientInfo: what the host said about one of a device's clients (an application process
// using the device), copied out of the platform's AudioServerPlugInClientInfo. The host's record
// is valid only for the length of its call; this copy owns its text and lives as long as needed.
//
// A plain value: copy it, compare it, read it from any thread. Building one from the host's
// record converts the bundle ID from a CFString, which allocates: not for the IO thread.

#include <CoreAudio/AudioServerPlugIn.h>

#include <string>

namespace hal {

struct ClientInfo
{
    // The host's ID for the client, unique among the device's clients.
    UInt32 ClientID = 0;
    pid_t ProcessID = 0;
    // Whether the client works in the machine's native byte order.
    bool IsNativeEndian = true;
    // The client application's bundle identifier; empty when the host gave none or it does not
    // convert to UTF-8.
    std::string BundleID;

    // A copy of `record`: any non-zero mIsNativeEndian reads as true.
    static ClientInfo FromHostRecord(const AudioServerPlugInClientInfo& record);

    friend bool operator==(const ClientInfo& left, const ClientInfo& right) = default;
};

} // namespace hal
