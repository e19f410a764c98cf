#include "hal/ControlRequestHandler.h"

#include "hal/Client.h"
#include "hal/ClientInfo.h"

namespace hal {

ControlRequestHandler::~ControlRequestHandler() = default;

OSStatus ControlRequestHandler::OnStartIO()
{
    return 0;
}

void ControlRequestHandler::OnStopIO()
{
}

std::shared_ptr<Client> ControlRequestHandler::OnAddClient(const ClientInfo& clientInfo)
{
    return std::make_shared<Client>(clientInfo);
}

void ControlRequestHandler::OnRemoveClient(std::shared_ptr<Client> /*client*/)
{
}

} // namespace hal
