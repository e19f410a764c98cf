#include "hal/IORequestHandler.h"

#include "hal/Stream.h"

#include <cstring>

namespace hal {

IORequestHandler::~IORequestHandler() = default;

void IORequestHandler::OnReadClientInput(const std::shared_ptr<Client>& /*client*/,
                                         const std::shared_ptr<Stream>& /*stream*/,
                                         Float64 /*zeroTimeStamp*/,
                                         Float64 /*timeStamp*/,
                                         void* buffer,
                                         UInt32 bufferBytes) HAL_NONBLOCKING
{
    // A host may pass no buffer for an empty operation; memset wants one even for 0 bytes.
    if (buffer != nullptr) {
        std::memset(buffer, 0, bufferBytes);
    }
}

namespace {

// The three processing defaults: the stream's own controls (volume, then mute). Without a stream
// there is nothing to apply, and the samples pass unchanged.
void ApplyStreamProcessing(const std::shared_ptr<Stream>& stream, Float32* samples, UInt32 frameCount,
                           UInt32 channelCount) HAL_NONBLOCKING
{
    if (stream != nullptr) {
        stream->ApplyProcessing(samples, frameCount, channelCount);
    }
}

} // namespace

void IORequestHandler::OnProcessClientInput(const std::shared_ptr<Client>& /*client*/,
                                            const std::shared_ptr<Stream>& stream,
                                            Float64 /*zeroTimeStamp*/,
                                            Float64 /*timeStamp*/,
                                            Float32* samples,
                                            UInt32 frameCount,
                                            UInt32 channelCount) HAL_NONBLOCKING
{
    ApplyStreamProcessing(stream, samples, frameCount, channelCount);
}

void IORequestHandler::OnProcessClientOutput(const std::shared_ptr<Client>& /*client*/,
                                             const std::shared_ptr<Stream>& stream,
                                             Float64 /*zeroTimeStamp*/,
                                             Float64 /*timeStamp*/,
                                             Float32* samples,
                                             UInt32 frameCount,
                                             UInt32 channelCount) HAL_NONBLOCKING
{
    ApplyStreamProcessing(stream, samples, frameCount, channelCount);
}

void IORequestHandler::OnWriteClientOutput(const std::shared_ptr<Client>& /*client*/,
                                           const std::shared_ptr<Stream>& /*stream*/,
                                           Float64 /*zeroTimeStamp*/,
                                           Float64 /*timeStamp*/,
                                           const Float32* /*samples*/,
                                           UInt32 /*frameCount*/,
                                           UInt32 /*channelCount*/) HAL_NONBLOCKING
{
}

void IORequestHandler::OnProcessMixedOutput(const std::shared_ptr<Stream>& stream,
                                            Float64 /*zeroTimeStamp*/,
                                            Float64 /*timeStamp*/,
                                            Float32* samples,
                                            UInt32 frameCount,
                                            UInt32 channelCount) HAL_NONBLOCKING
{
    ApplyStreamProcessing(stream, samples, frameCount, channelCount);
}

void IORequestHandler::OnWriteMixedOutput(const std::shared_ptr<Stream>& /*stream*/,
                                          Float64 /*zeroTimeStamp*/,
                                          Float64 /*timeStamp*/,
                                          const void* /*buffer*/,
                                          UInt32 /*bufferBytes*/) HAL_NONBLOCKING
{
}

} // namespace hal
