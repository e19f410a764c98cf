/*
 * mach/mach_time.h — the host clock: a monotonic tick counter and the ratio that converts its
 * ticks to nanoseconds (nanoseconds = ticks * numer / denom).
 *
 * Both functions may be called from any thread, the real-time IO thread included: they allocate
 * nothing, take no lock and do not enter the kernel (the clock is read through the vDSO). The
 * clock counts from an arbitrary origin, never goes backwards, and is not adjusted when the wall
 * clock is set. On this platform a tick is one nanosecond, so the timebase is 1/1; code must still
 * read the timebase rather than assume it, because on a Mac the ratio differs (125/3 on Apple
 * silicon).
 */
#ifndef PELIO_PLATFORM_MACH_MACH_TIME_H
#define PELIO_PLATFORM_MACH_MACH_TIME_H

#include <mach/kern_return.h>
#include <stdint.h>

struct mach_timebase_info {
    uint32_t numer;
    uint32_t denom;
};
typedef struct mach_timebase_info* mach_timebase_info_t;
typedef struct mach_timebase_info mach_timebase_info_data_t;

#ifdef __cplusplus
extern "C" {
#endif

/* Stores the tick-to-nanosecond ratio. KERN_SUCCESS, or KERN_INVALID_ARGUMENT for a null info. */
kern_return_t mach_timebase_info(mach_timebase_info_t info);

/* The current tick count. */
uint64_t mach_absolute_time(void);

#ifdef __cplusplus
}
#endif

#endif /* PELIO_PLATFORM_MACH_MACH_TIME_H */
