#include "python/src/CallGate.h"

namespace hvr::python {

bool CallGate::enter() {
    std::lock_guard<std::mutex> hold(lock);
    if (closing) return false;
    ++inside;
    return true;
}

void CallGate::leave() {
    bool last = false;
    {
        std::lock_guard<std::mutex> hold(lock);
        last = --inside == 0;
    }
    if (last) drained.notify_all();
}

bool CallGate::closeAndWait() {
    std::unique_lock<std::mutex> hold(lock);
    if (closing) return false;
    closing = true;
    drained.wait(hold, [this] { return inside == 0; });
    return true;
}

bool CallGate::isClosed() const {
    std::lock_guard<std::mutex> hold(lock);
    return closing;
}

}  // namespace hvr::python
