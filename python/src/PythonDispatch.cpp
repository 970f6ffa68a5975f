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

void PythonDispatch::deliver(const Event& event) {
    if (!active.load()) return;
    py::gil_scoped_acquire gil;
    if (!target) return;
    py::object callable = target;  // stays alive even if the callback replaces the target
    try {
        callable(eventToPython(event));
    } catch (py::error_already_set& error) {
        error.discard_as_unraisable("traderhvr: event dispatch");
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        PyErr_WriteUnraisable(callable.ptr());
    }
}

}  // namespace hvr::python
