// Host records kept from one delivery for the next, so that a steady stream of
// pushes and answers does not allocate and free a record (and the storage of
// a long tag) for every one of them.
//
// A record is taken (a kept one, or a new one), filled, handed to one listener
// call and given back. Given back, it is kept only when the pool's reference
// is the last one: the listener did not retain it, or has released again what
// it retained. A record the host still holds is released instead, exactly as
// before: from then on it belongs to its holders, and their last release frees
// it like any other object, on any thread, however long after the trader is
// gone. So the counting rules of host/NXSObject.h are unchanged: every record
// reaches the listener with a count of 1, a retained record is never touched
// by the module again, and nothing that someone holds is freed or reused.
//
// A kept record's memory is reused for a later record of its type. A listener
// that keeps a pointer without retaining it (which the rules forbid) reads
// that later record, where it used to read freed memory.
//
// Thread safety: one thread, the one that dispatches (the trader's network
// thread). Host threads reach records only through their counts: a count read
// as 1 here was lowered by the host's release (an acquire-release decrement),
// so the host's last use of the record happens before the module writes it
// again.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "host/NXSRecords.h"

namespace hvr {

template <typename Record>
class RecordShelf {
public:
    explicit RecordShelf(std::size_t limit) : limit(limit) {}
    ~RecordShelf() {
        for (Record* record : kept) record->release();
    }
    RecordShelf(const RecordShelf&) = delete;
    RecordShelf& operator=(const RecordShelf&) = delete;

    // A record with a count of 1 that only the caller holds. Its fields are
    // those of an earlier record (or the defaults): the caller writes them all.
    Record* take() {
        if (kept.empty()) return new Record();
        Record* record = kept.back();
        kept.pop_back();
        return record;
    }

    // Ends the caller's hold of a record it took: kept for a later take when
    // nobody else holds it and the shelf has room, else released.
    void giveBack(Record* record) {
        if (record->retainCount() == 1 && kept.size() < limit) {
            kept.push_back(record);
        } else {
            record->release();
        }
    }

    // Gives back the records of an array the caller filled from this shelf
    // and handed to one listener call, and releases the array. While the host
    // holds the array its records stay with it. Otherwise the records nobody
    // else holds are kept, as many as there is room for; the array goes, and
    // every other record with it unless the host retained that one.
    void giveBackArray(kra::NXSArray* array) {
        if (array->retainCount() != 1) {
            array->release();
            return;
        }
        // A hold of our own on the records there is room for, so that the
        // array's release leaves them to us.
        const std::size_t room = std::min(limit - kept.size(), array->count());
        released.clear();
        for (std::size_t i = 0; i < room; ++i) {
            Record* record = array->itemAs<Record>(i);
            record->retain();
            released.push_back(record);
        }
        array->release();
        for (Record* record : released) giveBack(record);
        released.clear();
    }

    std::size_t size() const { return kept.size(); }

private:
    const std::size_t limit;
    std::vector<Record*> kept;
    std::vector<Record*> released;  // giveBackArray's records, between its two steps
};

// The shelves of one trader. A push or an order answer needs one record at a
// time; an order or fill list as many as it has entries, of which the usual
// list of a busy account fits (a larger one is made and freed beyond that).
constexpr std::size_t KEPT_LIST_RECORDS = 64;
struct RecordPool {
    RecordShelf<kra::NXSEntrust> entrusts{1};
    RecordShelf<kra::NXSOrderInfo> orders{KEPT_LIST_RECORDS};
    RecordShelf<kra::NXSTradeInfo> trades{KEPT_LIST_RECORDS};
};

}  // namespace hvr
