// hal::Device: its streams, volume controls and mute controls. Adding and removing go through the
// configuration-change protocol; the member tables serve the lookups and the IO operations, the
// owned objects and the stream counts what the host sees.

#include "hal/Device.h"

#include "hal/Context.h"
#include "hal/MuteControl.h"
#include "hal/Stream.h"
#include "hal/TracedOperation.h"
#include "hal/Tracer.h"
#include "hal/VolumeControl.h"

#include <algorithm>
#include <type_traits>
#include <utility>
#include <vector>

namespace hal {

namespace {

AudioObjectPropertyScope ScopeOf(Direction direction) noexcept
{
    return direction == Direction::Input ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput;
}

Direction GroupOf(const Stream& stream)
{
    return stream.GetDirection();
}

template <class Control>
AudioObjectPropertyScope GroupOf(const Control& control)
{
    return control.GetScope();
}

// Adds a volume and a mute control of the stream's scope to the device and attaches both to the
// stream, whose processing then applies them. Called with the device's write mutex held.
std::shared_ptr<Stream> AttachNewControls(Device& device, std::shared_ptr<Stream> stream)
{
    const AudioObjectPropertyScope scope = ScopeOf(stream->GetDirection());
    stream->AttachVolumeControl(device.AddVolumeControlAsync(scope));
    stream->AttachMuteControl(device.AddMuteControlAsync(scope));
    return stream;
}

// ---- The member tables -----------------------------------------------------------------------------
//
// Writers hold the device's write mutex, which serialises their copy, change and publish steps.

// Whether the tables hold this very member (not merely another one under its ID).
template <class Tables, class Member>
bool IsMember(const Tables& tables, const Member& member) noexcept
{
    const auto readLock = tables.ByID.GetReadLock();
    const auto found = readLock.GetValue().find(member.GetID());
    return found != readLock.GetValue().end() && found->second.get() == &member;
}

// Publishes what `edit` makes of copies of the two tables, and returns the tables as they were,
// for an undo.
template <class Tables, class Edit>
auto EditTables(Tables& tables, Edit&& edit)
{
    auto byGroup = tables.ByGroup.Get();
    auto byID = tables.ByID.Get();
    auto previous = std::make_pair(byGroup, byID);
    std::forward<Edit>(edit)(byGroup, byID);
    tables.ByGroup.Set(std::move(byGroup));
    tables.ByID.Set(std::move(byID));
    return previous;
}

template <class Tables, class Member>
auto InsertMember(Tables& tables, const std::shared_ptr<Member>& member)
{
    return EditTables(tables, [&](auto& byGroup, auto& byID) {
        byGroup[GroupOf(*member)].push_back(member);
        byID.insert_or_assign(member->GetID(), member);
    });
}

template <class Tables, class Member>
auto EraseMember(Tables& tables, const std::shared_ptr<Member>& member)
{
    return EditTables(tables, [&](auto& byGroup, auto& byID) {
        if (const auto group = byGroup.find(GroupOf(*member)); group != byGroup.end()) {
            std::erase(group->second, member);
        }
        byID.erase(member->GetID());
    });
}

template <class Tables, class Previous>
void RestoreTables(Tables& tables, Previous&& previous)
{
    tables.ByGroup.Set(std::move(previous.first));
    tables.ByID.Set(std::move(previous.second));
}

template <class Tables, class Group>
UInt32 CountIn(const Tables& tables, const Group& group) noexcept HAL_NONBLOCKING
{
    const auto readLock = tables.ByGroup.GetReadLock();
    const auto found = readLock.GetValue().find(group);
    return found == readLock.GetValue().end() ? 0 : static_cast<UInt32>(found->second.size());
}

template <class Tables, class Group>
auto FindByIndex(const Tables& tables, const Group& group, UInt32 index) noexcept HAL_NONBLOCKING
{
    const auto readLock = tables.ByGroup.GetReadLock();
    const auto found = readLock.GetValue().find(group);
    using Member = typename std::remove_cvref_t<decltype(readLock.GetValue())>::mapped_type::value_type;
    if (found == readLock.GetValue().end() || index >= found->second.size()) {
        return Member{};
    }
    return found->second[index];
}

template <class Tables>
auto FindByID(const Tables& tables, AudioObjectID objectID) noexcept HAL_NONBLOCKING
{
    const auto readLock = tables.ByID.GetReadLock();
    const auto found = readLock.GetValue().find(objectID);
    using Member = typename std::remove_cvref_t<decltype(readLock.GetValue())>::mapped_type;
    return found == readLock.GetValue().end() ? Member{} : found->second;
}

} // namespace

// ---- Streams -----------------------------------------------------------------------------------------

std::shared_ptr<Stream> Device::AddStreamAsync(Direction direction)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    // Input and output channels are numbered separately: only streams of this direction count.
    UInt32 startingChannel = 1;
    {
        const auto readLock = mStreams.ByGroup.GetReadLock();
        if (const auto found = readLock.GetValue().find(direction); found != readLock.GetValue().end()) {
            for (const auto& stream : found->second) {
                startingChannel = std::max(startingChannel, stream->GetStartingChannel() + stream->GetChannelCount());
            }
        }
    }
    const UInt32 channelCount = GetPreferredChannelCount();
    StreamParameters parameters;
    parameters.Direction = direction;
    parameters.StartingChannel = startingChannel;
    parameters.Format = AudioStreamBasicDescription{
        .mSampleRate = GetNominalSampleRate(),
        .mFormatID = kAudioFormatLinearPCM,
        .mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked,
        .mBytesPerPacket = 2 * channelCount,
        .mFramesPerPacket = 1,
        .mBytesPerFrame = 2 * channelCount,
        .mChannelsPerFrame = channelCount,
        .mBitsPerChannel = 16,
        .mReserved = 0,
    };
    parameters.Latency = 0;
    return AddStreamAsync(parameters);
}

std::shared_ptr<Stream> Device::AddStreamAsync(const StreamParameters& parameters)
{
    auto stream = MakeObject<Stream>(GetContext(), std::static_pointer_cast<Device>(shared_from_this()), parameters);
    AddStreamAsync(stream);
    return stream;
}

void Device::AddStreamAsync(std::shared_ptr<Stream> stream)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    Tracer& tracer = GetTracer();
    const TracedOperation operation(tracer, {.Name = "Device::AddStreamAsync()", .ObjectID = GetID()});

    if (stream == nullptr) {
        tracer.Message("stream is null");
        return;
    }
    if (IsMember(mStreams, *stream)) {
        tracer.Message("stream %u is already added", stream->GetID());
        return;
    }
    // In the tables at once, so that the device can serve the stream as soon as the host performs
    // the change and lists it.
    auto previous = InsertMember(mStreams, stream);
    // The change lives in this device's own queue, or runs before this returns, so it cannot
    // outlive the device: a plain pointer to it is enough. It holds the stream, which holds the
    // device only weakly.
    const OSStatus status = RequestConfigurationChange([this, stream] {
        const std::lock_guard<std::recursive_mutex> changeLock(mWriteMutex);
        // A removal performed first leaves nothing to own.
        if (!IsMember(mStreams, *stream)) {
            GetTracer().Message("stream %u was removed before it was added", stream->GetID());
            return;
        }
        AddOwnedObject(stream, ScopeOf(stream->GetDirection()));
        CountOwnedStreams();
    });
    if (status != 0) {
        RestoreTables(mStreams, std::move(previous));
    }
}

std::shared_ptr<Stream> Device::AddStreamWithControlsAsync(Direction direction)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    return AttachNewControls(*this, AddStreamAsync(direction));
}

std::shared_ptr<Stream> Device::AddStreamWithControlsAsync(const StreamParameters& parameters)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    return AttachNewControls(*this, AddStreamAsync(parameters));
}

void Device::RemoveStreamAsync(std::shared_ptr<Stream> stream)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    Tracer& tracer = GetTracer();
    const TracedOperation operation(tracer, {.Name = "Device::RemoveStreamAsync()", .ObjectID = GetID()});

    if (stream == nullptr) {
        tracer.Message("stream is null");
        return;
    }
    if (!IsMember(mStreams, *stream)) {
        tracer.Message("stream %u is not a member", stream->GetID());
        return;
    }
    // Out of the tables only when the change runs: until then the host still lists the stream and
    // may run IO for it.
    RequestConfigurationChange([this, stream] {
        const std::lock_guard<std::recursive_mutex> changeLock(mWriteMutex);
        // An earlier removal may have run first.
        if (!IsMember(mStreams, *stream)) {
            return;
        }
        EraseMember(mStreams, stream);
        RemoveOwnedObject(stream->GetID());
        CountOwnedStreams();
    });
}

void Device::CountOwnedStreams()
{
    // Counted rather than stepped, so that changes performed in any order, aborted or refused
    // never leave the counts off the owned streams (an unsigned count stepped below 0 would wrap).
    mInputStreamCount.store(
        static_cast<UInt32>(GetOwnedObjectIDs(kAudioObjectPropertyScopeInput, kAudioStreamClassID).size()),
        std::memory_order_release);
    mOutputStreamCount.store(
        static_cast<UInt32>(GetOwnedObjectIDs(kAudioObjectPropertyScopeOutput, kAudioStreamClassID).size()),
        std::memory_order_release);
}

UInt32 Device::GetStreamCount(Direction direction) const noexcept HAL_NONBLOCKING
{
    return CountIn(mStreams, direction);
}

std::shared_ptr<Stream> Device::GetStreamByIndex(Direction direction, UInt32 index) const noexcept HAL_NONBLOCKING
{
    return FindByIndex(mStreams, direction, index);
}

std::shared_ptr<Stream> Device::GetStreamByID(AudioObjectID streamID) const noexcept HAL_NONBLOCKING
{
    return FindByID(mStreams, streamID);
}

// ---- Controls ----------------------------------------------------------------------------------------

template <class Control>
void Device::AddControlAsync(MemberTables<Control, AudioObjectPropertyScope>& tables,
                             const char* operationName,
                             std::shared_ptr<Control> control)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    Tracer& tracer = GetTracer();
    const TracedOperation operation(tracer, {.Name = operationName, .ObjectID = GetID()});

    if (control == nullptr) {
        tracer.Message("control is null");
        return;
    }
    if (IsMember(tables, *control)) {
        tracer.Message("control %u is already added", control->GetID());
        return;
    }
    auto previous = InsertMember(tables, control);
    const OSStatus status = RequestConfigurationChange([this, &tables, control] {
        const std::lock_guard<std::recursive_mutex> changeLock(mWriteMutex);
        if (!IsMember(tables, *control)) {
            GetTracer().Message("control %u was removed before it was added", control->GetID());
            return;
        }
        AddOwnedObject(control, control->GetScope());
    });
    if (status != 0) {
        RestoreTables(tables, std::move(previous));
    }
}

template <class Control>
void Device::RemoveControlAsync(MemberTables<Control, AudioObjectPropertyScope>& tables,
                                const char* operationName,
                                std::shared_ptr<Control> control)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    Tracer& tracer = GetTracer();
    const TracedOperation operation(tracer, {.Name = operationName, .ObjectID = GetID()});

    if (control == nullptr) {
        tracer.Message("control is null");
        return;
    }
    if (!IsMember(tables, *control)) {
        tracer.Message("control %u is not a member", control->GetID());
        return;
    }
    auto previous = EraseMember(tables, control);
    const OSStatus status = RequestConfigurationChange([this, control] {
        const std::lock_guard<std::recursive_mutex> changeLock(mWriteMutex);
        RemoveOwnedObject(control->GetID());
        // A stream that kept applying a removed control would keep its volume, or its silence,
        // with nothing left for the host to change it through.
        const auto readLock = mStreams.ByID.GetReadLock();
        for (const auto& [streamID, stream] : readLock.GetValue()) {
            if constexpr (std::is_same_v<Control, VolumeControl>) {
                stream->DetachVolumeControl(*control);
            } else {
                stream->DetachMuteControl(*control);
            }
        }
    });
    if (status != 0) {
        RestoreTables(tables, std::move(previous));
    }
}

std::shared_ptr<VolumeControl> Device::AddVolumeControlAsync(AudioObjectPropertyScope scope)
{
    return AddVolumeControlAsync(VolumeControlParameters{.Scope = scope});
}

std::shared_ptr<VolumeControl> Device::AddVolumeControlAsync(const VolumeControlParameters& parameters)
{
    auto control = MakeObject<VolumeControl>(GetContext(), parameters);
    AddVolumeControlAsync(control);
    return control;
}

void Device::AddVolumeControlAsync(std::shared_ptr<VolumeControl> volumeControl)
{
    AddControlAsync(mVolumeControls, "Device::AddVolumeControlAsync()", std::move(volumeControl));
}

void Device::RemoveVolumeControlAsync(std::shared_ptr<VolumeControl> volumeControl)
{
    RemoveControlAsync(mVolumeControls, "Device::RemoveVolumeControlAsync()", std::move(volumeControl));
}

std::shared_ptr<MuteControl> Device::AddMuteControlAsync(AudioObjectPropertyScope scope)
{
    return AddMuteControlAsync(MuteControlParameters{.Scope = scope});
}

std::shared_ptr<MuteControl> Device::AddMuteControlAsync(const MuteControlParameters& parameters)
{
    auto control = MakeObject<MuteControl>(GetContext(), parameters);
    AddMuteControlAsync(control);
    return control;
}

void Device::AddMuteControlAsync(std::shared_ptr<MuteControl> muteControl)
{
    AddControlAsync(mMuteControls, "Device::AddMuteControlAsync()", std::move(muteControl));
}

void Device::RemoveMuteControlAsync(std::shared_ptr<MuteControl> muteControl)
{
    RemoveControlAsync(mMuteControls, "Device::RemoveMuteControlAsync()", std::move(muteControl));
}

UInt32 Device::GetVolumeControlCount(AudioObjectPropertyScope scope) const noexcept HAL_NONBLOCKING
{
    return CountIn(mVolumeControls, scope);
}

std::shared_ptr<VolumeControl> Device::GetVolumeControlByIndex(AudioObjectPropertyScope scope,
                                                               UInt32 index) const noexcept HAL_NONBLOCKING
{
    return FindByIndex(mVolumeControls, scope, index);
}

std::shared_ptr<VolumeControl> Device::GetVolumeControlByID(AudioObjectID controlID) const noexcept HAL_NONBLOCKING
{
    return FindByID(mVolumeControls, controlID);
}

UInt32 Device::GetMuteControlCount(AudioObjectPropertyScope scope) const noexcept HAL_NONBLOCKING
{
    return CountIn(mMuteControls, scope);
}

std::shared_ptr<MuteControl> Device::GetMuteControlByIndex(AudioObjectPropertyScope scope,
                                                           UInt32 index) const noexcept HAL_NONBLOCKING
{
    return FindByIndex(mMuteControls, scope, index);
}

std::shared_ptr<MuteControl> Device::GetMuteControlByID(AudioObjectID controlID) const noexcept HAL_NONBLOCKING
{
    return FindByID(mMuteControls, controlID);
}

} // namespace hal
