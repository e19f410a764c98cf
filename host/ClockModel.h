#pragma once

// pelio::host::ClockModel: the server's model of a running device's clock: where on the host's
// clock (mach_absolute_time ticks) each sample time of the device falls, learnt from the device's
// zero time stamps. The IO thread schedules its cycles and fills their time stamps from it.
//
// A zero time stamp pairs a sample time with the host time at which the device passed it, under a
// seed that names the time line. On one time line each new stamp comes one zero time stamp period
// after the last; the host ticks between two stamps, divided by the frames between them, measure
// the device's true rate. The model anchors at the newest stamp and keeps a smoothed ticks per
// frame, starting from the nominal rate; each further measurement moves it a quarter of the way
// (a simple IIR filter, the kind of smoothing the platform applies when a device names no clock
// algorithm). A measurement more than 10% off the nominal rate is not learnt from.
//
// Observe says what a stamp meant to the model. A stamp that is not one period after the last, whose
// host time does not grow or whose rate is implausible, is Irregular: the model anchors there when
// both its times grew and ignores it otherwise. A new seed is a NewTimeLine: the model anchors there afresh, keeping its rate.
//
// Everything is constant time, allocates nothing and takes no lock: the IO thread runs it. Not
// thread-safe; one IO thread owns a model.

#include "hal/RealTime.h"

#include <MacTypes.h>

namespace pelio::host {

class ClockModel
{
public:
    enum class Change
    {
        First,       // the first stamp: the model is anchored
        Same,        // the stamp the model already has
        Advanced,    // one period later, as a device's clock moves
        Irregular,   // out of line with the last (see above)
        NewTimeLine, // another seed
    };

    ClockModel(Float64 nominalTicksPerFrame, UInt32 period) noexcept;

    Change Observe(Float64 sampleTime, UInt64 hostTime, UInt64 seed) noexcept HAL_NONBLOCKING;

    bool HasStamp() const noexcept { return mHasStamp; }
    Float64 GetTicksPerFrame() const noexcept { return mTicksPerFrame; }
    // How fast the device runs against its nominal rate (1 = exactly).
    Float64 GetRateScalar() const noexcept { return mNominalTicksPerFrame / mTicksPerFrame; }

    // Host times before the host clock's origin read as 0.
    UInt64 HostTimeAt(Float64 sampleTime) const noexcept HAL_NONBLOCKING;
    Float64 SampleTimeAt(UInt64 hostTime) const noexcept HAL_NONBLOCKING;

private:
    const Float64 mNominalTicksPerFrame;
    const Float64 mPeriod;
    Float64 mTicksPerFrame;
    bool mHasStamp = false;
    Float64 mAnchorSampleTime = 0;
    UInt64 mAnchorHostTime = 0;
    UInt64 mSeed = 0;
};

// Host ticks per frame at a sample rate, from the host clock's timebase.
Float64 NominalTicksPerFrame(Float64 sampleRate) noexcept HAL_NONBLOCKING;

} // namespace pelio::host
