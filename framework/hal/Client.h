#pragma once

// hal::Client: the record a device keeps for one of its clients from the host's AddDeviceClient
// to its RemoveDeviceClient, and hands to the IO handler with every IO operation of that client.
//
// Its values are fixed at construction, so every getter may be called from any thread without
// synchronisation. GetClientID, GetProcessID and GetIsNativeEndian are safe on the IO thread;
// GetBundleID copies a string and allocates.
//
// An application that keeps per-client state derives from this class and returns its own records
// from its control handler's OnAddClient. The device holds records through shared references and
// may drop its last one on a host thread only; a derived destructor therefore never runs on the
// IO thread.

#include "hal/ClientInfo.h"
#include "hal/RealTime.h"

#include <MacTypes.h>
#include <sys/types.h>

#include <string>

namespace hal {

class Client
{
public:
    explicit Client(const ClientInfo& clientInfo);
    virtual ~Client();

    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    UInt32 GetClientID() const noexcept HAL_NONBLOCKING { return mClientID; }
    pid_t GetProcessID() const noexcept HAL_NONBLOCKING { return mProcessID; }
    bool GetIsNativeEndian() const noexcept HAL_NONBLOCKING { return mIsNativeEndian; }
    std::string GetBundleID() const { return mBundleID; }

private:
    const UInt32 mClientID;
    const pid_t mProcessID;
    const bool mIsNativeEndian;
    const std::string mBundleID;
};

} // namespace hal
