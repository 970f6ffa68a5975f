// Host orders and cancels to protocol requests.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>

#include "ops/OrderEncoding.h"

namespace hvr {
namespace {

int32_t encoded(double price) {
    uint32_t wire = 0xDEADBEEF;
    EXPECT_TRUE(encodePrice(price, wire)) << price;
    return static_cast<int32_t>(wire);
}

TEST(PriceEncoding, ScalesAndRoundsHalfAwayFromZero) {
    EXPECT_EQ(encoded(12.3456), 123456);
    EXPECT_EQ(encoded(0.00005), 1);
    EXPECT_EQ(encoded(0.0), 0);
    EXPECT_EQ(encoded(-1.5), -15000);
    EXPECT_EQ(encoded(-0.00005), -1);
    EXPECT_EQ(encoded(214748.3647), 2147483647);
    EXPECT_EQ(encoded(-214748.3648), -2147483647 - 1);
}

TEST(PriceEncoding, LargestDoubleMeansNoPrice) { EXPECT_EQ(encoded(DBL_MAX), 0); }

TEST(PriceEncoding, RefusesWhatCannotTravel) {
    for (double bad : {214748.3648, -214748.3649, 1e12, -DBL_MAX, std::numeric_limits<double>::infinity(),
                       std::numeric_limits<double>::quiet_NaN()}) {
        uint32_t wire = 7;
        EXPECT_FALSE(encodePrice(bad, wire)) << bad;
        EXPECT_EQ(wire, 7u);
    }
}

TEST(OrderEncoding, HostCodesMapToProtocolValues) {
    EXPECT_EQ(directionToWire('0'), exchg::DT_Long);
    EXPECT_EQ(directionToWire('1'), exchg::DT_Short);
    EXPECT_EQ(directionToWire('5'), exchg::DT_Short);
    EXPECT_EQ(priceTypeToWire('1'), exchg::PT_AnyPrice);
    EXPECT_EQ(priceTypeToWire('2'), exchg::PT_LimitPrice);
    EXPECT_EQ(priceTypeToWire('0'), exchg::PT_LimitPrice);
    EXPECT_EQ(timeConditionToWire('3'), exchg::TC_ValidInDay);
    EXPECT_EQ(timeConditionToWire('2'), exchg::TC_ValidInSection);
    EXPECT_EQ(timeConditionToWire('1'), exchg::TC_ImmediateOrCancel);
    EXPECT_EQ(offsetToWire('0'), exchg::OF_Open);
    EXPECT_EQ(offsetToWire('1'), exchg::OF_Close);
    EXPECT_EQ(offsetToWire('3'), exchg::OF_CloseToday);
    EXPECT_EQ(offsetToWire('2'), exchg::OF_CloseToday);
}

TEST(OrderEncoding, BuildsACompleteRequestWithoutPositionId) {
    kra::NXSEntrust* entrust = kra::NXSEntrust::create("IF2412", 3, -1.5);
    entrust->userTag = "u-7";
    entrust->entrustId = "not sent";
    exchg::ReqOrderInsert request;
    ASSERT_TRUE(buildOrderInsert(*entrust, request));
    EXPECT_TRUE(request.IsInitialized());
    EXPECT_FALSE(request.has_posid());
    EXPECT_EQ(request.instrument(), "IF2412");
    EXPECT_EQ(request.price(), static_cast<uint32_t>(-15000));
    EXPECT_EQ(request.qty(), 3u);
    EXPECT_EQ(request.usertag(), "u-7");
    EXPECT_EQ(request.pxtype(), exchg::PT_AnyPrice);  // the entrust default '1'
    entrust->price = std::nan("");
    EXPECT_FALSE(buildOrderInsert(*entrust, request));
    entrust->release();
}

TEST(OrderIdText, ReadsLikeAnUnsignedLong) {
    EXPECT_EQ(parseOrderId("42"), 42u);
    EXPECT_EQ(parseOrderId("   42"), 42u);
    EXPECT_EQ(parseOrderId("\t\n42abc"), 42u);
    EXPECT_EQ(parseOrderId("+42"), 42u);
    EXPECT_EQ(parseOrderId(""), 0u);
    EXPECT_EQ(parseOrderId("abc"), 0u);
    EXPECT_EQ(parseOrderId("-"), 0u);
    EXPECT_EQ(parseOrderId("-1"), 4294967295u);
    EXPECT_EQ(parseOrderId("-42"), 4294967254u);
    EXPECT_EQ(parseOrderId("4294967295"), 4294967295u);
    EXPECT_EQ(parseOrderId("4294967296"), 4294967295u);
    EXPECT_EQ(parseOrderId("99999999999999999999999"), 4294967295u);
    EXPECT_EQ(parseOrderId("-4294967296"), 4294967295u);
    EXPECT_EQ(parseOrderId(nullptr), 0u);
}

}  // namespace
}  // namespace hvr
