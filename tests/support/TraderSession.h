// One trader loaded through the module, configured against a scripted server,
// with a recording listener: the usual start of an end-to-end test.
#pragma once

#include <stdlib.h>

#include <boost/filesystem.hpp>
#include <memory>
#include <string>

#include "Module.h"
#include "ScriptedServer.h"
#include "TestListener.h"

namespace hvr::test {

// A fresh directory under the system's temp dir, removed at the end.
class TempDir {
public:
    TempDir() {
        std::string pattern = (boost::filesystem::temp_directory_path() / "hvr-test-XXXXXX").string();
        if (::mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~TempDir() {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(path, ignored);
    }
    // The directory with a trailing separator: the flow-file prefix.
    std::string prefix() const { return path + "/"; }

    std::string path;
};

struct TraderConfig {
    std::string host = "127.0.0.1";
    std::string port;
    std::string folder;
    std::string pushMode;
};

inline std::unique_ptr<kra::NXSMapNode> makeConfig(const TraderConfig& c) {
    auto node = std::make_unique<kra::NXSMapNode>();
    node->set("host", c.host);
    if (!c.port.empty()) node->set("port", c.port);
    if (!c.folder.empty()) node->set("folder", c.folder);
    if (!c.pushMode.empty()) node->set("pushmode", c.pushMode);
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
