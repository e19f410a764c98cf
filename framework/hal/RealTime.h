#pragma once

// HAL_NONBLOCKING marks a function that the real-time IO thread runs. Under clang 20 and later it
// is [[clang::nonblocking]]: the compiler warns about calls into code not known to be
// non-blocking, and a RealtimeSanitizer build (-fsanitize=realtime) stops the process the moment
// such a function allocates, locks a blocking mutex or makes a system call. Elsewhere it expands
// to nothing and costs nothing.
#if defined(__has_cpp_attribute)
#if __has_cpp_attribute(clang::nonblocking)
#define HAL_NONBLOCKING [[clang::nonblocking]]
#endif
#endif
#ifndef HAL_NONBLOCKING
#define HAL_NONBLOCKING
#endif
