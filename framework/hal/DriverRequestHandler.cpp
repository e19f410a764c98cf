#include "hal/DriverRequestHandler.h"

namespace hal {

DriverRequestHandler::~DriverRequestHandler() = default;

OSStatus DriverRequestHandler::OnInitialize()
{
    return 0;
}

} // namespace hal
