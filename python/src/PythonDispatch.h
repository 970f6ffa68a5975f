// The sink that calls Python: on the thread of the listener call it takes the
// GIL for the one Python call, passes the raw event (EventToPython.h) to the
// package's dispatcher, and gives the GIL back. The dispatcher calls the
// user's callbacks and logs their exceptions itself; anything that still
// escapes is reported as an unraisable exception and the connection goes on.
//
// Threads: deliver on any thread that holds no GIL and no lock of the
// extension. setTarget/clear/interruptRunning with the GIL held. stop() from
// any thread makes later deliveries return without touching Python; each one
// is counted as dropped (a callback that did not run).
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>

#include "python/src/EventRecords.h"

namespace hvr::python {

class PythonDispatch {
public:
    // REQUIRES: GIL held.
    void setTarget(pybind11::object callable);
    // REQUIRES: GIL held.
    void clear();
    void stop() {
        stopped.store(true);
        active.store(false);
    }

    void deliver(const Event& event);

    // Raises KeyboardInterrupt in the callback running now, if one runs: it
    // stops at its next Python instruction (a call that blocks in C finishes
    // first). True when one was running. REQUIRES: GIL held, after stop().
    bool interruptRunning();
    // Deliveries that came after stop() and ran no callback.
    uint64_t dropped() const { return droppedCount.load(); }

private:
    std::atomic<bool> active{false};
    std::atomic<bool> stopped{false};
    std::atomic<uint64_t> droppedCount{0};
    unsigned long runningThread = 0;  // read and written only with the GIL held; 0: none
    bool interrupting = false;        // the same
    pybind11::object target;          // the same
};

}  // namespace hvr::python
