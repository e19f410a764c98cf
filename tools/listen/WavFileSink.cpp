#include "WavFileSink.h"

#include "Datagram.h"

namespace pelio::listen {

std::unique_ptr<WavFileSink> WavFileSink::Create(const std::string& path, std::string& error)
{
    SF_INFO format{};
    format.samplerate = kSampleRate;
    format.channels = kChannelCount;
    format.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &format);
    if (file == nullptr) {
        error = "cannot write " + path + ": " + sf_strerror(nullptr);
        return nullptr;
    }
    sf_command(file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    return std::unique_ptr<WavFileSink>(new WavFileSink(file));
}

WavFileSink::~WavFileSink()
{
    Finish();
}

bool WavFileSink::Write(std::span<const float> samples)
{
    const auto frames = static_cast<sf_count_t>(samples.size() / kChannelCount);
    return mFile != nullptr && sf_writef_float(mFile, samples.data(), frames) == frames;
}

bool WavFileSink::Finish()
{
    if (mFile == nullptr) {
        return true;
    }
    const int status = sf_close(mFile);
    mFile = nullptr;
    return status == 0;
}

} // namespace pelio::listen
