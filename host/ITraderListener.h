/// @file
/// The host's listener ITraderListener, the levels of its log lines and the
/// codes of its connection events.
//
// The host's listener, registered with ITraderApi::registerListener. The host
// owns it; the module never deletes it.
//
// Threads: calls come from the module's network thread (in the shared mode
// the pool thread the trader is bound to), except those made inside an
// ITraderApi call on the caller's thread (logMessage and the disconnect
// event). No module lock is held during a call, so a listener may
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

/// Levels of logMessage. Every line and its meaning: docs/log-lines.md.
enum LogLevel {
    LOG_LEVEL_INFO = 102,   ///< information: connecting, connected
    LOG_LEVEL_WARN = 103,   ///< warning: a connection lost (the module reconnects), a position left out
    LOG_LEVEL_ERROR = 104,  ///< error: something was not done (a request refused or lost, no flow file)
};

/// @name Kinds of ITraderListener::onTraderEvent
/// @{
constexpr int TRADER_EVENT_CONNECT = 0;     ///< a connection attempt ended; code 0 means connected
constexpr int TRADER_EVENT_CONNECTION = 1;  ///< the connection ended, or disconnect was called
/// @}

/// @name Codes of ITraderListener::onTraderEvent that are not system error numbers
/// Every other nonzero code is the system's error number (errno) of the
/// socket call, to read with strerror: the table at onTraderEvent lists the
/// usual ones.
/// @{

/// Kind 0: connected. Kind 1: closed by disconnect or release, or by the
/// module itself after a broken packet stream (it reconnects then).
constexpr int TRADER_CODE_OK = 0;
/// Kind 1 only: the server closed the connection (end of file). This is
/// Boost.Asio's own code, not errno 2 (ENOENT): do not pass it to strerror.
constexpr int TRADER_CODE_END_OF_FILE = 2;
/// @}

/// The host's listener: everything the module reports arrives here.
///
/// Threads: calls come from the module's network thread (in the shared mode
/// the pool thread the trader is bound to, with other traders' calls; see
/// ITraderApi), except those made inside an ITraderApi call on the caller's
/// thread (logMessage and the disconnect event). No module lock is held during a call, so a listener
/// may call back into the module, except ITraderApi::release.
///
/// Objects passed to slots 3 to 10 are released by the module right after the
/// call returns; a listener that keeps one calls NXSObject::retain first.
class ITraderListener {
public:
    /// Slot 0: the connection's events. Every connection attempt ends with
    /// exactly one kind-0 event.
    ///
    /// | kind | code | meaning |
    /// |------|------|---------|
    /// | 0 | 0 (TRADER_CODE_OK) | connected: log in now |
    /// | 0 | 111 (ECONNREFUSED) | nothing listens at the address; retried after two seconds |
    /// | 0 | 110 (ETIMEDOUT), 113 (EHOSTUNREACH), 101 (ENETUNREACH) | the server cannot be reached; retried |
    /// | 0 | 97 (EAFNOSUPPORT) | the address family is not available on this machine; retried |
    /// | 0 | 125 (ECANCELED) | the attempt was cut short by disconnect or by a newer connect |
    /// | 1 | 0 (TRADER_CODE_OK) | closed by disconnect or release, or after a broken packet stream (then retried) |
    /// | 1 | 2 (TRADER_CODE_END_OF_FILE) | the server closed the connection; retried after two seconds |
    /// | 1 | 104 (ECONNRESET), 32 (EPIPE), 110 (ETIMEDOUT) | the connection broke; retried after two seconds |
    /// | 1 | 125 (ECANCELED) | the receive of a connection that disconnect closed was cut short |
    ///
    /// @param kind TRADER_EVENT_CONNECT (0) or TRADER_EVENT_CONNECTION (1).
    /// @param code TRADER_CODE_OK, TRADER_CODE_END_OF_FILE (kind 1), or the
    ///   system's error number.
    virtual void onTraderEvent(int kind, int code) = 0;
    /// Slot 1: the answer to a login. message (GBK) is empty on success and
    /// valid only during the call; tradingDate is YYYYMMDD.
    virtual void onLoginResult(bool succeeded, const char* message, uint32_t tradingDate) = 0;
    /// Slot 2: reserved; the module never calls it.
    virtual void onLogoutResult() {}
    /// Slot 3: the answer to an order insert. error is null when the order was
    /// accepted (entrust->entrustId is then the server's order id); otherwise
    /// its code is ERROR_ORDER_REFUSED and its message the server's reason.
    virtual void onEntrustAnswer(NXSEntrust* entrust, NXSError* error) = 0;
    /// Slot 4: the answer to queryAccount, an array of NXSAccountInfo (one
    /// call per answer, also when empty).
    virtual void onAccountAnswer(NXSArray* accounts) = 0;
    /// Slot 5: the answer to queryPositions, an array of NXSPositionItem.
    virtual void onPositionsAnswer(NXSArray* positions) = 0;
    /// Slot 6: the answer to queryOrders, an array of NXSOrderInfo.
    virtual void onOrdersAnswer(NXSArray* orders) = 0;
    /// Slot 7: the answer to queryTrades, an array of NXSTradeInfo.
    virtual void onTradesAnswer(NXSArray* trades) = 0;
    /// Slot 8: a pushed order update (NXSOrderInfo::orderTime in seconds here).
    virtual void onOrderPush(NXSOrderInfo* order) = 0;
    /// Slot 9: a pushed fill.
    virtual void onTradePush(NXSTradeInfo* trade) = 0;
    /// Slot 10: a refused cancel: code ERROR_CANCEL_REFUSED, message the
    /// text of the server's result code. It does not say which order: the
    /// server answers cancels in the order they were sent.
    virtual void onTraderError(NXSError* error) = 0;
    /// Slot 11: asked at each registration; the module keeps the result
    /// until the next registration. May return null (then every position is
    /// left out of position answers, with a warning).
    virtual IContractCatalog* getContractCatalog() = 0;
    /// Slot 12: a log line, printf-style; the text is GBK and starts with
    /// "[TraderHVR]". level is a LogLevel.
    virtual void logMessage(int level, const char* format, ...) = 0;

protected:
    /// The module never deletes a listener.
    ~ITraderListener() = default;
};

}  // namespace kra
