#pragma once

// The one record that every object of the plug-in shares: the dispatcher (object registry), the
// tracer, and the host interface that the audio server hands to the driver at initialisation.
//
// Objects hold it as a shared reference to a constant Context; the dispatcher and tracer it
// points to stay usable without const (registration changes the dispatcher). Dispatcher and
// Tracer are never null and never change after construction, so any thread may read them
// without a lock. Host is null until the driver is initialised and then set once: the driver
// stores it with release order, every user loads it with acquire order, on any thread.

#include "hal/Dispatcher.h"
#include "hal/Tracer.h"

#include <CoreAudio/AudioServerPlugIn.h>

#include <atomic>
#include <memory>

namespace hal {

class Context
{
public:
    // Builds the missing parts: a silent dispatcher (no tracer, desired maximum 1000) when none
    // is given, so a context built from a tracer alone still has a dispatcher that prints
    // nothing; a system-log tracer with depth prefixes when no tracer is given. Allocates.
    explicit Context(std::shared_ptr<hal::Tracer> tracer = {},
                     std::shared_ptr<hal::Dispatcher> dispatcher = {});

    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // Built first, so that the tracer argument cannot reach a dispatcher created here.
    const std::shared_ptr<hal::Dispatcher> Dispatcher;
    const std::shared_ptr<hal::Tracer> Tracer;
    std::atomic<const AudioServerPlugInHostInterface*> Host{nullptr};

    static_assert(std::atomic<const AudioServerPlugInHostInterface*>::is_always_lock_free,
                  "Host is read on any thread and must not take a lock");
};

} // namespace hal
