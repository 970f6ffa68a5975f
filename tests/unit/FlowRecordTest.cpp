// The flow record over a real file that the test changes behind its back, and
// the SIGBUS guard that keeps a truncated file from killing the process.
#include "ops/FlowRecord.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <csignal>
#include <fstream>
#include <memory>
#include <vector>

#include "port/TruncationGuard.h"

#include "support/FlowBytes.h"
#include "support/TempDir.h"

namespace hvr {
namespace {

using test::fileBytes;
using test::flowBytes;

constexpr uint32_t DAY = 20261208;

class FlowRecordTest : public ::testing::Test {
protected:
    void write(const std::string& file, const std::string& bytes) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    }
    static void expectRewritten(const FlowNotices& notices, FlowDamage damage, int64_t pushId) {
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_EQ(notices[0].kind, FlowNotice::Kind::Rewritten);
        EXPECT_EQ(notices[0].damage, damage);
        EXPECT_EQ(notices[0].pushId, pushId);
    }

    test::TempDir tempDir;
    boost::filesystem::path dir{tempDir.path};
    std::string path = tempDir.prefix() + "alice.flow";
};

// Each way the file can change under an open record, found where it is
// found first: the truncation by the store that faults, the rest by a look
// (at a login, or a store once the interval has passed).
TEST_F(FlowRecordTest, FileChangedUnderTheRecordIsWrittenAgainFromIt) {
    FlowRecord record(std::chrono::hours(1));
    ASSERT_TRUE(record.open(path, DAY).ok);
    EXPECT_TRUE(record.storePushId(5).empty());
    ASSERT_EQ(::truncate(path.c_str(), 0), 0);
    expectRewritten(record.storePushId(6), FlowDamage::Truncated, 6);
    EXPECT_EQ(fileBytes(path), flowBytes(6, DAY));
    EXPECT_TRUE(record.storePushId(7).empty());
    EXPECT_EQ(fileBytes(path), flowBytes(7, DAY));

    ASSERT_EQ(::unlink(path.c_str()), 0);
    EXPECT_TRUE(record.storePushId(10).empty());  // the interval has not passed
    expectRewritten(record.verify(), FlowDamage::Missing, 10);
    EXPECT_EQ(fileBytes(path), flowBytes(10, DAY));

    const std::string older = (dir / "older").string();
    write(older, flowBytes(2, DAY - 1));
    ASSERT_EQ(::rename(older.c_str(), path.c_str()), 0);
    expectRewritten(record.verify(), FlowDamage::Replaced, 10);
    EXPECT_EQ(fileBytes(path), flowBytes(10, DAY));

    std::ofstream(path, std::ios::binary | std::ios::app) << "tail";
    expectRewritten(record.verify(), FlowDamage::WrongSize, 10);
    EXPECT_EQ(fileBytes(path), flowBytes(10, DAY));
    EXPECT_TRUE(record.verify().empty());
}

TEST_F(FlowRecordTest, FileThatCannotBeWrittenAgainIsReportedOnceAndRetriedAtEachStore) {
    const boost::filesystem::path sub = dir / "sub";
    boost::filesystem::create_directories(sub);
    const std::string inner = (sub / "alice.flow").string();
    FlowRecord record(std::chrono::milliseconds(0));
    ASSERT_TRUE(record.open(inner, DAY).ok);
    boost::filesystem::remove_all(sub);
    const FlowNotices first = record.storePushId(4);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].kind, FlowNotice::Kind::Unavailable);
    EXPECT_FALSE(first[0].reason.empty());
    EXPECT_TRUE(record.storePushId(5).empty());  // said once
    EXPECT_EQ(record.pushIdForLogin(inner), 5);   // the record goes on in memory
    boost::filesystem::create_directories(sub);
    expectRewritten(record.storePushId(6), FlowDamage::Missing, 6);
    EXPECT_EQ(fileBytes(inner), flowBytes(6, DAY));
}

TEST_F(FlowRecordTest, ReopeningKeepsTheRecordAndGivesThePreviousDate) {
    write(path, flowBytes(500, DAY - 1));
    FlowRecord record;
    FlowRecord::Opened opened = record.open(path, DAY);
    ASSERT_TRUE(opened.ok);
    EXPECT_EQ(opened.previousTradingDate, DAY - 1);
    EXPECT_EQ(record.pushIdForLogin(path), 500);  // carried over from the file
    record.storePushId(501);
    write(path, flowBytes(2, DAY - 5));  // the same file, copied over: not believed
    opened = record.open(path, DAY + 1);
    EXPECT_EQ(opened.previousTradingDate, DAY);
    EXPECT_EQ(record.pushIdForLogin(path), 501);
    EXPECT_EQ(fileBytes(path), flowBytes(501, DAY + 1));
}

// A host with 10,000 traders has 10,000 flow records open, each needing a
// guard: without one the record keeps its descriptor and writes through a
// system call at every push.
TEST(TruncationGuardTable, TenThousandPagesAreWatchedAtOnce) {
    const uintptr_t pageSize = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    std::vector<std::unique_ptr<TruncationGuard>> guards;
    for (uintptr_t i = 0; i < 10000; ++i) {
        guards.push_back(std::make_unique<TruncationGuard>());
        // Addresses far from anything mapped: watch only records the page.
        const bool watched = guards.back()->watch(reinterpret_cast<const void*>((uintptr_t{1} << 44) + i * pageSize));
        if (i == 0 && !watched) GTEST_SKIP() << "no SIGBUS handler in this build (a sanitizer keeps the signal)";
        ASSERT_TRUE(watched) << "page " << i;
    }
}

// A fault in a mapping that is not ours must fare as it would without the
// guard. Each case runs in a fresh process, so the guard's handler is
// installed there after the handler the case sets up.
class TruncationGuardDeathTest : public FlowRecordTest {
protected:
    void SetUp() override {
        FlowRecordTest::SetUp();
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
    // Opens a record (which installs the guard), then touches a truncated
    // mapping of another file.
    void faultOutsideTheRecord() {
        ::alarm(10);  // a handler that sends the fault back to itself forever fails the case
        FlowRecord record;
        if (!record.open(path, DAY).ok) _exit(3);
        const std::string other = (dir / "other").string();
        const int fd = ::open(other.c_str(), O_RDWR | O_CREAT, 0644);
        if (fd < 0 || ::ftruncate(fd, 4096) != 0) _exit(4);
        auto* page = static_cast<volatile char*>(::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        if (::ftruncate(fd, 0) != 0) _exit(5);
        page[0] = 1;  // SIGBUS
        _exit(0);
    }
};

void exitWith42(int, siginfo_t*, void*) { _exit(42); }

TEST_F(TruncationGuardDeathTest, FaultOutsideOurPagesReachesTheHandlerInstalledBefore) {
    EXPECT_EXIT(
        {
            struct sigaction host {};
            host.sa_sigaction = exitWith42;
            host.sa_flags = SA_SIGINFO;
            sigemptyset(&host.sa_mask);
            ::sigaction(SIGBUS, &host, nullptr);
            faultOutsideTheRecord();
        },
        ::testing::ExitedWithCode(42), "");
}

// By the default action, or by a sanitizer's report (exit status 1) when one
// had SIGBUS before us.
bool diedOfTheFault(int status) {
    return (WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS) || (WIFEXITED(status) && WEXITSTATUS(status) == 1);
}

TEST_F(TruncationGuardDeathTest, FaultOutsideOurPagesStillEndsTheProcess) {
    EXPECT_EXIT(faultOutsideTheRecord(), diedOfTheFault, "");
}

}  // namespace
}  // namespace hvr
