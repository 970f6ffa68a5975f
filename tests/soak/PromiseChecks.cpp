#include "PromiseChecks.h"

#include <algorithm>
#include <limits>
#include <map>
#include <set>

namespace hvr::soak {

namespace {

constexpr int TIMED_OUT = 110;  // ETIMEDOUT, what a silence cut reports
constexpr Seq NEVER = std::numeric_limits<Seq>::max();

bool madeBeforeAnyLogin(const std::string& id) { return id.rfind("0.", 0) == 0; }

}  // namespace

std::size_t checkEntrustIds(const JournalData& j, const Report& report) {
    // id (and for one made before a login, its object) -> where it was first handed out
    std::map<std::pair<std::string, int>, const EntrustIdRecord*> first;
    for (const EntrustIdRecord& r : j.entrustIds) {
        const auto key = std::make_pair(r.id, madeBeforeAnyLogin(r.id) ? r.object : 0);
        auto [at, fresh] = first.emplace(key, &r);
        if (!fresh)
            report("entrust id repeated", "makeEntrustId handed out " + r.id + " to trader #" +
                                              std::to_string(r.object) + " at seq " + std::to_string(r.seq) +
                                              ", and before to trader #" + std::to_string(at->second->object) +
                                              " at seq " + std::to_string(at->second->seq));
    }
    return j.entrustIds.size();
}

std::size_t checkSilenceCuts(const JournalData& j, Seq from, Seq to, const Report& report) {
    std::size_t followed = 0;
    for (const TraderEventRecord& e : j.events) {
        if (e.onHostThread || e.kind != 1 || e.code != TIMED_OUT || e.seq < from || e.seq > to) continue;
        // The host takes over with a close, connect or release of its own,
        // under way at the cut or made after it, before the module's retry.
        Seq hostFrom = NEVER;
        for (const LifecycleCall& c : j.lifecycle)
            if (c.object == e.object && c.what != LifecycleCall::Init && (c.ended == 0 || c.ended > e.seq))
                hostFrom = std::min(hostFrom, std::max(c.started, e.seq));
        const bool attempted = std::any_of(j.startLines.begin(), j.startLines.end(), [&](const LogLineSeen& l) {
            return l.object == e.object && l.seq > e.seq && l.seq < hostFrom;
        });
        if (attempted) {
            ++followed;
        } else if (hostFrom == NEVER) {
            report("no reconnect after a silence cut",
                   "trader #" + std::to_string(e.object) + " ended its connection with (1, 110) at seq " +
                       std::to_string(e.seq) + " and never tried to connect again, with no host call since");
        }
    }
    return followed;
}

std::size_t checkAcceptedOrdersStored(const JournalData& j, const StoredDay& day, const std::string& tagPrefix,
                                      const Report& report) {
    std::set<std::string> stored;
    for (const StoredOrder& o : day.orders) stored.insert(o.tag);
    std::size_t checked = 0;
    for (const EntrustAnswer& e : j.entrusts) {
        if (e.refused || e.tag.rfind(tagPrefix, 0) != 0) continue;
        ++checked;
        if (stored.count(e.tag) == 0)
            report("accepted order not stored", "order " + e.tag + " was answered as accepted (seq " +
                                                    std::to_string(e.seq) + ", trader #" + std::to_string(e.object) +
                                                    ") and is not in the simulator's store");
    }
    return checked;
}

std::size_t checkPushIdsGoOn(const StoredDay& day, const std::string& user, const Report& report) {
    std::map<uint32_t, std::pair<uint64_t, uint64_t>> span;  // day -> lowest, highest push id
    for (const StoredPush& p : day.pushes) {
        auto [at, fresh] = span.emplace(p.key.day, std::make_pair(p.pushId, p.pushId));
        if (!fresh) {
            at->second.first = std::min(at->second.first, p.pushId);
            at->second.second = std::max(at->second.second, p.pushId);
        }
    }
    std::size_t compared = 0;
    uint64_t highest = 0;
    uint32_t highestDay = 0;
    for (const auto& [d, ids] : span) {
        if (highest != 0) {
            ++compared;
            if (ids.first <= highest)
                report("push ids went back", "user " + user + ": day " + std::to_string(d + 1) +
                                                 " numbers its pushes from " + std::to_string(ids.first) +
                                                 ", not above day " + std::to_string(highestDay + 1) + "'s push " +
                                                 std::to_string(highest));
        }
        if (ids.second > highest) {
            highest = ids.second;
            highestDay = d;
        }
    }
    return compared;
}

}  // namespace hvr::soak
