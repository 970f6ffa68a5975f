// Which configuration texts init warns of, and the values it uses for them.
#include <gtest/gtest.h>

#include <cstdlib>

#include "ops/ConfigNumbers.h"

namespace hvr {
namespace {

TEST(ConfigNumbers, APortIsAWholeNumberFrom1To65535AndKeepsItsLow16BitsWhateverItIs) {
    struct Case {
        const char* text;
        uint16_t used;
        bool suspicious;
    };
    for (const Case& c : {Case{"4400", 4400, false}, Case{"65535", 65535, false}, Case{"04400", 4400, false},
                          Case{"0", 0, true}, Case{"65536", 0, true}, Case{"70000", 4464, true},
                          Case{"-1", 65535, true}, Case{"abc", 0, true}, Case{" 4400", 4400, true},
                          Case{"4400x", 4400, true}, Case{"", 0, true}}) {
        const ConfigNumber<uint16_t> port = portOf(c.text, std::atoi(c.text));
        EXPECT_EQ(port.value, c.used) << c.text;
        EXPECT_EQ(port.suspicious, c.suspicious) << c.text;
    }
}

TEST(ConfigNumbers, PeerTimeoutAndSendQueueWarnOfTextsThatAreNoWholeNumbers) {
    EXPECT_FALSE(peerTimeoutOf("", 0, 100).suspicious);
    EXPECT_FALSE(peerTimeoutOf("15", 15, 100).suspicious);
    EXPECT_TRUE(peerTimeoutOf("1.5", 1, 100).suspicious);
    const ConfigNumber<int> clamped = peerTimeoutOf("500", 500, 100);
    EXPECT_TRUE(clamped.suspicious);
    EXPECT_EQ(clamped.value, 100);

    EXPECT_FALSE(sendQueueLimitOf("", 64).suspicious);
    EXPECT_FALSE(sendQueueLimitOf("0", 64).suspicious);  // the documented way to ask for the default
    EXPECT_EQ(sendQueueLimitOf("0", 64).value, 64u);
    EXPECT_EQ(sendQueueLimitOf("4096", 64).value, 4096u);
    EXPECT_TRUE(sendQueueLimitOf("-1", 64).suspicious);
    EXPECT_EQ(sendQueueLimitOf("-1", 64).value, 64u);
}

}  // namespace
}  // namespace hvr
