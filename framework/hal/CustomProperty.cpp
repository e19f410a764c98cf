#include "hal/CustomProperty.h"

namespace hal {

CustomProperty::CustomProperty(UInt32 dataType, Getter getter, Setter setter)
    : mDataType(dataType), mGetter(std::move(getter)), mSetter(std::move(setter))
{
}

void CustomProperty::Get(void* outData) const
{
    mGetter(outData);
}

bool CustomProperty::AcceptsValue(const void* inData) const
{
    CFTypeRef value = nullptr;
    // The buffer is the host's and need not be aligned for a pointer.
    std::memcpy(&value, inData, sizeof value);
    if (value == nullptr) {
        return false;
    }
    if (mDataType == kAudioServerPlugInCustomPropertyDataTypeCFString) {
        return CFGetTypeID(value) == CFStringGetTypeID();
    }
    return CFPropertyListIsValid(value, kCFPropertyListXMLFormat_v1_0);
}

void CustomProperty::Set(const void* inData) const
{
    mSetter(inData);
}

} // namespace hal
