// The installed headers as a host compiles them: C++14, with -Wall -Wextra
// -Wshadow -Wpedantic -Werror (tests/CMakeLists.txt), so a warning in a
// header fails the build here before it fails a host's. Also checks the
// named constants against the values the module and the server use.
#include <gtest/gtest.h>

#include "host/IContractCatalog.h"
#include "host/ITraderApi.h"
#include "host/ITraderListener.h"
#include "host/LogText.h"
#include "host/NXSConfigNode.h"
#include "host/NXSObject.h"
#include "host/NXSRecords.h"
#include "host/SimpleContractCatalog.h"

namespace {

// What a host's logMessage does with the helper (host/LogText.h).
std::string logged(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string line = kra::logMessageText(format, args);
    va_end(args);
    return line;
}

static_assert(kra::REQUEST_QUEUED == 0 && kra::REQUEST_REFUSED == -1, "the results the module returns");
static_assert(kra::ERROR_ORDER_REFUSED == 1 && kra::ERROR_CANCEL_REFUSED == 2, "NXSError codes");
static_assert(kra::TRADER_CODE_END_OF_FILE == 2, "Asio's end of file, as the module reports it");

TEST(HostHeaders, LogTextTurnsAGbkLogLineIntoUtf8) {
    // [TraderHVR]连接关闭,%d秒后重连 in GBK, with a stray lead byte after it.
    EXPECT_EQ(logged("[TraderHVR]\xc1\xac\xbd\xd3\xb9\xd8\xb1\xd5,%d\xc3\xeb\xba\xf3\xd6\xd8\xc1\xac", 2),
              "[TraderHVR]连接关闭,2秒后重连");
    EXPECT_EQ(kra::gbkToUtf8("IF2412 \x81"), "IF2412 \xEF\xBF\xBD");
    EXPECT_EQ(logged("%s", std::string(5000, 'x').c_str()).size(), 5000u);  // however long
}

TEST(HostHeaders, OrderStatesAreTheCharactersAndFinalOnesAreNamed) {
    const kra::NXSCode states[] = {kra::ORDER_STATE_ALL_TRADED, kra::ORDER_STATE_PART_TRADED_QUEUING,
                                   kra::ORDER_STATE_PART_TRADED_NOT_QUEUING, kra::ORDER_STATE_QUEUING,
                                   kra::ORDER_STATE_NOT_QUEUING, kra::ORDER_STATE_CANCELLED,
                                   kra::ORDER_STATE_UNKNOWN};
    std::string finals;
    for (std::size_t i = 0; i < sizeof states / sizeof states[0]; ++i) {
        EXPECT_EQ(states[i], static_cast<kra::NXSCode>('0' + i));
        if (kra::isFinalOrderState(states[i])) finals += static_cast<char>(states[i]);
    }
    EXPECT_EQ(finals, "0245");
    EXPECT_FALSE(kra::isFinalOrderState(kra::ORDER_STATE_NONE));
    EXPECT_EQ(kra::NXSOrderInfo().orderState, kra::ORDER_STATE_NONE);
}

TEST(HostHeaders, EntrustDefaultsAreTheNamedCodes) {
    kra::NXSEntrust* entrust = kra::NXSEntrust::create("IF2412", 1, 3500.0);
    EXPECT_EQ(entrust->direction, kra::DIRECTION_LONG);
    EXPECT_EQ(entrust->priceType, kra::PRICE_TYPE_ANY);  // the market-order pitfall
    EXPECT_EQ(entrust->timeCondition, kra::TIME_CONDITION_DAY);
    EXPECT_EQ(entrust->offsetType, kra::OFFSET_OPEN);
    entrust->release();
    kra::NXSOrderAction* action = kra::NXSOrderAction::create();
    EXPECT_EQ(action->actionFlag, kra::ACTION_FLAG_CANCEL);
    action->release();
    kra::NXSTextNode node("4400");
    EXPECT_EQ(node.intValue(), 4400);
}

}  // namespace
