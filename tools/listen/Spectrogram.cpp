#include "Spectrogram.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace pelio::listen {

bool DrawSpectrogram(const std::string& wavPath, const std::string& pngPath, std::string& error)
{
    std::string program = "sox";
    // Failures only: sox warns about the short format chunk that libsndfile writes for float
    // WAV files, which every reader (sox included) reads correctly.
    std::string quiet = "-V1";
    std::string noOutput = "-n";
    std::string effect = "spectrogram";
    std::string outputOption = "-o";
    std::string input = wavPath;
    std::string output = pngPath;
    char* arguments[] = {program.data(), quiet.data(), input.data(), noOutput.data(), effect.data(), outputOption.data(), output.data(), nullptr};

    pid_t child = 0;
    const int spawnError = posix_spawnp(&child, "sox", nullptr, nullptr, arguments, environ);
    if (spawnError != 0) {
        error = std::string("cannot run sox: ") + std::strerror(spawnError);
        return false;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            error = std::string("lost track of sox: ") + std::strerror(errno);
            return false;
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = "sox could not draw " + pngPath + " from " + wavPath;
        return false;
    }
    return true;
}

} // namespace pelio::listen
