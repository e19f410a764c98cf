#pragma once

// What a device asks the application when IO starts or stops and when a client comes or goes.
//
// A base class with working defaults: IO starts and stops without further ado, every client gets
// a plain hal::Client record, and nothing happens when one goes. An application derives and
// overrides what it needs, and installs its handler on the device; a device that was given none
// uses an instance of this class itself. One object may serve as both control and IO handler.
//
// Threads: OnStartIO and OnStopIO run on host threads under the device's IO mutex, so they never
// overlap an IO operation of the same device, and they strictly alternate, OnStartIO first.
// OnAddClient and OnRemoveClient run on host threads under the device's write mutex, concurrently
// with IO operations. None of them runs on the real-time IO thread; a slow OnStopIO delays that
// thread's next IO call, though, since it holds the IO mutex.
//
// The class has no state of its own; the defaults never block.

#include <MacTypes.h>

#include <memory>

namespace hal {

class Client;
struct ClientInfo;

class ControlRequestHandler
{
public:
    ControlRequestHandler() = default;
    ControlRequestHandler(const ControlRequestHandler&) = delete;
    ControlRequestHandler& operator=(const ControlRequestHandler&) = delete;

    virtual ~ControlRequestHandler();

    // The first client starts IO. A non-zero status goes back to the host and the device stays
    // stopped. Default: 0.
    virtual OSStatus OnStartIO();

    // The last client stops IO. Default: nothing.
    virtual void OnStopIO();

    // The host adds a client; the device keeps the returned record as that client until the host
    // removes it, and hands it to the IO handler with every IO operation of the client. An empty
    // result makes adding the client fail. Overriding lets an application return its own class
    // derived from hal::Client, carrying per-client state. Default: a hal::Client of clientInfo.
    virtual std::shared_ptr<Client> OnAddClient(const ClientInfo& clientInfo);

    // The host removed a client; the device has already taken it out of its table. `client` is
    // the record that OnAddClient returned. Default: nothing.
    virtual void OnRemoveClient(std::shared_ptr<Client> client);
};

} // namespace hal
