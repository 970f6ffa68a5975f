// Lets calls into the trader module run concurrently until the module is shut
// down, then refuses new ones. close() waits for the calls already inside to
// return before the trader is released and deleted, so no thread is ever
// inside an object that has gone.
//
// Threads: enter/leave from any thread (host threads and the module's own
// threads calling back in from a callback); closeAndWait from the one thread
// that releases the trader, never from inside a listener call (a call waiting
// there could be the caller itself).
#pragma once

#include <condition_variable>
#include <mutex>

namespace hvr::python {

class CallGate {
public:
    // True (and counted) while the gate is open; false once closing began.
    bool enter();
    void leave();
    // Refuses new calls and waits until every counted call has left. Returns
    // false when the gate was already closed by an earlier call.
    bool closeAndWait();
    bool isClosed() const;

private:
    mutable std::mutex lock;
    std::condition_variable drained;
    int inside = 0;        // guarded by lock
    bool closing = false;  // guarded by lock
};

// One counted call, for the length of a scope.
class GateTicket {
public:
    explicit GateTicket(CallGate& gate) : gate(gate), admitted(gate.enter()) {}
    ~GateTicket() {
        if (admitted) gate.leave();
    }
    GateTicket(const GateTicket&) = delete;
    GateTicket& operator=(const GateTicket&) = delete;

    explicit operator bool() const { return admitted; }

private:
    CallGate& gate;
    bool admitted;
};

}  // namespace hvr::python
