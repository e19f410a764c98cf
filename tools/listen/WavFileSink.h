#pragma once

// Writes the audio to a WAV file (32-bit float, 48 kHz, stereo) through libsndfile.
//
// The header is brought up to date after every write, so the file is a valid WAV of everything
// written so far even if the process is killed before Finish.

#include "AudioSink.h"

#include <sndfile.h>

#include <memory>
#include <string>

namespace pelio::listen {

class WavFileSink final : public AudioSink
{
public:
    // Creates (or replaces) the file at `path`; nothing on failure, with `error` saying why.
    static std::unique_ptr<WavFileSink> Create(const std::string& path, std::string& error);
    ~WavFileSink() override;

    bool Write(std::span<const float> samples) override;
    bool Finish() override;

private:
    explicit WavFileSink(SNDFILE* file) : mFile(file) {}

    SNDFILE* mFile;
};

} // namespace pelio::listen
