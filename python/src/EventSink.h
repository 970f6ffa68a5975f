// Where the listener hands each event after copying it, besides the queue:
// the Python callbacks. Called on the thread of the listener call (usually
// the module's network thread), with no lock of the extension held.
#pragma once

#include "python/src/EventRecords.h"

namespace hvr::python {

class EventSink {
public:
    virtual void deliver(const Event& event) = 0;

protected:
    ~EventSink() = default;
};

}  // namespace hvr::python
