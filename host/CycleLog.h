#pragma once

// pelio::host::CycleLog: when each IO cycle of every device ended, as a CSV file, for measuring
// how long the device's output takes from WriteMix (the cycle's last operation before End Cycle)
// to a receiver (see scripts/stream-bench.sh, which joins it with pelio-listen's arrivals).
//
// The file is created (emptied) when the log opens, with the header line
//     device,cycle,end_ns,late
// then each IO thread appends its cycles when it stops: the device's server ID, the cycle counter,
// the host clock when the cycle ended in nanoseconds (CLOCK_MONOTONIC on Linux, as pelio-listen's
// arrival times), and 1 for a late cycle. A thread records at most kMaxCycles cycles (about 45
// minutes of 512-frame cycles at 48 kHz); the ones after are counted and left out.
//
// Threads: Open and Write from any thread (a mutex keeps whole threads' rows together). A
// Recording belongs to one IO thread; it is allocated whole when made, and Add allocates nothing,
// locks nothing and calls nothing, so the IO thread may call it between cycles.

#include <CoreAudio/AudioServerPlugIn.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pelio::host {

class CycleLog
{
public:
    static constexpr std::size_t kMaxCycles = std::size_t{1} << 18;

    class Recording
    {
    public:
        Recording();

        void Add(UInt64 cycleCounter, UInt64 endHostTime, bool late) noexcept;

    private:
        friend class CycleLog;

        struct Cycle
        {
            UInt64 counter;
            UInt64 endHostTime;
            bool late;
        };

        std::vector<Cycle> mCycles;
        UInt64 mLeftOut = 0;
    };

    // Null with the reason when the file cannot be created.
    static std::unique_ptr<CycleLog> Open(const std::string& path, std::string& error);
    ~CycleLog();
    CycleLog(const CycleLog&) = delete;
    CycleLog& operator=(const CycleLog&) = delete;

    // Appends the device's recorded cycles and flushes, so that the file is whole after each
    // thread's end, and empties the recording. Logs a failure to write, and how many cycles did
    // not fit.
    void Write(AudioObjectID deviceServerID, Recording& recording);

private:
    CycleLog(std::string path, std::FILE* file);

    const std::string mPath;
    std::mutex mMutex;
    std::FILE* const mFile;
};

} // namespace pelio::host
