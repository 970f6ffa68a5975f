// Turns an event into the raw Python form the package's Python layer builds
// its event objects from: a tuple (kind, payload, received_ns), where
// payload is a dict of the record's fields (or a list of such dicts for query
// answers) and received_ns the time the listener call arrived (nanoseconds
// since the epoch).
// Kinds: "connection", "login", "login_refused", "entrust_answer",
// "cancel_refused", "accounts", "positions", "orders", "trades",
// "order_push", "trade_push", "log", "reconciled", "in_doubt",
// "doubt_resolved".
//
// REQUIRES: the calling thread holds the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include "common/SessionCore.h"
#include "python/src/EventRecords.h"

namespace hvr::python {

// True for the events a Python host hears of (the core's note that it sent a
// login is not one).
bool reachesPython(const tools::SessionEvent& event);

pybind11::tuple eventToPython(const Event& event);

// The payload of a "reconciled" event.
pybind11::dict reconciledToPython(const tools::ReconcileResult& result);

// The book as a dict: "orders" and "fills" (lists of dicts), "positions",
// "duplicates", "trading_date".
pybind11::dict bookToPython(const tools::BookSnapshot& book);

// A request in doubt as a dict ("kind", "user", "tag", "order_id", "order",
// "text").
pybind11::dict doubtToPython(const tools::Doubt& doubt);

// What was unanswered: "orders" (tags), "cancels" (order ids), "queries",
// "reconciliations", "in_doubt" (doubts), "text".
pybind11::dict unansweredToPython(const tools::Unanswered& unanswered);

}  // namespace hvr::python
