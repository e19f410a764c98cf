#include "Log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace pelio::host {

void Log(const char* format, ...)
{
    static std::mutex mutex;
    const std::lock_guard<std::mutex> lock(mutex);
    std::fputs("pelio-host: ", stderr);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

std::string StatusText(int status)
{
    const auto code = static_cast<unsigned>(status);
    char text[4];
    for (int index = 0; index < 4; ++index) {
        text[index] = static_cast<char>((code >> (24 - 8 * index)) & 0xFF);
        if (text[index] < 0x20 || text[index] > 0x7E) {
            return std::to_string(status);
        }
    }
    return "'" + std::string(text, 4) + "'";
}

} // namespace pelio::host
