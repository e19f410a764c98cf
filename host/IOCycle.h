#pragma once

// pelio::host::IOCycle: what the server does with a running device in each IO cycle: the body of
// the device's IO thread.
//
// Run polls the device's zero time stamp, places the cycle on the device's time line from the
// clock model, fills every field of the cycle's AudioServerPlugInIOCycleInfo and performs the
// cycle, in the platform's order:
//     Begin Cycle
//     ReadInput, ConvertInput                      on every input stream, for the device
//     ProcessInput                                 on every input stream, for each client
//     the clients' frames are taken from their rings
//     ProcessOutput, then MixOutput or the mix     on every output stream, for each client
//     ProcessMix, ConvertMix, WriteMix             on every output stream, for the device
//     End Cycle
// each operation that the device said it does as BeginIOOperation, DoIOOperation once per stream
// and EndIOOperation. The Cycle and Thread marks are always given (Begin and End only, never Do):
// a device that does nothing with them answers 0. Operations for the device carry the host's
// client ID (kHostClientID), those for one client that client's. An operation not done in place
// gets a secondary buffer, and what it leaves there is what the next operation gets. WriteMix gets
// the sum of every attached player's frames for the cycle, silence when none has any.
//
// Times, in frames of the device's time line. A cycle wakes at sample time W (W advances by the
// buffer size N each cycle, so cycles are contiguous): its current time is the sample time of the
// moment it runs; its input covers [W - N - input safety offset, W - input safety offset), its
// output [W + N + output safety offset, ...), so a cycle has until the next one wakes (at W + N)
// before the device needs its output. The cycle counter counts from 1; it starts again at 1, with
// W placed at the present, when the device's seed changes or when a cycle ends more than a whole
// buffer past its deadline (the IO thread resynchronises). A cycle that ends after the next
// one's wake time is late: the platform's processor overload.
//
// A failing status from the device is counted in the report and the cycle goes on.
//
// Where the platform documents less than a server must decide, these are this server's choices:
// - The order above follows the order of the operation codes and the split the platform names
//   between operations for one client and operations on the mix of all of them.
// - The Thread and Cycle marks are given whatever the device answered for them: the platform says
//   only that they mark the thread and the cycle, and a device that does nothing with them loses
//   nothing.
// - The zero time stamp and every operation for the device as a whole carry kHostClientID; those
//   for one client carry its ID. An operation done in place gets no secondary buffer (null).
// - Input and output lie one buffer and the safety offset before and after the wake time, as
//   above; each cycle's buffer is the nominal size (no drift compensation varies it).
// - A failed call is neither retried nor fatal; a cycle more than a buffer late resynchronises.
//
// Threads: Attach and Detach on control threads, while the IO thread runs; BeginThread, Run and
// EndThread on the IO thread alone. These three allocate nothing, lock nothing and make no
// system call besides reading the host clock; the plug-in's calls are the plug-in's business. The
// constructor allocates every buffer the cycle needs.

#include "ClockModel.h"
#include "IOPlan.h"
#include "Player.h"

#include "hal/RealTime.h"

#include <CoreAudio/AudioServerPlugIn.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <vector>

namespace pelio::host {

class IOCycle
{
public:
    static constexpr std::size_t kMaxPlayers = 32;

    enum class Resync
    {
        None,
        Start,       // the first cycle of the thread
        NewTimeLine, // the device's zero time stamps changed seed
        FellBehind,  // the cycle before ended more than a buffer past its deadline
    };

    struct Report
    {
        UInt64 cycleCounter = 0;     // of the cycle that ran
        UInt64 nextWakeHostTime = 0; // when the next cycle is due
        Resync resync = Resync::None;
        ClockModel::Change stamp = ClockModel::Change::Same;
        UInt64 endHostTime = 0;      // the host clock when the cycle ended, after WriteMix
        bool late = false;
        UInt64 lateByTicks = 0;
        UInt32 failures = 0;          // calls into the device that failed in this cycle
        UInt32 failedOperation = 0;   // the first of them: its operation, or 0 for GetZeroTimeStamp
        OSStatus failure = 0;         // and its status
    };

    explicit IOCycle(IOPlan plan);
    IOCycle(const IOCycle&) = delete;
    IOCycle& operator=(const IOCycle&) = delete;

    const IOPlan& GetPlan() const noexcept { return mPlan; }

    // The player's frames are mixed from the next cycle on; false when all kMaxPlayers places are
    // taken.
    bool Attach(Player& player) noexcept;
    // Takes the player out. Returns once no cycle can still be using it: waits for at most the
    // cycle in progress.
    void Detach(Player& player);

    void BeginThread() noexcept HAL_NONBLOCKING;
    Report Run() noexcept HAL_NONBLOCKING;
    void EndThread() noexcept HAL_NONBLOCKING;

private:
    // A stream's buffer and its spare, which become each other's after an operation not done in
    // place.
    struct StreamBuffer
    {
        std::vector<Float32> first;
        std::vector<Float32> second;
        Float32* main = nullptr;
        Float32* spare = nullptr;

        void Reset() noexcept HAL_NONBLOCKING;
        void Clear() noexcept HAL_NONBLOCKING;
    };

    static std::vector<StreamBuffer> MakeBuffers(const std::vector<StreamIO>& streams, UInt32 frames);
    void Perform(UInt32 operationID, UInt32 clientID, const IOOperationAnswer& answer,
                 const std::vector<StreamIO>& streams, std::vector<StreamBuffer>& buffers,
                 Report& report) noexcept HAL_NONBLOCKING;
    void Mark(UInt32 operationID, bool begin, Report& report) noexcept HAL_NONBLOCKING;
    void MixPlayer(Player& player, Report& report) noexcept HAL_NONBLOCKING;
    AudioTimeStamp TimeStampAt(Float64 sampleTime, UInt64 hostTime) const noexcept HAL_NONBLOCKING;
    static void Check(Report& report, UInt32 operationID, OSStatus status) noexcept HAL_NONBLOCKING;

    const IOPlan mPlan;
    const AudioServerPlugInDriverRef mDriver;
    ClockModel mClock;

    // The IO thread's own.
    AudioServerPlugInIOCycleInfo mInfo{};
    Float64 mWakeSampleTime = 0;
    UInt64 mCounter = 0;
    Resync mPendingResync = Resync::Start;
    std::vector<Float32> mPlayerFrames;
    std::vector<StreamBuffer> mInput;
    std::vector<StreamBuffer> mClientInput;
    std::vector<StreamBuffer> mClientOutput;
    std::vector<StreamBuffer> mMix;

    // Odd while a cycle runs. Detach waits for it to move on, so that a player taken out is no
    // longer in use; the stores and loads are sequentially consistent for that reason.
    std::atomic<UInt64> mEpoch{0};
    std::array<std::atomic<Player*>, kMaxPlayers> mPlayers{};
};

} // namespace pelio::host
