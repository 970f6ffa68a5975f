// TraderHVR: the trader object a host gets from createTrader. It implements
// kra::ITraderApi over one TCP connection to the trading server and reports
// everything through the host's listener.
//
// Who owns what
//   Host threads call the ITraderApi operations, several at once. On their
//   own thread they only do what must stay there for speed: frame and number
//   requests, append them to the send queue under sendLock, and send on the
//   live descriptor when no write is in flight and a connection is up; what
//   the socket does not take at once goes on from the network thread, which
//   alone uses the socket object. Whatever touches the
//   connection's life they decide under stateLock and hand to the network
//   thread as a posted step.
//   The network thread runs ioService. It is started by the first connect and
//   ends in release (or the destructor), which joins it. It alone creates,
//   replaces, closes and destroys the socket, starts every asynchronous
//   operation on it, receives and dispatches, makes
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
//   return before it reports. "Connected" is one transition: the hold of
//   stateLock that moves the attempt to Connected also publishes its socket
//   to the send path (under sendLock, nested), so no host connect or
//   disconnect can fall between the two.
//
// Dead peers (init key peertimeout, seconds; 0 = off)
//   Once the server has sent a heartbeat on the connection, that long without
//   a byte from it ends the connection as a failed receive does, with
//   (1, ETIMEDOUT) and its own line; the socket also gets TCP_USER_TIMEOUT and
//   keep-alive, so a peer that vanished fails the next unacknowledged send.
//
// The send queue (init key sendqueue, bytes; default 64 MiB)
//   A request that would make the queued bytes exceed the limit is refused
//   (-1, nothing queued, one level-104 line a second at most). The heartbeat
//   is never refused.
//
// A forked child
//   A child's copy of a trader (see ForkGeneration.h) does nothing on the
//   wire: requests return -1, connect and disconnect do nothing, release
//   returns at once and deleteTrader leaves the copy's memory to the process
//   (tearing down an event loop that shares the parent's descriptors would
//   act on the parent's connection). It takes none of the object's locks,
//   which another thread of the parent may have held at the fork.
//
// Locks
//   Order: the heartbeat timer's own lock (held while onHeartbeat runs), then
//   stateLock, then sendLock. flowRecord's lock and identityLock are leaves.
//   No lock is held during a listener call.
//
// Lifetime
//   Handlers capture `this` and do not keep the object alive: release (and the
//   destructor, when the host skipped release) runs the close step on the
//   network thread and joins it before the object goes away. ioService is
//   declared first so that the socket, the strand and the timers die before
//   it. release and deleteTrader from inside a listener callback (on the
//   network thread) are refused: the thread cannot wait for itself, and the
//   object it runs on must outlive the callback.
#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/io_context_strand.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/thread/thread.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "host/ITraderApi.h"
#include "net/PeerSilence.h"
#include "net/QueueFullLine.h"
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
constexpr std::chrono::seconds HEARTBEAT_INTERVAL{10};  // on the monotonic clock
constexpr std::size_t DEFAULT_SEND_QUEUE_LIMIT = std::size_t{64} << 20;
// The largest peertimeout taken (the keep-alive idle time's limit).
constexpr int MAX_PEER_TIMEOUT_SECONDS = 32767;

enum class ConnectionState { Idle, Connecting, Connected, Waiting, Stopped };

class TraderHVR final : public kra::ITraderApi, private SessionHooks {
public:
    TraderHVR();
    ~TraderHVR() override;

    TraderHVR(const TraderHVR&) = delete;
    TraderHVR& operator=(const TraderHVR&) = delete;

    // Each object (over 4 MiB with its receive buffer) is a mapping of its
    // own, given back to the system when it is deleted. From malloc, every
    // object after the first would come from the heap (glibc raises its
    // mapping threshold when a mapped block is freed), and a host that made
    // and deleted thousands of traders would keep gigabytes reserved: fork()
    // then fails with ENOMEM (measured: 26 GB after 6,500).
    static void* operator new(std::size_t size);
    static void operator delete(void* object, std::size_t size) noexcept;

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

    // Seams for in-process tests; not reachable through the module's
    // exports. Set before connect. afterConnected runs on the network thread
    // right after the hold that made an attempt Connected, before its (0, 0)
    // and before it writes what was queued while there was no connection (a
    // host thread's request may write that sooner), with the socket's
    // descriptor (a test may bound its send buffer there);
    // asyncWriteStarting runs wherever an asynchronous write is started.
    struct TestSeams {
        std::function<void(int socketDescriptor)> afterConnected;
        std::function<void()> asyncWriteStarting;
    };
    void setSeamsForTests(TestSeams seams) { testSeams = std::move(seams); }

    // deleteTrader: destroys trader and sets it to null, except from inside
    // one of its own listener callbacks (refused with a level-104 line, both
    // left as they are) and in a forked child (the copy is left to the
    // process, the pointer set to null).
    static void destroy(kra::ITraderApi*& trader);

private:
    // Settings from init.
    struct Settings {
        std::string host;
        int32_t port = 0;
        std::string folder;
        int32_t pushMode = 0;
        bool noDelay = false;
        int peerTimeoutSeconds = 0;  // 0 = no dead-peer detection
        std::size_t sendQueueLimit = DEFAULT_SEND_QUEUE_LIMIT;
        boost::asio::ip::tcp::endpoint endpoint;
    };

    // --- trader/TraderHVR.cpp: lifecycle ---
    void startNetworkThreadLocked() REQUIRES(stateLock);
    void runNetworkThread();
    void stopNetworkThread() EXCLUDES(stateLock);  // host thread: close step + join
    void closeSession();                           // network thread, posted by stopNetworkThread
    bool onNetworkThread() const;
    // A forked child's copy of a parent's trader (see ForkGeneration.h).
    bool copiedByFork() const;
    void leaveThreadAfterFork() NO_THREAD_SAFETY_ANALYSIS;  // the child's copy: the thread handle is left

    // --- trader/Connection.cpp: network thread unless noted ---
    void startAttempt(uint64_t attempt) EXCLUDES(stateLock);
    void handleConnect(const boost::system::error_code& error, uint64_t attempt) EXCLUDES(stateLock);
    // Sets the socket options of a new connection (nodelay, dead-peer ones).
    void applySocketOptions(bool noDelay, int peerTimeoutSeconds);
    // Dead-peer detection of the Connected attempt (peertimeout).
    void startPeerWatch(uint64_t attempt, int seconds);
    void armPeerTimer(uint64_t attempt, PeerSilence::Clock::time_point when);
    void onPeerTimer(const boost::system::error_code& error, uint64_t attempt) EXCLUDES(stateLock);
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
    // Ends the Connected attempt whose server went quiet (peertimeout).
    void onPeerSilent(uint64_t attempt) EXCLUDES(stateLock);
    bool isCurrent(uint64_t attempt, ConnectionState expected) EXCLUDES(stateLock);
    bool closingNow() EXCLUDES(stateLock);

    // --- trader/SendPath.cpp ---
    // Each returns false, with nothing queued, when the request is refused:
    // the send queue is at its limit, or the object is a forked child's copy.
    bool sendMessage(const google::protobuf::MessageLite& message, uint32_t functionCode, uint32_t requestNo);
    bool sendEmptyRequest(uint32_t functionCode, uint32_t requestNo);
    void sendHeartbeat();  // never refused
    enum class QueueLimit { Applies, Exempt };
    bool queuePacket(const char* data, std::size_t size, QueueLimit limit) EXCLUDES(sendLock);
    // Starts a write of everything queued if a connection is up and no write
    // is in flight: a non-blocking send on the descriptor from the calling
    // thread, and whatever it leaves goes on asynchronously on the network
    // thread.
    void startWriteIfIdleLocked() REQUIRES(sendLock);
    // Network thread: the asynchronous rest of the batch in flight.
    void continueWriteLocked() REQUIRES(sendLock);
    void resumeWrite(uint64_t attempt) EXCLUDES(sendLock);  // posted by a host thread's write
    void handleWrite(const boost::system::error_code& error, std::size_t bytes, uint64_t attempt)
        EXCLUDES(sendLock);
    void onHeartbeat(const boost::system::error_code& error) EXCLUDES(stateLock);
    // Empties the queue at the close of release; returns how many requests
    // (heartbeats and logouts aside) it held.
    int dropUnsentRequests() EXCLUDES(sendLock);
    uint32_t nextRequestNo() { return static_cast<uint32_t>(requestCounter.fetch_add(1) + 1); }

    // --- trader/Session.cpp ---
    int64_t chooseLoginPushId(const std::string& user) EXCLUDES(stateLock);
    // Logs what the flow record had to do about its file. Any thread.
    void reportFlowNotices(const FlowNotices& notices);
    // SessionHooks, network thread.
    void onLoginAnswer(const exchg::AnsLogin& answer) override EXCLUDES(stateLock, identityLock);
    void onPushHandled(uint64_t pushId) override;
    std::string accountName() override EXCLUDES(stateLock);
    void onServerHeartbeat() override { peerSilence.heartbeatReceived(); }

    // ===== Members =====

    // Immutable after construction; safe from any thread.
    boost::asio::io_context ioService;
    boost::asio::io_context::strand strand;  // serialises the close step of release
    const uint64_t forkGeneration;           // of the process that made the object

    // Synchronised by themselves (atomics); any thread.
    Reporter reporter;  // listener and catalog, swapped atomically
    std::atomic<std::thread::id> networkThreadId{std::thread::id()};  // while the thread runs
    std::atomic<int32_t> requestCounter{0};

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

    // The send queue. At most one write is in flight: it owns writingBatch
    // until its completion, and what is queued meanwhile goes out as the next
    // batch. liveDescriptor is the socket descriptor of the Connected attempt
    // liveAttempt, published in the hold that made it Connected and withdrawn
    // (under this lock) before that socket is closed, so a host thread holding
    // sendLock may send on the descriptor. Host threads never touch the socket
    // object: an asynchronous write is started on the network thread.
    Mutex sendLock;
    std::string sendBuffer GUARDED_BY(sendLock);
    std::string writingBatch GUARDED_BY(sendLock);
    std::size_t writtenBytes GUARDED_BY(sendLock) = 0;
    bool writeInFlight GUARDED_BY(sendLock) = false;
    uint64_t writeAttempt GUARDED_BY(sendLock) = 0;
    int liveDescriptor GUARDED_BY(sendLock) = -1;
    uint64_t liveAttempt GUARDED_BY(sendLock) = 0;
    std::size_t sendQueueLimit GUARDED_BY(sendLock) = DEFAULT_SEND_QUEUE_LIMIT;  // from init
    QueueFullLine queueFullLine GUARDED_BY(sendLock);

    // Session identity: written by a successful login answer on the network
    // thread, read by makeEntrustId on host threads; one lock so that an id
    // never mixes two logins.
    Mutex identityLock;
    uint32_t tradingDate GUARDED_BY(identityLock) = 0;
    uint32_t sessionId GUARDED_BY(identityLock) = 0;
    uint32_t entrustSequence GUARDED_BY(identityLock) = 0;

    FlowRecord flowRecord;  // its own lock

    // Network thread only (the seams: set before connect).
    std::unique_ptr<boost::asio::ip::tcp::socket> socket;
    uint64_t newestConnectedReported = 0;  // id of the latest attempt reported as (0, 0)
    basic_repeating_timer heartbeatTimer;  // started and cancelled there; locks of its own
    // Made at the first connection (a timer made with the object would open
    // the event loop's descriptors at createTrader).
    std::unique_ptr<boost::asio::steady_timer> peerTimer;
    PeerSilence peerSilence;
    int peerTimeoutSeconds = 0;    // of the Connected attempt
    uint64_t silencedAttempt = 0;  // cut for silence: its aborted receive says nothing
    TestSeams testSeams;
    ReceiveStream receiveStream;
    AnswerDelivery delivery{reporter, *this};
    uint8_t readBuffer[READ_BUFFER_SIZE];
};

}  // namespace hvr
