// TraderHVR: the trader object a host gets from createTrader. It implements
// kra::ITraderApi over one TCP connection to the trading server and reports
// everything through the host's listener.
//
// It is a facade over its parts, each of which states its own invariants and
// lock rules:
//   SendQueue (SendQueue.h)  the requests on their way out: append, limit, the
//                            live descriptor, the batch in flight, drop and
//                            put-back accounting, request numbers
//   Link (Link.h)            the connection: its state, attempt ids, the
//                            "connected" transition, how an attempt ends and
//                            who reports what
//   FlowRecord               the push id of the last push handled, on disk
//   AnswerDelivery           answers and pushes to the listener, push ids to
//                            the flow record
// What lives here are the rules the host relies on, and what ties the parts
// together: the settings and the session identity, and the network thread's
// life.
//
// The host's rules
//   - Host threads call the ITraderApi operations, several at once. None waits
//     for the network. release waits for the network thread's close step, and
//     disconnect for a (0, 0) being delivered at that moment to return (so
//     that its (1, 0) comes after it; see Link.h).
//   - After disconnect or release only init starts connecting again; connect
//     before it writes one warning line and starts nothing.
//   - One release at a time: a second release, and an init on a host thread,
//     wait for a release under way to finish (lifecycleLock). An init from
//     inside a callback during release cannot wait for it (release waits for
//     that thread): it stores the settings and the trader stays released
//     until the next init.
//   - release and deleteTrader from inside a listener callback (on the network
//     thread) are refused: the thread cannot wait for itself, and the object
//     it runs on must outlive the callback. release then throws the thread
//     library's resource-deadlock error, deleteTrader writes a level-104 line
//     and leaves the trader as it is. On a pool thread both are refused for
//     every trader: a pool thread never waits for a trader's close step. A
//     plain delete on the trader's own network thread (the destructor inside
//     one of its callbacks) writes a level-104 line and aborts the process:
//     the thread would return into the freed object.
//   - A forked child's copy of a trader (see ForkGeneration.h) does nothing on
//     the wire: requests return -1, connect and disconnect do nothing, release
//     returns at once and deleteTrader leaves the copy's memory to the process
//     (tearing down an event loop that shares the parent's descriptors would
//     act on the parent's connection). It takes none of the object's locks,
//     which another thread of the parent may have held at the fork.
//   - Init keys besides those of every trader: threads and poolthreads (the
//     shared mode, below), nodelay (1 = TCP_NODELAY),
//     peertimeout (seconds; once the server has sent a heartbeat of its own
//     on the connection (more than we sent: an echo of ours is not one),
//     that long without a byte from it ends the connection with
//     (1, ETIMEDOUT); the socket also gets TCP_USER_TIMEOUT and keep-alive, so
//     a peer that vanished fails the next unacknowledged send), and sendqueue
//     (bytes queued at most; default 64 MiB). A number init cannot take as
//     written (a port outside 1..65535, a text that is no whole number) is
//     named in a warning, at init or at the next registerListener.
//
// The network thread
//   runs the trader's event loop (`loop`, EventLoop.h). By default that is
//   ioService, run by a thread of the trader's own: the first connect starts
//   it; release (or the destructor, when the host skipped release) posts the
//   close step to it and joins it. In the shared mode (init key
//   threads=shared) it is the loop of a thread of the process's network pool
//   (NetworkPool.h, made with poolthreads threads by the first trader that
//   asks; 0 or none: one per CPU): the first connect after creation or
//   release binds the trader to the pool thread with the fewest traders;
//   release posts the close step there, waits for it to finish and unbinds.
//   The mode an init asks for takes effect at the next such connect. The
//   network thread alone touches the socket and what the analysis marks
//   GUARDED_BY (networkThread) (see NetworkThread.h). It receives and
//   dispatches, makes nearly every listener call, opens and closes the flow record and writes
//   the session identity (a login on a host thread may write the flow file
//   again, under the record's own lock). Host threads hand it what touches
//   the connection's life as posted steps (the link does).
//
// Locks
//   Order: lifecycleLock, threadLock, then the link's lock, then the send
//   queue's. The
//   heartbeat timer's own lock (held while the heartbeat runs) comes before
//   the link's. sessionLock, identityLock and the flow record's lock are
//   leaves; so are the network pool's (taken under threadLock, to bind and
//   unbind). No lock is held during a listener call.
//
// Lifetime
//   Handlers capture `this` and do not keep the object alive: release (and the
//   destructor) runs the close step on the network thread and joins it (on a
//   pool thread: waits for the close step's last step, after which no step of
//   the trader is queued there) before the object goes away. ioService and the pool are declared first so that
//   the socket and the timers (the link's), made on either loop, die before
//   it.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/thread/thread.hpp>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/ITraderApi.h"
#include "ops/AnswerDelivery.h"
#include "ops/FlowRecord.h"
#include "ops/Reporter.h"
#include "port/Mutex.h"
#include "trader/EventLoop.h"
#include "trader/Link.h"
#include "trader/NetworkPool.h"
#include "trader/NetworkThread.h"
#include "trader/SendQueue.h"

namespace google::protobuf {
class MessageLite;
}

namespace hvr {

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
    // thread, which plays the network thread's part for the call. Returns
    // false where the network thread would close the connection (the receive
    // stream is then empty); nothing is closed here.
    // REQUIRES: no network thread runs (connect was never called, or the
    // trader was released), so that the caller is the only receiver.
    bool feedReceivedForTools(const uint8_t* data, std::size_t size);

    // Seams for in-process tests; not reachable through the module's
    // exports. Set before connect (see Link::Seams).
    using TestSeams = Link::Seams;
    void setSeamsForTests(TestSeams seams) { link.setSeams(std::move(seams)); }

    // deleteTrader: destroys trader and sets it to null, except from inside
    // one of its own listener callbacks (refused with a level-104 line, both
    // left as they are) and in a forked child (the copy is left to the
    // process, the pointer set to null).
    static void destroy(kra::ITraderApi*& trader);

private:
    // --- trader/TraderHVR.cpp: lifecycle ---
    // A configuration value init had to read as something else than its text
    // says (a mistyped port, say): key, text, the value used.
    struct ConfigWarning {
        const char* key;
        std::string text;
        long long valueUsed;
    };
    void applyInit(const LinkSettings& next, const std::string& nextFolder, int32_t nextPushMode,
                   std::size_t sendQueueLimit, bool nextShared, unsigned nextPoolThreads)
        EXCLUDES(sessionLock, threadLock);
    void logConfigWarnings(const std::vector<ConfigWarning>& warnings);
    void startNetworkThreadLocked() REQUIRES(threadLock);
    void runNetworkThread();
    void stopNetworkThread() REQUIRES(lifecycleLock) EXCLUDES(threadLock);  // host thread: close step + join
    // The shared mode: bound to a pool thread from connect to release.
    void bindToPoolLocked() REQUIRES(threadLock);
    // host thread: close step on the pool thread, then unbind
    void leavePool() REQUIRES(lifecycleLock) EXCLUDES(threadLock);
    // The close step, posted by stopNetworkThread or leavePool. Its last step
    // (finishClose, once the link has closed its socket) stops ioService, or,
    // on a pool thread, fulfils closed.
    void closeSession(std::shared_ptr<std::promise<void>> closed) REQUIRES(networkThread);
    void finishClose(std::shared_ptr<std::promise<void>> closed) REQUIRES(networkThread);
    // A forked child's copy of a parent's trader (see ForkGeneration.h).
    bool copiedByFork() const;
    void leaveThreadAfterFork() NO_THREAD_SAFETY_ANALYSIS;  // the child's copy: the thread handle and pool are left

    // --- trader/Trading.cpp: requests ---
    // Each returns false, with nothing queued, when the request is refused:
    // the send queue is at its limit, or the object is a forked child's copy.
    bool sendMessage(const google::protobuf::MessageLite& message, uint32_t functionCode);
    bool sendEmptyRequest(uint32_t functionCode);

    // --- trader/Session.cpp: login and the session identity ---
    int64_t chooseLoginPushId(const std::string& user) EXCLUDES(sessionLock);
    // SessionHooks, called by the delivery on the network thread.
    void onLoginAnswer(const exchg::AnsLogin& answer) override EXCLUDES(sessionLock, identityLock);
    std::string accountName() override EXCLUDES(sessionLock);
    void onServerHeartbeat() override;

    // ===== Members =====

    // Immutable after construction; safe from any thread.
    boost::asio::io_context ioService;  // the loop of the trader's own thread
    const uint64_t forkGeneration;  // of the process that made the object

    // The shared mode's pool, held from the first connect that used it until
    // the object is deleted.
    std::shared_ptr<NetworkPool> pool GUARDED_BY(threadLock);
    // Where the parts' steps go: ioService, or the bound pool thread's loop.
    EventLoop loop{ioService};

    // Synchronised by themselves; any thread.
    Reporter reporter;     // listener and catalog, swapped atomically
    NetworkThread thread;  // which thread runs ioService now

    // The parts. The queue's carrier is the link, made right after it (it is
    // not called before the link publishes a connection).
    FlowRecord flowRecord;  // its own lock
    SendQueue queue{loop, thread, reporter, link};
    AnswerDelivery delivery GUARDED_BY(networkThread){reporter, flowRecord, *this};
    Link link{loop, thread, reporter, queue, delivery};

    // Held for the whole of release (and of the destructor's close), and of
    // an init made on a host thread: a second release, or an init, waits for
    // a release under way to finish. Never taken on the network thread, and
    // no listener call is made on the thread that holds it. Comes before
    // every other lock.
    Mutex lifecycleLock;

    // The network thread's handle, and the guard that keeps ioService running
    // between connections.
    Mutex threadLock;
    std::unique_ptr<boost::thread> networkThreadHandle GUARDED_BY(threadLock);
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> keepRunning
        GUARDED_BY(threadLock);
    // The mode the latest init asked for (threads, poolthreads).
    bool sharedWanted GUARDED_BY(threadLock) = false;
    unsigned poolThreadsWanted GUARDED_BY(threadLock) = 0;
    // The shared mode: the pool thread bound to, and the close step under
    // way (every release waits for the same one).
    NetworkPool::Loop* poolLoop GUARDED_BY(threadLock) = nullptr;
    std::shared_future<void> poolClosed GUARDED_BY(threadLock);

    // Settings from init and the latest login call, for logins and the flow
    // record.
    Mutex sessionLock;
    std::string folder GUARDED_BY(sessionLock);
    int32_t pushMode GUARDED_BY(sessionLock) = 0;
    std::string userName GUARDED_BY(sessionLock);        // user of the latest login call
    int64_t loginResumedFrom GUARDED_BY(sessionLock) = 0;  // push id the latest login call sent
    std::vector<ConfigWarning> pendingWarnings GUARDED_BY(sessionLock);  // init's, for the next listener

    // Session identity: written by a successful login answer on the network
    // thread, read by makeEntrustId on host threads; one lock so that an id
    // never mixes two logins.
    Mutex identityLock;
    uint32_t tradingDate GUARDED_BY(identityLock) = 0;
    uint32_t sessionId GUARDED_BY(identityLock) = 0;
    uint32_t entrustSequence GUARDED_BY(identityLock) = 0;
};

}  // namespace hvr
