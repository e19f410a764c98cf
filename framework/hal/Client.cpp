#include "hal/Client.h"

namespace hal {

Client::Client(const ClientInfo& clientInfo)
    : mClientID(clientInfo.ClientID)
    , mProcessID(clientInfo.ProcessID)
    , mIsNativeEndian(clientInfo.IsNativeEndian)
    , mBundleID(clientInfo.BundleID)
{
}

Client::~Client() = default;

} // namespace hal
