// The promises of the module and the simulator that the soak checks besides
// request accounting, answers, pushes and connection events (Invariants.h).
// Pure: the journal and what the simulator stored in; each violation is
// handed to `report` (a kind and one line a person can act on).
//
// Entrust ids. Every id makeEntrustId handed out in the run is unique: the
// ids of a session (date.session.sequence, after a successful login) across
// every object, reconnect, login and trading day; the ids an object makes
// before its first successful login (0.0.sequence) within that object.
//
// Silence cuts. Every connection the module ended with (1, 110) (ETIMEDOUT:
// the peer timeout, or the kernel's time-out of an unacknowledged send) is
// followed by an attempt of its own (a "connecting to" line), unless the
// host closed, connected or released first.
//
// Accepted orders. Every order the server answered as accepted is in its
// store: a kill -9 after the answer takes nothing back.
//
// Push ids. A new trading day numbers its pushes on above every id of the
// days before: a flow record of the day before resumes no push of the new
// day.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "Journal.h"
#include "SimRecords.h"

namespace hvr::soak {

using Report = std::function<void(const std::string& kind, const std::string& detail)>;

// Returns how many ids were compared.
std::size_t checkEntrustIds(const JournalData& j, const Report& report);
// Cuts in [from, to]; returns how many were followed.
std::size_t checkSilenceCuts(const JournalData& j, Seq from, Seq to, const Report& report);
// day: one user's stored orders, of every day of the run; tagPrefix: the
// tags of that user's orders. Returns how many accepted answers were
// compared.
std::size_t checkAcceptedOrdersStored(const JournalData& j, const StoredDay& day, const std::string& tagPrefix,
                                      const Report& report);
// day: one user's pushes of every day of the run, dated (PushKey::day), in
// push-id order within each day. Returns how many day changes were compared.
std::size_t checkPushIdsGoOn(const StoredDay& day, const std::string& user, const Report& report);

}  // namespace hvr::soak
