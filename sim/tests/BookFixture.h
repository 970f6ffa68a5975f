// A book with one easy-to-reckon instrument and two accounts, for the book
// and store tests. XY: multiplier 10, tick 1, last 100, band 10%, margin
// 10%, commission 0.1%. alice and bob each start with 100000.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "Book.h"
#include "Fixed.h"

namespace hvr::sim::testing {

inline std::vector<InstrumentTerms> xyInstruments() {
    InstrumentTerms xy;
    xy.code = "XY";
    xy.exchange = "TEST";
    xy.multiplier = 10;
    xy.tick = toFixed(1.0);
    xy.last = toFixed(100.0);
    xy.band = 0.1;
    xy.marginRatio = 0.1;
    xy.commissionRatio = 0.001;
    return {xy};
}

inline std::vector<AccountSetup> twoAccounts() {
    return {{"alice", "alice-digest", toFixed(100000.0)}, {"bob", "bob-digest", toFixed(100000.0)}};
}

inline exchg::ReqOrderInsert orderRequest(const std::string& code, double price, uint32_t qty,
                                          exchg::DirectionType direct, exchg::OffsetFlag offset = exchg::OF_Open,
                                          exchg::TimeCondition timecond = exchg::TC_ValidInDay,
                                          exchg::PriceType pxtype = exchg::PT_LimitPrice) {
    exchg::ReqOrderInsert r;
    r.set_instrument(code);
    r.set_price(static_cast<uint32_t>(static_cast<int32_t>(toFixed(price))));
    r.set_qty(qty);
    r.set_direct(direct);
    r.set_pxtype(pxtype);
    r.set_timecond(timecond);
    r.set_offset(offset);
    r.set_usertag("u" + std::to_string(qty));
    return r;
}

inline exchg::Order orderOf(const PushRecord& push) {
    EXPECT_EQ(push.mtype, 60u);
    exchg::Order o;
    EXPECT_TRUE(o.ParseFromString(push.data));
    return o;
}

inline exchg::Trade tradeOf(const PushRecord& push) {
    EXPECT_EQ(push.mtype, 61u);
    exchg::Trade t;
    EXPECT_TRUE(t.ParseFromString(push.data));
    return t;
}

class BookFixture : public ::testing::Test {
protected:
    static constexpr uint64_t NOW_MS = 1733000000000;

    void makeBook(Book::Options options = {}, BookSnapshot snapshot = {}) {
        if (snapshot.day.tradingDate == 0) snapshot.day.tradingDate = 20241202;
        book = std::make_unique<Book>(xyInstruments(), twoAccounts(), std::move(snapshot),
                                      [] { return NOW_MS; }, options);
        alice = book->authenticate("alice", "alice-digest");
        bob = book->authenticate("bob", "bob-digest");
    }

    void SetUp() override { makeBook(); }

    exchg::AccountInfo info(uint32_t account) const {
        exchg::AnsAccountInfo answer;
        book->accountInfo(account, answer);
        EXPECT_EQ(answer.accinfos_size(), 1);
        return answer.accinfos(0);
    }

    exchg::PositionList positions(uint32_t account) const {
        exchg::PositionList list;
        book->listPositions(account, list);
        return list;
    }

    std::unique_ptr<Book> book;
    uint32_t alice = 0;
    uint32_t bob = 0;
};

}  // namespace hvr::sim::testing
