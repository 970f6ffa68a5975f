// Turns a copied event into the raw Python form the package's Python layer
// builds its event objects from: a tuple (kind, payload, received_ns), where
// payload is a dict of the record's fields (or a list of such dicts for query
// answers) and received_ns the time the listener call arrived (nanoseconds
// since the epoch).
// Kinds: "connection", "login", "entrust_answer", "cancel_refused",
// "accounts", "positions", "orders", "trades", "order_push", "trade_push",
// "log", "reconciled".
//
// REQUIRES: the calling thread holds the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include "python/src/EventRecords.h"

namespace hvr::python {

pybind11::tuple eventToPython(const Event& event);

// The book as a dict: "orders" and "fills" (lists of dicts), "positions",
// "duplicates", "trading_date".
pybind11::dict bookToPython(const BookSnapshot& book);

}  // namespace hvr::python
