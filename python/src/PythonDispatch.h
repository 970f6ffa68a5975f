// The sink that calls Python: on the thread of the listener call it takes the
// GIL for the one Python call, passes the raw event (EventToPython.h) to the
// package's dispatcher, and gives the GIL back. The dispatcher calls the
// user's callbacks and logs their exceptions itself; anything that still
// escapes is reported as an unraisable exception and the connection goes on.
//
// Threads: deliver on any thread that holds no GIL and no lock of the
// extension. setTarget/clear with the GIL held. stop() from any thread makes
// later deliveries return without touching Python (used before release, and
// so before interpreter shutdown).
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>

#include "python/src/EventSink.h"

namespace hvr::python {

class PythonDispatch final : public EventSink {
public:
    virtual ~PythonDispatch() = default;

    // REQUIRES: GIL held.
    void setTarget(pybind11::object callable);
    // REQUIRES: GIL held.
    void clear();
    void stop() { active.store(false); }

    void deliver(const Event& event) override;

private:
    std::atomic<bool> active{false};
    pybind11::object target;  // read and written only with the GIL held
};

}  // namespace hvr::python
