#pragma once

// Reading what a test's tracer printed. Test code only: it allocates.

#include <string>
#include <vector>

namespace pelio::test {

// The message lines of `lines`, without the begin and end lines of the operations around them.
inline std::vector<std::string> MessagesOf(const std::vector<std::string>& lines)
{
    std::vector<std::string> messages;
    for (const std::string& line : lines) {
        if (line.find("() begin") == std::string::npos && line.find("() end status=") == std::string::npos) {
            messages.push_back(line);
        }
    }
    return messages;
}

}  // namespace pelio::test
