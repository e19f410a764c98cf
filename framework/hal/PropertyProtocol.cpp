#include "hal/PropertyProtocol.h"

namespace hal::PropertyProtocol {

OutputBuffer CheckOutputBuffer(Tracer& tracer, UInt32 valueSize, UInt32 inDataSize, UInt32* outDataSize,
                               const void* outData)
{
    if (inDataSize < valueSize) {
        tracer.Message("not enough space: need %u, avail %u", valueSize, inDataSize);
        return OutputBuffer::TooSmall;
    }
    if (outDataSize != nullptr) {
        *outDataSize = valueSize;
    } else {
        tracer.Message("size buffer is null");
    }
    if (outData == nullptr) {
        tracer.Message("data buffer is null");
        return OutputBuffer::Absent;
    }
    return OutputBuffer::Ready;
}

OSStatus CheckInputBuffer(Tracer& tracer, UInt32 valueSize, UInt32 inDataSize, const void* inData)
{
    if (inDataSize != valueSize) {
        tracer.Message("invalid size: should be %u, got %u", valueSize, inDataSize);
        return kAudioHardwareBadPropertySizeError;
    }
    if (inData == nullptr) {
        tracer.Message("input buffer is null");
        return kAudioHardwareIllegalOperationError;
    }
    return kAudioHardwareNoError;
}

} // namespace hal::PropertyProtocol
