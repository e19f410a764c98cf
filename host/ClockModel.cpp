#include "ClockModel.h"

#include <mach/mach_time.h>

#include <cmath>

namespace pelio::host {

namespace {

constexpr Float64 kLearningRate = 0.25;
constexpr Float64 kLargestRateError = 0.1;
// 2^64: a host time at or beyond it does not fit.
constexpr Float64 kHostTimeLimit = 18446744073709551616.0;

} // namespace

ClockModel::ClockModel(Float64 nominalTicksPerFrame, UInt32 period) noexcept
    : mNominalTicksPerFrame(nominalTicksPerFrame)
    , mPeriod(period)
    , mTicksPerFrame(nominalTicksPerFrame)
{
}

ClockModel::Change ClockModel::Observe(Float64 sampleTime, UInt64 hostTime, UInt64 seed) noexcept HAL_NONBLOCKING
{
    if (!mHasStamp || seed != mSeed) {
        const Change change = mHasStamp ? Change::NewTimeLine : Change::First;
        mHasStamp = true;
        mSeed = seed;
        mAnchorSampleTime = sampleTime;
        mAnchorHostTime = hostTime;
        return change;
    }
    if (sampleTime == mAnchorSampleTime && hostTime == mAnchorHostTime) {
        return Change::Same;
    }
    const Float64 frames = sampleTime - mAnchorSampleTime;
    if (frames <= 0 || hostTime <= mAnchorHostTime) {
        return Change::Irregular;
    }
    const Float64 measured = static_cast<Float64>(hostTime - mAnchorHostTime) / frames;
    const bool plausible = std::fabs(measured - mNominalTicksPerFrame) <= kLargestRateError * mNominalTicksPerFrame;
    if (plausible) {
        mTicksPerFrame += kLearningRate * (measured - mTicksPerFrame);
    }
    mAnchorSampleTime = sampleTime;
    mAnchorHostTime = hostTime;
    return frames == mPeriod && plausible ? Change::Advanced : Change::Irregular;
}

UInt64 ClockModel::HostTimeAt(Float64 sampleTime) const noexcept HAL_NONBLOCKING
{
    const Float64 hostTime = static_cast<Float64>(mAnchorHostTime) + (sampleTime - mAnchorSampleTime) * mTicksPerFrame;
    if (!(hostTime > 0)) {
        return 0;
    }
    return hostTime >= kHostTimeLimit ? ~UInt64{0} : static_cast<UInt64>(hostTime);
}

Float64 ClockModel::SampleTimeAt(UInt64 hostTime) const noexcept HAL_NONBLOCKING
{
    // Signed, since the asked time may lie before the anchor.
    const Float64 ticks = hostTime >= mAnchorHostTime ? static_cast<Float64>(hostTime - mAnchorHostTime)
                                                      : -static_cast<Float64>(mAnchorHostTime - hostTime);
    return mAnchorSampleTime + ticks / mTicksPerFrame;
}

Float64 NominalTicksPerFrame(Float64 sampleRate) noexcept HAL_NONBLOCKING
{
    mach_timebase_info_data_t timebase{1, 1};
    mach_timebase_info(&timebase);
    // Nanoseconds per frame, in host ticks (ticks = nanoseconds * denom / numer).
    return 1.0e9 / sampleRate * static_cast<Float64>(timebase.denom) / static_cast<Float64>(timebase.numer);
}

} // namespace pelio::host
