#include "hal/ClientInfo.h"

#include "hal/Convert.h"

namespace hal {

ClientInfo ClientInfo::FromHostRecord(const AudioServerPlugInClientInfo& record)
{
    ClientInfo info;
    info.ClientID = record.mClientID;
    info.ProcessID = record.mProcessID;
    info.IsNativeEndian = record.mIsNativeEndian != 0;
    // A null or unconvertible identifier leaves the text empty, and so does an object that is not
    // a string at all: the record comes from the host, and reading it as a string would crash.
    Convert::FromFoundation(static_cast<CFTypeRef>(record.mBundleID), info.BundleID);
    return info;
}

} // namespace hal
