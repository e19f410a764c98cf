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

void CustomProperty::Set(const void* inData) const
{
    mSetter(inData);
}

} // namespace hal
