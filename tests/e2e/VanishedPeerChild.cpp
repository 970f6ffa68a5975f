// A host process for the vanished-server test. It moves into a network
// namespace of its own (only loopback, gone when the process ends), runs a
// scripted server there, connects a trader with the peertimeout given as the
// argument, then drops every packet the server sends with a firewall rule
// and times a request that goes unacknowledged until (1, ETIMEDOUT).
//
// Prints "timed out after N ms" and exits 0; exits 77 with the reason when
// the scene cannot be set up (no permission for a namespace, no firewall
// tool), 1 on any other failure.
#include <sched.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/TraderSession.h"

namespace {

int cannot(const std::string& why) {
    std::printf("cannot set up a vanished server: %s\n", why.c_str());
    return 77;
}

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// Drops the server's packets (source port) in this namespace: nftables, or
// iptables where nft is missing.
bool dropPacketsFrom(uint16_t port) {
    const std::string p = std::to_string(port);
    if (run("nft add table ip hvr17") && run("nft 'add chain ip hvr17 out { type filter hook output priority 0; }'") &&
        run("nft add rule ip hvr17 out tcp sport " + p + " drop"))
        return true;
    return run("iptables -A OUTPUT -p tcp --sport " + p + " -j DROP");
}

}  // namespace

int main(int argc, char** argv) {
    using namespace hvr::test;
    const std::string seconds = argc > 1 ? argv[1] : "2";
    // First, before any thread exists: a namespace belongs to each thread.
    if (::unshare(CLONE_NEWNET) != 0) return cannot(std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno));
    if (!run("ip link set lo up")) return cannot("'ip link set lo up' failed (iproute2 missing?)");

    ScriptedServer server;  // sends nothing, heartbeats included
    TestListener listener;
    TraderHandle trader;
    auto config = makeConfig({"127.0.0.1", server.portText(), "", ""}, {{"peertimeout", seconds}});
    trader->init(config.get());
    trader->registerListener(&listener);
    trader->connect();
    if (!listener.waitForEvent(0, 0) || !server.waitForConnections(1)) {
        std::printf("no connection inside the namespace\n");
        return 1;
    }
    if (!dropPacketsFrom(server.port())) return cannot("neither nft nor iptables could add the drop rule");

    const auto start = std::chrono::steady_clock::now();
    trader->queryAccount();
    if (!listener.waitFor([&] {
            for (const TraderEvent& e : listener.events)
                if (e.kind == 1) return true;
            return false;
        }, std::chrono::seconds(30))) {
        std::printf("the connection did not fail within 30 s\n");
        return 1;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    const auto events = listener.eventsSnapshot();
    for (const TraderEvent& e : events) {
        if (e.kind != 1) continue;
        if (e.code != ETIMEDOUT) {
            std::printf("the connection ended with (1, %d), not (1, %d)\n", e.code, ETIMEDOUT);
            return 1;
        }
        break;
    }
    std::printf("timed out after %lld ms\n", static_cast<long long>(ms.count()));
    std::fflush(stdout);
    trader->release();
    trader.markReleased();
    return 0;
}
