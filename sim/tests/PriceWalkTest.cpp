// The seeded price walk: repeatable, on the tick grid, inside its bounds.
#include <gtest/gtest.h>

#include "BookFixture.h"
#include "PriceWalk.h"

namespace hvr::sim::testing {
namespace {

std::map<std::string, InstrumentTerms> xy() {
    std::map<std::string, InstrumentTerms> m;
    for (const InstrumentTerms& s : xyInstruments()) m[s.code] = s;
    return m;
}

TEST(PriceWalk, SameSeedWalksTheSamePath) {
    PriceWalk a(42, xy());
    PriceWalk b(42, xy());
    for (int i = 0; i < 200; ++i) ASSERT_EQ(a.step(), b.step());
}

TEST(PriceWalk, StaysOnTheTickGridWithinHalfTheBand) {
    PriceWalk walk(7, xy());
    int moves = 0;
    int64_t previous = toFixed(100);
    for (int i = 0; i < 5000; ++i) {
        for (const auto& [code, last] : walk.step()) {
            ++moves;
            EXPECT_EQ(last % toFixed(1), 0);
            EXPECT_GE(last, toFixed(95));
            EXPECT_LE(last, toFixed(105));
            EXPECT_EQ(std::llabs(last - previous), toFixed(1));
            previous = last;
        }
    }
    EXPECT_GT(moves, 1000);
}

}  // namespace
}  // namespace hvr::sim::testing
