// One command of the host's little language, as typed at the prompt or read
// from a script. Plain data: CommandParser makes it, CommandRunner carries it
// out.
#pragma once

#include <cstdint>
#include <string>

namespace hvr::cli {

enum class CommandKind {
    Empty,       // a blank line or a comment
    Connect,
    Disconnect,
    Login,       // login [USER [PASSWORD]]
    Logout,
    Buy,         // buy CODE VOLUME PRICE [flags]
    Sell,
    Cancel,      // cancel ORDERID|last
    Positions,
    Funds,
    Orders,
    Trades,
    Book,        // book: the book's orders and positions
    Doubt,       // doubt: the orders and cancels in doubt, not resolved yet
    Reconcile,   // reconcile [TIMEOUT_MS]: compare the book with the server and wait for the result
    Wait,        // wait [TIMEOUT_MS]: every insert, cancel and query answered
    Await,       // await EVENT ... [TIMEOUT_MS]: an event has happened
    Expect,      // expect COUNTER N: a counter holds exactly N
    Sleep,       // sleep MS
    Status,
    Help,
    Quit,
};

// What an await waits for.
enum class AwaitEvent {
    Connected,   // await connected
    LoggedIn,    // await login
    Filled,      // await filled ORDER: an order push reports it all traded
    Cancelled,   // await cancelled ORDER
    Queuing,     // await queuing ORDER: resting in the book
    Finished,    // await finished ORDER: filled, cancelled or no longer queuing
    Trades,      // await trades N: N trade pushes this session
    Pushes,      // await pushes N: N pushes (orders and trades) this session
    Logins,      // await logins N: N successful logins this session (reconnects log in again)
    Reconciled,  // await reconciled N: N reconciliations finished this session
};

// What an expect checks.
enum class ExpectCounter { Pushes, OrderPushes, TradePushes, Duplicates, Refusals, Differences };

struct OrderRequest {
    std::string code;
    uint32_t volume = 0;
    double price = 0.0;
    char direction = '0';      // '0' buy (long), '1' sell (short)
    char offset = '0';         // '0' open, '1' close, '3' close today
    char timeCondition = '3';  // '3' day, '2' section, '1' immediate or cancel
    char priceType = '2';      // '2' limit, '1' any price
};

struct Command {
    CommandKind kind = CommandKind::Empty;
    std::string user;          // Login
    std::string password;      // Login
    bool passwordGiven = false;  // Login: PASSWORD was typed (else $HVR_PASSWORD or a prompt)
    OrderRequest order;        // Buy, Sell
    std::string orderRef;      // Cancel, Await: a server order id or "last"
    AwaitEvent awaitEvent = AwaitEvent::Connected;
    ExpectCounter expectCounter = ExpectCounter::Pushes;
    uint64_t count = 0;        // Await trades/pushes, Expect
    long timeoutMs = -1;       // Wait, Await, Reconcile; -1 = the session's default
    long sleepMs = 0;          // Sleep
};

}  // namespace hvr::cli
