// The whole server in this process on a loopback port, for tests that drive
// it with TestClient: start() builds and runs a SimApp on its own thread,
// stop() (or the end of the test) stops and joins it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "SimApp.h"
#include "TempDir.h"
#include "TestClient.h"

namespace hvr::sim::testing {

constexpr int32_t IF_LAST = 35000000;  // 3500.0, the built-in IF2412 last price

class LoopbackServer : public ::testing::Test {
public:
    // A heartbeat and its answer: everything the server sent before it has
    // been read once this returns.
    static void roundTrip(TestClient& client) {
        client.send(FC_HEART_BEAT, 0);
        while (client.receive().header.functionCode != FC_HEART_BEAT) {
        }
    }

protected:
    void start(SimOptions options = {}, bool fresh = true, uint32_t tradingDate = 20241202) {
        options.db = dir.file("sim.db");
        options.freshDay = fresh;
        options.tradingDate = tradingDate;
        app = std::make_unique<SimApp>(options);
        port = app->endpoint().port();
        runner = std::thread([this] { app->run(); });
    }

    void stop() {
        if (!app) return;
        app->stop();
        runner.join();
        app.reset();
    }

    void TearDown() override { stop(); }

    TempDir dir;
    std::unique_ptr<SimApp> app;
    std::thread runner;
    uint16_t port = 0;
};

}  // namespace hvr::sim::testing
