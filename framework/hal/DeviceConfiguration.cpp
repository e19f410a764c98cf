// hal::Device: the host's configuration-change protocol (request, perform, abort, and the
// ownership change that decides whether the protocol applies), the asynchronous setters built on
// it, and the immediate setters that store at once and notify.

#include "hal/Device.h"

#include "hal/Context.h"
#include "hal/Convert.h"
#include "hal/TracedOperation.h"
#include "hal/Tracer.h"

#include <span>
#include <string>
#include <utility>

namespace hal {

namespace {

bool IsTracing(const Tracer& tracer) noexcept
{
    return tracer.GetMode() != Tracer::Mode::Disabled;
}

// ---- Equality of requested and current values ------------------------------------------------------
//
// Field by field rather than by bytes: a float compares as a float (0.0 equals -0.0, NaN equals
// nothing), and padding never takes part.

bool IsSameValue(UInt32 left, UInt32 right)
{
    return left == right;
}

bool IsSameValue(Float64 left, Float64 right)
{
    return left == right;
}

bool IsSameValue(const std::array<UInt32, 2>& left, const std::array<UInt32, 2>& right)
{
    return left == right;
}

bool IsSameValue(const std::vector<AudioValueRange>& left, const std::vector<AudioValueRange>& right)
{
    if (left.size() != right.size()) {
        return false;
    }
    for (std::size_t index = 0; index < left.size(); ++index) {
        if (left[index].mMinimum != right[index].mMinimum || left[index].mMaximum != right[index].mMaximum) {
            return false;
        }
    }
    return true;
}

bool IsSameValue(const std::vector<AudioChannelDescription>& left,
                 const std::vector<AudioChannelDescription>& right)
{
    if (left.size() != right.size()) {
        return false;
    }
    for (std::size_t index = 0; index < left.size(); ++index) {
        const AudioChannelDescription& a = left[index];
        const AudioChannelDescription& b = right[index];
        if (a.mChannelLabel != b.mChannelLabel || a.mChannelFlags != b.mChannelFlags
            || a.mCoordinates[0] != b.mCoordinates[0] || a.mCoordinates[1] != b.mCoordinates[1]
            || a.mCoordinates[2] != b.mCoordinates[2]) {
            return false;
        }
    }
    return true;
}

bool IsSameValue(const std::vector<UInt8>& left, const std::vector<UInt8>& right)
{
    return left == right;
}

// ---- Text of a value in "setting value to %s" --------------------------------------------------------

std::string DescribeValue(UInt32 value)
{
    return std::to_string(value);
}

std::string DescribeValue(Float64 value)
{
    // Fixed notation with six decimals, as printf's %f writes it.
    return std::to_string(value);
}

std::string DescribeValue(const std::array<UInt32, 2>& /*value*/)
{
    return "...";
}

template <class Element>
std::string DescribeValue(const std::vector<Element>& value)
{
    return Convert::FormatArray(std::span<const Element>(value));
}

// For the setters whose every value is acceptable.
constexpr auto kAnyValue = [](const Device& /*device*/, const auto& /*value*/) -> OSStatus { return 0; };

} // namespace

// ---- Configuration-change protocol ---------------------------------------------------------------

OSStatus Device::RequestConfigurationChange(std::function<void()> change)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    const std::shared_ptr<const Context> context = GetContext();
    Tracer& tracer = *context->Tracer;

    const AudioServerPlugInHostInterface* host = context->Host.load(std::memory_order_acquire);
    // Inside a change being performed, the host is waiting for this very perform call to return:
    // a nested request that waited for the host would never be performed in time.
    if (host != nullptr && HasOwner() && mPerformDepth == 0) {
        const UInt64 requestID = mNextRequestID++;
        tracer.Message("Device::RequestConfigurationChange() enqueueing change reqID=%lu",
                       static_cast<unsigned long>(requestID));
        // Kept before the host hears of it: a host may perform the change before it returns.
        mPendingChanges.insert_or_assign(requestID, std::move(change));
        const OSStatus status = host->RequestDeviceConfigurationChange(host, GetID(), requestID, nullptr);
        if (status != 0) {
            // A host that said no will neither perform nor abort it: kept, the change would wait
            // for good and then run at a detach, long after its requester was told the outcome.
            // Applying it now would change the shape under that host. It is dropped, and the
            // requester hears the host's answer.
            tracer.Message("Device::RequestConfigurationChange() host refused change reqID=%lu status=%d",
                           static_cast<unsigned long>(requestID), static_cast<int>(status));
            mPendingChanges.erase(requestID);
        }
        return status;
    }

    tracer.Message("Device::RequestConfigurationChange() applying change in-place");
    change();
    return 0;
}

void Device::RequestOwnershipChange(Object* owner, bool shouldHaveOwner)
{
    // Detaching may drop the owner's reference to the device, and that may be the last one; the
    // device still has to apply its pending changes and release its mutex afterwards. Declared
    // before the lock guard, so that the mutex is released before this reference goes.
    const std::shared_ptr<Object> self = shared_from_this();
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    const std::shared_ptr<const Context> context = GetContext();
    Tracer& tracer = *context->Tracer;

    if (owner == nullptr) {
        tracer.Message("Device::RequestOwnershipChange() owner is null devID=%lu",
                       static_cast<unsigned long>(GetID()));
        return;
    }

    if (shouldHaveOwner) {
        if (HasOwner()) {
            return;
        }
        tracer.Message("Device::RequestOwnershipChange() attaching owner devID=%lu ownerID=%lu",
                       static_cast<unsigned long>(GetID()), static_cast<unsigned long>(owner->GetID()));
        owner->AddOwnedObject(self, kAudioObjectPropertyScopeGlobal);
        return;
    }

    if (!HasOwner()) {
        return;
    }
    // Another object letting the device go must not apply the changes that the real owner's host
    // is still to perform: that host would later find nothing under its request IDs.
    if (GetOwnerID() != owner->GetID()) {
        tracer.Message("Device::RequestOwnershipChange() not detaching devID=%lu ownerID=%lu: not the owner",
                       static_cast<unsigned long>(GetID()), static_cast<unsigned long>(owner->GetID()));
        return;
    }
    tracer.Message("Device::RequestOwnershipChange() detaching owner devID=%lu ownerID=%lu",
                   static_cast<unsigned long>(GetID()), static_cast<unsigned long>(owner->GetID()));
    owner->RemoveOwnedObject(GetID());

    // Without an owner the host will never perform what it was asked for: apply it all now, in
    // the order it was requested.
    if (mPendingChanges.empty()) {
        return;
    }
    tracer.Message("Device::RequestOwnershipChange() applying pending configuration changes in-place devID=%lu  "
                   "numChanges=%lu",
                   static_cast<unsigned long>(GetID()), static_cast<unsigned long>(mPendingChanges.size()));
    while (!mPendingChanges.empty()) {
        // Out of the map before it runs, so that nothing it calls can run it a second time.
        auto pending = mPendingChanges.extract(mPendingChanges.begin());
        try {
            pending.mapped()();
        } catch (...) {
            // One change that fails must not keep the others from being applied.
            tracer.Message("Device::RequestOwnershipChange() change failed reqID=%lu",
                           static_cast<unsigned long>(pending.key()));
        }
    }
}

OSStatus Device::PerformConfigurationChange(AudioObjectID /*objectID*/, UInt64 changeAction, void* /*changeInfo*/)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    const std::shared_ptr<const Context> context = GetContext();
    Tracer& tracer = *context->Tracer;

    // Out of the map before it runs, so that a detach inside the change cannot run it again.
    auto pending = mPendingChanges.extract(changeAction);
    if (pending.empty() || !pending.mapped()) {
        tracer.Message("Device::PerformConfigurationChange() ignoring null change request reqID=%lu",
                       static_cast<unsigned long>(changeAction));
        return 0;
    }
    tracer.Message("Device::PerformConfigurationChange() performing queued change reqID=%lu",
                   static_cast<unsigned long>(changeAction));

    // The host calls this directly, so nothing may escape to it; and the depth must come back
    // down whatever happens, or every later change would apply at once.
    OSStatus status = 0;
    ++mPerformDepth;
    try {
        pending.mapped()();
    } catch (...) {
        tracer.Message("Device::PerformConfigurationChange() change failed reqID=%lu",
                       static_cast<unsigned long>(changeAction));
        status = kAudioHardwareUnspecifiedError;
    }
    --mPerformDepth;
    return status;
}

OSStatus Device::AbortConfigurationChange(AudioObjectID /*objectID*/, UInt64 changeAction, void* /*changeInfo*/)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    GetContext()->Tracer->Message("Device::PerformConfigurationChange() aborting change request reqID=%lu",
                                  static_cast<unsigned long>(changeAction));
    mPendingChanges.erase(changeAction);
    return 0;
}

// ---- Asynchronous setters ----------------------------------------------------------------------------

template <class Value, class Getter, class Store, class Check>
OSStatus Device::RequestValueChange(const char* requestName,
                                    const char* storeName,
                                    Value value,
                                    Getter getter,
                                    Store store,
                                    Check check)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    const std::shared_ptr<const Context> context = GetContext();
    Tracer& tracer = *context->Tracer;
    TracedOperation operation(tracer, {.Name = requestName, .ObjectID = GetID()});

    // Compared with the current value, not with one still pending: a request that restores the
    // current value while another is pending is dropped, and the pending one wins.
    if (IsSameValue(value, getter(*this))) {
        tracer.Message("value not changed");
        return operation.Finish(0);
    }
    if (const OSStatus status = check(*this, value); status != 0) {
        tracer.Message("value is invalid");
        return operation.Finish(status);
    }
    // The change lives in this device's own queue, or runs before this returns, so it cannot
    // outlive the device: a plain pointer is enough, and a shared one would be a cycle.
    return operation.Finish(RequestConfigurationChange([this, storeName, value = std::move(value), getter, store] {
        ApplyValueChange(storeName, value, getter, store);
    }));
}

template <class Value, class Getter, class Store>
void Device::ApplyValueChange(const char* storeName, const Value& value, Getter getter, Store store)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    const std::shared_ptr<const Context> context = GetContext();
    Tracer& tracer = *context->Tracer;
    TracedOperation operation(tracer, {.Name = storeName, .ObjectID = GetID()});

    // Another change may have got there first since the request.
    if (IsSameValue(value, getter(*this))) {
        tracer.Message("value not changed");
        operation.Finish(0);
        return;
    }
    if (IsTracing(tracer)) {
        tracer.Message("setting value to %s", DescribeValue(value).c_str());
    }
    // The requester has long returned; the status only reaches the end line.
    operation.Finish(store(*this, value));
}

OSStatus Device::SetLatencyAsync(UInt32 latency)
{
    return RequestValueChange(
        "Device::SetLatencyAsync()", "Device::SetLatencyImpl()", latency,
        [](const Device& device) { return device.GetLatency(); },
        [](Device& device, UInt32 value) { return device.SetLatencyImpl(value); }, kAnyValue);
}

OSStatus Device::SetSafetyOffsetAsync(UInt32 safetyOffset)
{
    return RequestValueChange(
        "Device::SetSafetyOffsetAsync()", "Device::SetSafetyOffsetImpl()", safetyOffset,
        [](const Device& device) { return device.GetSafetyOffset(); },
        [](Device& device, UInt32 value) { return device.SetSafetyOffsetImpl(value); }, kAnyValue);
}

OSStatus Device::SetZeroTimeStampPeriodAsync(UInt32 zeroTimeStampPeriod)
{
    return RequestValueChange(
        "Device::SetZeroTimeStampPeriodAsync()", "Device::SetZeroTimeStampPeriodImpl()", zeroTimeStampPeriod,
        [](const Device& device) { return device.GetZeroTimeStampPeriod(); },
        [](Device& device, UInt32 value) { return device.SetZeroTimeStampPeriodImpl(value); },
        // An empty period would pin the clock's host time to the start of the IO run.
        [](const Device& /*device*/, UInt32 value) -> OSStatus {
            return value == 0 ? kAudioHardwareIllegalOperationError : 0;
        });
}

OSStatus Device::SetNominalSampleRateAsync(Float64 nominalSampleRate)
{
    return RequestValueChange(
        "Device::SetNominalSampleRateAsync()", "Device::SetNominalSampleRateImpl()", nominalSampleRate,
        [](const Device& device) { return device.GetNominalSampleRate(); },
        [](Device& device, Float64 value) { return device.SetNominalSampleRateImpl(value); },
        [](const Device& device, Float64 value) { return device.CheckNominalSampleRate(value); });
}

OSStatus Device::SetAvailableSampleRatesAsync(std::vector<AudioValueRange> availableSampleRates)
{
    return RequestValueChange(
        "Device::SetAvailableSampleRatesAsync()", "Device::SetAvailableSampleRatesImpl()",
        std::move(availableSampleRates), [](const Device& device) { return device.GetAvailableSampleRates(); },
        [](Device& device, const std::vector<AudioValueRange>& value) {
            return device.SetAvailableSampleRatesImpl(value);
        },
        kAnyValue);
}

OSStatus Device::SetPreferredChannelsForStereoAsync(std::array<UInt32, 2> channels)
{
    return RequestValueChange(
        "Device::SetPreferredChannelsForStereoAsync()", "Device::SetPreferredChannelsForStereoImpl()", channels,
        [](const Device& device) { return device.GetPreferredChannelsForStereo(); },
        [](Device& device, const std::array<UInt32, 2>& value) {
            return device.SetPreferredChannelsForStereoImpl(value);
        },
        kAnyValue);
}

OSStatus Device::SetPreferredChannelCountAsync(UInt32 channelCount)
{
    return RequestValueChange(
        "Device::SetPreferredChannelCountAsync()", "Device::SetPreferredChannelCountImpl()", channelCount,
        [](const Device& device) { return device.GetPreferredChannelCount(); },
        [](Device& device, UInt32 value) { return device.SetPreferredChannelCountImpl(value); },
        // Every read of the channels or the layout builds that many descriptions.
        [](const Device& /*device*/, UInt32 value) -> OSStatus {
            return value > kMaximumPreferredChannelCount ? kAudioHardwareIllegalOperationError : 0;
        });
}

OSStatus Device::SetPreferredChannelsAsync(std::vector<AudioChannelDescription> channels)
{
    return RequestValueChange(
        "Device::SetPreferredChannelsAsync()", "Device::SetPreferredChannelsImpl()", std::move(channels),
        [](const Device& device) { return device.GetPreferredChannels(); },
        [](Device& device, const std::vector<AudioChannelDescription>& value) {
            return device.SetPreferredChannelsImpl(value);
        },
        kAnyValue);
}

OSStatus Device::SetPreferredChannelLayoutAsync(std::vector<UInt8> layout)
{
    return RequestValueChange(
        "Device::SetPreferredChannelLayoutAsync()", "Device::SetPreferredChannelLayoutImpl()", std::move(layout),
        [](const Device& device) { return device.GetPreferredChannelLayout(); },
        [](Device& device, const std::vector<UInt8>& value) { return device.SetPreferredChannelLayoutImpl(value); },
        // The host reads the stored bytes back as one AudioChannelLayout.
        [](const Device& /*device*/, const std::vector<UInt8>& value) -> OSStatus {
            return IsWellFormedLayout(value) ? 0 : kAudioHardwareIllegalOperationError;
        });
}

// ---- Immediate setters -------------------------------------------------------------------------------

template <class Getter, class Store>
OSStatus Device::SetFlag(const char* operationName,
                         bool value,
                         Getter getter,
                         Store store,
                         AudioObjectPropertySelector notifiedProperty)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    const std::shared_ptr<const Context> context = GetContext();
    Tracer& tracer = *context->Tracer;
    TracedOperation operation(tracer, {.Name = operationName, .ObjectID = GetID()});

    if (value == getter(*this)) {
        tracer.Message("value not changed");
        return operation.Finish(0);
    }
    tracer.Message("setting value to %s", value ? "1" : "0");
    if (const OSStatus status = store(*this, value); status != 0) {
        tracer.Message("setter failed");
        return operation.Finish(status);
    }
    NotifyPropertiesChanged({notifiedProperty}, kAudioObjectPropertyScopeGlobal, 0);
    return operation.Finish(0);
}

OSStatus Device::SetIsIdentifying(bool isIdentifying)
{
    return SetFlag(
        "Device::SetIsIdentifying()", isIdentifying, [](const Device& device) { return device.GetIsIdentifying(); },
        [](Device& device, bool value) { return device.SetIsIdentifyingImpl(value); },
        kAudioObjectPropertyIdentify);
}

OSStatus Device::SetIsAlive(bool isAlive)
{
    return SetFlag(
        "Device::SetIsAlive()", isAlive, [](const Device& device) { return device.GetIsAlive(); },
        [](Device& device, bool value) { return device.SetIsAliveImpl(value); },
        kAudioDevicePropertyDeviceIsAlive);
}

OSStatus Device::SetIsHidden(bool isHidden)
{
    return SetFlag(
        "Device::SetIsHidden()", isHidden, [](const Device& device) { return device.GetIsHidden(); },
        [](Device& device, bool value) { return device.SetIsHiddenImpl(value); }, kAudioDevicePropertyIsHidden);
}

OSStatus Device::SetCanBeDefaultDevice(bool canBeDefaultDevice)
{
    return SetFlag(
        "Device::SetCanBeDefaultDevice()", canBeDefaultDevice,
        [](const Device& device) { return device.GetCanBeDefaultDevice(); },
        [](Device& device, bool value) { return device.SetCanBeDefaultDeviceImpl(value); },
        kAudioDevicePropertyDeviceCanBeDefaultDevice);
}

OSStatus Device::SetCanBeDefaultSystemDevice(bool canBeDefaultSystemDevice)
{
    return SetFlag(
        "Device::SetCanBeDefaultSystemDevice()", canBeDefaultSystemDevice,
        [](const Device& device) { return device.GetCanBeDefaultSystemDevice(); },
        [](Device& device, bool value) { return device.SetCanBeDefaultSystemDeviceImpl(value); },
        kAudioDevicePropertyDeviceCanBeDefaultSystemDevice);
}

} // namespace hal
