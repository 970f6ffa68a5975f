#include "Invariants.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <set>

#include "PromiseChecks.h"

namespace hvr::soak {

namespace {

constexpr Seq NEVER = std::numeric_limits<Seq>::max();
constexpr Nanos MS = 1'000'000;
// How long a write may sit on the client's side (Nagle's wait for an
// acknowledgement, a deferred loopback delivery) before the server's kernel
// holds it: a request written this long before the server's last receive
// that emptied its socket has been read.
constexpr Nanos WRITE_SLACK = 300 * MS;
// A connection that stays open this long after a request was handled on it
// delivers the answer (one-byte writes of a large answer to a receiver under
// ThreadSanitizer take a while), and after a callback threw the probe's.
constexpr Nanos ANSWER_TIME = 3000 * MS;
// What a receive cut off by a close of the host's own reports.
constexpr int OPERATION_ABORTED = 125;
// A simulator connection and the module's report of it are this close in time.
constexpr Nanos SAME_CONNECTION = 5000 * MS;

// Collects violations, at most a few lines per kind, then a count of the rest.
class Findings {
public:
    explicit Findings(std::vector<std::string>& out) : out(out) {}
    ~Findings() {
        for (const auto& [kind, n] : overflow) out.push_back(kind + ": " + std::to_string(n) + " more like the above");
    }
    void add(const std::string& kind, const std::string& detail) {
        if (++seen[kind] <= LINES_PER_KIND) {
            out.push_back(kind + ": " + detail);
        } else {
            ++overflow[kind];
        }
    }

private:
    static constexpr int LINES_PER_KIND = 5;
    std::vector<std::string>& out;
    std::map<std::string, int> seen;
    std::map<std::string, int> overflow;
};

std::string seqText(Seq s) { return s == NEVER ? std::string("never") : std::to_string(s); }
std::string secondsText(Nanos n) { return std::to_string(n / MS / 1000) + "." + std::to_string(n / MS / 100 % 10); }

// --- connections ---

struct HostConnection {
    int object = 0;
    Seq from = 0;  // its "connected" event
    Nanos fromAt = 0;
    uint16_t localPort = 0;
    Seq end = NEVER;  // the first end the journal shows
    Nanos endAt = std::numeric_limits<Nanos>::max();
    const SimConnection* sim = nullptr;
    bool faulty() const { return sim != nullptr && sim->fault != "none"; }
};

bool isHostClose(const LifecycleCall& c) { return c.what != LifecycleCall::Init; }

std::vector<HostConnection> hostConnections(const JournalData& j, const std::vector<SimConnection>& sim) {
    std::vector<HostConnection> all;
    std::map<int, std::size_t> open;  // object -> index of its open connection
    auto endOpen = [&](int object, Seq at, Nanos when) {
        auto o = open.find(object);
        if (o == open.end()) return;
        all[o->second].end = at;
        all[o->second].endAt = when;
        open.erase(o);
    };
    // Events and host closes, in seq order.
    std::vector<std::pair<Seq, int>> steps;  // seq, index (>= 0 event, < 0 lifecycle -1-i)
    for (std::size_t i = 0; i < j.events.size(); ++i) steps.push_back({j.events[i].seq, static_cast<int>(i)});
    for (std::size_t i = 0; i < j.lifecycle.size(); ++i)
        if (isHostClose(j.lifecycle[i])) steps.push_back({j.lifecycle[i].started, -1 - static_cast<int>(i)});
    std::sort(steps.begin(), steps.end());
    for (const auto& [seq, index] : steps) {
        if (index < 0) {
            const LifecycleCall& c = j.lifecycle[static_cast<std::size_t>(-1 - index)];
            endOpen(c.object, seq, c.startedAt);
            continue;
        }
        const TraderEventRecord& e = j.events[static_cast<std::size_t>(index)];
        if (e.onHostThread) continue;
        // An aborted receive follows a close of the host's own, which ended
        // the connection already; it may come after the next one's (0, 0).
        if (e.kind == 1 && e.code != OPERATION_ABORTED) endOpen(e.object, seq, e.at);
        if (e.kind == 0 && e.code == 0) {
            endOpen(e.object, seq, e.at);
            HostConnection h;
            h.object = e.object;
            h.from = seq;
            h.fromAt = e.at;
            h.localPort = e.localPort;
            open[e.object] = all.size();
            all.push_back(h);
        }
    }
    // The simulator's connection of each: same port, accepted closest in time.
    std::set<const SimConnection*> used;
    for (HostConnection& h : all) {
        if (h.localPort == 0) continue;
        const SimConnection* best = nullptr;
        for (const SimConnection& c : sim) {
            if (c.peerPort != h.localPort || used.count(&c) != 0) continue;
            const Nanos gap = c.accepted > h.fromAt ? c.accepted - h.fromAt : h.fromAt - c.accepted;
            if (gap > SAME_CONNECTION) continue;
            if (best == nullptr || gap < (best->accepted > h.fromAt ? best->accepted - h.fromAt
                                                                    : h.fromAt - best->accepted))
                best = &c;
        }
        if (best != nullptr) {
            h.sim = best;
            used.insert(best);
        }
    }
    return all;
}

// When the simulator's side of a connection ended: its own close, or the
// first kill after it accepted; never when neither is known.
Nanos simEnd(const SimConnection& c, const JournalData& j) {
    if (c.closed != 0) return c.closed;
    Nanos end = std::numeric_limits<Nanos>::max();
    for (const ServerFault& f : j.faults)
        if (f.what.rfind("kill", 0) == 0 && f.at > c.accepted) end = std::min(end, f.at);
    return end;
}

// object -> the seqs of its listener calls on the network thread, in order.
std::map<int, std::vector<Seq>> networkCallbacks(const JournalData& j) {
    std::map<int, std::vector<Seq>> delivered;
    for (const TraderEventRecord& e : j.events)
        if (!e.onHostThread) delivered[e.object].push_back(e.seq);
    for (const LoginAnswer& l : j.logins) delivered[l.object].push_back(l.seq);
    for (const EntrustAnswer& e : j.entrusts) delivered[e.object].push_back(e.seq);
    for (const QueryAnswer& a : j.queryAnswers) delivered[a.object].push_back(a.seq);
    for (const PushDelivery& p : j.pushes) delivered[p.object].push_back(p.seq);
    for (const OtherCallback& c : j.otherCallbacks) delivered[c.object].push_back(c.seq);
    for (auto& [object, seqs] : delivered) std::sort(seqs.begin(), seqs.end());
    return delivered;
}

// --- pushes ---

// The journal as one user's account sees it: its pushes and logins (login
// calls and answers) only.
JournalData userView(const JournalData& j, int user) {
    JournalData v = j;
    auto other = [user](const auto& r) { return r.user != user; };
    v.pushes.erase(std::remove_if(v.pushes.begin(), v.pushes.end(), other), v.pushes.end());
    v.logins.erase(std::remove_if(v.logins.begin(), v.logins.end(), other), v.logins.end());
    v.requests.erase(std::remove_if(v.requests.begin(), v.requests.end(),
                                    [user](const RequestRecord& r) {
                                        return r.kind == RequestKind::Login && r.user != user;
                                    }),
                     v.requests.end());
    return v;
}

void checkPushes(const JournalData& j, const StoredDay& day, const std::map<uint32_t, int64_t>& resumes,
                 CheckResult& result, Findings& findings) {
    std::map<PushKey, std::vector<uint64_t>> stored;
    for (const StoredPush& p : day.pushes) stored[p.key].push_back(p.pushId);
    std::map<PushKey, std::vector<const PushDelivery*>> delivered;
    for (const PushDelivery& d : j.pushes) delivered[d.key].push_back(&d);
    std::map<int, std::vector<const LoginAnswer*>> loginsByObject;
    for (const LoginAnswer& l : j.logins)
        if (l.succeeded) loginsByObject[l.object].push_back(&l);

    result.counts.storedPushes += day.pushes.size();
    result.counts.deliveries += j.pushes.size();

    for (const auto& [key, ids] : stored) {
        if (delivered.count(key) == 0) {
            ++result.counts.lost;
            findings.add("push lost", "push " + std::to_string(ids.front()) + " (" + key.describe() +
                                          ") is stored by the simulator and never reached the host");
        }
    }
    for (const auto& [key, copies] : delivered) {
        auto known = stored.find(key);
        if (known == stored.end()) {
            findings.add("push unknown", "the host got " + key.describe() + " (at seq " +
                                             std::to_string(copies.front()->seq) +
                                             "), which the simulator never stored");
            continue;
        }
        const std::size_t first = known->second.size();
        const uint64_t pushId = known->second.back();
        for (std::size_t i = first; i < copies.size(); ++i) {
            const PushDelivery& again = *copies[i];
            const Seq before = copies[i - first]->seq;
            bool asked = false;
            for (const LoginAnswer* l : loginsByObject[again.object]) {
                if (l->seq <= before || l->seq >= again.seq) continue;
                auto resume = resumes.find(l->session);
                if (resume != resumes.end() && resume->second >= 0 && static_cast<uint64_t>(resume->second) < pushId) {
                    asked = true;
                    break;
                }
            }
            if (asked) {
                ++result.counts.replayed;
            } else {
                ++result.counts.duplicated;
                findings.add("push duplicated", "push " + std::to_string(pushId) + " (" + key.describe() +
                                                    ") delivered again at seq " + std::to_string(again.seq) +
                                                    " by trader #" + std::to_string(again.object) + " (before at seq " +
                                                    std::to_string(before) +
                                                    ") with no login in between that resumed from below it");
            }
        }
    }
}

// --- the flow file, and the push id each login resumed from ---

std::map<PushKey, uint64_t> pushIds(const StoredDay& day) {
    std::map<PushKey, uint64_t> idOf;
    for (const StoredPush& p : day.pushes) idOf[p.key] = std::max(idOf[p.key], p.pushId);
    return idOf;
}

// required: the user must have logged in on the final object (the main
// user); otherwise the file is checked only when it did so in the round.
void checkFlow(const JournalData& j, const StoredDay& day, const std::map<uint32_t, int64_t>& resumes,
               const RoundWindow& w, int64_t flowPushId, const std::string& whose, bool required,
               Findings& findings) {
    const LoginAnswer* last = nullptr;
    for (const LoginAnswer& l : j.logins)
        if (l.succeeded && l.object == w.finalObject) last = &l;
    if (last == nullptr || (!required && last->seq < w.start)) {
        if (required) findings.add("flow file", whose + "the final trader never logged in");
        return;
    }
    const std::map<PushKey, uint64_t> idOf = pushIds(day);
    int64_t handled = -1;
    std::string how;
    for (const PushDelivery& d : j.pushes) {
        if (d.object != w.finalObject || d.seq < last->seq) continue;
        auto id = idOf.find(d.key);
        handled = id == idOf.end() ? -1 : static_cast<int64_t>(id->second);
        how = "the last push the host handled (" + d.key.describe() + ")";
    }
    if (handled < 0) {
        auto resume = resumes.find(last->session);
        if (resume == resumes.end()) {
            findings.add("flow file", whose + "the final login (session " + std::to_string(last->session) +
                                          ") is not in the simulator log");
            return;
        }
        handled = resume->second;
        how = "the push id the final login resumed from (nothing was pushed after it)";
    }
    if (flowPushId != handled)
        findings.add("flow file", whose + "holds push id " + std::to_string(flowPushId) + ", expected " +
                                      std::to_string(handled) + ": " + how);
    if (handled != static_cast<int64_t>(day.maxPushId()))
        findings.add("flow file", whose + "the host's last push id " + std::to_string(handled) +
                                      " is not the simulator's last push id " + std::to_string(day.maxPushId()) +
                                      " after the quiesce");
}

// The login key of the simulator's journal: "resource/pushid".
bool splitLoginKey(const std::string& key, std::string& resource, int64_t& pushId) {
    const std::size_t slash = key.rfind('/');
    if (slash == std::string::npos) return false;
    resource = key.substr(0, slash);
    pushId = std::strtoll(key.c_str() + slash + 1, nullptr, 10);
    return true;
}

// The flow record's push id changes only when a push has been handled: it is
// stored after the callback returned and before the next packet is handled
// (on the one network thread; objects follow each other). A login reads it
// once between the start and the end of its call, so it may send the id of
// each push whose store can fall before the call ended while the next store
// can fall after the call started; 0 stands for the record before any push.
// j: one user's pushes and logins (userView); all: the whole journal.
void checkResumes(const JournalData& all, const JournalData& j, const StoredDay& day,
                  const std::vector<SimConnection>& sim, const RoundWindow& w, CheckResult& result,
                  Findings& findings) {
    const std::map<PushKey, uint64_t> idOf = pushIds(day);
    std::map<std::string, int64_t> sent;  // resource -> push id the simulator saw
    for (const SimConnection& c : sim)
        for (const SimRequest& r : c.requests) {
            std::string resource;
            int64_t pushId = 0;
            if (r.code == 1 && splitLoginKey(r.key, resource, pushId)) sent[resource] = pushId;
        }
    // The store of a push's id happens after its callback returned and
    // before the network thread delivers anything else.
    std::map<int, std::vector<Seq>> delivered = networkCallbacks(all);
    struct Store {
        Seq after = 0;           // the store happens after this ...
        Seq before = NEVER;      // ... and before this
        int64_t id = 0;
    };
    std::vector<Store> stores = {{0, 0, 0}};  // the record before any push: 0
    for (const PushDelivery& p : j.pushes) {
        auto id = idOf.find(p.key);
        Store st;
        st.after = p.exited != 0 ? p.exited : p.seq;
        const std::vector<Seq>& seqs = delivered[p.object];
        auto next = std::upper_bound(seqs.begin(), seqs.end(), st.after);
        st.before = next == seqs.end() ? NEVER : *next;
        st.id = id == idOf.end() ? -2 : static_cast<int64_t>(id->second);
        stores.push_back(st);
    }
    // Each push callback saw, in the file, the id of the push its object
    // handled just before (a release between them closes the record).
    for (std::size_t i = 1; i < j.pushes.size(); ++i) {
        const PushDelivery& before = j.pushes[i - 1];
        const PushDelivery& now = j.pushes[i];
        if (now.seq < w.start || now.seq > w.end || now.object != before.object || now.flowAtStart < 0) continue;
        const bool released = std::any_of(j.lifecycle.begin(), j.lifecycle.end(), [&](const LifecycleCall& c) {
            return c.object == now.object && c.what == LifecycleCall::Release && c.started < now.seq &&
                   (c.ended == 0 || c.ended > before.seq);
        });
        auto id = idOf.find(before.key);
        if (released || id == idOf.end()) continue;
        ++result.counts.flowStoresChecked;
        if (now.flowAtStart != static_cast<int64_t>(id->second))
            findings.add("lagging flow record", "when push " + now.key.describe() + " reached trader #" +
                                                    std::to_string(now.object) + " (seq " + std::to_string(now.seq) +
                                                    "), the flow file held push id " +
                                                    std::to_string(now.flowAtStart) + ", not " +
                                                    std::to_string(id->second) + " of the push handled before it");
    }
    for (const RequestRecord& r : j.requests) {
        if (r.kind != RequestKind::Login || r.started < w.start || r.started > w.end || r.ended == 0) continue;
        auto found = sent.find(r.key);
        if (found == sent.end()) continue;  // never arrived: the request checks judge that
        ++result.counts.loginsChecked;
        std::set<int64_t> allowed;
        // Store i's id is what a read sees between store i and store i + 1.
        for (std::size_t i = 0; i < stores.size(); ++i) {
            const Seq nextStoreBy = i + 1 < stores.size() ? stores[i + 1].before : NEVER;
            if (stores[i].after < r.ended && nextStoreBy > r.started) allowed.insert(stores[i].id);
        }
        if (allowed.count(found->second) != 0) continue;
        std::string list;
        for (int64_t id : allowed) list += (list.empty() ? "" : ", ") + std::to_string(id);
        findings.add("wrong resume id", "login " + r.key + " (seq " + std::to_string(r.started) + " to " +
                                            std::to_string(r.ended) + ") asked to resume from push " +
                                            std::to_string(found->second) + ", but the flow record held " +
                                            (list.empty() ? std::string("nothing known") : list) +
                                            " while it was sent");
    }
}

// --- orders and their tags ---

void checkAnswerTags(const JournalData& j, Findings& findings) {
    std::map<std::string, int> answers;
    for (const EntrustAnswer& e : j.entrusts)
        if (++answers[e.tag] == 2)
            findings.add("entrust answer repeated",
                         "tag " + e.tag + " was answered twice (again at seq " + std::to_string(e.seq) + ")");
}

// j: one user's pushes (userView); day: its orders.
void checkTags(const JournalData& j, const StoredDay& day, const std::string& tagPrefix, Findings& findings) {
    std::set<std::pair<uint32_t, uint32_t>> pushedOrders;  // day, order id
    for (const PushDelivery& d : j.pushes)
        if (d.key.mtype == PUSH_ORDER) pushedOrders.insert({d.key.day, d.key.id});
    std::map<std::string, int> stored;
    for (const StoredOrder& o : day.orders) {
        if (o.tag.rfind(tagPrefix, 0) != 0) continue;
        if (++stored[o.tag] == 2)
            findings.add("order stored twice", "tag " + o.tag + " is in the simulator's orders twice (again as order " +
                                                   std::to_string(o.orderId) + "): a request was sent again");
        if (pushedOrders.count({o.day, o.orderId}) == 0)
            findings.add("order never pushed", "order " + std::to_string(o.orderId) + " (tag " + o.tag +
                                                   ") is stored and the host never got a push of it");
    }
}

// --- requests ---

bool identified(RequestKind kind) { return kind == RequestKind::Order || kind == RequestKind::Login; }

// A stretch of one object's life between two releases: a release drops what
// is queued, so nothing crosses from one stretch to the next.
struct Stretch {
    int object = 0;
    Seq from = 0, to = NEVER;
};

std::vector<Stretch> stretches(const JournalData& j, const RoundWindow& w) {
    std::map<int, Seq> begun;
    std::vector<Stretch> out;
    for (const LifecycleCall& c : j.lifecycle) {
        if (c.what != LifecycleCall::Release || c.ended == 0 || c.ended < w.start) continue;
        const Seq from = begun.count(c.object) ? begun[c.object] : w.start - 1;
        out.push_back({c.object, from, c.ended});
        begun[c.object] = c.ended;
    }
    std::set<int> objects;
    for (const RequestRecord& r : j.requests)
        if (r.started >= w.start && r.started <= w.end) objects.insert(r.object);
    for (int object : objects)
        out.push_back({object, begun.count(object) ? begun[object] : w.start - 1, NEVER});
    return out;
}

struct RequestJudge {
    const std::vector<HostConnection>& connections;
    // identified key -> where it arrived
    std::map<std::string, std::vector<std::pair<const SimConnection*, const SimRequest*>>> arrivals;
    // simulator connection -> the latest start of an identified request that arrived on it
    std::map<const SimConnection*, Seq> latestArrivedStart;

    // The connection a request went to: the one open when its call returned,
    // or else the next one of its object within the stretch; none when it
    // stayed queued until the stretch's release.
    const HostConnection* connectionOf(const RequestRecord& r, const Stretch& s) const {
        const HostConnection* next = nullptr;
        for (const HostConnection& h : connections) {
            if (h.object != r.object || h.from > s.to || h.end < s.from) continue;
            if (h.from <= r.ended && r.ended < h.end) return &h;
            if (h.from > r.ended && (next == nullptr || h.from < next->from)) next = &h;
        }
        return next;
    }

    // Whether the request may have been written to its connection and left
    // unread by the server when the connection failed; if not, why.
    bool mayBeInDoubt(const RequestRecord& r, const Stretch& s, std::string* why) const {
        const HostConnection* h = connectionOf(r, s);
        if (h == nullptr) {
            *why = "it was still queued when release dropped the queue";
            return false;
        }
        if (h->faulty()) {
            *why = "its connection " + h->sim->id + " had the fault " + h->sim->fault +
                   ", whose losses the module must count exactly";
            return false;
        }
        if (h->sim == nullptr) return true;  // the server's side is unknown
        auto latest = latestArrivedStart.find(h->sim);
        if (identified(r.kind) && latest != latestArrivedStart.end() && latest->second > r.ended) {
            *why = "a request made after it returned arrived on its connection " + h->sim->id;
            return false;
        }
        const Nanos writtenBy = std::max(r.endedAt, h->fromAt);
        if (h->sim->drainedFrom != 0 && writtenBy + WRITE_SLACK < h->sim->drainedFrom) {
            *why = "it left for connection " + h->sim->id + " " + secondsText(h->sim->drainedFrom - writtenBy) +
                   " s before a receive of the server that emptied the socket";
            return false;
        }
        return true;
    }
};

std::string describeRequest(const RequestRecord& r) {
    return std::string(requestKindName(r.kind)) + (r.key.empty() ? "" : " " + r.key) + " of trader #" +
           std::to_string(r.object) + " (seq " + std::to_string(r.started) + " to " + std::to_string(r.ended) + ")";
}

void checkRequests(const JournalData& j, const std::vector<SimConnection>& sim,
                   const std::vector<HostConnection>& connections, const RoundWindow& w, CheckResult& result,
                   Findings& findings) {
    RequestJudge judge{connections, {}, {}};
    for (const SimConnection& c : sim)
        for (const SimRequest& r : c.requests) {
            if (r.key.empty()) continue;
            std::string key = r.key, resource;
            int64_t pushId = 0;
            if (r.code == 1 && splitLoginKey(r.key, resource, pushId)) key = resource;
            if (r.code == 1 || r.code == 2) judge.arrivals[key].push_back({&c, &r});
        }
    for (const RequestRecord& r : j.requests) {
        if (!identified(r.kind)) continue;
        auto a = judge.arrivals.find(r.key);
        if (a == judge.arrivals.end()) continue;
        for (const auto& [connection, request] : a->second) {
            Seq& latest = judge.latestArrivedStart[connection];
            latest = std::max(latest, r.started);
        }
    }

    for (const Stretch& s : stretches(j, w)) {
        std::vector<const RequestRecord*> placed;
        for (const RequestRecord& r : j.requests)
            if (r.object == s.object && r.started >= w.start && r.started <= w.end && r.started > s.from &&
                r.started < s.to && r.ended != 0)
                placed.push_back(&r);
        if (placed.empty()) continue;

        std::size_t missing = 0, mustBeReported = 0, mayBeInDoubt = 0;
        std::vector<std::string> cannotBeInDoubt;
        std::map<uint16_t, std::size_t> anonymousPlaced, anonymousEligible, anonymousRefused;
        for (const RequestRecord* r : placed) {
            if (r->refused) {
                // Refused: nothing of it may reach the server.
                ++result.counts.requestsRefused;
                if (!identified(r->kind)) {
                    ++anonymousRefused[functionCodeOf(r->kind)];
                    anonymousPlaced[functionCodeOf(r->kind)];  // its arrivals are counted all the same
                } else if (auto a = judge.arrivals.find(r->key); a != judge.arrivals.end()) {
                    findings.add("refused request sent", describeRequest(*r) + " was refused by the module (-1), and "
                                                         "reached the simulator on connection " +
                                                         a->second.front().first->id);
                }
                continue;
            }
            ++result.counts.requestsPlaced;
            if (r->kind == RequestKind::Order) ++result.counts.ordersPlaced;
            if (!identified(r->kind)) {
                std::string why;
                ++anonymousPlaced[functionCodeOf(r->kind)];
                if (judge.mayBeInDoubt(*r, s, &why)) ++anonymousEligible[functionCodeOf(r->kind)];
                if (r->kind != RequestKind::Cancel) ++result.counts.queriesPlaced;
                continue;
            }
            auto a = judge.arrivals.find(r->key);
            const std::size_t copies = a == judge.arrivals.end() ? 0 : a->second.size();
            if (copies > 1)
                findings.add("request duplicated", describeRequest(*r) + " reached the simulator " +
                                                       std::to_string(copies) + " times (connections " +
                                                       a->second.front().first->id + " and " +
                                                       a->second.back().first->id + ")");
            if (copies > 0) {
                ++result.counts.requestsArrived;
                if (r->kind == RequestKind::Order) ++result.counts.ordersArrived;
                continue;
            }
            ++missing;
            std::string why;
            if (judge.mayBeInDoubt(*r, s, &why)) {
                ++mayBeInDoubt;
            } else {
                ++mustBeReported;
                cannotBeInDoubt.push_back(describeRequest(*r) + ": " + why);
            }
        }
        // Queries and cancels by count, on the connections of this stretch.
        std::map<uint16_t, std::size_t> anonymousArrived;
        for (const HostConnection& h : connections) {
            if (h.object != s.object || h.from <= s.from || h.from >= s.to || h.sim == nullptr) continue;
            for (const SimRequest& r : h.sim->requests)
                if (anonymousPlaced.count(r.code) != 0) ++anonymousArrived[r.code];
        }
        for (const auto& [code, count] : anonymousPlaced) {
            const std::size_t arrived = anonymousArrived[code];
            const std::size_t refused = anonymousRefused[code];
            if (arrived > count)
                findings.add(refused > 0 ? "refused request sent" : "request duplicated",
                             "function code " + std::to_string(code) + ": trader #" + std::to_string(s.object) +
                                 " made " + std::to_string(count) + " requests between seq " + std::to_string(s.from) +
                                 " and " + seqText(s.to) +
                                 (refused > 0 ? " (and " + std::to_string(refused) + " more the module refused)" : "") +
                                 ", and " + std::to_string(arrived) + " reached the simulator");
            const std::size_t arrivedOfThese = std::min(arrived, count);
            result.counts.requestsArrived += arrivedOfThese;
            if (code != 3) result.counts.queriesArrived += arrivedOfThese;
            const std::size_t unarrived = count - arrivedOfThese;
            missing += unarrived;
            mayBeInDoubt += std::min(unarrived, anonymousEligible[code]);
            if (unarrived > anonymousEligible[code]) mustBeReported += unarrived - anonymousEligible[code];
        }

        std::size_t reported = 0, mayHaveArrived = 0;
        for (const SendLine& l : j.sendLines) {
            if (l.object != s.object || l.seq <= s.from || l.seq > s.to || l.what == SendLine::PutBack) continue;
            reported += static_cast<std::size_t>(std::max(0, l.requests));
            if (l.what == SendLine::Dropped || l.what == SendLine::Unacknowledged)
                mayHaveArrived += static_cast<std::size_t>(std::max(0, l.sentWhole));
        }
        const std::string where = "trader #" + std::to_string(s.object) + " between seq " + std::to_string(s.from) +
                                  " and " + seqText(s.to);
        std::size_t refused = 0;
        for (const RequestRecord* r : placed) refused += r->refused;
        // A refused request counts as nothing: one the module queued all the
        // same shows here too, when a release drops it.
        if (reported > missing + mayHaveArrived)
            findings.add("reported lost but arrived",
                         where + ": the module reported " + std::to_string(reported) + " requests lost (" +
                             std::to_string(mayHaveArrived) + " of them sent whole), but only " +
                             std::to_string(missing) + " never reached the simulator" +
                             ": a dropped batch went out again?" +
                             (refused > 0 ? " Or were some of the " + std::to_string(refused) +
                                                " requests it refused queued all the same?"
                                          : ""));
        const std::size_t covered = std::min(missing, reported);
        const std::size_t inDoubt = std::min(mayBeInDoubt, missing - covered);
        const std::size_t unexplained =
            std::max(missing - covered - inDoubt, mustBeReported - std::min(mustBeReported, reported));
        result.counts.requestsReported += covered;
        result.counts.requestsInDoubt += inDoubt;
        result.counts.requestsUnexplained += unexplained;
        if (unexplained > 0) {
            std::string detail = where + ": " + std::to_string(missing) +
                                 " requests never reached the simulator; the module reported " +
                                 std::to_string(reported) + " lost, and at most " + std::to_string(mayBeInDoubt) +
                                 " can be in doubt (" + std::to_string(mustBeReported) + " cannot)";
            for (std::size_t i = 0; i < cannotBeInDoubt.size() && i < 3; ++i) detail += "; " + cannotBeInDoubt[i];
            findings.add("request lost", detail);
        }
    }
}

// --- answers ---

// Answers come back on a connection in the order the server handled the
// requests: once the answer to a request has reached the host, so have the
// answers to every request handled before it on that connection. Orders are
// the marks (their answers carry the tag); logins and queries are counted.
// Besides, whatever was handled while the connection stayed open a good
// while longer is answered.
void checkAnswers(const JournalData& j, const std::vector<HostConnection>& connections, const RoundWindow& w,
                  CheckResult& result, Findings& findings) {
    for (const HostConnection& h : connections) {
        if (h.sim == nullptr || h.from < w.start) continue;
        const Nanos hostEnd = h.end == NEVER ? w.endAt : h.endAt;
        const Nanos deadline = std::min(hostEnd, simEnd(*h.sim, j)) - ANSWER_TIME;
        const Seq until = h.end == NEVER ? NEVER : h.end;
        auto answered = [&](const std::string& tag) {
            return std::any_of(j.entrusts.begin(), j.entrusts.end(), [&](const EntrustAnswer& e) {
                return e.object == h.object && e.tag == tag && e.seq > h.from && e.seq <= until;
            });
        };
        const std::vector<SimRequest>& requests = h.sim->requests;
        std::size_t mark = 0;  // requests before this one were answered, by the order answered at mark - 1
        for (std::size_t i = 0; i < requests.size(); ++i)
            if (requests[i].handled && requests[i].code == 2 && answered(requests[i].key)) mark = i + 1;
        std::map<uint16_t, std::size_t> due, got;
        for (std::size_t i = 0; i < requests.size(); ++i) {
            const SimRequest& r = requests[i];
            if (!r.handled || (i >= mark && r.at > deadline)) continue;
            if (r.code == 2) {
                ++result.counts.answersChecked;
                if (!answered(r.key))
                    findings.add("answer dropped", "order " + r.key + " was handled on connection " + h.sim->id +
                                                       " of trader #" + std::to_string(h.object) +
                                                       (i < mark ? ", the answer to a later order came back,"
                                                                 : ", which stayed open a good while longer,") +
                                                       " and its answer never reached the host");
            } else if (r.code == 1 || (r.code >= 30 && r.code <= 35)) {
                ++due[r.code];
            }
        }
        for (const LoginAnswer& l : j.logins)
            if (l.object == h.object && l.seq > h.from && l.seq <= until) ++got[1];
        for (const QueryAnswer& a : j.queryAnswers)
            if (a.object == h.object && a.seq > h.from && a.seq <= until) ++got[functionCodeOf(a.kind)];
        for (const auto& [code, count] : due) {
            result.counts.answersChecked += count;
            if (got[code] < count)
                findings.add("answer dropped", std::to_string(count) + " requests of function code " +
                                                   std::to_string(code) + " handled on connection " + h.sim->id +
                                                   " of trader #" + std::to_string(h.object) +
                                                   " had to be answered (later answers came, or it stayed open), and only " +
                                                   std::to_string(got[code]) + " answers reached the host on it");
        }
    }
}

// --- connection events ---

bool inProgressAt(const LifecycleCall& c, Seq at) { return c.started < at && (c.ended == 0 || c.ended > at); }

void checkEvents(const JournalData& j, const std::vector<SimConnection>* sim,
                 const std::vector<HostConnection>* connections, Findings& findings) {
    // No "connected" after disconnect (or release) has finished, unless the
    // host connected again meanwhile.
    for (const LifecycleCall& d : j.lifecycle) {
        if (d.what != LifecycleCall::Disconnect && d.what != LifecycleCall::Release) continue;
        const Seq quietFrom = d.what == LifecycleCall::Disconnect ? d.reported : d.ended;
        if (quietFrom == 0) continue;
        for (const TraderEventRecord& e : j.events) {
            if (e.onHostThread || e.object != d.object || e.kind != 0 || e.code != 0 || e.seq <= quietFrom) continue;
            const bool connectedAgain = std::any_of(j.lifecycle.begin(), j.lifecycle.end(), [&](const LifecycleCall& c) {
                return c.object == d.object && c.what == LifecycleCall::Connect && c.started < e.seq &&
                       (c.ended == 0 || c.ended > d.started);
            });
            if (!connectedAgain)
                findings.add("connected after disconnect",
                             "trader #" + std::to_string(e.object) + " reported (0, 0) at seq " +
                                 std::to_string(e.seq) + " after " +
                                 (d.what == LifecycleCall::Disconnect ? "disconnect had reported (1, 0)"
                                                                      : "release had returned") +
                                 " at seq " + std::to_string(quietFrom) + ", with no connect since");
            break;
        }
    }

    // Each connection is reported connected once and ends once. A close of
    // the host's own ends the current connection at once; the (1, 125) of
    // its aborted receive (or its end of stream, when the server closed it
    // at the same moment) may follow, even after the next connection's
    // (0, 0), or not at all (when the receive had just completed). A
    // connection may be reported just after the connect that replaces it was
    // called, so a (0, 0) on an open connection replaces it the same way.
    struct State {
        bool open = false;
        int mayEnd = 0;  // replaced connections whose (1, 125) may still come
        Seq openedAt = 0;
        uint16_t port = 0;
    };
    std::map<int, State> states;
    std::vector<std::pair<Seq, int>> steps;
    for (std::size_t i = 0; i < j.events.size(); ++i)
        if (!j.events[i].onHostThread) steps.push_back({j.events[i].seq, static_cast<int>(i)});
    constexpr int RELEASE_END = -1000000;
    for (std::size_t i = 0; i < j.lifecycle.size(); ++i) {
        if (!isHostClose(j.lifecycle[i])) continue;
        steps.push_back({j.lifecycle[i].started, -1 - static_cast<int>(i)});
        if (j.lifecycle[i].what == LifecycleCall::Release && j.lifecycle[i].ended != 0)
            steps.push_back({j.lifecycle[i].ended, RELEASE_END - static_cast<int>(i)});
    }
    std::sort(steps.begin(), steps.end());
    for (const auto& [seq, index] : steps) {
        if (index <= RELEASE_END) {
            states[j.lifecycle[static_cast<std::size_t>(RELEASE_END - index)].object] = State();  // release ends all
            continue;
        }
        if (index < 0) {
            State& st = states[j.lifecycle[static_cast<std::size_t>(-1 - index)].object];
            if (st.open) ++st.mayEnd;
            st.open = false;
            continue;
        }
        const TraderEventRecord& e = j.events[static_cast<std::size_t>(index)];
        State& st = states[e.object];
        const std::string who = "trader #" + std::to_string(e.object);
        if (e.kind == 0 && e.code == 0) {
            if (st.open && e.localPort != 0 && e.localPort == st.port)
                findings.add("connection events out of order",
                             who + " reported (0, 0) at seq " + std::to_string(seq) +
                                 " for the connection (port " + std::to_string(e.localPort) +
                                 ") it had reported at seq " + std::to_string(st.openedAt) + " already");
            if (st.open) ++st.mayEnd;
            st.open = true;
            st.openedAt = seq;
            st.port = e.localPort;
        } else if (e.kind == 1) {
            const bool releasing = std::any_of(j.lifecycle.begin(), j.lifecycle.end(), [&](const LifecycleCall& c) {
                return c.object == e.object && c.what == LifecycleCall::Release && inProgressAt(c, e.seq);
            });
            // A replaced connection's end is mostly its aborted receive, but
            // the server may have ended it first (end of stream, reset).
            if (e.code == OPERATION_ABORTED && st.mayEnd > 0) {
                --st.mayEnd;
            } else if (st.open) {
                st.open = false;
            } else if (st.mayEnd > 0) {
                --st.mayEnd;
            } else if (!releasing) {
                findings.add("connection events out of order",
                             who + " reported (1, " + std::to_string(e.code) + ") at seq " + std::to_string(seq) +
                                 " for no open connection (its (0, 0) never came, or the end came twice)");
            }
        }
    }

    // The module logs "connected" on its network thread right after it
    // reported (0, 0): each such line follows a (0, 0) of its own.
    {
        std::vector<std::pair<Seq, bool>> marks;  // seq, true for a line
        std::map<int, std::vector<std::pair<Seq, bool>>> byObject;
        for (const TraderEventRecord& e : j.events)
            if (!e.onHostThread && e.kind == 0 && e.code == 0) byObject[e.object].push_back({e.seq, false});
        for (const LogLineSeen& l : j.connectedLines) byObject[l.object].push_back({l.seq, true});
        for (auto& [object, steps] : byObject) {
            std::sort(steps.begin(), steps.end());
            bool reported = false;
            for (const auto& [seq, line] : steps) {
                if (!line) {
                    reported = true;
                } else if (!reported) {
                    findings.add("connected event missing", "trader #" + std::to_string(object) +
                                                                " logged \"connected\" at seq " + std::to_string(seq) +
                                                                " without reporting (0, 0) before it");
                } else {
                    reported = false;
                }
            }
        }
    }

    // No more attempt results than attempts: each start line, or a connect
    // call whose attempt was replaced before it started.
    std::map<int, std::size_t> starts, connects, results;
    for (const LogLineSeen& l : j.startLines) ++starts[l.object];
    for (const LifecycleCall& c : j.lifecycle)
        if (c.what == LifecycleCall::Connect) ++connects[c.object];
    for (const TraderEventRecord& e : j.events)
        if (!e.onHostThread && e.kind == 0) ++results[e.object];
    for (const auto& [object, n] : results)
        if (n > starts[object] + connects[object])
            findings.add("extra connection event", "trader #" + std::to_string(object) + " reported " +
                                                       std::to_string(n) + " attempt results (0, code) for " +
                                                       std::to_string(starts[object]) + " attempts started and " +
                                                       std::to_string(connects[object]) + " connect calls");

    // And no fewer: an attempt the module started and retried on its own
    // (a start line, then the next, with no host call of that object from
    // the start line before the first to the second) ended in exactly one
    // (0, code) between the two. A host call may abort an attempt, whose
    // result then comes late or, once a newer one was reported, not at all.
    {
        std::map<int, std::vector<Seq>> startsOf;
        for (const LogLineSeen& l : j.startLines) startsOf[l.object].push_back(l.seq);
        std::map<int, std::vector<Seq>> resultsOf;
        for (const TraderEventRecord& e : j.events)
            if (!e.onHostThread && e.kind == 0) resultsOf[e.object].push_back(e.seq);
        for (auto& entry : startsOf) {
            const int object = entry.first;
            std::vector<Seq>& seqs = entry.second;
            std::sort(seqs.begin(), seqs.end());
            std::vector<Seq>& results = resultsOf[object];
            std::sort(results.begin(), results.end());
            for (std::size_t i = 1; i + 1 < seqs.size(); ++i) {
                const Seq from = seqs[i - 1], first = seqs[i], next = seqs[i + 1];
                const bool hostCall = std::any_of(j.lifecycle.begin(), j.lifecycle.end(), [&](const LifecycleCall& c) {
                    return c.object == object && c.started < next && (c.ended == 0 || c.ended > from);
                });
                if (hostCall) continue;
                const auto n = std::upper_bound(results.begin(), results.end(), next) -
                               std::upper_bound(results.begin(), results.end(), first);
                if (n != 1)
                    findings.add(n == 0 ? "attempt result missing" : "extra connection event",
                                 "trader #" + std::to_string(object) + " started an attempt at seq " +
                                     std::to_string(first) + " and the next at seq " + std::to_string(next) +
                                     " on its own, and reported " + std::to_string(n) + " attempt results (0, code) between");
            }
        }
    }

    // Requests reach the server only on a connection the host was told of.
    if (sim != nullptr && connections != nullptr) {
        std::set<const SimConnection*> known;
        for (const HostConnection& h : *connections)
            if (h.sim != nullptr) known.insert(h.sim);
        for (const SimConnection& c : *sim) {
            if (c.requests.empty() || known.count(&c) != 0) continue;
            const bool unnamed = std::any_of(j.events.begin(), j.events.end(), [&](const TraderEventRecord& e) {
                return !e.onHostThread && e.kind == 0 && e.code == 0 && e.localPort == 0 &&
                       (e.at > c.accepted ? e.at - c.accepted : c.accepted - e.at) < SAME_CONNECTION;
            });
            const bool beforeRun = std::none_of(j.events.begin(), j.events.end(),
                                                [&](const TraderEventRecord& e) { return e.at < c.accepted; });
            if (!unnamed && !beforeRun)
                findings.add("connected event missing",
                             std::to_string(c.requests.size()) + " requests arrived on connection " + c.id +
                                 " from port " + std::to_string(c.peerPort) +
                                 ", and the module never reported that connection with (0, 0)");
        }
    }

    // The simulator sends whole, well-formed packets; a (1, 0) on the network
    // thread outside a release is a close of the module's own.
    for (const TraderEventRecord& e : j.events) {
        if (e.onHostThread || e.kind != 1 || e.code != 0) continue;
        const bool releasing = std::any_of(j.lifecycle.begin(), j.lifecycle.end(), [&](const LifecycleCall& c) {
            return c.object == e.object && c.what == LifecycleCall::Release && inProgressAt(c, e.seq);
        });
        const bool framing = std::any_of(j.framingLines.begin(), j.framingLines.end(),
                                         [&](Seq s) { return s < e.seq && s + 3 >= e.seq; });
        if (framing)
            findings.add("framing failure", "trader #" + std::to_string(e.object) +
                                                " refused the received bytes and closed the connection at seq " +
                                                std::to_string(e.seq) + " though the simulator sends whole packets");
        else if (!releasing)
            findings.add("close nobody asked for",
                         "trader #" + std::to_string(e.object) + " reported (1, 0) on its network thread at seq " +
                             std::to_string(e.seq) + " with no release under way and no malformed data sent");
    }
    if (j.loopErrorLines.size() != j.throwsOnNetworkThread.size())
        findings.add("listener exceptions", std::to_string(j.throwsOnNetworkThread.size()) +
                                                " callbacks threw on the network thread, the module logged " +
                                                std::to_string(j.loopErrorLines.size()) + " loop-error lines");
    for (const std::string& what : j.hostThreadExceptions) findings.add("module threw into the host", what);
}

// --- liveness after a throw ---

void checkLiveness(const JournalData& j, const std::vector<HostConnection>& connections, const RoundWindow& w,
                   CheckResult& result, Findings& findings) {
    std::map<int, std::vector<Seq>> delivered = networkCallbacks(j);

    for (const LogLineSeen& t : j.throwsOnNetworkThread) {
        if (t.seq < w.start || t.seq > w.end) continue;
        const HostConnection* h = nullptr;
        for (const HostConnection& c : connections)
            if (c.object == t.object && c.from <= t.seq && t.seq < c.end) h = &c;
        if (h == nullptr) continue;  // no connection was open: nothing more to deliver
        ++result.counts.throwsChecked;
        const std::vector<Seq>& seqs = delivered[t.object];
        auto next = std::upper_bound(seqs.begin(), seqs.end(), t.seq);
        if (next != seqs.end() && *next <= h->end) continue;
        const Nanos endAt = h->end == NEVER ? w.endAt : h->endAt;
        if (endAt - t.at < ANSWER_TIME) continue;  // it ended soon after
        findings.add("deaf after a throw", "a callback of trader #" + std::to_string(t.object) + " threw at seq " +
                                               std::to_string(t.seq) + "; its connection (reported at seq " +
                                               std::to_string(h->from) + ") stayed open " +
                                               secondsText(endAt - t.at) +
                                               " s more and delivered nothing, not even the probe's answer");
    }
}

// --- the send-error lines ---

void countSendLines(const JournalData& j, const RoundWindow& w, CheckCounts& counts) {
    for (const SendLine& l : j.sendLines) {
        if (l.seq < w.start || l.seq > w.end) continue;
        if (l.what == SendLine::Released) ++counts.releasedLines;
        if (l.what == SendLine::PutBack) ++counts.putBackLines;
        if (l.what == SendLine::Dropped) ++counts.dropLines;
        if (l.what == SendLine::Unacknowledged) ++counts.unacknowledgedLines;
    }
}

}  // namespace

std::string PushKey::describe() const {
    const std::string ofDay = day == 0 ? "" : " of day " + std::to_string(day + 1);
    if (mtype == PUSH_TRADE) return "trade " + std::to_string(id) + ofDay;
    if (mtype == PUSH_ORDER)
        return "order " + std::to_string(id) + " state " + std::to_string(state) + " traded " + std::to_string(traded) +
               " left " + std::to_string(left) + ofDay;
    return "mtype " + std::to_string(mtype) + ofDay;
}

const char* requestKindName(RequestKind kind) {
    switch (kind) {
        case RequestKind::Order:
            return "orderInsert";
        case RequestKind::Cancel:
            return "orderCancel";
        case RequestKind::QueryAccount:
            return "queryAccount";
        case RequestKind::QueryPositions:
            return "queryPositions";
        case RequestKind::QueryOrders:
            return "queryOrders";
        case RequestKind::QueryTrades:
            return "queryTrades";
        default:
            return "login";
    }
}

uint16_t functionCodeOf(RequestKind kind) {
    switch (kind) {
        case RequestKind::Order:
            return 2;
        case RequestKind::Cancel:
            return 3;
        case RequestKind::QueryAccount:
            return 35;
        case RequestKind::QueryPositions:
            return 33;
        case RequestKind::QueryOrders:
            return 30;
        case RequestKind::QueryTrades:
            return 31;
        default:
            return 1;
    }
}

CheckResult checkRound(const JournalData& journal, const std::vector<UserDay>& users,
                       const std::vector<SimConnection>& sim, const RoundWindow& window) {
    CheckResult result;
    const std::vector<HostConnection> connections = hostConnections(journal, sim);
    {
        Findings findings(result.violations);
        const Report report = [&](const std::string& kind, const std::string& detail) { findings.add(kind, detail); };
        // The simulator's own promises first: a push or an order it lost
        // shows in the host's checks below as well, as their consequence.
        for (const UserDay& u : users) {
            result.counts.dayChangesChecked += checkPushIdsGoOn(u.day, u.name, report);
            result.counts.acceptedOrdersChecked += checkAcceptedOrdersStored(journal, u.day, u.tagPrefix, report);
        }
        result.counts.entrustIdsChecked = checkEntrustIds(journal, report);
        result.counts.silenceCutsFollowed = checkSilenceCuts(journal, window.start, window.end, report);
        for (const UserDay& u : users) {
            const JournalData mine = userView(journal, u.user);
            const std::string whose = u.user == 0 ? std::string() : "user " + u.name + ": ";
            checkPushes(mine, u.day, u.resumes, result, findings);
            checkFlow(mine, u.day, u.resumes, window, u.flowPushId, whose, u.user == 0, findings);
            checkResumes(journal, mine, u.day, sim, window, result, findings);
            checkTags(mine, u.day, u.tagPrefix, findings);
        }
        checkAnswerTags(journal, findings);
        checkRequests(journal, sim, connections, window, result, findings);
        checkAnswers(journal, connections, window, result, findings);
        checkEvents(journal, &sim, &connections, findings);
        checkLiveness(journal, connections, window, result, findings);
    }
    countSendLines(journal, window, result.counts);
    return result;
}

CheckResult checkRound(const JournalData& journal, const StoredDay& day, const std::map<uint32_t, int64_t>& resumes,
                       const std::vector<SimConnection>& sim, const RoundWindow& window) {
    UserDay user;
    user.name = "soak";
    user.day = day;
    user.resumes = resumes;
    user.flowPushId = window.flowPushId;
    user.tagPrefix = window.tagPrefix;
    return checkRound(journal, {user}, sim, window);
}

std::vector<std::string> checkEventsOnly(const JournalData& journal) {
    std::vector<std::string> violations;
    {
        Findings findings(violations);
        checkEvents(journal, nullptr, nullptr, findings);
    }
    return violations;
}

}  // namespace hvr::soak
