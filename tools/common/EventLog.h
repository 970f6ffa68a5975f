// The events of one session as its readers see them: one stream that hands
// each event out once (a host's event iterator), and any number of waiters,
// each looking for the events that match it, that see every event, whatever
// the others do.
//
// What a waiter sees: every event that nobody had taken when the waiter
// started (read by the stream, or matched by a waiter), and every event
// appended after that, until the waiter ends. Reading past an event takes
// nothing: the event stays for the stream and for every other waiter. An
// event a waiter matches (take) is taken: the stream skips it and waiters that
// start later do not see it; waiters already looking still do, so two waiters
// for the same event both get it.
//
// Memory: an event stays until it is taken and no waiter still has to look
// at it, so a host that never reads the stream keeps every event it did not
// match (as an unbounded queue would).
//
// Pure data and rules, no lock and no waiting: the owner guards it with its
// own lock and wakes its readers when something is appended. Event is any
// copyable type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <utility>

namespace hvr::tools {

template <typename Event>
class EventLog {
public:
    using Seq = uint64_t;
    using WaiterId = uint64_t;

    // Appends an event; returns its sequence number (1, 2, ...).
    Seq append(Event event) {
        entries.push_back(Entry{nextSeq, std::move(event), 0});
        return nextSeq++;
    }

    // The stream: the oldest event nobody has taken, now taken; none when
    // every event has been taken.
    std::optional<Event> takeNext() {
        for (Entry& entry : entries) {
            if (entry.takenAt != 0) continue;
            entry.takenAt = ++clock;
            Event event = entry.event;
            trim();
            return event;
        }
        return std::nullopt;
    }

    // A new waiter; it sees what the class comment says.
    WaiterId startWaiter() {
        const WaiterId id = ++lastWaiter;
        waiters[id] = Waiter{entries.empty() ? nextSeq : entries.front().seq, ++clock};
        return id;
    }

    // The next event this waiter has not looked at and may see, with its
    // sequence number; none when there is none yet. The waiter moves past it.
    std::optional<std::pair<Seq, Event>> next(WaiterId id) {
        auto found = waiters.find(id);
        if (found == waiters.end()) return std::nullopt;
        Waiter& waiter = found->second;
        for (std::size_t i = indexOf(waiter.cursor); i < entries.size(); ++i) {
            Entry& entry = entries[i];
            waiter.cursor = entry.seq + 1;
            if (entry.takenAt != 0 && entry.takenAt < waiter.since) continue;  // taken before it started
            return std::make_pair(entry.seq, entry.event);
        }
        return std::nullopt;
    }

    // True when next(id) would return an event.
    bool hasNext(WaiterId id) const {
        auto found = waiters.find(id);
        if (found == waiters.end()) return false;
        for (std::size_t i = indexOf(found->second.cursor); i < entries.size(); ++i) {
            if (entries[i].takenAt == 0 || entries[i].takenAt > found->second.since) return true;
        }
        return false;
    }

    // A waiter matched event seq: it is taken (if nobody took it before).
    void take(Seq seq) {
        const std::size_t i = indexOf(seq);
        if (i < entries.size() && entries[i].seq == seq && entries[i].takenAt == 0) entries[i].takenAt = ++clock;
        trim();
    }

    void endWaiter(WaiterId id) {
        waiters.erase(id);
        trim();
    }

    // Events not taken yet.
    std::size_t untaken() const {
        std::size_t count = 0;
        for (const Entry& entry : entries) count += entry.takenAt == 0 ? 1 : 0;
        return count;
    }
    // Events held, taken or not (for tests of the memory rule).
    std::size_t held() const { return entries.size(); }
    bool hasUntaken() const {
        for (const Entry& entry : entries) {
            if (entry.takenAt == 0) return true;
        }
        return false;
    }

private:
    struct Entry {
        Seq seq;
        Event event;
        uint64_t takenAt;  // the clock when taken; 0 while nobody has taken it
    };
    struct Waiter {
        Seq cursor;      // the first event it has not looked at
        uint64_t since;  // the clock when it started
    };

    // Where the event with this sequence number is (or would be): sequence
    // numbers are consecutive and events leave from the front only.
    std::size_t indexOf(Seq seq) const {
        if (entries.empty() || seq <= entries.front().seq) return 0;
        return static_cast<std::size_t>(seq - entries.front().seq);
    }

    // Drops taken events from the front that every waiter has looked at.
    void trim() {
        while (!entries.empty() && entries.front().takenAt != 0) {
            const Seq seq = entries.front().seq;
            bool needed = false;
            for (const auto& [id, waiter] : waiters) {
                if (waiter.cursor <= seq && entries.front().takenAt > waiter.since) needed = true;
            }
            if (needed) return;
            entries.pop_front();
        }
    }

    std::deque<Entry> entries;  // in sequence order
    std::map<WaiterId, Waiter> waiters;
    Seq nextSeq = 1;
    uint64_t clock = 0;
    WaiterId lastWaiter = 0;
};

}  // namespace hvr::tools
