#pragma once

// Draws a spectrogram picture of a sound file with sox:
// `sox -V1 <wav> -n spectrogram -o <png>`, run directly (no shell), waiting for it to finish.

#include <string>

namespace pelio::listen {

// True when sox ran and succeeded; otherwise `error` says why.
bool DrawSpectrogram(const std::string& wavPath, const std::string& pngPath, std::string& error);

} // namespace pelio::listen
