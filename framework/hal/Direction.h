#pragma once

// hal::Direction: which way audio flows through a stream. Its numeric value is what the host
// reads as kAudioStreamPropertyDirection, so the values are fixed. A plain value: safe anywhere.

#include <MacTypes.h>

namespace hal {

enum class Direction : UInt32
{
    Output = 0, // from the host to the device
    Input = 1,  // from the device to the host
};

} // namespace hal
