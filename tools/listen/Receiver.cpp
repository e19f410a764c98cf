#include "Receiver.h"


namespace pelio::listen {

Delivery Receiver::Accept(std::span<const std::byte> bytes, std::uint64_t arrivalNanoseconds)
{
    const ParsedDatagram parsed = ParseDatagram(bytes);
    Delivery delivery;
    delivery.error = parsed.error;
    if (parsed.error != DatagramError::None) {
        ++mBadByError[static_cast<std::size_t>(parsed.error)];
        return delivery;
    }
    ++mPackets;
    delivery.datagram = parsed.datagram;
    delivery.step = mTracker.Observe(parsed.datagram.sequence);
    if (delivery.step.arrival == Arrival::Late || delivery.step.arrival == Arrival::Duplicate) {
        return delivery;
    }

    const std::size_t sampleCount = std::size_t{parsed.datagram.frameCount} * kChannelCount;
    for (std::size_t index = 0; index < sampleCount; ++index) {
        mSamples[index] = SampleAt(parsed.datagram, index);
    }
    delivery.samples = std::span<const float>(mSamples.data(), sampleCount);
    delivery.silenceFrames = std::uint64_t{delivery.step.missing} * mLastFrameCount;

    Measure(delivery, arrivalNanoseconds);
    return delivery;
}

void Receiver::Measure(const Delivery& delivery, std::uint64_t arrivalNanoseconds)
{
    if (delivery.step.arrival == Arrival::InOrder) {
        const double interval = (static_cast<double>(arrivalNanoseconds) - static_cast<double>(mLastArrivalNanoseconds)) / 1e9;
        mJitter.AddDeviation(interval - static_cast<double>(mLastFrameCount) / kSampleRate);
    }
    mLastFrameCount = delivery.datagram.frameCount;
    mLastArrivalNanoseconds = arrivalNanoseconds;

    mFrames += delivery.datagram.frameCount;
    mSilenceFrames += delivery.silenceFrames;
    for (std::size_t index = 0; index < delivery.samples.size(); ++index) {
        mLevels.Add(index % kChannelCount, delivery.samples[index]);
        mRecentLevels.Add(index % kChannelCount, delivery.samples[index]);
    }
}

Summary Receiver::GetSummary() const
{
    Summary summary = GetSummaryWithoutJitter();
    summary.jitterP50Milliseconds = mJitter.GetPercentileMilliseconds(0.50);
    summary.jitterP99Milliseconds = mJitter.GetPercentileMilliseconds(0.99);
    summary.jitterMaxMilliseconds = mJitter.GetPercentileMilliseconds(1.0);
    return summary;
}

Summary Receiver::GetSummaryWithoutJitter() const
{
    Summary summary;
    summary.packets = mPackets;
    summary.frames = mFrames;
    summary.silenceFrames = mSilenceFrames;
    summary.sequence = mTracker.GetCounts();
    summary.badByError = mBadByError;
    for (std::uint64_t count : mBadByError) {
        summary.bad += count;
    }
    for (std::size_t channel = 0; channel < 2; ++channel) {
        summary.peakDbfs[channel] = mLevels.GetPeakDbfs(channel);
        summary.rmsDbfs[channel] = mLevels.GetRmsDbfs(channel);
    }
    return summary;
}

std::array<double, 2> Receiver::TakeRecentPeaksDbfs()
{
    const std::array<double, 2> peaks = {mRecentLevels.GetPeakDbfs(0), mRecentLevels.GetPeakDbfs(1)};
    mRecentLevels = {};
    return peaks;
}

} // namespace pelio::listen
