// The host clock on Linux: CLOCK_MONOTONIC in nanoseconds, which, like the Mac's tick counter, only
// moves forward and is not stepped by wall-clock changes. Read through the vDSO, so neither function
// enters the kernel, allocates or locks: both are safe on the real-time IO thread.

#include <mach/mach_time.h>

#include <stdint.h>
#include <time.h>

namespace {

constexpr uint64_t kNanosecondsPerSecond = 1000000000u;

}  // namespace

extern "C" kern_return_t mach_timebase_info(mach_timebase_info_t info) {
    if (info == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    // Ticks are nanoseconds already.
    info->numer = 1;
    info->denom = 1;
    return KERN_SUCCESS;
}

extern "C" uint64_t mach_absolute_time(void) {
    timespec now{};
    // CLOCK_MONOTONIC cannot fail on Linux; were it to, 0 would read as "no time yet" rather than
    // as garbage.
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(now.tv_sec) * kNanosecondsPerSecond + static_cast<uint64_t>(now.tv_nsec);
}
