// The database lock: one holder at a time, named in the refusal, and free
// again as soon as the holder lets go.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

#include "DatabaseLock.h"
#include "SimApp.h"
#include "TempDir.h"

namespace hvr::sim::testing {
namespace {

TEST(DatabaseLock, ASecondHolderIsRefusedUntilTheFirstLetsGo) {
    TempDir dir;
    const std::string db = dir.file("day.db");
    auto first = std::make_unique<DatabaseLock>(db);
    try {
        DatabaseLock second(db, std::chrono::milliseconds(0));
        ADD_FAILURE() << "a second lock on the same database was granted";
    } catch (const DatabaseInUse& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find(db), std::string::npos) << message;
        EXPECT_NE(message.find("process " + std::to_string(getpid())), std::string::npos) << message;
    }
    first.reset();
    EXPECT_NO_THROW(DatabaseLock again(db, std::chrono::milliseconds(0)));
}

TEST(DatabaseLock, ASecondServerOnTheSameDatabaseFailsBeforeTouchingIt) {
    TempDir dir;
    SimOptions options;
    options.db = dir.file("day.db");
    options.freshDay = true;
    options.tradingDate = 20241202;
    SimApp running(options);
    options.tradingDate = 20241203;
    EXPECT_THROW(SimApp second(options), DatabaseInUse);
}

}  // namespace
}  // namespace hvr::sim::testing
