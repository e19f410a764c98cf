#pragma once

// Steps that the property protocols of the object classes share: running one host-reachable
// operation as a traced operation that always ends and never throws, and the checks in front of
// handing one fixed-size property value to the host or taking one from it, with the trace
// messages that every class prints for them.
//
// Threads and cost: free functions without state, safe on any thread at once. They allocate
// nothing themselves (the work that RunTraced runs, and an enabled tracer, may); they belong on
// the host's property threads and setters, not on the real-time IO thread.

#include "hal/Convert.h"
#include "hal/PrintfFormat.h"
#include "hal/Tracer.h"

#include <CoreAudio/AudioServerPlugIn.h>

#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <exception>
#include <type_traits>
#include <utility>
#include <vector>

namespace hal::PropertyProtocol {

// Calls OperationBegin, runs `work` (which returns the operation's status) and calls OperationEnd
// with that status. Whatever `work` throws ends the operation with kAudioHardwareUnspecifiedError
// and a message: nothing may unwind into the host.
template <class Work>
OSStatus RunTraced(Tracer& tracer, const Tracer::Operation& operation, Work&& work) noexcept
{
    tracer.OperationBegin(operation);
    OSStatus status = kAudioHardwareUnspecifiedError;
    try {
        status = std::forward<Work>(work)();
    } catch (const std::exception& exception) {
        tracer.Message("caught exception: %s", exception.what());
    } catch (...) {
        tracer.Message("caught unknown exception");
    }
    tracer.OperationEnd(operation, status);
    return status;
}

enum class OutputBuffer {
    TooSmall,  // refused: answer kAudioHardwareBadPropertySizeError
    Absent,    // no data buffer: answer success without writing
    Ready,     // write the value
};

// The host offers `inDataSize` bytes for a value of `valueSize` bytes. A smaller buffer is refused
// ("not enough space: need %u, avail %u"). Otherwise the value's size goes to `outDataSize`, or
// "size buffer is null" is traced and the read goes on; a null `outData` traces "data buffer is
// null".
OutputBuffer CheckOutputBuffer(Tracer& tracer, UInt32 valueSize, UInt32 inDataSize, UInt32* outDataSize,
                               const void* outData);

// The host sends `inDataSize` bytes at `inData` for a value of `valueSize` bytes. 0 when the value
// can be read; kAudioHardwareBadPropertySizeError for any other size ("invalid size: should be %u,
// got %u"), since a longer buffer cannot be what the host meant either; kAudioHardwareIllegalOperationError
// for null data ("input buffer is null").
OSStatus CheckInputBuffer(Tracer& tracer, UInt32 valueSize, UInt32 inDataSize, const void* inData);

// Writes as many whole elements of `list` as the host's buffer holds: a short buffer truncates,
// it never fails. `message` receives the list's text, the count written and the list's length;
// the text is only made when the tracer prints.
template <class Element>
OSStatus WriteList(Tracer& tracer, PrintfFormat<const char*, UInt32, UInt32> message,
                   const std::vector<Element>& list, UInt32 inDataSize, UInt32* outDataSize, void* outData)
{
    static_assert(std::is_trivially_copyable_v<Element>);
    constexpr UInt32 kElementSize = sizeof(Element);
    const UInt32 length = static_cast<UInt32>(list.size());
    const UInt32 count = std::min<UInt32>(length, inDataSize / kElementSize);
    if (outDataSize != nullptr) {
        *outDataSize = count * kElementSize;
    } else {
        tracer.Message("size buffer is null");
    }
    if (outData == nullptr) {
        tracer.Message("data buffer is null");
        return kAudioHardwareNoError;
    }
    // The host's buffer need not be aligned for the element type; an empty list has no data
    // pointer, and memcpy wants one even for 0 bytes.
    if (count > 0) {
        std::memcpy(outData, list.data(), std::size_t{count} * kElementSize);
    }
    if (tracer.GetMode() != Tracer::Mode::Disabled) {
        const std::string text = Convert::FormatArray(std::span<const Element>(list));
        tracer.Message(message, text.c_str(), count, length);
    }
    return kAudioHardwareNoError;
}

// The host's buffers carry no alignment guarantee, so values cross them byte-wise.
template <class Value>
Value ReadValue(const void* data) noexcept
{
    static_assert(std::is_trivially_copyable_v<Value>);
    Value value;
    std::memcpy(&value, data, sizeof value);
    return value;
}

template <class Value>
void WriteValue(void* data, const Value& value) noexcept
{
    static_assert(std::is_trivially_copyable_v<Value>);
    std::memcpy(data, &value, sizeof value);
}

} // namespace hal::PropertyProtocol
