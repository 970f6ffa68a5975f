// When the full send queue's line is due, and what it counts.
#include <gtest/gtest.h>

#include "net/QueueFullLine.h"

namespace hvr {
namespace {

using namespace std::chrono_literals;

TEST(QueueFullLine, FirstRefusalAtOnceThenOneLineASecondCountingEverySinceTheLast) {
    const QueueFullLine::Clock::time_point t0{};
    QueueFullLine line;
    EXPECT_EQ(line.refused(t0 + 5s), 1);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(line.refused(t0 + 5s + 100ms * i), 0);
    EXPECT_EQ(line.refused(t0 + 5999ms), 0);
    EXPECT_EQ(line.refused(t0 + 6s), 7);  // the five, the one just before, and this one
    EXPECT_EQ(line.refused(t0 + 6500ms), 0);
    EXPECT_EQ(line.refused(t0 + 20s), 2);  // a quiet spell: the next one is logged at once
    EXPECT_EQ(line.refused(t0 + 20s), 0);
}

TEST(QueueFullLine, WhatNoLineCountedIsTakenOnceAndDelaysTheNextLine) {
    const QueueFullLine::Clock::time_point t0{};
    QueueFullLine line;
    EXPECT_EQ(line.takeUncounted(t0), 0);
    EXPECT_EQ(line.refused(t0), 1);
    EXPECT_EQ(line.refused(t0 + 1ms), 0);
    EXPECT_EQ(line.refused(t0 + 2ms), 0);
    EXPECT_TRUE(line.hasUncounted());
    EXPECT_EQ(line.takeUncounted(t0 + 3ms), 2);  // the queue drained
    EXPECT_FALSE(line.hasUncounted());
    EXPECT_EQ(line.takeUncounted(t0 + 4ms), 0);
    EXPECT_EQ(line.refused(t0 + 500ms), 0);  // a second after the last line at the earliest
    EXPECT_EQ(line.refused(t0 + 1003ms), 2);
}

}  // namespace
}  // namespace hvr
