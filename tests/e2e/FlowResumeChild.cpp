// A second process of the end-to-end tests: a fresh host run that logs in as
// a user whose flow file an earlier run left behind.
//
// Usage: flow_resume_child PORT FOLDER USER
// Connects to 127.0.0.1:PORT, logs in once, waits until the login has been
// written, releases and exits 0; exits 1 when it cannot connect.
#include <cstdio>
#include <string>

#include "support/Module.h"
#include "support/TestListener.h"
#include "support/TraderSession.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PORT FOLDER USER\n", argv[0]);
        return 2;
    }
    using namespace hvr::test;
    TestListener listener;
    TraderHandle trader;
    auto config = makeConfig({"127.0.0.1", argv[1], argv[2], "0"});
    trader->init(config.get());
    trader->registerListener(&listener);
    trader->connect();
    if (!listener.waitForEvent(0, 0)) return 1;
    trader->login(argv[3], "secret", "second-run");
    // release sends the logout behind the login on the same connection and
    // waits for the network thread, so the login has left when it returns.
    trader->release();
    trader.markReleased();
    return 0;
}
