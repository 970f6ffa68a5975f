// The soak's invariants, checked after each round against what the simulator
// stored. Pure: a copy of the journal, the stored day and the login resume
// ids in; violations (each one line a person can act on) and counts out.
//
// Pushes are matched by content (PushKey): host records carry no push id.
// A push delivered again is a replay the login protocol asked for when a
// successful login of the same trader object came between the two copies
// and resumed from below that push; any other repeat is a duplicate.
//
// A request of the round's chaos phase is judged with the evidence present
// when the quiesce login succeeded (every request queued before it went out
// ahead of that login, so its answer came first):
//   arrived   the order is stored or was answered; for queries, counted by
//             kind: there are at least as many answers as queries that must
//             have arrived;
//   in doubt  a server fault (kill -9, a dropped connection) or a close of
//             our own (connect, disconnect, release: closing with answers
//             unread resets the connection, and the server drops what it had
//             not read yet) came after it was placed, or after the outage it
//             was placed in ended;
//   refused   a send-error line came after it, and it was not placed while
//             the server was down (such a request waits for the next
//             connection) unless a release came between;
//   lost      anything else: a violation.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "Journal.h"
#include "SimRecords.h"

namespace hvr::soak {

struct RoundWindow {
    Seq chaosStart = 0;       // requests placed from here ...
    Seq chaosEnd = 0;         // ... up to here are judged
    Seq cutoff = 0;           // evidence and faults up to here count (the quiesce login)
    int finalObject = 0;      // the object that ran the quiesce
    int64_t flowPushId = -1;  // from the flow file after the final release
    std::string tagPrefix;    // user tags of this run's orders start with it
};

struct CheckCounts {
    std::size_t storedPushes = 0;
    std::size_t deliveries = 0;
    std::size_t replayed = 0;      // repeats a login asked for
    std::size_t duplicated = 0;    // repeats nothing asked for
    std::size_t lost = 0;          // stored, never delivered
    std::size_t ordersPlaced = 0;  // in the window
    std::size_t ordersArrived = 0;
    std::size_t ordersInDoubt = 0;
    std::size_t ordersRefused = 0;
    std::size_t ordersLost = 0;
    std::size_t queriesPlaced = 0;
    std::size_t queriesAnswered = 0;
    std::size_t queriesInDoubt = 0;
    std::size_t queriesRefused = 0;
};

struct CheckResult {
    std::vector<std::string> violations;
    CheckCounts counts;
};

CheckResult checkRound(const JournalData& journal, const StoredDay& day, const std::map<uint32_t, int64_t>& resumes,
                       const RoundWindow& window);

// Only the checks that need no database: connection events, listener
// exceptions and the module's own exceptions. For a failure report.
std::vector<std::string> checkEventsOnly(const JournalData& journal);

}  // namespace hvr::soak
