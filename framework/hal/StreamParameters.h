#pragma once

// hal::StreamParameters: what a stream is built from. A plain record, copied whole into the
// stream at construction; direction and starting channel stay fixed for the stream's life, the
// format and the latency only seed values that change later through the owning device.
//
// The defaults describe a stream that matches a device built from default parameters: output,
// from the first channel, stereo 16-bit signed integer linear PCM at 44100 Hz, no latency.

#include "hal/Direction.h"

#include <CoreAudio/AudioServerPlugIn.h>

namespace hal {

struct StreamParameters
{
    hal::Direction Direction = hal::Direction::Output;

    // The device channel that the stream's first channel maps to, counted from 1.
    UInt32 StartingChannel = 1;

    // The initial physical format and the initial virtual format.
    AudioStreamBasicDescription Format{
        .mSampleRate = 44100.0,
        .mFormatID = kAudioFormatLinearPCM,
        .mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked,
        .mBytesPerPacket = 4,
        .mFramesPerPacket = 1,
        .mBytesPerFrame = 4,
        .mChannelsPerFrame = 2,
        .mBitsPerChannel = 16,
        .mReserved = 0,
    };

    // Initial stream latency, in frames.
    UInt32 Latency = 0;
};

} // namespace hal
