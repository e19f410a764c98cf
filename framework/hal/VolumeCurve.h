#pragma once

// How a volume control's integer raw value reads as decibels and as a scalar from 0.0 to 1.0.
//
// Raw to decibels is piecewise linear: ranges, each mapping an interval of raw values linearly
// onto an interval of decibels, walked in ascending raw order from the lowest raw value. Raw to
// scalar is the raw value's position between the lowest and the highest raw value, raised to the
// exponent of the transfer function when the curve spans more than 30 dB, so that equal scalar
// steps sound like equal steps of loudness; over 30 dB or less the mapping stays linear. The
// transfer function IDs follow the platform's numbering of level-control transfer functions.
//
// Threads: a curve is built (AddRange, ResetRange, SetTransferFunction) on one thread before it
// is shared, and is only read afterwards; those three must not overlap any other call on the same
// curve, and AddRange allocates. The const operations may run on any number of threads at once,
// the real-time IO thread included: they allocate nothing, lock nothing, make no system call and
// cannot throw. Each costs one pass over the ranges and at most one power function call.
//
// Every input gives a defined result: no conversion returns NaN, none returns a raw value outside
// [GetMinimumRaw, GetMaximumRaw], a decibel value outside [GetMinimumDB, GetMaximumDB] or a
// scalar outside [0.0, 1.0], whatever the rounding of a range's slope.
// - A NaN decibel value converts as the lowest decibel value and a NaN scalar as 0.0: a value
//   that names no level is taken as the minimum, so a malformed request can only lower the
//   volume, never raise it. Infinities are ordinary values beyond the ends and are clamped to the
//   nearer end, like any other value outside the curve.
// - AddRange refuses ranges on which the conversions would divide by zero, produce NaN, or answer
//   every decibel request with the loud end: a raw interval of zero or negative width, a decibel
//   bound or a decibel width that is not finite, and decibels that fall as the raw value rises.
//   A range of equal decibel bounds is accepted; its level converts to its lowest raw value.
// - Ranges that leave gaps or steps between them (see CheckForContinuity), or that overlap where
//   AddRange does not look, still convert to raw values inside the curve, although the decibel
//   values of such a curve mean little.
// - An empty curve (nothing added, or everything refused) converts every value to raw 0 and
//   0.0 dB, as its getters report, and to the scalar 0.0.

#include "hal/RealTime.h"

#include <MacTypes.h>

#include <cstdint>
#include <vector>

namespace hal {

// A raw interval of a curve. Curves order their ranges by the minimum alone.
struct VolumeRawPoint
{
    SInt32 Minimum = 0;
    SInt32 Maximum = 0;
};

constexpr bool operator<(const VolumeRawPoint& left, const VolumeRawPoint& right) noexcept
{
    return left.Minimum < right.Minimum;
}

// The decibel interval onto which a raw interval maps.
struct VolumeDecibelPoint
{
    Float32 Minimum = 0.0f;
    Float32 Maximum = 0.0f;
};

class VolumeCurve
{
public:
    // Exponent 2: the scalar is the square of the raw position.
    static constexpr UInt32 kDefaultTransferFunction = 5;

    VolumeCurve() = default;
    VolumeCurve(const VolumeCurve&) = default;
    VolumeCurve(VolumeCurve&&) = default;
    VolumeCurve& operator=(const VolumeCurve&) = default;
    VolumeCurve& operator=(VolumeCurve&&) = default;
    virtual ~VolumeCurve();

    // The ends of the curve: the raw minimum and decibel minimum of the first range, the raw
    // maximum and decibel maximum of the last one; 0 and 0.0 for an empty curve.
    SInt32 GetMinimumRaw() const noexcept HAL_NONBLOCKING;
    SInt32 GetMaximumRaw() const noexcept HAL_NONBLOCKING;
    Float32 GetMinimumDB() const noexcept HAL_NONBLOCKING;
    Float32 GetMaximumDB() const noexcept HAL_NONBLOCKING;

    // The ID last given to SetTransferFunction, kDefaultTransferFunction before.
    UInt32 GetTransferFunction() const noexcept HAL_NONBLOCKING;

    // Keeps the ID and takes its exponent: 0 is linear; 1 to 4 are 1/3, 1/2, 3/4 and 3/2; 5 to 15
    // are 2 to 12; an ID above 15 is stored as given but shapes the curve as 5 does.
    void SetTransferFunction(UInt32 transferFunction) noexcept;

    // Adds the range mapping raw minRaw..maxRaw onto minDB..maxDB. Refuses it, and returns false,
    // when it is unsafe (see above), when a range with the same raw minimum exists, or when it
    // overlaps a range it is checked against: all ranges when it starts below all of them,
    // otherwise only the lowest one. A range that touches another at one raw value does not
    // overlap it.
    bool AddRange(SInt32 minRaw, SInt32 maxRaw, Float32 minDB, Float32 maxDB);

    void ResetRange() noexcept;

    // True when every range starts at the raw value and the decibel value at which the previous
    // one ended (decibels compared exactly), and for an empty curve.
    bool CheckForContinuity() const noexcept HAL_NONBLOCKING;

    // Clamps the raw value to the curve, then walks the ranges up to it; the result is limited to
    // [GetMinimumDB, GetMaximumDB] (raised to the minimum first, then lowered to the maximum).
    Float32 ConvertRawToDB(SInt32 raw) const noexcept HAL_NONBLOCKING;
    // Clamps the decibel value to the curve, then walks the ranges up to the first one whose
    // decibel maximum reaches it; rounds to the nearest raw value, halves away from zero.
    SInt32 ConvertDBToRaw(Float32 decibels) const noexcept HAL_NONBLOCKING;

    // Through the transfer function. ConvertScalarToRaw clamps the scalar to [0.0, 1.0] and
    // rounds as ConvertDBToRaw does.
    Float32 ConvertRawToScalar(SInt32 raw) const noexcept HAL_NONBLOCKING;
    SInt32 ConvertScalarToRaw(Float32 scalar) const noexcept HAL_NONBLOCKING;

    // Through the raw value, so both land on a raw step of the curve.
    Float32 ConvertDBToScalar(Float32 decibels) const noexcept HAL_NONBLOCKING;
    Float32 ConvertScalarToDB(Float32 scalar) const noexcept HAL_NONBLOCKING;

private:
    struct Range
    {
        VolumeRawPoint Raw;
        VolumeDecibelPoint Decibels;
    };

    bool IsShapedByTransferFunction() const noexcept HAL_NONBLOCKING;
    SInt32 ClampToRawRange(std::int64_t raw) const noexcept HAL_NONBLOCKING;

    // Ascending by raw minimum, no two with the same minimum. A sorted array rather than a tree:
    // the IO thread walks it front to back, and it rarely holds more than one range.
    std::vector<Range> mRanges;
    UInt32 mTransferFunction = kDefaultTransferFunction;
    bool mIsApplyingTransferFunction = true;
    Float32 mExponentNumerator = 2.0f;
    Float32 mExponentDenominator = 1.0f;
};

} // namespace hal
