#pragma once

// pelio::host::SoundFileSource: a sound file read with libsndfile (WAV, AIFF, FLAC, Ogg and the
// rest it knows), at the file's own rate. A mono file plays on both channels; of a file with more
// than two channels, the first two play.

#include "SoundSource.h"

#include <memory>
#include <string>
#include <vector>

namespace pelio::host {

class SoundFileSource final : public SoundSource
{
public:
    // The open file, or null with libsndfile's reason in `error`.
    static std::unique_ptr<SoundFileSource> Open(const std::string& path, std::string& error);
    ~SoundFileSource() override;

    std::size_t Read(Float32* samples, std::size_t frames) override;
    Float64 GetSampleRate() const override { return mSampleRate; }

private:
    struct File;

    SoundFileSource(std::unique_ptr<File> file, int channels, Float64 sampleRate);

    std::unique_ptr<File> mFile;
    const int mChannels;
    const Float64 mSampleRate;
    std::vector<Float32> mFileFrames;
};

} // namespace pelio::host
