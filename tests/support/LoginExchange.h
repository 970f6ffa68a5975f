// One login end to end: the trader sends it, the scripted server answers it,
// the host hears the result.
#pragma once

#include <gtest/gtest.h>

#include "PeerPackets.h"
#include "TraderSession.h"

namespace hvr::test {

// Returns the request the server saw.
inline exchg_peer::ReqLogin loginAnswered(kra::ITraderApi* trader, ScriptedServer& server, TestListener& listener,
                                          const char* user, const exchg_peer::AnsLogin& answer) {
    std::size_t before = 0;
    {
        std::lock_guard<std::mutex> guard(listener.lock);
        before = listener.loginResults.size();
    }
    trader->login(user, "secret", "desk-1");
    auto p = server.waitPacket(FC_CMD_LOGIN);
    exchg_peer::ReqLogin request;
    EXPECT_TRUE(p && request.ParseFromString(p->payload));
    server.send(packetOf(FC_CMD_LOGIN, answer));
    EXPECT_TRUE(listener.waitFor([&] { return listener.loginResults.size() > before; }));
    return request;
}

}  // namespace hvr::test
