#pragma once

// hal::DriverRequestHandler: what a driver asks the application when the host initialises it.
// An interface with a working default (initialisation succeeds); a driver without a handler
// behaves the same. Called on the host's thread that initialises the driver, never on the IO
// thread.

#include <MacTypes.h>

namespace hal {

class DriverRequestHandler
{
public:
    DriverRequestHandler() = default;
    DriverRequestHandler(const DriverRequestHandler&) = delete;
    DriverRequestHandler& operator=(const DriverRequestHandler&) = delete;

    virtual ~DriverRequestHandler();

    // The host has initialised the driver; its interface is known from now on. A non-zero status
    // goes back to the host. Default: 0.
    virtual OSStatus OnInitialize();
};

} // namespace hal
