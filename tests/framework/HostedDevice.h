#pragma once

// A device with what the host gives it, for the tests of its members, clients and IO: a capturing
// tracer (flat lines), a test host that performs and aborts through the device, and an owner. The
// device applies changes in place until OwnAndKnowHost(); from then on they wait for
// PerformAll(). Test code only.

#include "hal/Context.h"
#include "hal/Device.h"

#include "CapturingTracer.h"
#include "TestHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace pelio::test {

template <class DeviceClass = hal::Device>
class HostedDevice
{
public:
    explicit HostedDevice(const hal::DeviceParameters& parameters = {})
        : device(hal::MakeObject<DeviceClass>(context, parameters))
    {
        host.SetConfigurationChangeCallbacks(
            [this](AudioObjectID objectID, UInt64 action, void* info) {
                return device->PerformConfigurationChange(objectID, action, info);
            },
            [this](AudioObjectID objectID, UInt64 action, void* info) {
                return device->AbortConfigurationChange(objectID, action, info);
            });
    }

    // From now on changes wait for the host. Clears the lines traced so far.
    void OwnAndKnowHost()
    {
        device->RequestOwnershipChange(owner.get(), true);
        context->Host.store(host.GetInterface(), std::memory_order_release);
        tracer->ClearLines();
    }

    std::size_t PerformAll() { return host.PerformPendingConfigurationChanges().size(); }
    std::size_t RequestCount() const { return host.GetConfigurationChangeRequests().size(); }

    // Every line of `expected`, in this order, among the traced lines.
    bool TracedInOrder(const std::vector<std::string>& expected) const
    {
        const std::vector<std::string> lines = tracer->GetLines();
        auto next = lines.begin();
        for (const std::string& line : expected) {
            next = std::find(next, lines.end(), line);
            if (next == lines.end()) {
                ADD_FAILURE() << "not traced (in this order): " << line;
                return false;
            }
            ++next;
        }
        return true;
    }

    // The device's two answers for `operationID`, as the host asks before it starts IO.
    std::pair<bool, bool> WillDo(UInt32 operationID, UInt32 clientID = 0) const
    {
        Boolean willDo = true;
        Boolean inPlace = true;
        EXPECT_EQ(device->WillDoIOOperation(device->GetID(), clientID, operationID, &willDo, &inPlace), 0);
        return {willDo != 0, inPlace != 0};
    }

    std::shared_ptr<CapturingTracer> tracer =
        std::make_shared<CapturingTracer>(CapturingTracer::Mode::Stderr, CapturingTracer::Style::Flat);
    std::shared_ptr<hal::Context> context = std::make_shared<hal::Context>(tracer);
    TestHost host;
    std::shared_ptr<hal::Object> owner = hal::MakeObject<hal::Object>(context, "Owner");
    std::shared_ptr<DeviceClass> device;
};

} // namespace pelio::test
