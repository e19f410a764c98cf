#include "hal/ClientInfo.h"

#include "hal/Convert.h"

namespace hal {

ClientInfo ClientInfo::FromHostRecord(const AudioServerPlugInClientInfo& record)
{
    ClientInfo info;
    info.ClientID = record.mClientID;
    info.ProcessID = record.mProcessID;
    info.IsNativeEndian = record.mIsNativeEndian != 0;
    // A null or unconvertible identifier leaves the text empty.
    Convert::FromFoundation(record.mBundleID, info.BundleID);
    return info;
}

} // namespace hal
