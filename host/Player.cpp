#include "Player.h"

#include <AudioServer/Text.h>

#include <algorithm>
#include <utility>

namespace pelio::host {

Player::Player(UInt32 clientID, pid_t processID, std::string bundleID, std::size_t ringFrames)
    : mClientID(clientID)
    , mProcessID(processID)
    , mBundleID(std::move(bundleID))
    , mRing(ringFrames)
{
}

OSStatus Player::WithClientInfo(const std::function<OSStatus(const AudioServerPlugInClientInfo&)>& call) const
{
    // Made anew for each call and released after it, so a plug-in that keeps the pointer without
    // retaining it is caught, as on the platform.
    const CFStringRef bundleID = audioserver::CreateString(mBundleID);
    const AudioServerPlugInClientInfo info{mClientID, mProcessID, true, bundleID};
    const OSStatus status = call(info);
    if (bundleID != nullptr) {
        CFRelease(bundleID);
    }
    return status;
}

void Player::TakeFrames(Float32* samples, UInt32 frames) noexcept HAL_NONBLOCKING
{
    const std::size_t taken = mRing.Read(samples, frames);
    std::fill(samples + taken * FrameRing::kChannels, samples + std::size_t{frames} * FrameRing::kChannels, 0.0f);
    // Only this thread writes the counters: plain read-modify-write, published with release. The
    // frames played come after the cycles since the last frame, so that whoever sees a number of
    // frames played also sees the count of cycles from that cycle on.
    mCyclesSinceLastFrame.store(taken > 0 ? 0 : mCyclesSinceLastFrame.load(std::memory_order_relaxed) + 1,
                                std::memory_order_release);
    if (taken < frames && !HasEnded()) {
        mFramesMissed.store(mFramesMissed.load(std::memory_order_relaxed) + (frames - taken), std::memory_order_release);
    }
    mFramesPlayed.store(mFramesPlayed.load(std::memory_order_relaxed) + taken, std::memory_order_release);
    mCycles.store(mCycles.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

} // namespace pelio::host
