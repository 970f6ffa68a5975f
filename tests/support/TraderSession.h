// One trader loaded through the module, configured against a scripted server,
// with a recording listener: the usual start of an end-to-end test.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Module.h"
#include "ScriptedServer.h"
#include "TempDir.h"
#include "TestListener.h"

namespace hvr::test {

struct TraderConfig {
    std::string host = "127.0.0.1";
    std::string port;
    std::string folder;
    std::string pushMode;
};

using ConfigKeys = std::vector<std::pair<std::string, std::string>>;

// more: further keys, such as peertimeout. With HVR_TEST_SHARED_POOL=N in
// the environment every trader is in the shared mode on a pool of N threads
// (threads=shared, poolthreads=N): ctest runs the end-to-end tests so once
// more.
inline std::unique_ptr<kra::NXSMapNode> makeConfig(const TraderConfig& c, const ConfigKeys& more = {}) {
    auto node = std::make_unique<kra::NXSMapNode>();
    if (const char* poolThreads = std::getenv("HVR_TEST_SHARED_POOL")) {
        node->set("threads", "shared");
        node->set("poolthreads", poolThreads);
    }
    node->set("host", c.host);
    if (!c.port.empty()) node->set("port", c.port);
    if (!c.folder.empty()) node->set("folder", c.folder);
    if (!c.pushMode.empty()) node->set("pushmode", c.pushMode);
    for (const auto& [key, value] : more) node->set(key, value);
    return node;
}

// Owns one trader: created through the module, released and deleted at the end.
class TraderHandle {
public:
    TraderHandle() : trader(module().create()) {
        if (trader == nullptr) throw std::runtime_error("createTrader returned null");
    }
    ~TraderHandle() { close(); }
    void close() {
        if (trader == nullptr) return;
        if (!released) trader->release();
        module().destroy(trader);
    }
    kra::ITraderApi* operator->() { return trader; }
    kra::ITraderApi* get() { return trader; }
    void markReleased() { released = true; }

private:
    kra::ITraderApi* trader;
    bool released = false;
};

}  // namespace hvr::test
