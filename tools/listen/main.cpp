// pelio-listen: receives the Pelio stream on the loopback address, checks and counts every
// datagram, optionally writes the audio, and ends with a summary. See Options.cpp for the
// command line. Exit status: 0 when it ran to its end or was interrupted, 1 when an output or the
// socket failed, 2 for a wrong command line.

#include "ArrivalLog.h"
#include "Options.h"
#include "RawSink.h"
#include "Receiver.h"
#include "Spectrogram.h"
#include "StatusLine.h"
#include "UdpSocket.h"
#include "WavFileSink.h"

#include <signal.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace {

using namespace pelio::listen;
using Clock = std::chrono::steady_clock;

volatile sig_atomic_t gStopRequested = 0;

void RequestStop(int)
{
    gStopRequested = 1;
}

// SIGINT and SIGTERM end the listening, not the process: the loop sees the request, finishes the
// outputs and prints the summary. The signal also cuts short the wait for a datagram.
void InstallStopHandlers()
{
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A reader of the raw output that goes away shows as a failed write, not as a dead process.
    signal(SIGPIPE, SIG_IGN);
}

std::uint64_t MonotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

int Fail(const std::string& message)
{
    std::fprintf(stderr, "pelio-listen: %s\n", message.c_str());
    return 1;
}

class Listener
{
public:
    Listener(const Options& options, UdpSocket socket) : mOptions(options), mSocket(std::move(socket)) {}

    bool OpenOutputs(std::string& error)
    {
        if (!mOptions.wavPath.empty()) {
            auto wav = WavFileSink::Create(mOptions.wavPath, error);
            if (!wav) {
                return false;
            }
            mSinks.push_back({std::move(wav), mOptions.wavPath});
        }
        if (!mOptions.rawPath.empty()) {
            auto raw = RawSink::Create(mOptions.rawPath, error);
            if (!raw) {
                return false;
            }
            mSinks.push_back({std::move(raw), mOptions.rawPath == "-" ? "standard output" : mOptions.rawPath});
        }
        if (!mOptions.arrivalsPath.empty()) {
            mArrivals = ArrivalLog::Create(mOptions.arrivalsPath, error);
            if (!mArrivals) {
                return false;
            }
        }
        return true;
    }

    // Receives until the end that the options set, a stop request or a failed output. On a stop
    // it still takes in what has already arrived, so nothing sent before the stop goes uncounted.
    void Run()
    {
        constexpr auto kStatusPeriod = std::chrono::milliseconds(250);
        const Clock::time_point start = Clock::now();
        Clock::time_point nextStatus = start + kStatusPeriod;
        std::optional<Clock::time_point> deadline;
        if (mOptions.seconds) {
            deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*mOptions.seconds));
        }

        while (!gStopRequested && !mFinished) {
            const Clock::time_point now = Clock::now();
            if (deadline && now >= *deadline) {
                break;
            }
            const Clock::time_point wakeUp = std::min(nextStatus, deadline.value_or(nextStatus));
            const auto timeout = std::chrono::ceil<std::chrono::milliseconds>(wakeUp - now);
            if (mSocket.WaitReadable(std::max(timeout, std::chrono::milliseconds(0)))) {
                TakeWaitingDatagrams(kMostAtOnce);
            }
            if (Clock::now() >= nextStatus) {
                mStatus.Show(mReceiver.GetSummaryWithoutJitter(), mReceiver.TakeRecentPeaksDbfs());
                nextStatus = Clock::now() + kStatusPeriod;
            }
        }
        if (!mFinished) {
            TakeWaitingDatagrams(kMostAtTheEnd);
        }
        mStatus.Clear();
    }

    // Closes the outputs and draws the spectrogram; false (with a message) when any failed.
    bool Finish()
    {
        bool succeeded = mSucceeded;
        for (Output& output : mSinks) {
            if (!output.sink->Finish()) {
                Fail("cannot finish " + output.name);
                succeeded = false;
            }
        }
        if (mArrivals && !mArrivals->Finish()) {
            Fail("cannot finish " + mOptions.arrivalsPath);
            succeeded = false;
        }
        if (!mOptions.spectrogramPath.empty()) {
            std::string error;
            if (!DrawSpectrogram(mOptions.wavPath, mOptions.spectrogramPath, error)) {
                Fail(error);
                succeeded = false;
            }
        }
        return succeeded;
    }

    void PrintSummary() const
    {
        const Summary summary = mReceiver.GetSummary();
        const std::string text = mOptions.json ? FormatSummaryJson(summary) : FormatSummaryText(summary);
        // Standard output carries the raw audio when asked to; the summary then goes beside it.
        std::FILE* out = mOptions.rawPath == "-" ? stderr : stdout;
        std::fputs(text.c_str(), out);
        std::fflush(out);
    }

private:
    // How many datagrams one pass takes in before it looks at the clock and stop requests again,
    // and how many it still takes in after the stop (a bound, so that a flood cannot hold it).
    static constexpr int kMostAtOnce = 64;
    static constexpr int kMostAtTheEnd = 4096;

    void TakeWaitingDatagrams(int most)
    {
        for (int taken = 0; taken < most && !mFinished; ++taken) {
            const std::optional<std::size_t> size = mSocket.TryReceive(mBuffer);
            if (!size) {
                return;
            }
            Take(std::span<const std::byte>(mBuffer.data(), *size), MonotonicNanoseconds());
        }
    }

    void Take(std::span<const std::byte> bytes, std::uint64_t arrivalNanoseconds)
    {
        const Delivery delivery = mReceiver.Accept(bytes, arrivalNanoseconds);
        if (delivery.error != DatagramError::None) {
            return;
        }
        if (mArrivals && !mArrivals->Add(arrivalNanoseconds, delivery)) {
            Stop("cannot write " + mOptions.arrivalsPath);
        }
        for (Output& output : mSinks) {
            if (!output.sink->WriteSilence(delivery.silenceFrames) || !output.sink->Write(delivery.samples)) {
                Stop("cannot write " + output.name);
                break;
            }
        }
        if (mOptions.packets && mReceiver.GetPacketCount() >= *mOptions.packets) {
            mFinished = true;
        }
    }

    void Stop(const std::string& message)
    {
        mStatus.Clear();
        Fail(message);
        mSucceeded = false;
        mFinished = true;
    }

    const Options& mOptions;
    UdpSocket mSocket;
    Receiver mReceiver;
    StatusLine mStatus;
    struct Output {
        std::unique_ptr<AudioSink> sink;
        std::string name; // for messages
    };
    std::vector<Output> mSinks;
    std::unique_ptr<ArrivalLog> mArrivals;
    bool mFinished = false;
    bool mSucceeded = true;
    std::array<std::byte, 65536> mBuffer{};
};

} // namespace

int main(int argc, char** argv)
{
    const ParsedOptions parsed =
        ParseOptions(std::span<const char* const>(argv + 1, static_cast<std::size_t>(argc > 0 ? argc - 1 : 0)));
    if (!parsed.options) {
        std::fprintf(stderr, "pelio-listen: %s\n", parsed.error.c_str());
        return 2;
    }
    const Options& options = *parsed.options;
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }

    InstallStopHandlers();
    std::string error;
    std::optional<UdpSocket> socket = UdpSocket::BindLoopback(options.port, error);
    if (!socket) {
        return Fail(error);
    }
    const std::uint16_t port = socket->GetPort();
    Listener listener(options, std::move(*socket));
    if (!listener.OpenOutputs(error)) {
        return Fail(error);
    }
    std::fprintf(stderr, "pelio-listen: listening on 127.0.0.1:%u\n", unsigned{port});
    std::fflush(stderr);

    listener.Run();
    const bool finished = listener.Finish();
    listener.PrintSummary();
    return finished ? 0 : 1;
}
