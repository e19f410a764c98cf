#pragma once

// What a device does with the audio of each step of an IO cycle.
//
// A base class with working defaults: input reads as silence, client and mixed output pass
// through the stream's own processing (its volume and mute controls), and the output itself goes
// nowhere. An application overrides the step where its audio comes from or goes to (typically
// OnWriteMixedOutput for an output device) and installs the handler on the device; a device that
// was given none uses an instance of this class itself. One object may serve as both IO and
// control handler.
//
// Threads: every operation runs on the host's real-time IO thread, under the device's IO mutex.
// Overrides must be real-time safe: no allocation, no lock they might wait for, no system call
// that can block. State shared with the control handler's client operations, which run on other
// threads at the same time, must be synchronised by the override itself. The defaults are
// bounded, allocation-free steps, and none of the operations may throw.
//
// `client` may be empty: the mixed-output steps have no client, and the host may name a client
// the device does not know. `zeroTimeStamp` is the sample time of the device's most recent zero
// time stamp; `timeStamp` the cycle's input sample time for input steps, its output sample time
// for output steps.

#include "hal/RealTime.h"

#include <MacTypes.h>

#include <memory>

namespace hal {

class Client;
class Stream;

class IORequestHandler
{
public:
    IORequestHandler() = default;
    IORequestHandler(const IORequestHandler&) = delete;
    IORequestHandler& operator=(const IORequestHandler&) = delete;

    virtual ~IORequestHandler();

    // Fills `buffer` with a client's input. Default: zeroes exactly `bufferBytes` bytes.
    virtual void OnReadClientInput(const std::shared_ptr<Client>& client,
                                   const std::shared_ptr<Stream>& stream,
                                   Float64 zeroTimeStamp,
                                   Float64 timeStamp,
                                   void* buffer,
                                   UInt32 bufferBytes) HAL_NONBLOCKING;

    // Processes a client's input in place. Default: the stream's processing.
    virtual void OnProcessClientInput(const std::shared_ptr<Client>& client,
                                      const std::shared_ptr<Stream>& stream,
                                      Float64 zeroTimeStamp,
                                      Float64 timeStamp,
                                      Float32* samples,
                                      UInt32 frameCount,
                                      UInt32 channelCount) HAL_NONBLOCKING;

    // Processes one client's output in place, before the host mixes it. Default: the stream's
    // processing.
    virtual void OnProcessClientOutput(const std::shared_ptr<Client>& client,
                                       const std::shared_ptr<Stream>& stream,
                                       Float64 zeroTimeStamp,
                                       Float64 timeStamp,
                                       Float32* samples,
                                       UInt32 frameCount,
                                       UInt32 channelCount) HAL_NONBLOCKING;

    // Hands over one client's processed output. Default: nothing.
    virtual void OnWriteClientOutput(const std::shared_ptr<Client>& client,
                                     const std::shared_ptr<Stream>& stream,
                                     Float64 zeroTimeStamp,
                                     Float64 timeStamp,
                                     const Float32* samples,
                                     UInt32 frameCount,
                                     UInt32 channelCount) HAL_NONBLOCKING;

    // Processes the mix of all clients in place. Default: the stream's processing.
    virtual void OnProcessMixedOutput(const std::shared_ptr<Stream>& stream,
                                      Float64 zeroTimeStamp,
                                      Float64 timeStamp,
                                      Float32* samples,
                                      UInt32 frameCount,
                                      UInt32 channelCount) HAL_NONBLOCKING;

    // Hands over the device's final mixed output: where an output device delivers its audio.
    // Default: nothing.
    virtual void OnWriteMixedOutput(const std::shared_ptr<Stream>& stream,
                                    Float64 zeroTimeStamp,
                                    Float64 timeStamp,
                                    const void* buffer,
                                    UInt32 bufferBytes) HAL_NONBLOCKING;
};

} // namespace hal
