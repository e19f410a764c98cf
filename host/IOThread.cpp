#include "IOThread.h"

#include "Log.h"

#include <mach/mach_time.h>

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <utility>

namespace pelio::host {

namespace {

// Above ordinary real-time work, below the kernel's own threads.
constexpr int kRealtimePriority = 70;
// The longest nap between two looks at Stop.
constexpr auto kLongestNap = std::chrono::milliseconds(20);
constexpr auto kLogInterval = std::chrono::seconds(1);

Float64 TicksToMilliseconds(UInt64 ticks)
{
    mach_timebase_info_data_t timebase{1, 1};
    mach_timebase_info(&timebase);
    return static_cast<Float64>(ticks) * timebase.numer / timebase.denom / 1.0e6;
}

std::string CallName(UInt32 operationID)
{
    return operationID == 0 ? std::string("GetZeroTimeStamp") : "operation " + StatusText(static_cast<int>(operationID));
}

} // namespace

// Counts what the cycles report and logs it: the first time at once, then at most once a second
// for each kind, with the running count.
class IOThread::Reporter
{
public:
    explicit Reporter(IOThread& thread)
        : mThread(thread)
    {
    }

    void Take(const IOCycle::Report& report)
    {
        const AudioObjectID device = mThread.mDeviceServerID;
        mThread.mCycles.fetch_add(1, std::memory_order_acq_rel);
        if (report.late) {
            const UInt64 total = mThread.mLateCycles.fetch_add(1, std::memory_order_acq_rel) + 1;
            if (mLate.Due()) {
                Log("device %u: IO cycle %llu ended %.2f ms after its deadline (processor overload; %llu late so far)",
                    device, static_cast<unsigned long long>(report.cycleCounter),
                    TicksToMilliseconds(report.lateByTicks), static_cast<unsigned long long>(total));
            }
        }
        if (report.resync == IOCycle::Resync::NewTimeLine || report.resync == IOCycle::Resync::FellBehind) {
            mThread.mResyncs.fetch_add(1, std::memory_order_acq_rel);
            const bool newTimeLine = report.resync == IOCycle::Resync::NewTimeLine;
            if ((newTimeLine ? mNewTimeLine : mFellBehind).Due()) {
                Log("device %u: the IO thread resynchronises, the cycle counter starts again at 1: %s", device,
                    newTimeLine ? "the zero time stamps changed seed" : "it fell more than a buffer behind");
            }
        }
        if (report.failures > 0) {
            mFailures += report.failures;
            if (mFailure.Due()) {
                Log("device %u: %s failed with status %s in IO cycle %llu (%llu failed calls so far)", device,
                    CallName(report.failedOperation).c_str(), StatusText(report.failure).c_str(),
                    static_cast<unsigned long long>(report.cycleCounter), static_cast<unsigned long long>(mFailures));
            }
        }
        if (report.stamp == ClockModel::Change::Irregular) {
            ++mIrregularStamps;
            if (mIrregular.Due()) {
                Log("device %u: a zero time stamp out of line with the one before (%llu so far)", device,
                    static_cast<unsigned long long>(mIrregularStamps));
            }
        }
    }

    void Summarise() const
    {
        Log("device %u: IO thread stopped after %llu cycles: %llu late, %llu resynchronisations, %llu failed calls, "
            "%llu zero time stamps out of line",
            mThread.mDeviceServerID, static_cast<unsigned long long>(mThread.GetCycles()),
            static_cast<unsigned long long>(mThread.GetLateCycles()),
            static_cast<unsigned long long>(mThread.GetResyncs()), static_cast<unsigned long long>(mFailures),
            static_cast<unsigned long long>(mIrregularStamps));
    }

private:
    struct Limit
    {
        std::chrono::steady_clock::time_point next{};

        bool Due()
        {
            const auto now = std::chrono::steady_clock::now();
            if (now < next) {
                return false;
            }
            next = now + kLogInterval;
            return true;
        }
    };

    IOThread& mThread;
    UInt64 mFailures = 0;
    UInt64 mIrregularStamps = 0;
    Limit mLate;
    Limit mNewTimeLine;
    Limit mFellBehind;
    Limit mFailure;
    Limit mIrregular;
};

IOThread::IOThread(AudioObjectID deviceServerID, IOPlan plan, CycleLog* cycleLog)
    : mDeviceServerID(deviceServerID)
    , mCycle(std::move(plan))
    , mCycleLog(cycleLog)
    , mRecording(cycleLog != nullptr ? std::make_unique<CycleLog::Recording>() : nullptr)
{
}

IOThread::~IOThread()
{
    Stop();
}

void IOThread::Start()
{
    if (!mThread.joinable()) {
        mStopping.store(false, std::memory_order_release);
        mThread = std::thread([this] { Run(); });
    }
}

void IOThread::Stop()
{
    mStopping.store(true, std::memory_order_release);
    if (mThread.joinable()) {
        mThread.join();
    }
}

void IOThread::Run()
{
    sched_param parameters{};
    parameters.sched_priority = std::min(kRealtimePriority, sched_get_priority_max(SCHED_FIFO));
    const int refused = pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters);
    if (refused == 0) {
        Log("device %u: the IO thread runs at real-time priority (SCHED_FIFO %d)", mDeviceServerID,
            parameters.sched_priority);
    } else {
        Log("device %u: the IO thread runs at normal priority: real-time priority is refused (%s)", mDeviceServerID,
            std::strerror(refused));
    }

    Reporter reporter(*this);
    mCycle.BeginThread();
    while (!mStopping.load(std::memory_order_acquire)) {
        const IOCycle::Report report = mCycle.Run();
        reporter.Take(report);
        if (mRecording != nullptr) {
            mRecording->Add(report.cycleCounter, report.endHostTime, report.late);
        }
        WaitUntil(report.nextWakeHostTime);
    }
    mCycle.EndThread();
    reporter.Summarise();
    if (mCycleLog != nullptr) {
        mCycleLog->Write(mDeviceServerID, *mRecording);
    }
}

void IOThread::WaitUntil(UInt64 hostTime) const
{
    mach_timebase_info_data_t timebase{1, 1};
    mach_timebase_info(&timebase);
    while (!mStopping.load(std::memory_order_acquire)) {
        const UInt64 now = mach_absolute_time();
        if (now >= hostTime) {
            return;
        }
        // The host clock in nanoseconds; a test's clock may run at any rate, so the wait is
        // measured from now rather than placed on the system clock.
        const auto remaining = std::chrono::nanoseconds(
            static_cast<std::int64_t>(static_cast<Float64>(hostTime - now) * timebase.numer / timebase.denom));
        std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(remaining, kLongestNap));
    }
}

} // namespace pelio::host
