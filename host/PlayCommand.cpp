#include "PlayCommand.h"

#include "ClientCommands.h"
#include "PlayClient.h"
#include "RateConverter.h"
#include "RawStreamSource.h"
#include "SoundFileSource.h"
#include "TestSignal.h"

#include <AudioServer/Connection.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include <unistd.h>

namespace pelio::host {

namespace {

constexpr const char* kBundleID = "local.pelio.host.play";
constexpr double kSignalSeconds = 5.0;
constexpr Float64 kRawStreamRate = 48000.0;
constexpr std::size_t kFramesPerSend = 2048;

std::unique_ptr<SoundSource> OpenSource(const PlayOptions& options, Float64 deviceRate, std::string& error)
{
    std::unique_ptr<SoundSource> source;
    if (!options.signal.empty()) {
        // Made at the device's rate: nothing to convert.
        return std::make_unique<TestSignal>(*TestSignal::KindNamed(options.signal), deviceRate);
    }
    if (options.file == "-") {
        source = std::make_unique<RawStreamSource>(STDIN_FILENO, kRawStreamRate);
    } else {
        source = SoundFileSource::Open(options.file, error);
        if (source == nullptr) {
            error = "cannot read " + options.file + ": " + error;
            return nullptr;
        }
    }
    if (source->GetSampleRate() != deviceRate) {
        source = RateConverter::Make(std::move(source), deviceRate, error);
    }
    return source;
}

} // namespace

std::optional<PlayOptions> ParsePlayOptions(const std::vector<std::string>& arguments, std::string& error)
{
    PlayOptions options;
    int sources = 0;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        const bool hasValue = index + 1 < arguments.size();
        if (argument == "--device" && hasValue) {
            options.deviceUID = arguments[++index];
        } else if (argument == "--seconds" && hasValue) {
            char* end = nullptr;
            const std::string& text = arguments[++index];
            const double seconds = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !std::isfinite(seconds) || seconds <= 0) {
                error = "--seconds takes a positive number of seconds, not " + text;
                return std::nullopt;
            }
            options.seconds = seconds;
        } else if (argument == "--signal" && hasValue) {
            options.signal = arguments[++index];
            if (!TestSignal::KindNamed(options.signal)) {
                error = "no signal is called " + options.signal + " (sequence, sine, two-tone)";
                return std::nullopt;
            }
            ++sources;
        } else if (argument == "-" || (!argument.starts_with("-") && !argument.empty())) {
            options.file = argument;
            ++sources;
        } else {
            error = "unknown option " + argument;
            return std::nullopt;
        }
    }
    if (sources != 1) {
        error = "play takes one sound: a file, - for standard input, or --signal NAME";
        return std::nullopt;
    }
    return options;
}

int Play(const PlayOptions& options, std::FILE* out, std::FILE* errors)
{
    AudioObjectID deviceID = kAudioObjectUnknown;
    const OSStatus found = options.deviceUID.empty() ? ReadDefaultOutputDevice(deviceID)
                                                     : TranslateDeviceUID(options.deviceUID, deviceID);
    if (found != kAudioHardwareNoError) {
        return ReportFailure(errors, "cannot find the device", found);
    }
    if (deviceID == kAudioObjectUnknown) {
        std::fprintf(errors, options.deviceUID.empty() ? "pelio-host: there is no default output device\n"
                                                       : "pelio-host: no device has the UID %s\n",
                     options.deviceUID.c_str());
        return 1;
    }
    Float64 deviceRate = 0;
    if (const OSStatus status = ReadNominalSampleRate(deviceID, deviceRate); status != kAudioHardwareNoError) {
        return ReportFailure(errors, "cannot read the device's sample rate", status);
    }
    if (!(deviceRate > 0)) {
        std::fprintf(errors, "pelio-host: the device reports no sample rate\n");
        return 1;
    }
    std::string error;
    const std::unique_ptr<SoundSource> source = OpenSource(options, deviceRate, error);
    if (source == nullptr) {
        std::fprintf(errors, "pelio-host: %s\n", error.c_str());
        return 1;
    }
    const double seconds = options.seconds.value_or(options.signal.empty() ? HUGE_VAL : kSignalSeconds);
    const double limit = std::floor(seconds * deviceRate);
    const UInt64 frameLimit = limit >= 1.8e19 ? ~UInt64{0} : static_cast<UInt64>(limit);

    PlayClient client;
    audioserver::PlayResponse started;
    OSStatus status = client.Connect(audioserver::SocketPath());
    if (status == kAudioHardwareNoError) {
        status = client.Start(deviceID, kBundleID, started);
    }
    if (status != kAudioHardwareNoError) {
        return ReportFailure(errors, "cannot play on the device", status);
    }
    std::vector<Float32> samples(kFramesPerSend * SoundSource::kChannels);
    for (UInt64 sent = 0; sent < frameLimit;) {
        const std::size_t wanted = static_cast<std::size_t>(std::min<UInt64>(kFramesPerSend, frameLimit - sent));
        const std::size_t read = source->Read(samples.data(), wanted);
        if (read == 0) {
            break;
        }
        if ((status = client.Play(samples.data(), read)) != kAudioHardwareNoError) {
            return ReportFailure(errors, "playing failed", status);
        }
        sent += read;
    }
    audioserver::PlayResponse stopped;
    if ((status = client.Stop(stopped)) != kAudioHardwareNoError) {
        return ReportFailure(errors, "playing failed", status);
    }
    std::fprintf(out, "played %.2f s (%llu frames in %llu IO cycles) on %s (device %u)\n",
                 static_cast<double>(stopped.framesPlayed) / deviceRate,
                 static_cast<unsigned long long>(stopped.framesPlayed), static_cast<unsigned long long>(stopped.cycles),
                 ReadName(deviceID).c_str(), started.deviceID);
    if (stopped.framesMissed > 0) {
        std::fprintf(errors, "pelio-host: %llu frames came too late and played as silence\n",
                     static_cast<unsigned long long>(stopped.framesMissed));
    }
    return 0;
}

} // namespace pelio::host
