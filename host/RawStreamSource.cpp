#include "RawStreamSource.h"

#include <cerrno>
#include <cstdint>

#include <unistd.h>

namespace pelio::host {

RawStreamSource::RawStreamSource(int descriptor, Float64 sampleRate)
    : mDescriptor(descriptor)
    , mSampleRate(sampleRate)
{
}

std::size_t RawStreamSource::Read(Float32* samples, std::size_t frames)
{
    const std::size_t frameBytes = kChannels * sizeof(Float32);
    auto* bytes = reinterpret_cast<std::uint8_t*>(samples);
    std::size_t done = 0;
    while (!mEnded && done < frames * frameBytes) {
        const ssize_t count = read(mDescriptor, bytes + done, frames * frameBytes - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            mEnded = true;
            break;
        }
        done += static_cast<std::size_t>(count);
    }
    return done / frameBytes;
}

} // namespace pelio::host
