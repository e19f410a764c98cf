#pragma once

// The status probe's logic, apart from main() so that tests can give it a fake audio system.
//
// QueryDeviceStatus asks the audio system two questions through the property query it is given,
// always both and always in this order: which device has the Pelio device UID, and which device
// is the default output. A failure of either call only shows as a false answer. Not real-time.

#include <CoreAudio/AudioHardware.h>

#include <cstdio>

namespace pelio::probe {

// Signature of AudioObjectGetPropertyData, so that tests can stand in for the audio system.
using PropertyDataQuery = OSStatus (*)(AudioObjectID objectID,
                                       const AudioObjectPropertyAddress* address,
                                       UInt32 qualifierDataSize,
                                       const void* qualifierData,
                                       UInt32* ioDataSize,
                                       void* outData);

struct DeviceStatus {
    bool available = false;
    bool defaultOutput = false;
};

DeviceStatus QueryDeviceStatus(PropertyDataQuery query);

// Writes the one JSON line, {"available":true,"defaultOutput":false} and a newline, to `out`.
void PrintDeviceStatus(const DeviceStatus& status, std::FILE* out);

} // namespace pelio::probe
