// TraderHVR: the trader object a host gets from createTrader. It implements
// kra::ITraderApi over one TCP connection to the trading server and reports
// everything through the host's listener.
//
// Who owns what
//   Host threads call the ITraderApi operations, several at once. On their
//   own thread they only do what must stay there for speed: frame and number
//   requests, append them to the send queue under sendLock, and start a write
//   when none is in flight and a connection is up. Whatever touches the
//   connection's life they decide under stateLock and hand to the network
//   thread as a posted step.
//   The network thread runs ioService. It is started by the first connect and
//   ends in release (or the destructor), which joins it. It alone creates,
//   replaces, closes and destroys the socket, receives and dispatches, makes
//   nearly every listener call, opens and closes the flow record and writes
//   the session identity. A login on a host thread may write the flow file
//   again when it was deleted or replaced (under the record's own lock).
//
// Connection states (state, under stateLock)
//   Idle        nothing to do yet                  construction; init after Stopped
//   Connecting  an attempt is under way            connect; the end of a wait
//   Connected   receive pending, heartbeat running the attempt succeeded
//   Waiting     the two-second pause of a retry    an attempt failed; a receive or
//                                                  the framing of received bytes failed
//   Stopped     no socket, no attempts             disconnect; release
//   Transitions: Idle|Connecting|Connected|Waiting --connect--> Connecting (a new
//   attempt replaces the old one); Connecting --success--> Connected, --failure-->
//   Waiting; Connected --receive or framing failure--> Waiting; Waiting --two
//   seconds--> Connecting; any --disconnect--> Stopped; Stopped --init--> Idle.
//   Each attempt has an id (connectionId); completions and posted steps carry
//   the id they were made for and do nothing once a newer attempt exists.
//
// Events
//   Every attempt ends with one onTraderEvent(0, code), except an older one
//   ending after a newer one was reported connected (it says nothing the host
//   can use). Once disconnect
//   has reported (1, 0) no (0, 0) follows unless the host connects again: a
//   success that loses the race to disconnect is reported as (0, abort code),
//   and disconnect waits for a (0, 0) that is being delivered at that moment to
//   return before it reports.
//
// Locks
//   Order: stateLock before sendLock. flowRecord's lock and identityLock are
//   leaves. No lock is held during a listener call.
//
// Lifetime
//   Handlers capture `this` and do not keep the object alive: release (and the
//   destructor, when the host skipped release) runs the close step on the
//   network thread and joins it before the object goes away. ioService is
//   declared first so that the socket, the strand and the timer die before it.
#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/io_context_strand.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/thread/thread.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "host/ITraderApi.h"
#include "net/RepeatingTimer.h"
#include "net/WireFormat.h"
#include "ops/AnswerDelivery.h"
#include "ops/FlowRecord.h"
#include "ops/ReceiveStream.h"
#include "ops/Reporter.h"
#include "port/Mutex.h"

namespace google::protobuf {
class MessageLite;
}

namespace hvr {

constexpr int RECONNECT_DELAY_MS = 2000;
inline const boost::posix_time::time_duration HEARTBEAT_INTERVAL = boost::posix_time::seconds(10);

enum class ConnectionState { Idle, Connecting, Connected, Waiting, Stopped };

class TraderHVR final : public kra::ITraderApi, private SessionHooks {
public:
    TraderHVR();
    ~TraderHVR() override;

    TraderHVR(const TraderHVR&) = delete;
    TraderHVR& operator=(const TraderHVR&) = delete;

    // kra::ITraderApi, in slot order. Host threads.
    bool init(const kra::NXSConfigNode* config) override;
    void release() override;
    void registerListener(kra::ITraderListener* newListener) override;
    void connect() override;
    void disconnect() override;
    bool isConnected() override;
    bool makeEntrustId(char* buffer, int length) override;
    int login(const char* user, const char* password, const char* resource) override;
    int logout() override;
    int orderInsert(kra::NXSEntrust* entrust) override;
    int orderCancel(kra::NXSOrderAction* action) override;
    int queryAccount() override;
    int queryPositions() override;
    int queryOrders() override;
    int queryTrades() override;

    // For in-process tools and benchmarks only; not part of kra::ITraderApi
    // and not reachable through the module's exports. Runs bytes through the
    // receive path exactly as if they had just been read from the socket:
    // framing, dispatch, conversions and listener calls, on the calling
    // thread. Returns false where the network thread would close the
    // connection (the receive stream is then empty); nothing is closed here.
    // REQUIRES: no network thread runs (connect was never called, or the
    // trader was released), so that the caller is the only receiver.
    bool feedReceivedForTools(const uint8_t* data, std::size_t size) { return consumeReceived(data, size); }

private:
    // Settings from init.
    struct Settings {
        std::string host;
        int32_t port = 0;
        std::string folder;
        int32_t pushMode = 0;
        bool noDelay = false;
        boost::asio::ip::tcp::endpoint endpoint;
    };

    // --- trader/TraderHVR.cpp: lifecycle ---
    void startNetworkThreadLocked() REQUIRES(stateLock);
    void runNetworkThread();
    void stopNetworkThread() EXCLUDES(stateLock);  // host thread: close step + join
    void closeSession();                           // network thread, posted by stopNetworkThread
    bool onNetworkThread() const;

    // --- trader/Connection.cpp: network thread unless noted ---
    void startAttempt(uint64_t attempt) EXCLUDES(stateLock);
    void handleConnect(const boost::system::error_code& error, uint64_t attempt) EXCLUDES(stateLock);
    // onTraderEvent(0, code) for the end of an attempt.
    void reportAttemptEnd(uint64_t attempt, int code);
    void startRead(uint64_t attempt);
    void handleRead(const boost::system::error_code& error, std::size_t bytes, uint64_t attempt)
        EXCLUDES(stateLock);
    bool consumeReceived(const uint8_t* data, std::size_t size);
    void onFramingFailure(uint64_t attempt) EXCLUDES(stateLock);
    // Moves a current Connecting/Connected attempt to Waiting; false when the
    // attempt is no longer the current one or the host stopped it.
    bool enterWaiting(uint64_t attempt) EXCLUDES(stateLock);
    void waitThenReconnect(uint64_t failedAttempt) EXCLUDES(stateLock);
    void closeSocket() EXCLUDES(sendLock);              // the current socket, if any
    void closeSocketOf(uint64_t attempt) EXCLUDES(stateLock, sendLock);  // posted by disconnect
    // Host thread: no more writes on the socket of the connection that ends.
    void withdrawLiveSocketLocked() REQUIRES(stateLock) EXCLUDES(sendLock);
    bool isCurrent(uint64_t attempt, ConnectionState expected) EXCLUDES(stateLock);
    bool closingNow() EXCLUDES(stateLock);

    // --- trader/SendPath.cpp ---
    void sendMessage(const google::protobuf::MessageLite& message, uint32_t functionCode, uint32_t requestNo);
    void sendEmptyRequest(uint32_t functionCode, uint32_t requestNo);
    void queuePacket(const char* data, std::size_t size) EXCLUDES(sendLock);
    // Starts a write of everything queued if a connection is up and no write
    // is in flight.
    void startWriteIfIdleLocked() REQUIRES(sendLock);
    void continueWriteLocked() REQUIRES(sendLock);
    void handleWrite(const boost::system::error_code& error, std::size_t bytes, uint64_t attempt)
        EXCLUDES(sendLock);
    void onHeartbeat(const boost::system::error_code& error) EXCLUDES(stateLock);
    // Queued requests (the logout of release aside) still waiting at close.
    int unsentRequests() EXCLUDES(sendLock);
    uint32_t nextRequestNo() { return static_cast<uint32_t>(requestCounter.fetch_add(1) + 1); }

    // --- trader/Session.cpp ---
    int64_t chooseLoginPushId(const std::string& user) EXCLUDES(stateLock);
    // Logs what the flow record had to do about its file. Any thread.
    void reportFlowNotices(const FlowNotices& notices);
    // SessionHooks, network thread.
    void onLoginAnswer(const exchg::AnsLogin& answer) override EXCLUDES(stateLock, identityLock);
    void onPushHandled(uint64_t pushId) override;
    std::string accountName() override EXCLUDES(stateLock);

    // ===== Members =====

    // Immutable after construction; safe from any thread.
    boost::asio::io_context ioService;
    boost::asio::io_context::strand strand;  // serialises the close step of release
    Reporter reporter;                       // listener and catalog, swapped atomically

    // Connection state, settings and the network thread's handle.
    Mutex stateLock ACQUIRED_BEFORE(sendLock);
    CondVar stateChanged;  // waited on under stateLock
    ConnectionState state GUARDED_BY(stateLock) = ConnectionState::Idle;
    uint64_t connectionId GUARDED_BY(stateLock) = 0;  // id of the newest attempt
    bool reportingConnected GUARDED_BY(stateLock) = false;  // a (0, 0) is being delivered
    bool closing GUARDED_BY(stateLock) = false;  // release under way: no attempts, the wait ends
    Settings settings GUARDED_BY(stateLock);
    std::string userName GUARDED_BY(stateLock);  // user of the latest login call
    int64_t loginResumedFrom GUARDED_BY(stateLock) = 0;  // push id the latest login call sent
    std::unique_ptr<boost::thread> networkThread GUARDED_BY(stateLock);
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> keepRunning
        GUARDED_BY(stateLock);
    std::atomic<std::thread::id> networkThreadId{std::thread::id()};

    // The send queue. At most one write is in flight: it owns writingBatch
    // until its completion, and what is queued meanwhile goes out as the next
    // batch. liveSocket is the socket of the Connected attempt liveAttempt, set
    // by the network thread when the connection is up and cleared (under this
    // lock) before that socket is closed, so a host thread holding sendLock may
    // start a write on it.
    Mutex sendLock;
    std::string sendBuffer GUARDED_BY(sendLock);
    std::string writingBatch GUARDED_BY(sendLock);
    std::size_t writtenBytes GUARDED_BY(sendLock) = 0;
    bool writeInFlight GUARDED_BY(sendLock) = false;
    uint64_t writeAttempt GUARDED_BY(sendLock) = 0;
    boost::asio::ip::tcp::socket* liveSocket GUARDED_BY(sendLock) = nullptr;
    uint64_t liveAttempt GUARDED_BY(sendLock) = 0;

    // Session identity: written by a successful login answer on the network
    // thread, read by makeEntrustId on host threads; one lock so that an id
    // never mixes two logins.
    Mutex identityLock;
    uint32_t tradingDate GUARDED_BY(identityLock) = 0;
    uint32_t sessionId GUARDED_BY(identityLock) = 0;
    uint32_t entrustSequence GUARDED_BY(identityLock) = 0;

    std::atomic<int32_t> requestCounter{0};
    FlowRecord flowRecord;  // its own lock

    // Network thread only.
    std::unique_ptr<boost::asio::ip::tcp::socket> socket;
    uint64_t newestConnectedReported = 0;  // id of the latest attempt reported as (0, 0)
    basic_repeating_timer heartbeatTimer;  // started and cancelled there; locks of its own
    ReceiveStream receiveStream;
    AnswerDelivery delivery{reporter, *this};
    uint8_t readBuffer[READ_BUFFER_SIZE];
};

}  // namespace hvr
