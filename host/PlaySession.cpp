#include "PlaySession.h"

#include "Device.h"
#include "Log.h"
#include "Player.h"

#include <cerrno>

#include <poll.h>

namespace pelio::host {

namespace {

using audioserver::PlayRequest;
using audioserver::PlayResponse;
using audioserver::PlayRequestKind;

// How often a wait looks at its condition.
constexpr int kWaitStepMs = 5;

} // namespace

PlaySession::PlaySession(PlayDevices& devices, pid_t processID, int socket)
    : mDevices(devices)
    , mProcessID(processID)
    , mSocket(socket)
{
}

PlaySession::~PlaySession()
{
    if (mPlayer != nullptr) {
        Log("process %d went away while playing on device %u: its IO stops", mProcessID, mDevice->GetServerID());
        Finish();
    }
}

void PlaySession::Handle(const PlayRequest& request, PlayResponse& response)
{
    switch (request.kind) {
    case PlayRequestKind::StartPlaying:
        response.status = Start(request.deviceID, request.bundleID, response);
        return;
    case PlayRequestKind::PlayFrames:
        response.status = Play(request.samples);
        return;
    case PlayRequestKind::StopPlaying:
        response.status = Stop(response);
        return;
    default:
        response.status = kAudioHardwareIllegalOperationError;
        return;
    }
}

OSStatus PlaySession::Start(AudioObjectID deviceID, const std::string& bundleID, PlayResponse& response)
{
    if (mPlayer != nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    const std::shared_ptr<Device> device = mDevices.FindOutputDevice(deviceID);
    if (device == nullptr) {
        return kAudioHardwareBadDeviceError;
    }
    auto player = std::make_shared<Player>(mDevices.NewClientID(), mProcessID, bundleID, kRingFrames);
    if (const OSStatus status = device->AddClient(*player)) {
        Log("process %d cannot play on device %u: AddDeviceClient failed with status %s", mProcessID,
            device->GetServerID(), StatusText(status).c_str());
        return status;
    }
    Log("process %d (%s) plays on device %u as client %u", mProcessID, bundleID.c_str(), device->GetServerID(),
        player->GetClientID());
    mDevice = device;
    mPlayer = std::move(player);
    mIOStarted = false;
    mFramesSent = 0;
    response.deviceID = mDevice->GetServerID();
    response.clientID = mPlayer->GetClientID();
    return kAudioHardwareNoError;
}

OSStatus PlaySession::Play(const std::vector<Float32>& samples)
{
    if (mPlayer == nullptr || mPlayer->HasEnded()) {
        return kAudioHardwareIllegalOperationError;
    }
    FrameRing& ring = mPlayer->GetRing();
    const std::size_t frames = samples.size() / FrameRing::kChannels;
    std::size_t done = 0;
    for (;;) {
        const std::size_t written = ring.Write(samples.data() + done * FrameRing::kChannels, frames - done);
        done += written;
        mFramesSent += written;
        if (const OSStatus status = StartIOWhenReady(false)) {
            return status;
        }
        if (done == frames) {
            return kAudioHardwareNoError;
        }
        // The ring is full, so IO runs: room comes as the IO thread mixes.
        if (!mPlayer->IsPlaying()) {
            return kAudioHardwareIllegalOperationError;
        }
        if (!WaitFor([&] { return ring.GetFreeFrames() > 0 || !mPlayer->IsPlaying(); })) {
            return kAudioHardwareNotRunningError;
        }
    }
}

OSStatus PlaySession::Stop(PlayResponse& response)
{
    if (mPlayer == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    mPlayer->MarkEnded();
    OSStatus status = StartIOWhenReady(true);
    if (status == kAudioHardwareNoError && mIOStarted) {
        const bool played = WaitFor([&] {
            // Frames played first: see Player::TakeFrames.
            return !mPlayer->IsPlaying()
                || (mPlayer->GetFramesPlayed() == mFramesSent
                    && mPlayer->GetCyclesSinceLastFrame() >= kCyclesAfterLastFrame);
        });
        if (!played) {
            status = kAudioHardwareNotRunningError;
        } else if (!mPlayer->IsPlaying()) {
            status = kAudioHardwareIllegalOperationError;
        }
    }
    response.framesPlayed = mPlayer->GetFramesPlayed();
    response.framesMissed = mPlayer->GetFramesMissed();
    response.cycles = mPlayer->GetCycles();
    Finish();
    return status;
}

OSStatus PlaySession::StartIOWhenReady(bool now)
{
    const std::size_t queued = mPlayer->GetRing().GetQueuedFrames();
    if (mIOStarted || queued == 0 || (!now && queued < kStartFrames)) {
        return kAudioHardwareNoError;
    }
    const OSStatus status = mDevice->StartIO(mPlayer);
    if (status != kAudioHardwareNoError) {
        Log("client %u cannot play on device %u: StartIO failed with status %s", mPlayer->GetClientID(),
            mDevice->GetServerID(), StatusText(status).c_str());
        return status;
    }
    mIOStarted = true;
    return kAudioHardwareNoError;
}

void PlaySession::Finish()
{
    if (mPlayer->IsPlaying()) {
        if (const OSStatus status = mDevice->StopIO(*mPlayer)) {
            Log("device %u: StopIO for client %u failed with status %s", mDevice->GetServerID(),
                mPlayer->GetClientID(), StatusText(status).c_str());
        }
    }
    if (const OSStatus status = mDevice->RemoveClient(*mPlayer)) {
        Log("device %u: RemoveDeviceClient for client %u failed with status %s", mDevice->GetServerID(),
            mPlayer->GetClientID(), StatusText(status).c_str());
    }
    mPlayer.reset();
    mDevice.reset();
}

bool PlaySession::WaitFor(const std::function<bool()>& condition) const
{
    for (;;) {
        if (condition()) {
            return true;
        }
        // Asks only for the peer's hang-up (a request sent early must not end the wait); errors
        // and a shut-down socket are reported whatever is asked.
        pollfd entry{mSocket, POLLRDHUP, 0};
        const int ready = poll(&entry, 1, kWaitStepMs);
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (ready > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return false;
        }
    }
}

} // namespace pelio::host
