#include "hal/PropertyProtocol.h"

#include <cstdio>

namespace hal::PropertyProtocol {

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

std::string FormatFixed(Float64 value)
{
    const int length = std::snprintf(nullptr, 0, "%f", value);
    if (length <= 0) {
        return {};
    }
    std::string text(static_cast<std::size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, "%f", value);
    return text;
}

bool AnswerHasProperty(Tracer& tracer, ScopeRule rule, AudioObjectPropertyScope scope)
{
    if (rule == ScopeRule::InputOrOutput && scope != kAudioObjectPropertyScopeInput
        && scope != kAudioObjectPropertyScopeOutput) {
        tracer.Message("returning HasProperty=false (disallowed scope)");
        return false;
    }
    tracer.Message("returning HasProperty=true");
    return true;
}

OSStatus AnswerIsPropertySettable(Tracer& tracer, bool isSettable, Boolean* outIsSettable)
{
    if (outIsSettable == nullptr) {
        tracer.Message("output buffer is null");
        return kAudioHardwareNoError;
    }
    *outIsSettable = isSettable;
    tracer.Message("returning IsSettable=%s", isSettable ? "true" : "false");
    return kAudioHardwareNoError;
}

namespace Detail {

OSStatus WriteFoundationText(Tracer& tracer, const char* name, FoundationText form, const std::string& text,
                             const ReadRequest& request)
{
    constexpr UInt32 kReferenceSize = sizeof(CFTypeRef);
    static_assert(kReferenceSize == 8, "the host exchanges CoreFoundation values as 8-byte references");
    if (IsTooSmall(tracer, kReferenceSize, request.InDataSize)) {
        return kAudioHardwareBadPropertySizeError;
    }
    if (request.OutData == nullptr) {
        StoreSize(tracer, kReferenceSize, request.OutDataSize);
        tracer.Message("data buffer is null");
        return kAudioHardwareNoError;
    }
    // Converted before anything is written: a reference that could not be made must not reach the
    // host as a null value with a success status, nor leave a size behind that promises one.
    CFTypeRef reference = nullptr;
    if (form == FoundationText::String) {
        CFStringRef string = nullptr;
        Convert::ToFoundation(text, string);
        reference = string;
    } else {
        CFURLRef url = nullptr;
        Convert::ToFoundation(text, url);
        reference = url;
    }
    if (reference == nullptr) {
        tracer.Message("cannot convert %s to a %s", name, form == FoundationText::String ? "CFString" : "CFURL");
        return kAudioHardwareUnspecifiedError;
    }
    StoreSize(tracer, kReferenceSize, request.OutDataSize);
    // The host owns the new reference and releases it.
    WriteValue(request.OutData, reference);
    tracer.Message("returning %s=%s", name, text.c_str());
    return kAudioHardwareNoError;
}

OSStatus WriteBytes(Tracer& tracer, const char* name, const std::vector<UInt8>& bytes, const ReadRequest& request)
{
    const UInt32 length = static_cast<UInt32>(bytes.size());
    if (IsTooSmall(tracer, length, request.InDataSize)) {
        return kAudioHardwareBadPropertySizeError;
    }
    StoreSize(tracer, length, request.OutDataSize);
    if (request.OutData == nullptr) {
        tracer.Message("data buffer is null");
    } else if (length > 0) {
        std::memcpy(request.OutData, bytes.data(), length);
    }
    if (IsTracing(tracer)) {
        tracer.Message("returning %s=%s (%u/%u)", name, Convert::FormatArray(std::span<const UInt8>(bytes)).c_str(),
                       length, length);
    }
    return kAudioHardwareNoError;
}

std::string Qualifier<std::string>::Decode(const void* data)
{
    // Checked as a string: a host that sends anything else (or a null reference) asks for the
    // empty text rather than crashing the conversion.
    std::string text;
    if (!Convert::FromFoundation(ReadValue<CFTypeRef>(data), text)) {
        text.clear();
    }
    return text;
}

} // namespace Detail

} // namespace hal::PropertyProtocol
