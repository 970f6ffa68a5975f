// traderhvr._core: the compiled half of the traderhvr package. It exposes one
// class, Host (TraderHost.h), in raw form: texts are bytes or str, codes are
// the module's character values, events are (kind, payload) tuples. The
// package's Python modules give it its public shape.
//
// Every call into the module runs with the GIL released: the module may call
// the listener back on the calling thread (log lines, the disconnect event),
// and release() waits for the network thread, which may be waiting for the
// GIL to run a callback. Every wait runs in slices of 100 ms with the GIL
// released and looks for signals between them, so Ctrl-C reaches a script
// that waits, and for a SystemExit a callback raised (exit_main).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>

#include "python/src/EventToPython.h"
#include "python/src/TraderHost.h"

namespace py = pybind11;
using namespace pybind11::literals;

namespace hvr::python {

namespace {

// How long a waiting reader sleeps between two checks for signals.
constexpr std::chrono::milliseconds SIGNAL_CHECK_INTERVAL{100};

using CatalogRow = std::tuple<std::string, uint32_t, std::string, std::string>;
using Release = py::call_guard<py::gil_scoped_release>;
using Clock = std::chrono::steady_clock;

// A catalog of None registers no catalog at all.
TraderHost* makeHost(const std::string& modulePath, const std::optional<std::vector<CatalogRow>>& rows,
                     bool queueEvents, bool reconcile) {
    std::optional<std::vector<CatalogEntry>> entries;
    if (rows) {
        entries.emplace();
        for (const auto& [code, multiplier, currency, exchange] : *rows)
            entries->push_back(CatalogEntry{code, multiplier, currency, exchange});
    }
    return new TraderHost(modulePath, entries, queueEvents, reconcile);
}

tools::QueryKind queryKind(const std::string& name) {
    if (name == "account") return tools::QueryKind::Account;
    if (name == "positions") return tools::QueryKind::Positions;
    if (name == "orders") return tools::QueryKind::Orders;
    if (name == "trades") return tools::QueryKind::Trades;
    throw py::value_error("unknown query '" + name + "'");
}

const char* statusWord(tools::SendResult::Status status) {
    switch (status) {
        case tools::SendResult::Sent: return "sent";
        case tools::SendResult::NotLoggedIn: return "not_logged_in";
        case tools::SendResult::Refused: return "refused";
        case tools::SendResult::Detached: return "closed";
    }
    return "?";
}

const char* loginStatusWord(tools::LoginStatus status) {
    switch (status) {
        case tools::LoginStatus::LoggedIn: return "logged_in";
        case tools::LoginStatus::Expected: return "expected";
        case tools::LoginStatus::Refused: return "refused";
        case tools::LoginStatus::None: return "none";
    }
    return "?";
}

Clock::time_point deadlineAfter(std::optional<double> timeout) {
    if (!timeout) return Clock::time_point::max();
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::max(0.0, *timeout)));
}

std::chrono::milliseconds sliceUntil(Clock::time_point deadline) {
    if (deadline == Clock::time_point::max()) return SIGNAL_CHECK_INTERVAL;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return std::clamp(left, std::chrono::milliseconds(0), SIGNAL_CHECK_INTERVAL);
}

// The SystemExit a callback raised, to be raised in the main thread
// (exit_main); null when none. Touched with the GIL held only. A plain
// reference, never released at process exit.
PyObject* pendingExit = nullptr;

// Runs in the main thread as a pending call: raises the SystemExit there.
int raisePendingExit(void*) {
    PyObject* exit = pendingExit;
    if (exit == nullptr) return 0;
    pendingExit = nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exit)), exit);
    Py_DECREF(exit);
    return -1;
}

// Hands a SystemExit raised by a callback (on the module's thread) to the
// main thread: the interpreter raises it there at its next instruction, and
// the waits below within a slice.
void exitMain(py::object exit) {
    if (pendingExit != nullptr) return;
    pendingExit = exit.release().ptr();
    if (Py_AddPendingCall(raisePendingExit, nullptr) != 0) {
        Py_DECREF(pendingExit);  // the interpreter's queue is full: nothing can be raised
        pendingExit = nullptr;
    }
}

// Signals and pending calls (a SystemExit from a callback) for the main
// thread; raises what they raise. Elsewhere it does nothing.
void checkInterrupts() {
    if (Py_MakePendingCalls() != 0) throw py::error_already_set();
}

// Runs attempt(slice) with the GIL released until it yields a value, the
// deadline passes or `stop` holds; raises whatever a signal handler or a
// pending exit raises between slices.
template <typename T>
std::optional<T> waitInSlices(std::optional<double> timeout, const std::function<std::optional<T>(std::chrono::milliseconds)>& attempt,
                              const std::function<bool()>& stop) {
    const Clock::time_point deadline = deadlineAfter(timeout);
    for (;;) {
        std::optional<T> value;
        {
            py::gil_scoped_release release;
            value = attempt(sliceUntil(deadline));
        }
        if (value) return value;
        if (stop()) return std::nullopt;
        checkInterrupts();
        if (Clock::now() >= deadline) return std::nullopt;
    }
}

// The next event as (kind, payload, received_ns), or None when none came
// within timeout (None: wait without end) or the host is closed and drained.
py::object nextEvent(TraderHost& host, std::optional<double> timeout) {
    auto event = waitInSlices<Event>(
        timeout, [&](std::chrono::milliseconds slice) { return host.events().waitPop(slice); },
        [&] { return host.events().isClosed(); });
    return event ? py::object(eventToPython(*event)) : py::none();
}

// The waiter's next event as (seq, (kind, payload, received_ns)), or None.
py::object waiterNext(TraderHost& host, uint64_t waiter, std::optional<double> timeout) {
    auto next = waitInSlices<std::pair<EventQueue::Seq, Event>>(
        timeout, [&](std::chrono::milliseconds slice) { return host.events().waitNext(waiter, slice); },
        [&] { return host.events().isClosed(); });
    return next ? py::object(py::make_tuple(next->first, eventToPython(next->second))) : py::none();
}

// The result of reconciliation id as the payload of a "reconciled" event, or
// None when none came within timeout.
py::object waitReconciled(TraderHost& host, uint64_t id, double timeout) {
    auto result = waitInSlices<tools::ReconcileResult>(
        timeout, [&](std::chrono::milliseconds slice) { return host.waitReconciled(id, slice); },
        [&] { return host.isClosed(); });
    return result ? py::object(reconciledToPython(*result)) : py::none();
}

// Where logins stand once one is there or none is coming: "logged_in",
// "refused", "none", or "expected" when the timeout passed first.
std::string waitLoggedIn(TraderHost& host, double timeout) {
    auto status = waitInSlices<tools::LoginStatus>(
        timeout,
        [&](std::chrono::milliseconds slice) -> std::optional<tools::LoginStatus> {
            const tools::LoginStatus s = host.waitLoggedIn(slice);
            if (s == tools::LoginStatus::Expected) return std::nullopt;
            return s;
        },
        [&] { return host.isClosed(); });
    return loginStatusWord(status.value_or(tools::LoginStatus::Expected));
}

// Closes the host: waits up to `bound` seconds for the answers of requests
// already sent, then releases the trader on a thread of its own while this
// one looks for signals. A signal (Ctrl-C) while it waits ends the wait for
// answers, stops the Python callbacks (those the module still delivers are
// dropped and counted) and interrupts the one running; the close then goes on
// to its end, and the signal's exception is handed back as "error" for the
// caller to raise once it has said what was dropped. interrupted: the caller
// was interrupted already on its way here, so it does the same at once.
py::object closeHost(TraderHost& host, double bound, bool interrupted) {
    if (host.isAbandoned()) return py::none();  // a forked child's copy: the parent releases
    bool began = false;
    {
        py::gil_scoped_release release;
        began = host.beginClose();
    }
    if (!began) return py::none();
    py::object error = py::none();
    bool interruptedCallback = false;
    auto caught = [&] {
        if (PyErr_CheckSignals() == 0) return false;
        py::error_already_set raised;
        if (error.is_none()) error = raised.value();
        host.dispatch().stop();
        interruptedCallback = host.dispatch().interruptRunning() || interruptedCallback;
        return true;
    };
    if (interrupted) {  // the caller was interrupted on its way here
        host.dispatch().stop();
        interruptedCallback = host.dispatch().interruptRunning();
    }
    const Clock::time_point deadline = deadlineAfter(interrupted ? 0.0 : bound);
    for (;;) {
        bool done = false;
        {
            py::gil_scoped_release release;
            done = host.waitAnswers(sliceUntil(deadline));
        }
        if (done || Clock::now() >= deadline || caught()) break;
    }
    tools::Unanswered unanswered;
    {
        py::gil_scoped_release release;
        unanswered = host.finishAnswers();
    }
    std::mutex lock;
    std::condition_variable finished;
    bool released = false;
    std::thread releaser([&] {
        host.release();
        std::lock_guard<std::mutex> hold(lock);
        released = true;
        finished.notify_all();
    });
    for (;;) {
        bool done = false;
        {
            py::gil_scoped_release release;
            std::unique_lock<std::mutex> hold(lock);
            done = finished.wait_for(hold, SIGNAL_CHECK_INTERVAL, [&] { return released; });
        }
        if (done) break;
        caught();
    }
    {
        py::gil_scoped_release release;
        releaser.join();
    }
    host.dispatch().clear();
    py::dict report = unansweredToPython(unanswered);
    report["error"] = error;
    report["dropped_callbacks"] = host.dispatch().dropped();
    report["interrupted_callback"] = interruptedCallback;
    return report;
}

// (status, the module's result, the tag as bytes (a host's tag may be GBK),
// the module's error lines).
py::tuple sendResult(const tools::SendResult& r) {
    return py::make_tuple(statusWord(r.status), r.rc, py::bytes(r.tag), r.why);
}

}  // namespace

}  // namespace hvr::python

PYBIND11_MODULE(_core, m) {
    using namespace hvr::python;
    m.doc() = "Raw host of the TraderHVR trader module; use traderhvr.Trader.";
    m.def("exit_main", &exitMain, "exit"_a);

    py::class_<TraderHost, std::unique_ptr<TraderHost, HostDeleter>>(m, "Host")
        .def(py::init(&makeHost), "module_path"_a, "catalog"_a, "queue_events"_a, "reconcile"_a)
        .def(
            "connect",
            [](TraderHost& host, const std::string& address, int port, const std::string& folder, int pushMode,
               int peerTimeout, const std::string& threads, int poolThreads) {
                host.connect(TraderSettings{address, port, folder, pushMode, peerTimeout, threads, poolThreads});
            },
            "host"_a, "port"_a, "folder"_a, "pushmode"_a, "peertimeout"_a = 0, "threads"_a = "own",
            "poolthreads"_a = 0, Release())
        .def("disconnect", &TraderHost::disconnect, Release())
        .def(
            "login",
            [](TraderHost& host, const std::string& user, const std::string& password, const std::string& resource) {
                switch (host.login(user, password, resource)) {
                    case hvr::tools::LoginDecision::Send: return "sent";
                    case hvr::tools::LoginDecision::AtConnect: return "at_connect";
                    case hvr::tools::LoginDecision::AlreadyLoggedIn: return "already";
                }
                return "?";
            },
            "user"_a, "password"_a, "resource"_a, Release())
        .def(
            "insert",
            [](TraderHost& host, const std::string& code, uint32_t volume, double price, uint32_t direction,
               uint32_t priceType, uint32_t timeCondition, uint32_t offsetType, const std::string& tag) {
                hvr::tools::SendResult r;
                {
                    py::gil_scoped_release release;
                    hvr::tools::OrderTicket ticket;
                    ticket.code = code;
                    ticket.volume = volume;
                    ticket.price = price;
                    ticket.direction = direction;
                    ticket.priceType = priceType;
                    ticket.timeCondition = timeCondition;
                    ticket.offsetType = offsetType;
                    ticket.userTag = tag;
                    r = host.insert(ticket);
                }
                return sendResult(r);
            },
            "code"_a, "volume"_a, "price"_a, "direction"_a, "price_type"_a, "time_condition"_a, "offset"_a, "tag"_a)
        .def(
            "cancel",
            [](TraderHost& host, const std::string& orderId) {
                hvr::tools::SendResult r;
                {
                    py::gil_scoped_release release;
                    r = host.cancel(orderId);
                }
                return sendResult(r);
            },
            "order_id"_a)
        .def(
            "query",
            [](TraderHost& host, const std::string& name) {
                const hvr::tools::QueryKind kind = queryKind(name);
                hvr::tools::SendResult r;
                {
                    py::gil_scoped_release release;
                    r = host.query(kind);
                }
                return sendResult(r);
            },
            "what"_a)
        .def("reconcile", &TraderHost::reconcile, Release())
        .def("wait_reconciled", &waitReconciled, "id"_a, "timeout"_a)
        .def("wait_logged_in", &waitLoggedIn, "timeout"_a)
        .def_property_readonly("login_status",
                               [](TraderHost& host) {
                                   return loginStatusWord(
                                       host.session().read([](const hvr::tools::SessionState& s) { return s.loginStatus(); }));
                               })
        .def_property_readonly("last_refusal",
                               [](TraderHost& host) -> py::object {
                                   auto refusal = host.session().read(
                                       [](const hvr::tools::SessionState& s) { return s.lastRefusal(); });
                                   if (!refusal) return py::none();
                                   return py::dict("user"_a = refusal->user, "message"_a = refusal->message);
                               })
        .def("book",
             [](TraderHost& host) {
                 hvr::tools::BookSnapshot snapshot;
                 {
                     py::gil_scoped_release release;
                     snapshot = host.session().book();
                 }
                 return bookToPython(snapshot);
             })
        .def("in_doubt",
             [](TraderHost& host) {
                 const auto doubts = host.session().read([](const hvr::tools::SessionState& s) { return s.doubts(); });
                 py::list list;
                 for (const hvr::tools::Doubt& d : doubts) list.append(doubtToPython(d));
                 return list;
             })
        .def("unanswered",
             [](TraderHost& host) {
                 return unansweredToPython(
                     host.session().read([](const hvr::tools::SessionState& s) { return s.unanswered(); }));
             })
        .def_property_readonly(
            "connected",
            [](TraderHost& host) { return host.session().read([](const hvr::tools::SessionState& s) { return s.connected(); }); })
        .def_property_readonly(
            "logged_in",
            [](TraderHost& host) { return host.session().read([](const hvr::tools::SessionState& s) { return s.loggedIn(); }); })
        .def_property_readonly("closed", &TraderHost::isClosed)
        .def_property_readonly("queued", [](TraderHost& host) { return host.events().size(); })
        .def_property_readonly("wake_fd", [](TraderHost& host) { return host.events().wakeDescriptor(); })
        .def("drain_wake", [](TraderHost& host) { host.events().drainWake(); })
        .def("abandon", &TraderHost::abandon)
        .def_property_readonly("abandoned", &TraderHost::isAbandoned)
        .def(
            "set_dispatcher", [](TraderHost& host, py::object callable) { host.dispatch().setTarget(std::move(callable)); },
            "callable"_a)
        .def("next_event", &nextEvent, "timeout"_a = py::none())
        .def("start_waiter", [](TraderHost& host) { return host.events().startWaiter(); })
        .def("waiter_next", &waiterNext, "waiter"_a, "timeout"_a = py::none())
        .def("take", [](TraderHost& host, uint64_t seq) { host.events().take(seq); }, "seq"_a)
        .def("end_waiter", [](TraderHost& host, uint64_t waiter) { host.events().endWaiter(waiter); }, "waiter"_a)
        .def("close", &closeHost, "bound"_a, "interrupted"_a = false);
}
