#pragma once

// Writes the audio as raw interleaved 32-bit floats in this machine's byte order, as
// `sox -t f32 -r 48000 -c 2 -` reads them, to a file or to standard output.
//
// Each write is flushed, so that a program reading a pipe gets the audio as it arrives.

#include "AudioSink.h"

#include <cstdio>
#include <memory>
#include <string>

namespace pelio::listen {

class RawSink final : public AudioSink
{
public:
    // "-" is standard output; anything else a file created (or replaced) at that path.
    static std::unique_ptr<RawSink> Create(const std::string& path, std::string& error);
    ~RawSink() override;

    bool Write(std::span<const float> samples) override;
    bool Finish() override;

private:
    RawSink(std::FILE* stream, bool ownsStream) : mStream(stream), mOwnsStream(ownsStream) {}

    std::FILE* mStream;
    bool mOwnsStream;
};

} // namespace pelio::listen
