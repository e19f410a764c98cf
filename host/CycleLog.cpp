#include "CycleLog.h"

#include "Log.h"

#include <mach/mach_time.h>

#include <cerrno>
#include <cstring>

namespace pelio::host {

CycleLog::Recording::Recording()
{
    mCycles.reserve(kMaxCycles);
}

void CycleLog::Recording::Add(UInt64 cycleCounter, UInt64 endHostTime, bool late) noexcept
{
    // Within the reserved capacity, push_back never allocates.
    if (mCycles.size() < kMaxCycles) {
        mCycles.push_back({cycleCounter, endHostTime, late});
    } else {
        ++mLeftOut;
    }
}

std::unique_ptr<CycleLog> CycleLog::Open(const std::string& path, std::string& error)
{
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr || std::fputs("device,cycle,end_ns,late\n", file) < 0 || std::fflush(file) != 0) {
        error = "cannot write the cycle log " + path + ": " + std::strerror(errno);
        if (file != nullptr) {
            std::fclose(file);
        }
        return nullptr;
    }
    return std::unique_ptr<CycleLog>(new CycleLog(path, file));
}

CycleLog::CycleLog(std::string path, std::FILE* file)
    : mPath(std::move(path))
    , mFile(file)
{
}

CycleLog::~CycleLog()
{
    std::fclose(mFile);
}

void CycleLog::Write(AudioObjectID deviceServerID, Recording& recording)
{
    mach_timebase_info_data_t timebase{1, 1};
    mach_timebase_info(&timebase);
    const std::lock_guard<std::mutex> lock(mMutex);
    bool written = true;
    for (const Recording::Cycle& cycle : recording.mCycles) {
        const auto nanoseconds = static_cast<unsigned long long>(
            static_cast<long double>(cycle.endHostTime) * timebase.numer / timebase.denom);
        written = std::fprintf(mFile, "%u,%llu,%llu,%d\n", deviceServerID,
                               static_cast<unsigned long long>(cycle.counter), nanoseconds, cycle.late ? 1 : 0)
                      > 0
                  && written;
    }
    written = std::fflush(mFile) == 0 && written;
    if (!written) {
        Log("device %u: the cycle log %s is incomplete: %s", deviceServerID, mPath.c_str(), std::strerror(errno));
    }
    if (recording.mLeftOut > 0) {
        Log("device %u: the cycle log left out the last %llu cycles", deviceServerID,
            static_cast<unsigned long long>(recording.mLeftOut));
    }
    recording.mCycles.clear();
    recording.mLeftOut = 0;
}

} // namespace pelio::host
