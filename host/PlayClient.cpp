#include "PlayClient.h"

#include <AudioServer/Connection.h>

#include <algorithm>
#include <vector>

#include <unistd.h>

namespace pelio::host {

namespace {

using audioserver::PlayRequest;
using audioserver::PlayResponse;
using audioserver::PlayRequestKind;

constexpr int kResponseTimeoutMs = 30000;
constexpr int kStallTimeoutMs = 5000;

} // namespace

PlayClient::~PlayClient()
{
    Close();
}

OSStatus PlayClient::Connect(const std::string& socketPath)
{
    Close();
    mSocket = audioserver::ConnectToServer(socketPath);
    return mSocket >= 0 ? kAudioHardwareNoError : kAudioHardwareNotRunningError;
}

void PlayClient::Close()
{
    if (mSocket >= 0) {
        close(mSocket);
        mSocket = -1;
    }
}

OSStatus PlayClient::Start(AudioObjectID deviceID, const std::string& bundleID, PlayResponse& response)
{
    PlayRequest request;
    request.kind = PlayRequestKind::StartPlaying;
    request.deviceID = deviceID;
    request.bundleID = bundleID;
    return Exchange(request, response);
}

OSStatus PlayClient::Play(const Float32* samples, std::size_t frames)
{
    PlayRequest request;
    request.kind = PlayRequestKind::PlayFrames;
    for (std::size_t done = 0; done < frames;) {
        const std::size_t count = std::min<std::size_t>(frames - done, audioserver::kMaxFramesPerMessage);
        const Float32* first = samples + done * audioserver::kPlayChannels;
        request.samples.assign(first, first + count * audioserver::kPlayChannels);
        PlayResponse response;
        if (const OSStatus status = Exchange(request, response)) {
            return status;
        }
        done += count;
    }
    return kAudioHardwareNoError;
}

OSStatus PlayClient::Stop(PlayResponse& response)
{
    PlayRequest request;
    request.kind = PlayRequestKind::StopPlaying;
    return Exchange(request, response);
}

OSStatus PlayClient::Exchange(const PlayRequest& request, PlayResponse& response)
{
    std::vector<UInt8> message;
    if (!audioserver::EncodePlayRequest(request, message)) {
        return kAudioHardwareBadPropertySizeError;
    }
    audioserver::Header header;
    std::vector<UInt8> payload;
    if (mSocket < 0 || !audioserver::WriteMessage(mSocket, message)
        || audioserver::ReadMessage(mSocket, kResponseTimeoutMs, kStallTimeoutMs, header, payload)
            != audioserver::ReadStatus::Message
        || header.kind != (static_cast<UInt16>(request.kind) | audioserver::kResponseFlag)
        || !audioserver::DecodePlayResponse(request.kind, payload, response)) {
        Close();
        return kAudioHardwareNotRunningError;
    }
    return response.status;
}

} // namespace pelio::host
