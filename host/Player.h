#pragma once

// pelio::host::Player: one application playing on one device, as the server keeps it: the client
// record the plug-in is told of, the frames the application sent and the IO thread has not yet
// mixed, the operations the device does for this client, and what the IO thread reports back.
//
// Threads: the application's connection thread writes the ring and marks the end; the device's IO
// thread takes frames (TakeFrames, the one operation for it) and alone writes the counters, which
// any thread may read. The operations are set before the player is handed to the IO thread and
// not changed while it runs.

#include "FrameRing.h"
#include "IOPlan.h"

#include "hal/RealTime.h"

#include <CoreAudio/AudioServerPlugIn.h>

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace pelio::host {

class Player
{
public:
    Player(UInt32 clientID, pid_t processID, std::string bundleID, std::size_t ringFrames);
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    UInt32 GetClientID() const noexcept { return mClientID; }
    pid_t GetProcessID() const noexcept { return mProcessID; }
    const std::string& GetBundleID() const { return mBundleID; }

    // Runs `call` with the client record as the plug-in gets it. The record and its bundle ID
    // string exist for the call only, as the platform's do.
    OSStatus WithClientInfo(const std::function<OSStatus(const AudioServerPlugInClientInfo&)>& call) const;

    FrameRing& GetRing() noexcept { return mRing; }

    const IOOperationSet& GetOperations() const noexcept { return mOperations; }
    void SetOperations(const IOOperationSet& operations) { mOperations = operations; }

    // Whether the device's IO runs for the player: set by the device, from StartIO to StopIO, and
    // cleared when IO cannot start again after a configuration change.
    void SetPlaying(bool playing) noexcept { mPlaying.store(playing, std::memory_order_release); }
    bool IsPlaying() const noexcept { return mPlaying.load(std::memory_order_acquire); }

    // The application has sent its last frames: frames that do not come from now on are the end
    // of its sound, not late.
    void MarkEnded() noexcept { mEnded.store(true, std::memory_order_release); }
    bool HasEnded() const noexcept { return mEnded.load(std::memory_order_acquire); }

    // IO thread: fills `samples` with the next `frames` stereo frames, silence where none have
    // come, and counts.
    void TakeFrames(Float32* samples, UInt32 frames) noexcept HAL_NONBLOCKING;

    UInt64 GetFramesPlayed() const noexcept { return mFramesPlayed.load(std::memory_order_acquire); }
    // Frames of silence mixed while the application had not ended: its frames came too late.
    UInt64 GetFramesMissed() const noexcept { return mFramesMissed.load(std::memory_order_acquire); }
    UInt64 GetCycles() const noexcept { return mCycles.load(std::memory_order_acquire); }
    // Cycles that have run since the last one that took a frame of this player.
    UInt64 GetCyclesSinceLastFrame() const noexcept { return mCyclesSinceLastFrame.load(std::memory_order_acquire); }

private:
    const UInt32 mClientID;
    const pid_t mProcessID;
    const std::string mBundleID;
    FrameRing mRing;
    IOOperationSet mOperations;
    std::atomic<bool> mPlaying{false};
    std::atomic<bool> mEnded{false};
    std::atomic<UInt64> mFramesPlayed{0};
    std::atomic<UInt64> mFramesMissed{0};
    std::atomic<UInt64> mCycles{0};
    std::atomic<UInt64> mCyclesSinceLastFrame{0};
};

} // namespace pelio::host
