#include "python/src/PythonDispatch.h"

#include "python/src/EventToPython.h"

namespace py = pybind11;

namespace hvr::python {

void PythonDispatch::setTarget(py::object callable) {
    target = std::move(callable);
    active.store(!target.is_none());
}

void PythonDispatch::clear() {
    active.store(false);
    target = py::object();
}

bool PythonDispatch::interruptRunning() {
    if (runningThread == 0) return false;
    interrupting = true;
    PyThreadState_SetAsyncExc(runningThread, PyExc_KeyboardInterrupt);
    return true;
}

void PythonDispatch::deliver(const Event& event) {
    if (!active.load()) {
        if (stopped.load()) droppedCount.fetch_add(1);
        return;
    }
    py::gil_scoped_acquire gil;
    if (!target) return;
    if (!active.load()) {  // stopped while this thread waited for the GIL
        droppedCount.fetch_add(1);
        return;
    }
    py::object raw = eventToPython(event);
    py::object callable = target;  // stays alive even if the callback replaces the target
    runningThread = PyThread_get_thread_ident();
    struct Done {
        unsigned long& running;
        ~Done() { running = 0; }
    } done{runningThread};
    try {
        callable(raw);
    } catch (py::error_already_set& error) {
        if (interrupting && error.matches(PyExc_KeyboardInterrupt)) return;  // the closing host asked for it
        error.discard_as_unraisable("traderhvr: event dispatch");
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        PyErr_WriteUnraisable(callable.ptr());
    }
}

}  // namespace hvr::python
