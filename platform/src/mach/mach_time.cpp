// The host clock on Linux: CLOCK_MONOTONIC in nanoseconds, which, like the Mac's tick counter, only
// moves forward and is not stepped by wall-clock changes. Read through the vDSO, so neither function
// enters the kernel, allocates or locks: both are safe on the real-time IO thread.
//
// Tests may put their own clock in its place (substitute/host_clock.h); the reader and the
// timebase are atomics, so the real-time path reads them without a lock.

#include <mach/mach_time.h>
#include <substitute/host_clock.h>

#include <atomic>
#include <stdint.h>
#include <time.h>

namespace {

constexpr uint64_t kNanosecondsPerSecond = 1000000000u;

// Ticks are nanoseconds: 1/1, packed as numer in the high half and denom in the low one.
constexpr uint64_t kSystemTimebase = (uint64_t{1} << 32) | 1u;

std::atomic<pelio_host_clock_reader> gReader{nullptr};
std::atomic<uint64_t> gTimebase{kSystemTimebase};

static_assert(std::atomic<pelio_host_clock_reader>::is_always_lock_free && std::atomic<uint64_t>::is_always_lock_free,
              "the IO thread reads the clock; reading it must not take a lock");

uint64_t ReadSystemClock() {
    timespec now{};
    // CLOCK_MONOTONIC cannot fail on Linux; were it to, 0 would read as "no time yet" rather than
    // as garbage.
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(now.tv_sec) * kNanosecondsPerSecond + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace

extern "C" kern_return_t mach_timebase_info(mach_timebase_info_t info) {
    if (info == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    const uint64_t timebase = gTimebase.load(std::memory_order_acquire);
    info->numer = static_cast<uint32_t>(timebase >> 32);
    info->denom = static_cast<uint32_t>(timebase);
    return KERN_SUCCESS;
}

extern "C" uint64_t mach_absolute_time(void) {
    const pelio_host_clock_reader reader = gReader.load(std::memory_order_acquire);
    return reader != nullptr ? reader() : ReadSystemClock();
}

extern "C" kern_return_t pelio_set_host_clock(pelio_host_clock_reader reader, mach_timebase_info_data_t timebase) {
    if (reader == nullptr) {
        gReader.store(nullptr, std::memory_order_release);
        gTimebase.store(kSystemTimebase, std::memory_order_release);
        return KERN_SUCCESS;
    }
    if (timebase.numer == 0 || timebase.denom == 0) {
        return KERN_INVALID_ARGUMENT;
    }
    gTimebase.store((uint64_t{timebase.numer} << 32) | timebase.denom, std::memory_order_release);
    gReader.store(reader, std::memory_order_release);
    return KERN_SUCCESS;
}
