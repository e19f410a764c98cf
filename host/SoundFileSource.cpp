#include "SoundFileSource.h"

#include <sndfile.h>

#include <algorithm>
#include <utility>

namespace pelio::host {

namespace {

constexpr std::size_t kFramesPerRead = 4096;

} // namespace

struct SoundFileSource::File
{
    SNDFILE* handle = nullptr;

    ~File()
    {
        if (handle != nullptr) {
            sf_close(handle);
        }
    }
};

std::unique_ptr<SoundFileSource> SoundFileSource::Open(const std::string& path, std::string& error)
{
    SF_INFO info{};
    auto file = std::make_unique<File>();
    file->handle = sf_open(path.c_str(), SFM_READ, &info);
    if (file->handle == nullptr) {
        error = sf_strerror(nullptr);
        return nullptr;
    }
    if (info.channels < 1 || info.samplerate < 1) {
        error = "the file has no channels or no sample rate";
        return nullptr;
    }
    return std::unique_ptr<SoundFileSource>(new SoundFileSource(std::move(file), info.channels, info.samplerate));
}

SoundFileSource::SoundFileSource(std::unique_ptr<File> file, int channels, Float64 sampleRate)
    : mFile(std::move(file))
    , mChannels(channels)
    , mSampleRate(sampleRate)
    , mFileFrames(kFramesPerRead * static_cast<std::size_t>(channels))
{
}

SoundFileSource::~SoundFileSource() = default;

std::size_t SoundFileSource::Read(Float32* samples, std::size_t frames)
{
    std::size_t done = 0;
    while (done < frames) {
        const auto wanted = static_cast<sf_count_t>(std::min(frames - done, kFramesPerRead));
        const sf_count_t read = sf_readf_float(mFile->handle, mFileFrames.data(), wanted);
        if (read <= 0) {
            break;
        }
        for (sf_count_t frame = 0; frame < read; ++frame) {
            const Float32* from = mFileFrames.data() + frame * mChannels;
            Float32* into = samples + (done + static_cast<std::size_t>(frame)) * kChannels;
            into[0] = from[0];
            into[1] = from[mChannels > 1 ? 1 : 0];
        }
        done += static_cast<std::size_t>(read);
    }
    return done;
}

} // namespace pelio::host
