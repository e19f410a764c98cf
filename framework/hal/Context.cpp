#include "hal/Context.h"

#include <utility>

namespace hal {

namespace {

constexpr AudioObjectID kDefaultDesiredMaximumID = 1000;

} // namespace

Context::Context(std::shared_ptr<hal::Tracer> tracer, std::shared_ptr<hal::Dispatcher> dispatcher)
    : Dispatcher(dispatcher != nullptr
                     ? std::move(dispatcher)
                     : std::make_shared<hal::Dispatcher>(nullptr, kDefaultDesiredMaximumID))
    , Tracer(tracer != nullptr ? std::move(tracer)
                               : std::make_shared<hal::Tracer>(hal::Tracer::Mode::Syslog,
                                                               hal::Tracer::Style::Hierarchical))
{
}

} // namespace hal
