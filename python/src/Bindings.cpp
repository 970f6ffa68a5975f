// traderhvr._core: the compiled half of the traderhvr package. It exposes one
// class, Host (TraderHost.h), in raw form: texts are bytes or str, codes are
// the module's character values, events are (kind, payload) tuples. The
// package's Python modules give it its public shape.
//
// Every call into the module runs with the GIL released: the module may call
// the listener back on the calling thread (log lines, the disconnect event),
// and release() waits for the network thread, which may be waiting for the
// GIL to run a callback.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <tuple>

#include "python/src/EventToPython.h"
#include "python/src/TraderHost.h"

namespace py = pybind11;
using namespace pybind11::literals;

namespace hvr::python {

namespace {

// How long a waiting reader sleeps between two checks for signals, so Ctrl-C
// reaches a script blocked in next_event.
constexpr std::chrono::milliseconds SIGNAL_CHECK_INTERVAL{100};

using CatalogRow = std::tuple<std::string, uint32_t, std::string, std::string>;
using Release = py::call_guard<py::gil_scoped_release>;

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

QueryKind queryKind(const std::string& name) {
    if (name == "account") return QueryKind::Account;
    if (name == "positions") return QueryKind::Positions;
    if (name == "orders") return QueryKind::Orders;
    if (name == "trades") return QueryKind::Trades;
    throw py::value_error("unknown query '" + name + "'");
}

// The next event as (kind, payload), or None when none came within timeout
// (None: wait without end) or the host is closed and drained. Waits with the
// GIL released, in slices, raising whatever a signal handler raises.
py::object nextEvent(TraderHost& host, std::optional<double> timeout) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        timeout ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(std::max(0.0, *timeout)))
                : Clock::time_point::max();
    for (;;) {
        std::chrono::milliseconds slice = SIGNAL_CHECK_INTERVAL;
        if (timeout) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            slice = std::clamp(left, std::chrono::milliseconds(0), SIGNAL_CHECK_INTERVAL);
        }
        std::optional<Event> event;
        {
            py::gil_scoped_release release;
            event = host.events().waitPop(slice);
        }
        if (event) return eventToPython(*event);
        if (host.events().isClosed()) return py::none();
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (timeout && Clock::now() >= deadline) return py::none();
    }
}

// The result of reconciliation id as the raw payload of a "reconciled"
// event, or None when none came within timeout. Waits as nextEvent does.
py::object waitReconciled(TraderHost& host, uint64_t id, double timeout) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::max(0.0, timeout)));
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        const auto slice = std::clamp(left, std::chrono::milliseconds(0), SIGNAL_CHECK_INTERVAL);
        std::optional<hvr::tools::ReconcileResult> result;
        {
            py::gil_scoped_release release;
            result = host.waitReconciled(id, slice);
        }
        if (result) return eventToPython(Event{ReconciledEvent{std::move(*result)}, 0})[1];
        if (host.isClosed()) return py::none();
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (Clock::now() >= deadline) return py::none();
    }
}

}  // namespace

}  // namespace hvr::python

PYBIND11_MODULE(_core, m) {
    using namespace hvr::python;
    m.doc() = "Raw host of the TraderHVR trader module; use traderhvr.Trader.";

    py::class_<TraderHost, std::unique_ptr<TraderHost, HostDeleter>>(m, "Host")
        .def(py::init(&makeHost), "module_path"_a, "catalog"_a, "queue_events"_a, "reconcile"_a)
        .def(
            "connect",
            [](TraderHost& host, const std::string& address, int port, const std::string& folder, int pushMode,
               int peerTimeout) { host.connect(TraderSettings{address, port, folder, pushMode, peerTimeout}); },
            "host"_a, "port"_a, "folder"_a, "pushmode"_a, "peertimeout"_a = 0, Release())
        .def("disconnect", &TraderHost::disconnect, Release())
        .def("login", &TraderHost::login, "user"_a, "password"_a, "resource"_a, Release())
        .def("make_entrust_id", &TraderHost::makeEntrustId, Release())
        .def(
            "insert",
            [](TraderHost& host, const std::string& code, uint32_t volume, double price, uint32_t direction,
               uint32_t priceType, uint32_t timeCondition, uint32_t offsetType, const std::string& tag) {
                return host.insert(OrderTicket{code, volume, price, direction, priceType, timeCondition, offsetType, tag});
            },
            "code"_a, "volume"_a, "price"_a, "direction"_a, "price_type"_a, "time_condition"_a, "offset"_a, "tag"_a,
            Release())
        .def("cancel", &TraderHost::cancel, "order_id"_a, Release())
        .def(
            "query", [](TraderHost& host, const std::string& name) { return host.query(queryKind(name)); }, "what"_a,
            Release())
        .def("reconcile", &TraderHost::reconcile, Release())
        .def("wait_reconciled", &waitReconciled, "id"_a, "timeout"_a)
        .def("book", [](TraderHost& host) {
            BookSnapshot snapshot;
            {
                py::gil_scoped_release release;
                snapshot = host.book();
            }
            return bookToPython(snapshot);
        })
        .def_property_readonly("connected", &TraderHost::isConnected)
        .def_property_readonly("logged_in", &TraderHost::isLoggedIn)
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
        .def(
            "close",
            [](TraderHost& host) {
                if (host.isAbandoned()) return;  // a forked child's copy: the parent releases
                {
                    py::gil_scoped_release release;
                    host.close();
                }
                host.dispatch().clear();
            });
}
