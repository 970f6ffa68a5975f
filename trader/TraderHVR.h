// TraderHVR: the trader object a host gets from createTrader. It implements
// kra::ITraderApi over one TCP connection to the trading server and reports
// everything through the host's listener.
//
// Threads
//   Host threads call the ITraderApi operations, several at once. One network
//   thread of the object's own runs the io_context: connect, receive and send
//   completions, framing, dispatch and every listener call they make, the
//   heartbeat, the two-second reconnect wait and the close step of release.
//   connect starts that thread when none runs, and reuses the running one
//   otherwise, so at most one thread ever runs the io_context.
//
// Lifetime
//   Handlers capture `this` and do not keep the object alive: release (and the
//   destructor, when the host skipped release) runs the close step on the
//   network thread and joins it before the object goes away. Members are
//   declared so that the socket, the strand and the timer die before the
//   io_context they were made on.
//
// The operations are defined in the file of their concern:
//   trader/TraderHVR.cpp   lifecycle: init, listener, connect, release
//   net/Connection.cpp     connect, reconnect, receive, network thread
//   net/SendPath.cpp       send queue, writes, heartbeat
//   ops/Session.cpp        login, logout, flow record
//   ops/Trading.cpp        orders, cancels, queries, dispatched answers
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/io_context_strand.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/thread/thread.hpp>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/ITraderApi.h"
#include "net/RepeatingTimer.h"
#include "net/WireFormat.h"
#include "ops/Dispatcher.h"
#include "ops/FlowFile.h"

namespace google::protobuf {
class MessageLite;
}

namespace hvr {

constexpr int RECONNECT_DELAY_MS = 2000;
inline const boost::posix_time::time_duration HEARTBEAT_INTERVAL = boost::posix_time::seconds(10);

class TraderHVR final : public kra::ITraderApi, private PacketHandler {
public:
    TraderHVR();
    ~TraderHVR() override;

    TraderHVR(const TraderHVR&) = delete;
    TraderHVR& operator=(const TraderHVR&) = delete;

    // kra::ITraderApi, in slot order.
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
    // connection (the receive buffer is then empty); nothing is closed here.
    // REQUIRES: no network thread runs (connect was never called, or the
    // trader was released), so that the caller is the only receiver.
    bool feedReceivedForTools(const uint8_t* data, std::size_t size) { return consumeReceived(data, size); }

private:
    // --- net/Connection.cpp (network thread unless noted) ---
    void startConnect();  // host thread (connect) or network thread
    void runNetworkThread(uint64_t generation);
    void handleConnect(const boost::system::error_code& error, uint64_t connection);
    void handleRead(const boost::system::error_code& error, std::size_t bytes, uint64_t connection);
    // The data path of handleRead: appends to the receive buffer and runs the
    // framing pass. False when the connection must be closed.
    bool consumeReceived(const uint8_t* data, std::size_t size);
    bool processRecvBuffer();
    void onFramingFailure(uint64_t connection);
    void waitThenReconnect(uint64_t failedConnection);
    void startReadLocked();               // REQUIRES: socketLock held
    void destroySocketLocked();           // REQUIRES: socketLock held
    // The attempt with this id is the newest one (its socket may be gone).
    bool isLatestAttempt(uint64_t connection);
    // ... and its socket is still there: not closed by disconnect or a failure.
    bool isLiveConnection(uint64_t connection);
    bool onNetworkThread() const;
    void closeSession();                  // posted to strand by release
    void stopNetworkThread();             // host thread: close step + join

    // --- net/SendPath.cpp ---
    void sendMessage(const google::protobuf::MessageLite& message, uint32_t functionCode, uint32_t requestNo);
    void sendEmptyRequest(uint32_t functionCode, uint32_t requestNo);
    void queuePacket(const std::string& packet);
    void flushSendBuffer();
    void flushSendBufferLocked();         // REQUIRES: sendLock held
    void startWriteLocked();              // REQUIRES: sendLock and socketLock held
    void handleWrite(const boost::system::error_code& error, std::size_t bytes, uint64_t connection);
    void onHeartbeat(const boost::system::error_code& error);
    uint32_t nextRequestNo() { return static_cast<uint32_t>(requestCounter.fetch_add(1) + 1); }

    // --- ops/Session.cpp ---
    int64_t chooseLoginPushId(const std::string& user);
    bool openFlowRecord();                // network thread
    void closeFlowRecord();
    std::string currentUserName();
    std::string flowFileNameFor(const std::string& user);

    // --- PacketHandler (ops/Session.cpp, ops/Trading.cpp), network thread ---
    void onLoginAnswer(const exchg::AnsLogin& answer) override;
    void onOrderInsertAnswer(const exchg::AnsOrderInsert& answer) override;
    void onOrderCancelAnswer(const exchg::AnsOrderCancel& answer) override;
    void onOrderList(const exchg::OrderList& list) override;
    void onTradeList(const exchg::TradeList& list) override;
    void onPositionList(const exchg::PositionList& list) override;
    void onAccountInfo(const exchg::AnsAccountInfo& answer) override;
    void onOrderPush(const exchg::Order& order) override;
    void onTradePush(const exchg::Trade& trade) override;
    void onPushHandled(uint64_t pushId) override;

    // Listener calls; each is skipped while no listener is registered.
    template <typename... Args>
    void log(int level, const char* format, Args... args) {
        if (kra::ITraderListener* l = listener.load(std::memory_order_acquire)) l->logMessage(level, format, args...);
    }
    void reportEvent(int kind, int code);
    // Hands obj to one listener call (if a listener is registered), then
    // releases the creator's reference.
    template <typename Object, typename Call>
    void deliver(Object* object, Call call) {
        if (kra::ITraderListener* l = listener.load(std::memory_order_acquire)) call(l);
        object->release();
    }

    // ===== Members, in the order of the design; extras are marked. =====

    // Configuration, written by init on a host thread, read by both sides:
    // guarded by configLock (extra).
    std::mutex configLock;
    std::string host;
    int32_t port = 0;
    int32_t pushMode = 0;
    // Written by login (host thread), read on the network thread: guarded by
    // identityLock (extra).
    std::mutex identityLock;
    std::string userName;
    std::string folder;  // guarded by configLock

    // Flow record. flowLock (extra) guards replacing the mapping and the
    // login's read of the record; the push path on the network thread reads
    // flowRecord without a lock. A mapping closed by a host thread while the
    // network thread runs is kept mapped in retiredFlowFiles until the network
    // thread (or the destructor) frees it, so a push never writes to a view
    // that has gone.
    std::mutex flowLock;
    std::unique_ptr<MappedFile> flowFile;
    std::atomic<uint8_t*> flowRecord{nullptr};
    std::vector<std::unique_ptr<MappedFile>> retiredFlowFiles;

    // Session identity: written on the network thread, read by makeEntrustId.
    std::atomic<uint32_t> tradingDate{0};
    std::atomic<uint32_t> sessionId{0};
    std::atomic<uint32_t> entrustSequence{0};
    std::atomic<int32_t> requestCounter{0};

    // Send queue, guarded by sendLock. At most one write is in flight: it owns
    // writingBatch until its completion; whatever is queued meanwhile goes out
    // as the next batch.
    std::mutex sendLock;
    std::string sendBuffer;
    std::string writingBatch;        // extra
    std::size_t writtenBytes = 0;    // extra
    bool writeInFlight = false;      // extra
    uint64_t writeConnection = 0;    // extra

    std::atomic<kra::ITraderListener*> listener{nullptr};

    boost::asio::ip::tcp::endpoint endpoint;  // guarded by configLock
    boost::asio::io_context ioService;

    // The socket and the id of the connection it carries, guarded by
    // socketLock (extra): host threads (connect, disconnect, send) and the
    // network thread replace, close and use it only under this lock, and no
    // listener call is made while it is held. Completion handlers carry the
    // connection id they were started for, so a late completion of a replaced
    // socket never acts on its successor.
    std::mutex socketLock;
    std::unique_ptr<boost::asio::ip::tcp::socket> socket;
    uint64_t connectionId = 0;

    boost::asio::io_context::strand strand;
    basic_repeating_timer heartbeatTimer;
    std::atomic<bool> stopped{false};

    // Network thread bookkeeping, guarded by threadLock (extra).
    std::mutex threadLock;
    std::shared_ptr<boost::thread> networkThread;
    bool networkThreadRunning = false;
    uint64_t connectGeneration = 0;
    std::atomic<std::thread::id> networkThreadId{std::thread::id()};

    // Set when release begins: cuts the two-second reconnect wait short and
    // keeps the loop from running again after the close step.
    std::atomic<bool> closing{false};
    std::mutex waitLock;
    std::condition_variable waitSignal;

    // Network thread only.
    std::string recvBuffer;
    DispatchScratch scratch;
    std::atomic<kra::IContractCatalog*> contractCatalog{nullptr};
    uint8_t readBuffer[READ_BUFFER_SIZE];
};

}  // namespace hvr
