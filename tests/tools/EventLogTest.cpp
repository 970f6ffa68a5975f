// What each reader of a session's events sees: the stream hands each event
// out once, and every waiter sees every event, whatever the others read.
#include "common/EventLog.h"

#include <gtest/gtest.h>

#include <string>

namespace hvr::tools {
namespace {

using Log = EventLog<std::string>;

std::vector<std::string> seenBy(Log& log, Log::WaiterId waiter) {
    std::vector<std::string> seen;
    while (auto next = log.next(waiter)) seen.push_back(next->second);
    return seen;
}

TEST(EventLog, WaitersReadingPastEachOthersEventsHideNothingFromEachOther) {
    Log log;
    const Log::WaiterId a = log.startWaiter();
    const Log::WaiterId b = log.startWaiter();
    log.append("answer for b");
    log.append("answer for a");
    // a reads past b's answer first, then takes its own.
    EXPECT_EQ(log.next(a)->second, "answer for b");
    const auto own = log.next(a);
    log.take(own->first);
    EXPECT_EQ(seenBy(log, b), (std::vector<std::string>{"answer for b", "answer for a"}));
    // The stream still has what nobody took.
    EXPECT_EQ(log.takeNext(), "answer for b");
    EXPECT_EQ(log.takeNext(), std::nullopt);
}

TEST(EventLog, ATakenEventStaysForWaitersAlreadyLookingButNotForLaterOnes) {
    Log log;
    const Log::WaiterId early = log.startWaiter();
    log.append("login");
    log.append("push");
    const auto first = log.next(early);
    log.take(first->first);  // early matched the login
    const Log::WaiterId late = log.startWaiter();
    EXPECT_EQ(seenBy(log, late), std::vector<std::string>{"push"});
    const Log::WaiterId other = log.startWaiter();
    log.endWaiter(late);
    EXPECT_EQ(seenBy(log, other), std::vector<std::string>{"push"});
    // Held until the last waiter that may still see an event has moved on.
    log.takeNext();
    log.endWaiter(early);
    log.endWaiter(other);
    EXPECT_EQ(log.held(), 0u);
}

}  // namespace
}  // namespace hvr::tools
