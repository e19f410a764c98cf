/*
 * substitute/host_clock.h — a seam in the substitute's host clock for tests. Not part of the
 * platform: a Mac has no such header, and nothing but tests may include it.
 *
 * Once a reader is installed, mach_absolute_time() returns what it returns and
 * mach_timebase_info() reports the given timebase, on every thread, until the system clock is
 * restored. Install and restore only while no other thread reads the clock; reading it stays as
 * cheap and as real-time safe as before (one atomic load more), provided the reader is.
 */
#ifndef PELIO_PLATFORM_SUBSTITUTE_HOST_CLOCK_H
#define PELIO_PLATFORM_SUBSTITUTE_HOST_CLOCK_H

#include <mach/mach_time.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint64_t (*pelio_host_clock_reader)(void);

/* A null reader restores the system clock and its 1/1 timebase. A timebase with a zero part is
 * refused (KERN_INVALID_ARGUMENT) and nothing changes. */
kern_return_t pelio_set_host_clock(pelio_host_clock_reader reader, mach_timebase_info_data_t timebase);

#ifdef __cplusplus
}
#endif

#endif /* PELIO_PLATFORM_SUBSTITUTE_HOST_CLOCK_H */
