#include "common/SessionRecords.h"

#include "common/GbkText.h"

namespace hvr::tools {

EntrustRecord copyEntrust(const kra::NXSEntrust& entrust) {
    EntrustRecord record;
    record.code = readableText(entrust.code);
    record.volume = entrust.volume;
    record.price = entrust.price;
    record.direction = entrust.direction;
    record.priceType = entrust.priceType;
    record.timeCondition = entrust.timeCondition;
    record.offsetType = entrust.offsetType;
    record.entrustId = readableText(entrust.entrustId);
    record.userTag = readableText(entrust.userTag);
    return record;
}

OrderRecord copyOrder(const kra::NXSOrderInfo& order) {
    OrderRecord record;
    static_cast<EntrustRecord&>(record) = copyEntrust(order);
    record.tradingDate = order.tradingDate;
    record.orderTime = order.orderTime;
    record.tradedVolume = order.tradedVolume;
    record.leftVolume = order.leftVolume;
    record.orderState = order.orderState;
    record.orderType = order.orderType;
    record.orderId = readableText(order.orderId);
    record.stateMessage = readableText(order.stateMessage);
    return record;
}

TradeRecord copyTrade(const kra::NXSTradeInfo& trade) {
    TradeRecord record;
    record.code = readableText(trade.code);
    record.tradeId = readableText(trade.tradeId);
    record.orderId = readableText(trade.orderId);
    record.userTag = readableText(trade.userTag);
    record.tradingDate = trade.tradingDate;
    record.tradeTime = trade.tradeTime;
    record.volume = trade.volume;
    record.price = trade.price;
    record.direction = trade.direction;
    record.offsetType = trade.offsetType;
    record.orderType = trade.orderType;
    record.amount = trade.amount;
    return record;
}

PositionRecord copyPosition(const kra::NXSPositionItem& position) {
    PositionRecord record;
    record.code = readableText(position.code);
    record.currency = readableText(position.currency);
    record.direction = position.direction;
    record.preVolume = position.preVolume;
    record.newVolume = position.newVolume;
    record.availPreVolume = position.availPreVolume;
    record.availNewVolume = position.availNewVolume;
    record.totalCost = position.totalCost;
    record.margin = position.margin;
    record.avgPrice = position.avgPrice;
    record.dynProfit = position.dynProfit;
    return record;
}

AccountRecord copyAccount(const kra::NXSAccountInfo& account) {
    AccountRecord record;
    record.accountName = readableText(account.accountName);
    record.currency = readableText(account.currency);
    record.balance = account.balance;
    record.preBalance = account.preBalance;
    record.margin = account.margin;
    record.commission = account.commission;
    record.frozenMargin = account.frozenMargin;
    record.frozenCommission = account.frozenCommission;
    record.closeProfit = account.closeProfit;
    record.dynProfit = account.dynProfit;
    record.deposit = account.deposit;
    record.withdraw = account.withdraw;
    record.available = account.available;
    return record;
}

}  // namespace hvr::tools
