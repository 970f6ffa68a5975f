#include "Invariants.h"

#include <algorithm>
#include <set>

namespace hvr::soak {

namespace {

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

bool anyIn(const std::vector<Seq>& seqs, Seq after, Seq upTo) {
    return std::any_of(seqs.begin(), seqs.end(), [&](Seq s) { return s > after && s <= upTo; });
}

// --- pushes ---

void checkPushes(const JournalData& j, const StoredDay& day, const std::map<uint32_t, int64_t>& resumes,
                 CheckResult& result, Findings& findings) {
    std::map<PushKey, std::vector<uint64_t>> stored;
    for (const StoredPush& p : day.pushes) stored[p.key].push_back(p.pushId);
    std::map<PushKey, std::vector<const PushDelivery*>> delivered;
    for (const PushDelivery& d : j.pushes) delivered[d.key].push_back(&d);
    std::map<int, std::vector<const LoginAnswer*>> loginsByObject;
    for (const LoginAnswer& l : j.logins)
        if (l.succeeded) loginsByObject[l.object].push_back(&l);

    result.counts.storedPushes = day.pushes.size();
    result.counts.deliveries = j.pushes.size();

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

// --- the flow file ---

void checkFlow(const JournalData& j, const StoredDay& day, const std::map<uint32_t, int64_t>& resumes,
               const RoundWindow& w, Findings& findings) {
    const LoginAnswer* last = nullptr;
    for (const LoginAnswer& l : j.logins)
        if (l.succeeded && l.object == w.finalObject) last = &l;
    if (last == nullptr) {
        findings.add("flow file", "the final trader never logged in");
        return;
    }
    std::map<PushKey, uint64_t> idOf;
    for (const StoredPush& p : day.pushes) idOf[p.key] = std::max(idOf[p.key], p.pushId);
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
            findings.add("flow file",
                         "the final login (session " + std::to_string(last->session) + ") is not in the simulator log");
            return;
        }
        handled = resume->second;
        how = "the push id the final login resumed from (nothing was pushed after it)";
    }
    if (w.flowPushId != handled)
        findings.add("flow file", "holds push id " + std::to_string(w.flowPushId) + ", expected " +
                                      std::to_string(handled) + ": " + how);
    if (handled != static_cast<int64_t>(day.maxPushId()))
        findings.add("flow file", "the host's last push id " + std::to_string(handled) +
                                      " is not the simulator's last push id " + std::to_string(day.maxPushId()) +
                                      " after the quiesce");
}

// --- orders and their tags ---

void checkTags(const JournalData& j, const StoredDay& day, const RoundWindow& w, Findings& findings) {
    std::map<std::string, int> answers;
    for (const EntrustAnswer& e : j.entrusts)
        if (++answers[e.tag] == 2)
            findings.add("entrust answer repeated",
                         "tag " + e.tag + " was answered twice (again at seq " + std::to_string(e.seq) + ")");
    std::set<uint32_t> pushedOrders;
    for (const PushDelivery& d : j.pushes)
        if (d.key.mtype == PUSH_ORDER) pushedOrders.insert(d.key.id);
    std::map<std::string, int> stored;
    for (const StoredOrder& o : day.orders) {
        if (o.tag.rfind(w.tagPrefix, 0) != 0) continue;
        if (++stored[o.tag] == 2)
            findings.add("order stored twice", "tag " + o.tag + " is in the simulator's orders twice (again as order " +
                                                   std::to_string(o.orderId) + "): a request was sent again");
        if (pushedOrders.count(o.orderId) == 0)
            findings.add("order never pushed", "order " + std::to_string(o.orderId) + " (tag " + o.tag +
                                                   ") is stored and the host never got a push of it");
    }
}

// --- requests of the round ---

enum class Fate { Arrived, InDoubt, Refused, Lost };

struct RequestJudge {
    const JournalData& j;
    const RoundWindow& w;

    // The outage the request was placed in, if any.
    const Outage* outageOf(Seq placed) const {
        for (const Outage& o : j.outages)
            if (placed > o.killed && (o.back == 0 || placed < o.back)) return &o;
        return nullptr;
    }
    bool releasedAfter(Seq placed) const {
        return std::any_of(j.lifecycle.begin(), j.lifecycle.end(), [&](const LifecycleCall& c) {
            return c.what == LifecycleCall::Release && c.started > placed && c.started <= w.cutoff;
        });
    }
    // Our own side closing the socket (connect replaces it, disconnect and
    // release close it) resets the connection when answers lie unread, and the
    // server then drops requests it had not read yet.
    bool closedByHostAfter(Seq from) const {
        return std::any_of(j.lifecycle.begin(), j.lifecycle.end(), [&](const LifecycleCall& c) {
            return c.what != LifecycleCall::Init && c.started > from && c.started <= w.cutoff;
        });
    }
    Fate fateOfUnanswered(Seq placed) const {
        const Outage* outage = outageOf(placed);
        const Seq from = outage != nullptr ? (outage->back != 0 ? outage->back : w.cutoff) : placed;
        for (const ServerFault& f : j.faults)
            if (f.seq > from && f.seq <= w.cutoff) return Fate::InDoubt;
        if (closedByHostAfter(from)) return Fate::InDoubt;
        if (anyIn(j.sendErrorLines, placed, w.cutoff) && (outage == nullptr || releasedAfter(placed)))
            return Fate::Refused;
        return Fate::Lost;
    }
    std::string where(Seq placed) const {
        const Outage* outage = outageOf(placed);
        if (outage == nullptr) return "";
        return " while the simulator was down (killed at seq " + std::to_string(outage->killed) + ", back at seq " +
               std::to_string(outage->back) + ")";
    }
};

void checkRequests(const JournalData& j, const StoredDay& day, const RoundWindow& w, CheckResult& result,
                   Findings& findings) {
    std::set<std::string> storedTags;
    for (const StoredOrder& o : day.orders) storedTags.insert(o.tag);
    std::set<std::string> answeredTags;
    for (const EntrustAnswer& e : j.entrusts)
        if (e.seq <= w.cutoff) answeredTags.insert(e.tag);
    const RequestJudge judge{j, w};
    const bool sendErrors = anyIn(j.sendErrorLines, w.chaosStart, w.cutoff);

    std::map<RequestKind, std::size_t> placed, mustArrive, answered;
    for (const RequestRecord& r : j.requests) {
        if (r.seq < w.chaosStart || r.seq >= w.chaosEnd || r.kind == RequestKind::Cancel) continue;
        ++placed[r.kind];
        if (r.kind == RequestKind::Order) {
            ++result.counts.ordersPlaced;
            if (storedTags.count(r.tag) != 0 || answeredTags.count(r.tag) != 0) {
                ++result.counts.ordersArrived;
                continue;
            }
            switch (judge.fateOfUnanswered(r.seq)) {
                case Fate::InDoubt:
                    ++result.counts.ordersInDoubt;
                    break;
                case Fate::Refused:
                    ++result.counts.ordersRefused;
                    break;
                default:
                    ++result.counts.ordersLost;
                    findings.add("request lost", "order " + r.tag + " placed at seq " + std::to_string(r.seq) +
                                                     judge.where(r.seq) +
                                                     " never reached the simulator and no server fault came after it" +
                                                     (sendErrors ? " (the module logged a send error meanwhile)" : ""));
            }
            continue;
        }
        ++result.counts.queriesPlaced;
        switch (judge.fateOfUnanswered(r.seq)) {
            case Fate::InDoubt:
                ++result.counts.queriesInDoubt;
                break;
            case Fate::Refused:
                ++result.counts.queriesRefused;
                break;
            default:
                ++mustArrive[r.kind];
        }
    }
    for (const QueryAnswer& a : j.queryAnswers)
        if (a.seq > w.chaosStart && a.seq <= w.cutoff) ++answered[a.kind];
    for (const auto& [kind, count] : placed) {
        if (kind == RequestKind::Order) continue;
        result.counts.queriesAnswered += answered[kind];
        if (answered[kind] > count)
            findings.add("query answered twice", std::string(requestKindName(kind)) + ": " +
                                                     std::to_string(answered[kind]) + " answers to " +
                                                     std::to_string(count) + " queries");
        if (answered[kind] < mustArrive[kind])
            findings.add("request lost", std::string(requestKindName(kind)) + ": " + std::to_string(count) +
                                             " queries, " + std::to_string(mustArrive[kind]) +
                                             " of them with no server fault after them, but only " +
                                             std::to_string(answered[kind]) + " answers" +
                                             (sendErrors ? " (the module logged a send error meanwhile)" : ""));
    }
}

// --- connection events and errors ---

bool inProgressAt(const LifecycleCall& c, Seq at) {
    const Seq done = c.what == LifecycleCall::Disconnect && c.reported != 0 ? c.reported : c.ended;
    return c.started < at && (done == 0 || done > at);
}

void checkEvents(const JournalData& j, Findings& findings) {
    for (const TraderEventRecord& e : j.events) {
        if (e.onHostThread) continue;
        if (e.kind == 0 && e.code == 0 && !e.connectedAfter) {
            // A "connected" report for a connection a completed disconnect had
            // already closed; any close call still under way excuses it.
            const LifecycleCall* cause = nullptr;
            bool racing = false;
            for (const LifecycleCall& c : j.lifecycle) {
                if (c.object != e.object || c.what == LifecycleCall::Init) continue;
                if (inProgressAt(c, e.seq) || (c.started > e.seq && c.started < e.sampled)) racing = true;
                if (c.what == LifecycleCall::Disconnect && c.reported != 0 && c.reported < e.seq) cause = &c;
            }
            if (cause != nullptr && !racing)
                findings.add("connected after disconnect",
                             "trader #" + std::to_string(e.object) + " reported (0, 0) at seq " +
                                 std::to_string(e.seq) + " after disconnect had reported (1, 0) at seq " +
                                 std::to_string(cause->reported) + ", and isConnected() is false: no connection");
        }
        if (e.kind == 1 && e.code == 0) {
            const bool releasing = std::any_of(j.lifecycle.begin(), j.lifecycle.end(), [&](const LifecycleCall& c) {
                return c.object == e.object && c.what == LifecycleCall::Release && inProgressAt(c, e.seq);
            });
            // The simulator sends whole, well-formed packets: a framing
            // failure is a fault of its own.
            const bool framing = std::any_of(j.framingLines.begin(), j.framingLines.end(),
                                             [&](Seq s) { return s < e.seq && s + 3 >= e.seq; });
            if (framing)
                findings.add("framing failure", "trader #" + std::to_string(e.object) +
                                                    " refused the received bytes and closed the connection at seq " +
                                                    std::to_string(e.seq) +
                                                    " though the simulator sends whole packets");
            else if (!releasing)
                findings.add("close nobody asked for",
                             "trader #" + std::to_string(e.object) + " reported (1, 0) on its network thread at seq " +
                                 std::to_string(e.seq) +
                                 " with no release under way and no malformed data sent (a stale close step?)");
        }
    }
    if (j.loopErrorLines.size() != j.throwsOnNetworkThread.size())
        findings.add("listener exceptions", std::to_string(j.throwsOnNetworkThread.size()) +
                                                " callbacks threw on the network thread, the module logged " +
                                                std::to_string(j.loopErrorLines.size()) + " loop-error lines");
    for (const std::string& what : j.hostThreadExceptions) findings.add("module threw into the host", what);
}

}  // namespace

std::string PushKey::describe() const {
    if (mtype == PUSH_TRADE) return "trade " + std::to_string(id);
    if (mtype == PUSH_ORDER)
        return "order " + std::to_string(id) + " state " + std::to_string(state) + " traded " + std::to_string(traded) +
               " left " + std::to_string(left);
    return "mtype " + std::to_string(mtype);
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
        default:
            return "queryTrades";
    }
}

CheckResult checkRound(const JournalData& journal, const StoredDay& day, const std::map<uint32_t, int64_t>& resumes,
                       const RoundWindow& window) {
    CheckResult result;
    {
        Findings findings(result.violations);
        checkPushes(journal, day, resumes, result, findings);
        checkFlow(journal, day, resumes, window, findings);
        checkTags(journal, day, window, findings);
        checkRequests(journal, day, window, result, findings);
        checkEvents(journal, findings);
    }
    return result;
}

std::vector<std::string> checkEventsOnly(const JournalData& journal) {
    std::vector<std::string> violations;
    {
        Findings findings(violations);
        checkEvents(journal, findings);
    }
    return violations;
}

}  // namespace hvr::soak
