// The soak's invariants, checked after each round against what the simulator
// stored and journaled. Pure: a copy of the journal, the stored day, the
// login resume ids of the simulator's log and the connections of its request
// journal in; violations (each one line a person can act on) and counts out.
//
// Connections. Every "connected" event the module reports on its network
// thread opens a connection of its object, named by the local port of its
// socket; the simulator's journal names the same connection by the peer port.
// A connection ends at the module's next report of its end on the network
// thread, or at a close the host asked for (connect, disconnect, release).
//
// Requests. A request the module refused (REQUEST_REFUSED: its send queue
// was at the cap) never reaches the server. Every other request the host made
// in the round ends in exactly one of:
//   arrived    the simulator's journal has it (orders by their tag, logins by
//              their resource text, both unique; queries and cancels are
//              counted per kind for each stretch between two releases);
//   reported   the module counted it lost: in the drop line of a failed batch
//              (which says how many of the batch had left whole, so may have
//              arrived all the same), in the line of requests release
//              dropped with the queue, or in the line of requests the server
//              had not acknowledged at our own close (each may have arrived);
//   in doubt   it was written to a connection that failed, and the server
//              may not have read it: allowed only where the server cannot
//              have read everything the module wrote before the failure,
//              that is when the request may have left after the server's
//              last receive that emptied the socket, and no request made
//              after it arrived on that connection. Never on a connection
//              given a fault on purpose (those are counted exactly), and
//              never for a request still queued when its connection ended.
// Within each stretch between releases: what never arrived must be at least
// what the module reported lost less what it said may have arrived, and at
// most what it reported plus what may be in doubt; what cannot be in doubt
// must be covered by what it reported.
//
// Answers. Every request the simulator handled on a connection that stayed
// open a while longer is answered on that connection (orders by their tag,
// logins and queries by count).
//
// Events. Each connection ends once: no second "connected" on one still open
// unless the host closed it, no end of a connection never reported connected
// (release aside); no "connected" after disconnect has reported its (1, 0)
// unless the host connected again; no more attempt results than attempts.
//
// Pushes, per user (each account numbers its own pushes and has its own flow
// file; a push belongs to the account whose order it is about, a login to
// the user it named). Every stored push of the account reached the host (matched by
// content, PushKey). A push delivered again is a replay only when a
// successful login of the same trader object came between the two copies and
// resumed from below that push; any other repeat is a duplicate. When a push
// reaches the host, the flow file holds the id of the push its object handled
// just before. Each login resumed from the push id the flow record held while
// it was sent: that of the last push handled before it (or 0 before any).
//
// Liveness. After a callback throws, its connection delivers something more
// (the listener's probe query is answered) or ends within a few seconds.
//
// And the promises of PromiseChecks.h: entrust ids, silence cuts, accepted
// orders stored, push ids across days.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "Journal.h"
#include "SimRecords.h"

namespace hvr::soak {

struct RoundWindow {
    Seq start = 0;  // requests placed from here ...
    Seq end = 0;    // ... up to here are judged; by then the round's final release has returned
    Nanos endAt = 0;
    int finalObject = 0;      // the object that ran the quiesce
    int64_t flowPushId = -1;  // from the flow file after the final release
    std::string tagPrefix;    // user tags of this run's orders start with it
};

struct CheckCounts {
    std::size_t storedPushes = 0;
    std::size_t deliveries = 0;
    std::size_t replayed = 0;    // repeats a login asked for
    std::size_t duplicated = 0;  // repeats nothing asked for
    std::size_t lost = 0;        // stored, never delivered

    std::size_t requestsPlaced = 0;
    std::size_t requestsArrived = 0;
    std::size_t requestsReported = 0;     // lost, and counted by the module
    std::size_t requestsInDoubt = 0;      // on a connection that failed while they may have been unread
    std::size_t requestsUnexplained = 0;  // a violation when above 0
    std::size_t ordersPlaced = 0;
    std::size_t ordersArrived = 0;
    std::size_t queriesPlaced = 0;
    std::size_t queriesArrived = 0;
    std::size_t requestsRefused = 0;  // refused by the module, and never arrived

    // The module's lines about requests it could not send, in the round.
    std::size_t putBackLines = 0;   // a batch our own close cut off before any byte left
    std::size_t dropLines = 0;      // a batch failed on the wire or was cut off part way
    std::size_t releasedLines = 0;  // release dropped queued requests
    std::size_t unacknowledgedLines = 0;  // our own close came before the server acknowledged requests

    std::size_t loginsChecked = 0;  // resume ids compared with the flow record
    std::size_t flowStoresChecked = 0;  // pushes that found the one before them in the flow file
    std::size_t throwsChecked = 0;
    std::size_t answersChecked = 0;

    std::size_t entrustIdsChecked = 0;
    std::size_t silenceCutsFollowed = 0;
    std::size_t acceptedOrdersChecked = 0;
    std::size_t dayChangesChecked = 0;
};

struct CheckResult {
    std::vector<std::string> violations;
    CheckCounts counts;
};

// One user's account as the simulator stored it, for the checks of its
// pushes, flow file and resume ids.
struct UserDay {
    int user = 0;  // as journaled: 0 the main user
    std::string name;
    StoredDay day;                         // every day of the run, push keys dated
    std::map<uint32_t, int64_t> resumes;  // session -> push id its login resumed from
    int64_t flowPushId = -1;               // its flow file after the final release
    std::string tagPrefix;                 // the tags of its orders start with it
};

CheckResult checkRound(const JournalData& journal, const std::vector<UserDay>& users,
                       const std::vector<SimConnection>& connections, const RoundWindow& window);
// One user (0): its flow file and tag prefix from the window.
CheckResult checkRound(const JournalData& journal, const StoredDay& day, const std::map<uint32_t, int64_t>& resumes,
                       const std::vector<SimConnection>& connections, const RoundWindow& window);

// Only the checks that need neither the database nor the simulator's
// journal: connection events, listener exceptions and the module's own
// exceptions. For a failure report.
std::vector<std::string> checkEventsOnly(const JournalData& journal);

}  // namespace hvr::soak
