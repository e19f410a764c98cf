#include "hal/VolumeCurve.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace hal {

namespace {

struct TransferFunction
{
    bool IsApplying;
    Float32 ExponentNumerator;
    Float32 ExponentDenominator;
};

// Indexed by transfer function ID: linear, then the exponents 1/3, 1/2, 3/4, 3/2 and 2 to 12.
constexpr std::array<TransferFunction, 16> kTransferFunctions{{
    {false, 1.0f, 1.0f},
    {true, 1.0f, 3.0f},
    {true, 1.0f, 2.0f},
    {true, 3.0f, 4.0f},
    {true, 3.0f, 2.0f},
    {true, 2.0f, 1.0f},
    {true, 3.0f, 1.0f},
    {true, 4.0f, 1.0f},
    {true, 5.0f, 1.0f},
    {true, 6.0f, 1.0f},
    {true, 7.0f, 1.0f},
    {true, 8.0f, 1.0f},
    {true, 9.0f, 1.0f},
    {true, 10.0f, 1.0f},
    {true, 11.0f, 1.0f},
    {true, 12.0f, 1.0f},
}};
constexpr TransferFunction kTransferFunctionOfUnknownID =
    kTransferFunctions[VolumeCurve::kDefaultTransferFunction];

// The conversions raise positions in [0, 1] to numerator / denominator and to its inverse; only
// positive exponents keep the result in [0, 1].
constexpr bool HasPositiveExponents(const TransferFunction& function)
{
    return function.ExponentNumerator > 0.0f && function.ExponentDenominator > 0.0f;
}
static_assert(std::all_of(kTransferFunctions.begin(),
                          kTransferFunctions.end(),
                          HasPositiveExponents));

// No curve spans more than 2^32 - 1 raw steps, and every raw result is clamped to the curve, so a
// raw distance beyond 2^33 in either direction means the same as 2^33. Limiting it first keeps the
// conversion to an integer defined for huge and infinite distances; callers never pass NaN.
constexpr Float32 kRawDistanceLimit = 8589934592.0f;

std::int64_t RoundToRawDistance(Float32 distance) noexcept HAL_NONBLOCKING
{
    const Float32 limited = std::min(std::max(distance, -kRawDistanceLimit), kRawDistanceLimit);
    // std::round takes halves away from zero.
    return static_cast<std::int64_t>(std::round(limited));
}

// 64-bit: the width of a range from a large negative to a large positive raw value does not fit
// in 32 bits.
std::int64_t GetRawWidth(const VolumeRawPoint& raw) noexcept HAL_NONBLOCKING
{
    return std::int64_t{raw.Maximum} - std::int64_t{raw.Minimum};
}

// Finite and not negative for every range that AddRange accepts.
Float32 GetDecibelsPerRawStep(const VolumeRawPoint& raw,
                              const VolumeDecibelPoint& decibels) noexcept HAL_NONBLOCKING
{
    return (decibels.Maximum - decibels.Minimum) / static_cast<Float32>(GetRawWidth(raw));
}

} // namespace

VolumeCurve::~VolumeCurve() = default;

SInt32 VolumeCurve::GetMinimumRaw() const noexcept
{
    return mRanges.empty() ? 0 : mRanges.front().Raw.Minimum;
}

SInt32 VolumeCurve::GetMaximumRaw() const noexcept
{
    return mRanges.empty() ? 0 : mRanges.back().Raw.Maximum;
}

Float32 VolumeCurve::GetMinimumDB() const noexcept
{
    return mRanges.empty() ? 0.0f : mRanges.front().Decibels.Minimum;
}

Float32 VolumeCurve::GetMaximumDB() const noexcept
{
    return mRanges.empty() ? 0.0f : mRanges.back().Decibels.Maximum;
}

UInt32 VolumeCurve::GetTransferFunction() const noexcept
{
    return mTransferFunction;
}

void VolumeCurve::SetTransferFunction(UInt32 transferFunction) noexcept
{
    const TransferFunction& function = transferFunction < kTransferFunctions.size()
                                           ? kTransferFunctions[transferFunction]
                                           : kTransferFunctionOfUnknownID;
    mTransferFunction = transferFunction;
    mIsApplyingTransferFunction = function.IsApplying;
    mExponentNumerator = function.ExponentNumerator;
    mExponentDenominator = function.ExponentDenominator;
}

bool VolumeCurve::AddRange(SInt32 minRaw, SInt32 maxRaw, Float32 minDB, Float32 maxDB)
{
    // A range of no raw width would divide by zero in every conversion, and one whose decibels
    // fall would make the decibel-to-raw walk, which looks for the first range reaching a level,
    // answer with the loud end for every request.
    if (minRaw >= maxRaw) {
        return false;
    }
    if (!std::isfinite(minDB) || !std::isfinite(maxDB) || !std::isfinite(maxDB - minDB)
        || maxDB < minDB) {
        return false;
    }

    // Ranges are checked from the lowest up, and the walk ends at the first range that does not
    // start above the new one, so only a new range below all others is checked against them all.
    for (const Range& range : mRanges) {
        if (minRaw < range.Raw.Maximum && range.Raw.Minimum < maxRaw) {
            return false;
        }
        if (minRaw >= range.Raw.Minimum) {
            break;
        }
    }

    const Range added{{minRaw, maxRaw}, {minDB, maxDB}};
    const auto position = std::lower_bound(
        mRanges.begin(), mRanges.end(), added,
        [](const Range& left, const Range& right) { return left.Raw < right.Raw; });
    if (position != mRanges.end() && position->Raw.Minimum == minRaw) {
        return false;
    }
    mRanges.insert(position, added);
    return true;
}

void VolumeCurve::ResetRange() noexcept
{
    mRanges.clear();
}

bool VolumeCurve::CheckForContinuity() const noexcept
{
    if (mRanges.empty()) {
        return true;
    }
    std::int64_t expectedRaw = mRanges.front().Raw.Minimum;
    Float32 expectedDB = mRanges.front().Decibels.Minimum;
    for (const Range& range : mRanges) {
        if (range.Raw.Minimum != expectedRaw || range.Decibels.Minimum != expectedDB) {
            return false;
        }
        expectedRaw += GetRawWidth(range.Raw);
        expectedDB += range.Decibels.Maximum - range.Decibels.Minimum;
    }
    return true;
}

Float32 VolumeCurve::ConvertRawToDB(SInt32 raw) const noexcept
{
    if (mRanges.empty()) {
        return 0.0f;
    }
    std::int64_t remaining = std::int64_t{ClampToRawRange(raw)} - GetMinimumRaw();
    Float32 decibels = GetMinimumDB();
    for (const Range& range : mRanges) {
        if (remaining <= 0) {
            break;
        }
        const std::int64_t step = std::min(remaining, GetRawWidth(range.Raw));
        decibels = std::fma(static_cast<Float32>(step),
                            GetDecibelsPerRawStep(range.Raw, range.Decibels), decibels);
        remaining -= step;
    }
    // A slope that is not exact in a float lands a reading past the end (raw 0..63 over -96..0 dB
    // reads +1.8e-6 dB at the top), outside the range the control reports. Limited as
    // ConvertDBToRaw limits its input, not with std::clamp: a curve with steps between its ranges
    // may end lower than it starts.
    if (decibels < GetMinimumDB()) {
        decibels = GetMinimumDB();
    }
    if (decibels > GetMaximumDB()) {
        decibels = GetMaximumDB();
    }
    return decibels;
}

SInt32 VolumeCurve::ConvertDBToRaw(Float32 decibels) const noexcept
{
    if (mRanges.empty()) {
        return 0;
    }
    // NaN fails every comparison below, so it would pass every range and come out as the highest
    // raw value: full volume for a value that names no level at all.
    Float32 target = std::isnan(decibels) ? GetMinimumDB() : decibels;
    // Not std::clamp: a curve with steps between its ranges may end lower than it starts.
    if (target < GetMinimumDB()) {
        target = GetMinimumDB();
    }
    if (target > GetMaximumDB()) {
        target = GetMaximumDB();
    }

    std::int64_t raw = GetMinimumRaw();
    for (const Range& range : mRanges) {
        const bool reachesTarget = target <= range.Decibels.Maximum;
        std::int64_t step = GetRawWidth(range.Raw);
        if (reachesTarget) {
            const Float32 decibelsPerRawStep = GetDecibelsPerRawStep(range.Raw, range.Decibels);
            // A flat range has reached its level at its first raw value; dividing by its zero
            // slope would give no number.
            step = decibelsPerRawStep > 0.0f
                       ? RoundToRawDistance((target - range.Decibels.Minimum) / decibelsPerRawStep)
                       : 0;
        }
        raw += step;
        if (reachesTarget) {
            break;
        }
    }
    // Overlapping ranges, or a level in a step between ranges, can lead the walk outside the curve.
    return ClampToRawRange(raw);
}

Float32 VolumeCurve::ConvertRawToScalar(SInt32 raw) const noexcept
{
    if (mRanges.empty()) {
        return 0.0f;
    }
    // Every accepted range is at least one raw step wide, and the last range starts no lower than
    // the first, so the curve's raw width is never zero.
    const std::int64_t width = std::int64_t{GetMaximumRaw()} - GetMinimumRaw();
    const Float32 position =
        static_cast<Float32>(std::int64_t{ClampToRawRange(raw)} - GetMinimumRaw())
        / static_cast<Float32>(width);
    if (!IsShapedByTransferFunction()) {
        return position;
    }
    return std::pow(position, mExponentNumerator / mExponentDenominator);
}

SInt32 VolumeCurve::ConvertScalarToRaw(Float32 scalar) const noexcept
{
    if (mRanges.empty()) {
        return 0;
    }
    Float32 position = std::isnan(scalar) ? 0.0f : std::min(std::max(scalar, 0.0f), 1.0f);
    if (IsShapedByTransferFunction()) {
        position = std::pow(position, mExponentDenominator / mExponentNumerator);
    }
    const std::int64_t width = std::int64_t{GetMaximumRaw()} - GetMinimumRaw();
    // The width as a float may round up (2^32 - 1 becomes 2^32), hence the clamp.
    return ClampToRawRange(GetMinimumRaw()
                           + RoundToRawDistance(position * static_cast<Float32>(width)));
}

Float32 VolumeCurve::ConvertDBToScalar(Float32 decibels) const noexcept
{
    return ConvertRawToScalar(ConvertDBToRaw(decibels));
}

Float32 VolumeCurve::ConvertScalarToDB(Float32 scalar) const noexcept
{
    return ConvertRawToDB(ConvertScalarToRaw(scalar));
}

bool VolumeCurve::IsShapedByTransferFunction() const noexcept
{
    return mIsApplyingTransferFunction && GetMaximumDB() - GetMinimumDB() > 30.0f;
}

SInt32 VolumeCurve::ClampToRawRange(std::int64_t raw) const noexcept
{
    // Only called on a curve with ranges, whose raw maximum always lies above its raw minimum.
    return static_cast<SInt32>(std::clamp<std::int64_t>(raw, GetMinimumRaw(), GetMaximumRaw()));
}

} // namespace hal
