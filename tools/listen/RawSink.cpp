#include "RawSink.h"

#include <cerrno>
#include <cstring>

namespace pelio::listen {

std::unique_ptr<RawSink> RawSink::Create(const std::string& path, std::string& error)
{
    if (path == "-") {
        return std::unique_ptr<RawSink>(new RawSink(stdout, false));
    }
    std::FILE* stream = std::fopen(path.c_str(), "wb");
    if (stream == nullptr) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<RawSink>(new RawSink(stream, true));
}

RawSink::~RawSink()
{
    Finish();
}

bool RawSink::Write(std::span<const float> samples)
{
    return mStream != nullptr && std::fwrite(samples.data(), sizeof(float), samples.size(), mStream) == samples.size() &&
           std::fflush(mStream) == 0;
}

bool RawSink::Finish()
{
    if (mStream == nullptr) {
        return true;
    }
    const bool flushed = std::fflush(mStream) == 0;
    const bool closed = !mOwnsStream || std::fclose(mStream) == 0;
    mStream = nullptr;
    return flushed && closed;
}

} // namespace pelio::listen
