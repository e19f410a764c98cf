#include "hal/ControlRequestHandler.h"

namespace hal {

ControlRequestHandler::~ControlRequestHandler() = default;

OSStatus ControlRequestHandler::OnStartIO()
{
    return 0;
}

void ControlRequestHandler::OnStopIO()
{
}

std::shared_ptr<Client> ControlRequestHandler::OnAddClient(const ClientInfo& /*clientInfo*/)
{
    // TODO(clients): return std::make_shared<Client>(clientInfo) once the client record exists;
    // until then a device refuses every client.
    return nullptr;
}

void ControlRequestHandler::OnRemoveClient(std::shared_ptr<Client> /*client*/)
{
}

} // namespace hal
