/*
 * mach/kern_return.h — the result type of the kernel interfaces and the results that the host
 * clock functions give. Constants only: usable from any thread.
 */
#ifndef PELIO_PLATFORM_MACH_KERN_RETURN_H
#define PELIO_PLATFORM_MACH_KERN_RETURN_H

typedef int kern_return_t;

#define KERN_SUCCESS 0
#define KERN_INVALID_ARGUMENT 4
#define KERN_FAILURE 5

#endif /* PELIO_PLATFORM_MACH_KERN_RETURN_H */
