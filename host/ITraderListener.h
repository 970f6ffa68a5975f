// The host's listener, registered with ITraderApi::registerListener. The host
// owns it; the module never deletes it.
//
// Threads: calls come from the module's network thread, except those made
// inside an ITraderApi call on the caller's thread (logMessage and the
// disconnect event). No module lock is held during a call, so a listener may
// call back into the module, with one exception: it must never call
// ITraderApi::release from inside a callback.
//
// Objects passed to slots 3 to 10 are released by the module right after the
// call returns; a listener that keeps one calls retain() first (NXSObject.h).
#pragma once

#include <cstdint>

#include "IContractCatalog.h"
#include "NXSObject.h"
#include "NXSRecords.h"

namespace kra {

// Levels of logMessage.
enum LogLevel { LOG_LEVEL_INFO = 102, LOG_LEVEL_WARN = 103, LOG_LEVEL_ERROR = 104 };

class ITraderListener {
public:
    // Slot 0. kind 0 after a connect attempt (code 0 = connected, else the
    // socket error); kind 1 when the connection ends (the receive error, or 0).
    virtual void onTraderEvent(int kind, int code) = 0;
    // Slot 1. message is empty on success and valid only during the call.
    virtual void onLoginResult(bool succeeded, const char* message, uint32_t tradingDate) = 0;
    // Slot 2. Reserved; the module never calls it.
    virtual void onLogoutResult() {}
    // Slot 3. error is null when the order was accepted.
    virtual void onEntrustAnswer(NXSEntrust* entrust, NXSError* error) = 0;
    // Slots 4 to 7: one call per query answer, also when the array is empty.
    virtual void onAccountAnswer(NXSArray* accounts) = 0;
    virtual void onPositionsAnswer(NXSArray* positions) = 0;
    virtual void onOrdersAnswer(NXSArray* orders) = 0;
    virtual void onTradesAnswer(NXSArray* trades) = 0;
    // Slots 8, 9: pushed order and fill updates.
    virtual void onOrderPush(NXSOrderInfo* order) = 0;
    virtual void onTradePush(NXSTradeInfo* trade) = 0;
    // Slot 10: a refused cancel (error code 2).
    virtual void onTraderError(NXSError* error) = 0;
    // Slot 11: asked at each registration; the module keeps the result until
    // the next registration. May return null.
    virtual IContractCatalog* getContractCatalog() = 0;
    // Slot 12: printf-style; the text is GBK and starts with "[TraderHVR]".
    virtual void logMessage(int level, const char* format, ...) = 0;

protected:
    // The module never deletes a listener.
    ~ITraderListener() = default;
};

}  // namespace kra
