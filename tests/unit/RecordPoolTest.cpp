// Records reused from one delivery to the next: only a record nobody else
// holds comes back, a record the host keeps is left to the host whatever it
// does with it and on whichever thread, and the pool's own records go with it.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ops/RecordPool.h"

namespace hvr {
namespace {

std::atomic<int> made{0};
std::atomic<int> destroyed{0};

// A record that counts its lives, with a text as the real ones have.
struct Probe : kra::NXSObject {
    Probe() { ++made; }
    ~Probe() override { ++destroyed; }
    std::string text;
};

class RecordPoolTest : public ::testing::Test {
protected:
    RecordPoolTest() { made = destroyed = 0; }
};

TEST_F(RecordPoolTest, ARecordNobodyKeptIsTakenAgainWithACountOfOne) {
    RecordShelf<Probe> shelf(1);
    Probe* first = shelf.take();
    first->text = "first";
    shelf.giveBack(first);  // the listener did not retain it
    Probe* second = shelf.take();
    EXPECT_EQ(second, first);
    EXPECT_EQ(second->retainCount(), 1u);
    EXPECT_EQ(destroyed, 0);
    shelf.giveBack(second);
}

TEST_F(RecordPoolTest, ARetainedRecordIsLeftToItsHolderAndNeverReused) {
    std::unique_ptr<RecordShelf<Probe>> shelf = std::make_unique<RecordShelf<Probe>>(4);
    Probe* kept = shelf->take();
    kept->text = "the host's";
    kept->retain();  // during the listener call
    shelf->giveBack(kept);
    EXPECT_EQ(kept->retainCount(), 1u);  // the host's reference alone
    Probe* next = shelf->take();
    EXPECT_NE(next, kept);
    next->text = "a later push";
    shelf->giveBack(next);
    EXPECT_EQ(kept->text, "the host's");
    shelf.reset();  // the trader goes: its own record with it
    EXPECT_EQ(destroyed, 1);
    kept->release();  // the host's last release, after the trader is gone
    EXPECT_EQ(destroyed, 2);
}

TEST_F(RecordPoolTest, ARecordReleasedAgainDuringTheCallIsReused) {
    RecordShelf<Probe> shelf(1);
    Probe* record = shelf.take();
    record->retain();
    record->release();  // the host changed its mind inside the call
    shelf.giveBack(record);
    EXPECT_EQ(shelf.take(), record);
    shelf.giveBack(record);
}

TEST_F(RecordPoolTest, BeyondItsLimitAShelfReleases) {
    {
        RecordShelf<Probe> shelf(2);
        Probe* records[3] = {shelf.take(), shelf.take(), shelf.take()};
        for (Probe* r : records) shelf.giveBack(r);
        EXPECT_EQ(shelf.size(), 2u);
        EXPECT_EQ(destroyed, 1);
    }
    EXPECT_EQ(destroyed, 3);
}

kra::NXSArray* arrayOf(RecordShelf<Probe>& shelf, int n) {
    kra::NXSArray* array = kra::NXSArray::create();
    for (int i = 0; i < n; ++i) {
        Probe* p = shelf.take();
        p->text = std::to_string(i);
        array->append(p);
    }
    return array;
}

TEST_F(RecordPoolTest, AnArrayGivesBackTheRecordsNobodyKeptAsFarAsThereIsRoom) {
    RecordShelf<Probe> shelf(2);
    kra::NXSArray* array = arrayOf(shelf, 4);
    Probe* held = array->itemAs<Probe>(1);
    held->retain();  // the host keeps one record, not the array
    shelf.giveBackArray(array);
    EXPECT_EQ(shelf.size(), 1u);  // record 0; 1 is the host's; no room beyond the first two
    EXPECT_EQ(destroyed, 2);      // records 2 and 3
    EXPECT_EQ(held->retainCount(), 1u);
    EXPECT_EQ(held->text, "1");
    held->release();
    EXPECT_EQ(destroyed, 3);
}

TEST_F(RecordPoolTest, AnArrayTheHostKeepsKeepsItsRecords) {
    RecordShelf<Probe> shelf(8);
    kra::NXSArray* array = arrayOf(shelf, 3);
    array->retain();
    shelf.giveBackArray(array);
    EXPECT_EQ(shelf.size(), 0u);
    EXPECT_EQ(array->retainCount(), 1u);
    EXPECT_EQ(array->itemAs<Probe>(2)->text, "2");
    array->release();
    EXPECT_EQ(destroyed, 3);
}

// The host keeps every other record and lets it go on another thread, while
// the dispatching thread goes on taking, filling and giving back. A record is
// written again only after its last outside release, which ThreadSanitizer
// checks through the counts' ordering; each record dies exactly once.
TEST_F(RecordPoolTest, RecordsReleasedOnHostThreadsMeanwhileAreNeverWrittenUnderThem) {
    constexpr int ROUNDS = 20000;
    std::vector<std::thread> hosts;
    std::atomic<Probe*> handOff{nullptr};
    std::atomic<bool> done{false};
    std::atomic<long> read{0};
    {
        RecordShelf<Probe> shelf(4);
        // Two host threads read what they were handed, then release it.
        for (int h = 0; h < 2; ++h) {
            hosts.emplace_back([&] {
                for (;;) {
                    Probe* p = handOff.exchange(nullptr);
                    if (p == nullptr) {
                        if (done) return;
                        std::this_thread::yield();
                        continue;
                    }
                    read += static_cast<long>(p->text.size());
                    p->release();
                }
            });
        }
        for (int i = 0; i < ROUNDS; ++i) {
            Probe* p = shelf.take();
            p->text.assign(static_cast<std::size_t>(i % 40), 'x');  // the fill
            if (i % 2 == 0) {
                p->retain();  // inside the call; the release comes from a host thread
                Probe* expected = nullptr;
                while (!handOff.compare_exchange_weak(expected, p)) {
                    expected = nullptr;
                    std::this_thread::yield();
                }
            }
            shelf.giveBack(p);
        }
        while (handOff.load() != nullptr) std::this_thread::yield();
        done = true;
        for (std::thread& t : hosts) t.join();
        EXPECT_GT(read.load(), 0);
    }
    // Every record was freed once: by the shelf or by its host's release.
    EXPECT_GT(made.load(), 1);
    EXPECT_EQ(destroyed.load(), made.load());
}

}  // namespace
}  // namespace hvr
