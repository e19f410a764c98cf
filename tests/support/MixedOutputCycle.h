#pragma once

// The mixed-output part of one IO cycle through a driver's interface table, as the host's IO
// thread runs it: the cycle's brackets around Begin, Do and End of ProcessMix and WriteMix on one
// stream, with the cycle info the caller filled in. Returns the statuses or'ed together. Itself
// allocates, locks and calls nothing, so that under RealtimeSanitizer what it reports is the
// driver's.

#include "hal/RealTime.h"

#include <CoreAudio/AudioServerPlugIn.h>

#include <initializer_list>

namespace pelio::test {

inline OSStatus RunMixedOutputOperations(const AudioServerPlugInDriverInterface& table,
                                         AudioServerPlugInDriverRef reference, AudioObjectID deviceID,
                                         AudioObjectID streamID, UInt32 clientID, UInt32 frames,
                                         const AudioServerPlugInIOCycleInfo& cycle, Float32* mix) HAL_NONBLOCKING
{
    OSStatus status = table.BeginIOOperation(reference, deviceID, clientID, kAudioServerPlugInIOOperationCycle, frames,
                                             &cycle);
    for (const UInt32 operation : {kAudioServerPlugInIOOperationProcessMix, kAudioServerPlugInIOOperationWriteMix}) {
        status |= table.BeginIOOperation(reference, deviceID, clientID, operation, frames, &cycle);
        status |= table.DoIOOperation(reference, deviceID, streamID, clientID, operation, frames, &cycle, mix, nullptr);
        status |= table.EndIOOperation(reference, deviceID, clientID, operation, frames, &cycle);
    }
    status |= table.EndIOOperation(reference, deviceID, clientID, kAudioServerPlugInIOOperationCycle, frames, &cycle);
    return status;
}

} // namespace pelio::test
