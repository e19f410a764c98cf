// pelio-host: the simulated audio server for Linux and its client commands.
//
//     pelio-host serve [--plugins FOLDER] [--state FOLDER] [--buffer-frames N]
//     pelio-host list
//     pelio-host set-default UID
//     pelio-host play [--device UID] [--seconds S] (FILE | - | --signal NAME)
//
// The socket is $PELIO_HOST_SOCKET, or host.sock in the per-user folder. `serve` runs until
// SIGINT or SIGTERM, then stops what plays, writes the plug-ins' storage and exits 0.

#include "ClientCommands.h"
#include "PlayCommand.h"
#include "Server.h"

#include <AudioServer/Connection.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace pelio::host;

constexpr unsigned kSmallestBuffer = 16;
constexpr unsigned kLargestBuffer = 8192;

int Usage()
{
    std::fprintf(stderr, "usage: pelio-host serve [--plugins FOLDER] [--state FOLDER] [--buffer-frames N]\n"
                         "                        [--cycle-log FILE]\n"
                         "       pelio-host list\n"
                         "       pelio-host set-default UID\n"
                         "       pelio-host play [--device UID] [--seconds S] (FILE | - | --signal NAME)\n"
                         "           NAME: sequence, sine or two-tone; - reads raw stereo 32-bit float at 48000 Hz\n");
    return 2;
}

std::string DefaultStateFolder()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && *state != '\0') {
        return std::string(state) + "/pelio-host";
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : ".") + "/.local/state/pelio-host";
}

int Serve(int argc, char** argv)
{
    ServerOptions options;
    options.plugInFolder = PELIO_HOST_DEFAULT_PLUGIN_FOLDER;
    options.stateFolder = DefaultStateFolder();
    options.socketPath = audioserver::SocketPath();
    for (int index = 2; index < argc; ++index) {
        const std::string option = argv[index];
        if ((option == "--plugins" || option == "--state") && index + 1 < argc) {
            (option == "--plugins" ? options.plugInFolder : options.stateFolder) = argv[++index];
        } else if (option == "--cycle-log" && index + 1 < argc) {
            options.cycleLogPath = argv[++index];
        } else if (option == "--buffer-frames" && index + 1 < argc) {
            char* end = nullptr;
            const unsigned long frames = std::strtoul(argv[++index], &end, 10);
            if (*end != '\0' || frames < kSmallestBuffer || frames > kLargestBuffer) {
                std::fprintf(stderr, "pelio-host: --buffer-frames takes %u to %u frames\n", kSmallestBuffer,
                             kLargestBuffer);
                return 2;
            }
            options.ioBufferFrames = static_cast<UInt32>(frames);
        } else {
            return Usage();
        }
    }

    // Blocked before any thread exists, so every thread (the plug-ins' too) leaves them to sigwait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Server server(options);
    if (!server.Start()) {
        return 1;
    }
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.Stop();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        return Usage();
    }
    const std::string command = argv[1];
    if (command == "serve") {
        return Serve(argc, argv);
    }
    if (command == "list" && argc == 2) {
        return ListDevices(stdout, stderr);
    }
    if (command == "set-default" && argc == 3) {
        return SetDefaultOutputDevice(argv[2], stdout, stderr);
    }
    if (command == "play") {
        std::string error;
        const auto options = ParsePlayOptions(std::vector<std::string>(argv + 2, argv + argc), error);
        if (!options) {
            std::fprintf(stderr, "pelio-host: %s\n", error.c_str());
            return Usage();
        }
        // A reader of our output that goes away must not end the play half-way.
        std::signal(SIGPIPE, SIG_IGN);
        return Play(*options, stdout, stderr);
    }
    return Usage();
}
