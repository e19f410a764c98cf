#pragma once

// pelio::host::IOThread: the IO thread of one running device, which runs its IOCycle from the
// first client's StartIO to the last client's StopIO.
//
// The thread asks for real-time priority (SCHED_FIFO) and runs at normal priority where the
// system refuses it; the log says which. It marks its start and end with the Thread operation and
// then runs cycle after cycle, each when the clock model says the device reaches the cycle's wake
// time: the wait is the only place it sleeps, and it lies outside the real-time cycle body.
//
// What goes wrong is logged from the thread between cycles, at most once a second for each kind
// (late cycles, that is the platform's processor overload; resynchronisations for a new time line
// and for falling behind; failed calls; zero time stamps out of line), with running counts; the
// thread logs the totals when it stops.
//
// With a cycle log, the thread records when each cycle ended and appends the record to the log
// when it stops.
//
// Threads: Start, Stop, Attach and Detach from control threads (the device's IO mutex keeps them
// apart); the counters from any thread.

#include "CycleLog.h"
#include "IOCycle.h"
#include "IOPlan.h"

#include <atomic>
#include <memory>
#include <thread>

namespace pelio::host {

class IOThread
{
public:
    // `deviceServerID` names the device in the logs; `cycleLog` may be null, and must outlive
    // the thread otherwise.
    IOThread(AudioObjectID deviceServerID, IOPlan plan, CycleLog* cycleLog = nullptr);
    // Stops.
    ~IOThread();
    IOThread(const IOThread&) = delete;
    IOThread& operator=(const IOThread&) = delete;

    void Start();
    // Waits for the cycle in progress and the end of the thread.
    void Stop();

    bool Attach(Player& player) noexcept { return mCycle.Attach(player); }
    void Detach(Player& player) { mCycle.Detach(player); }

    UInt64 GetCycles() const noexcept { return mCycles.load(std::memory_order_acquire); }
    UInt64 GetLateCycles() const noexcept { return mLateCycles.load(std::memory_order_acquire); }
    UInt64 GetResyncs() const noexcept { return mResyncs.load(std::memory_order_acquire); }

private:
    // Counts and, now and then, logs what a cycle reported.
    class Reporter;

    void Run();
    // Sleeps until the host clock reaches `hostTime`, in steps short enough to notice Stop.
    void WaitUntil(UInt64 hostTime) const;

    const AudioObjectID mDeviceServerID;
    IOCycle mCycle;
    CycleLog* const mCycleLog;
    const std::unique_ptr<CycleLog::Recording> mRecording;
    std::thread mThread;
    std::atomic<bool> mStopping{false};
    std::atomic<UInt64> mCycles{0};
    std::atomic<UInt64> mLateCycles{0};
    std::atomic<UInt64> mResyncs{0};
};

} // namespace pelio::host
