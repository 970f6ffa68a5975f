// A socket option the system refuses: the trader says which, and the
// connection goes on without it.
//
// The refusal is made in this process only: the executable defines
// setsockopt, which the module (loaded with dlopen) resolves to this one
// before the C library's; it fails for the one option a test names and
// passes every other call through. That is why this test is an executable of
// its own.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>

#include "support/TraderSession.h"
#include "texts/LogText.h"

namespace {

std::atomic<int> refusedTcpOption{-1};

}  // namespace

extern "C" int setsockopt(int fd, int level, int option, const void* value, socklen_t length) noexcept {
    using Real = int (*)(int, int, int, const void*, socklen_t);
    static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "setsockopt"));
    if (level == IPPROTO_TCP && option == refusedTcpOption.load()) {
        errno = ENOPROTOOPT;
        return -1;
    }
    return real(fd, level, option, value, length);
}

namespace hvr::test {
namespace {

// peertimeout's kernel half failed silently: the connection then had no
// keep-alive idle time, and nobody knew.
TEST(SocketOptions, AnOptionTheSystemRefusesIsNamedInOneWarningAndTheConnectionGoesOn) {
    refusedTcpOption = TCP_KEEPIDLE;
    ScriptedServer server;
    TempDir dir;
    TestListener listener;
    TraderHandle trader;
    auto config = makeConfig({"127.0.0.1", server.portText(), dir.prefix(), ""},
                             {{"peertimeout", "30"}, {"nodelay", "1"}});
    ASSERT_TRUE(trader->init(config.get()));
    trader->registerListener(&listener);
    trader->connect();
    ASSERT_TRUE(listener.waitForLog(LOG_CONNECT_OK));  // the options are set before it
    const auto lines = listener.logsWith(LOG_SOCKET_OPTION_FAILED);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 103);
    EXPECT_NE(lines[0].text.find("TCP_KEEPIDLE"), std::string::npos) << lines[0].text;
    ASSERT_EQ(trader->queryAccount(), 0);
    EXPECT_TRUE(server.waitPacket(FC_QRY_ACCOUNT_INFO).has_value());
    refusedTcpOption = -1;
}

}  // namespace
}  // namespace hvr::test
