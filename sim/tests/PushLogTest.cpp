// The push log alone: id assignment, restore and the replay choice.
#include <gtest/gtest.h>

#include "PushLog.h"

namespace hvr::sim {
namespace {

std::vector<uint64_t> ids(const std::vector<PushRecord>& records) {
    std::vector<uint64_t> out;
    for (const PushRecord& r : records) out.push_back(r.pushId);
    return out;
}

TEST(PushLog, RestoredLogContinuesAfterItsLastId) {
    PushLog log;
    log.restore({{7, 1, 60, "a"}, {7, 2, 61, "b"}, {9, 1, 60, "c"}});
    EXPECT_EQ(log.nextPushId(7), 3u);
    EXPECT_EQ(log.append(7, 60, "d").pushId, 3u);
    EXPECT_EQ(log.append(9, 60, "e").pushId, 2u);
    EXPECT_EQ(log.append(11, 60, "f").pushId, 1u);
}

TEST(PushLog, ReplayChoosesByResumeId) {
    PushLog log;
    for (int i = 0; i < 5; ++i) log.append(1, 60, std::to_string(i));
    log.append(2, 60, "other account");
    EXPECT_TRUE(log.replay(1, PUSH_RESUME_NEW_ONLY).empty());
    EXPECT_TRUE(log.replay(1, -7).empty());
    EXPECT_EQ(ids(log.replay(1, PUSH_RESUME_ALL)), (std::vector<uint64_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(ids(log.replay(1, 3)), (std::vector<uint64_t>{4, 5}));
    EXPECT_TRUE(log.replay(1, 5).empty());
    EXPECT_TRUE(log.replay(1, 50).empty());
    EXPECT_TRUE(log.replay(3, PUSH_RESUME_ALL).empty());
    EXPECT_EQ(log.replay(1, 4).at(0).data, "4");
}

}  // namespace
}  // namespace hvr::sim
