// One event as the extension keeps it: what the session core reported
// (common/SessionEvents.h: records already copied, texts UTF-8) and when its
// listener call arrived. Pure data: built on the thread of the listener call,
// kept in the event queue, turned into Python objects by the thread that
// reads it.
#pragma once

#include <cstdint>

#include "common/SessionEvents.h"

namespace hvr::python {

struct Event {
    tools::SessionEvent payload;
    int64_t receivedNs = 0;  // nanoseconds since the epoch by the system clock
};

}  // namespace hvr::python
