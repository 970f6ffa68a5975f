// Link: the trader's one connection to the server and its life. It runs the
// attempts (connect, receive, the dead-peer watch, the heartbeat), decides
// every change of the connection's state, and reports each attempt's start
// and end to the host.
//
// States (`state`, under `lock`)
//   Idle        nothing to do yet                  construction; configure after Stopped
//   Connecting  an attempt is under way            connect; the end of a wait
//   Connected   receive pending, heartbeat running the attempt succeeded
//   Waiting     the two-second pause of a retry    an attempt ended by a failure
//   Stopped     no socket, no attempts             disconnect (also the close step of release)
//   Transitions: Idle|Connecting|Connected|Waiting --connect--> Connecting (a
//   new attempt replaces the old one); Connecting --success--> Connected,
//   --failure--> Waiting; Connected --receive, framing or silence--> Waiting;
//   Waiting --two seconds--> Connecting; any --disconnect--> Stopped;
//   Stopped --configure--> Idle. `closingFlag` (set when release begins)
//   refuses new attempts and ends a wait at once; only a configure after the
//   release has ended (endClose) clears it.
//
// Invariants
//   - Each attempt has an id (`newest` is the latest); completions and posted
//     steps carry the id they were made for and do nothing once a newer
//     attempt exists. Steps that start attempts are posted under `lock`, so
//     they reach the network thread in the order of their ids.
//   - The live descriptor follows the state, in one place (moveToLocked): it
//     is published to the send queue in the hold of `lock` that makes an
//     attempt Connected, and withdrawn in the hold that makes it anything
//     else. A socket is closed only after such a change, so no host thread
//     sends on a closed socket. "Connected" is thereby one transition: no host
//     connect or disconnect falls between the state and the descriptor.
//   - Only the network thread creates, replaces, closes and destroys the
//     socket and starts operations on it. Sockets are opened close-on-exec.
//   - Our own close of a connection (disconnect, a connect that replaces it,
//     release) settles it first (closeOwnSocket): what Nagle holds back is
//     sent, our side is shut for writing, the server gets up to
//     OWN_CLOSE_ACKNOWLEDGEMENT_WAIT to acknowledge every host request
//     written (heartbeats and logouts are not waited for), unread bytes are
//     dropped (so that the close is no reset), and the send queue counts the
//     requests still unacknowledged (SendQueue::ownClose). The end of a failed connection is not settled.
//     On a loop of the trader's own the wait blocks the network thread; on a
//     shared loop it is a timer (the socket waits in `settling`), and what
//     comes after the close (a new attempt, the rest of the close step) waits
//     in `whenSettled` until every such close has finished.
//
// How an attempt ends: endAttempt(attempt, why), on the network thread, for
// every end: a failed connect or receive, a framing failure, a silent server,
// and the aborted completion of an attempt the host replaced (connect) or
// stopped (disconnect). In this order:
//   1. nothing is said during the close step of release (release reports the
//      end itself, with disconnect's (1, 0)), nor for the receive our close
//      aborted on a connection cut for silence (reported when it was cut);
//   2. the current attempt (the newest, Connecting or Connected) becomes
//      Waiting, and its descriptor is withdrawn, in one hold of `lock`;
//   3. its socket is closed, before the host hears of it: a host that reacts
//      to the event finds the connection gone, and the server sees the close
//      however long the host's callback takes (an attempt that is not the
//      current one leaves its socket to the step that replaced or stopped it);
//   4. the host hears the end (below);
//   5. if the attempt is still the current one and Waiting (the host neither
//      connected nor disconnected from that callback), the line, the
//      two-second wait, and the next attempt. On a loop of the trader's own
//      the wait blocks the network thread; on a shared loop (EventLoop.h) it
//      is a timer, so that the other traders' handlers run meanwhile (a host
//      connect during it then starts at once instead of after the wait).
//
// Who reports what (onTraderEvent; lines at level 102/103)
//   (0, 0)        the attempt succeeded: once, after its receive is pending,
//                 before the success line; reportingConnected marks it under
//                 `lock` so that disconnect waits for it to return before it
//                 reports (1, 0): the two never arrive the other way round
//   (0, code)     an attempt failed, or was replaced or stopped (abort code),
//                 unless a newer one was already reported connected
//   (1, code)     a receive failed, also one our own close aborted, except
//                 for a connection cut for silence (it has reported already)
//   (1, 0)        the framing of received bytes failed; disconnect (host
//                 thread, or the close step of release)
//   (1, ETIMEDOUT) the server went silent (current attempt only)
//   The start line at every attempt; the closed, receive-error and silence
//   lines only when a retry follows.
//
// Threads: connect, disconnect, configure, isConnected, beginClose and
// closing from any thread; everything else on the network thread. The link
// does not own the event loop or the thread that runs it; it makes its
// socket and timers on the loop the EventLoop names when it makes them, and
// close() drops the timers, so that the next binding makes them on its own
// loop.
//
// Locks: `lock`, then the send queue's (the live descriptor changes in the
// same hold as the state). The heartbeat timer's own lock is held while
// onHeartbeat runs, which takes `lock`. No lock is held during a listener
// call.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/PeerSilence.h"
#include "net/RepeatingTimer.h"
#include "net/WireFormat.h"
#include "ops/ReceiveStream.h"
#include "ops/Reporter.h"
#include "port/Mutex.h"
#include "trader/EventLoop.h"
#include "trader/NetworkThread.h"
#include "trader/SendQueue.h"

namespace hvr {

// The wait before every new attempt after a failure. The lines show it in
// whole seconds.
constexpr int RECONNECT_DELAY_MS = 2000;
constexpr std::chrono::seconds HEARTBEAT_INTERVAL{10};  // on the monotonic clock
// How long our own close of a connection waits, at most, for the server to
// acknowledge what was written on it (Link::closeOwnSocket), and how often
// it looks.
constexpr std::chrono::milliseconds OWN_CLOSE_ACKNOWLEDGEMENT_WAIT{300};
// It looks every SETTLE_FIRST_POLL at first (on loopback the
// acknowledgement takes about 0.1 ms), every SETTLE_LAST_POLL after
// SETTLE_FINE_POLLS looks.
constexpr std::chrono::microseconds SETTLE_FIRST_POLL{25};
constexpr std::chrono::microseconds SETTLE_LAST_POLL{1000};
constexpr int SETTLE_FINE_POLLS = 80;
constexpr std::chrono::microseconds settlePause(int polls) {
    return polls < SETTLE_FINE_POLLS ? SETTLE_FIRST_POLL : SETTLE_LAST_POLL;
}
// The largest peertimeout taken (the keep-alive idle time's limit).
constexpr int MAX_PEER_TIMEOUT_SECONDS = 32767;

enum class ConnectionState { Idle, Connecting, Connected, Waiting, Stopped };

// What the link connects to, from init.
struct LinkSettings {
    std::string host;  // the text configured, for the start line
    boost::asio::ip::tcp::endpoint endpoint;
    bool noDelay = false;
    int peerTimeoutSeconds = 0;  // 0 = no dead-peer detection
};

class Link final : public SendQueue::Carrier {
public:
    // Seams for in-process tests. Set before the first connect. afterConnected
    // runs on the network thread right after the hold that made an attempt
    // Connected, before its (0, 0) and before it writes what was queued while
    // there was no connection (a host thread's request may write that
    // sooner), with the socket's descriptor (a test may bound its send buffer
    // there); asyncWriteStarting wherever an asynchronous write is started;
    // readStarting right before a read of the live socket is started (a read
    // takes what the socket holds already at once).
    struct Seams {
        std::function<void(int socketDescriptor)> afterConnected;
        std::function<void()> asyncWriteStarting;
        std::function<void()> readStarting;
    };

    // Everything given must outlive the link. received handles every packet
    // received, on the network thread.
    Link(const EventLoop& loop, const NetworkThread& thread, Reporter& reporter, SendQueue& queue,
         PacketHandler& received)
        : loop(loop), thread(thread), reporter(reporter), queue(queue), received(received) {}
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    void setSeams(Seams seams) { testSeams = std::move(seams); }

    // --- any thread ---
    // init: the settings of the next attempts; a Stopped link becomes Idle and
    // a released one may connect again.
    void configure(const LinkSettings& next) EXCLUDES(lock);
    // Starts a new attempt, replacing the one under way; false, with nothing
    // started, when the link is Stopped or release is under way (only init
    // connects again).
    bool connect() EXCLUDES(lock);
    // Stops the link: no socket, no further attempts, (1, 0). Waits for a
    // (0, 0) being delivered on the network thread to return first, except
    // when called from inside that very callback.
    void disconnect() EXCLUDES(lock);
    // An attempt is under way or the connection is up.
    bool isConnected() EXCLUDES(lock);
    // release: refuses new attempts and ends a two-second wait at once;
    // configure clears it, once endClose has said that the release is over
    // (a configure while it runs stores the settings and leaves the link
    // closed).
    void beginClose() EXCLUDES(lock);
    void endClose() EXCLUDES(lock);
    bool closing() EXCLUDES(lock);

    // --- network thread ---
    // The link's part of the close step of release: the timers cancelled and
    // dropped, disconnect, the socket closed. `closed` runs, on the network
    // thread, once the socket is closed: at once, or on a shared loop after
    // the wait for the server's acknowledgement.
    void close(std::function<void()> closed) REQUIRES(networkThread);
    // Runs bytes through the receive loop as if the socket had just delivered
    // them; false where the connection must end (the stream is empty then).
    bool consumeReceived(const uint8_t* data, std::size_t size) REQUIRES(networkThread);
    // The server sent a heartbeat (the dead-peer watch judges only servers
    // that do).
    void serverHeartbeat() REQUIRES(networkThread) { peerSilence.heartbeatReceived(); }
    // SendQueue::Carrier.
    void writeAsync(const char* data, std::size_t size, uint64_t attempt) override REQUIRES(networkThread);

    // A forked child's copy: its socket is the parent's and is left open
    // (closing it would take it out of the event loop the two share).
    void leaveSocketAfterFork() NO_THREAD_SAFETY_ANALYSIS {
        (void)socket.release();
        for (Settling& closing : settling) (void)closing.socket.release();
    }

private:
    // Why an attempt ends (endAttempt).
    enum class End { ConnectFailed, ReceiveFailed, FramingFailed, PeerSilent };

    // The one place the state changes, and the live descriptor with it.
    void moveToLocked(ConnectionState next, int descriptor = -1) REQUIRES(lock);

    void startAttempt(uint64_t attempt) REQUIRES(networkThread) EXCLUDES(lock);
    void handleConnect(const boost::system::error_code& error, uint64_t attempt) REQUIRES(networkThread)
        EXCLUDES(lock);
    // The attempt's socket, opened close-on-exec for the endpoint's family;
    // throws boost::system::system_error.
    void openCloseOnExec(const boost::asio::ip::tcp& protocol) REQUIRES(networkThread);
    void applySocketOptions(bool noDelay, int peerTimeoutSeconds) REQUIRES(networkThread);
    void startRead(uint64_t attempt) REQUIRES(networkThread);
    void handleRead(const boost::system::error_code& error, std::size_t bytes, uint64_t attempt)
        REQUIRES(networkThread) EXCLUDES(lock);
    // Dead-peer detection of the Connected attempt (peertimeout).
    void startPeerWatch(uint64_t attempt, int seconds) REQUIRES(networkThread);
    void armPeerTimer(uint64_t attempt, PeerSilence::Clock::time_point when) REQUIRES(networkThread);
    void onPeerTimer(const boost::system::error_code& error, uint64_t attempt) REQUIRES(networkThread)
        EXCLUDES(lock);
    void onHeartbeat(const boost::system::error_code& error) REQUIRES(networkThread) EXCLUDES(lock);

    void endAttempt(uint64_t attempt, End why, const boost::system::error_code& error = {})
        REQUIRES(networkThread) EXCLUDES(lock);
    // onTraderEvent(0, code) for an attempt's result: success or end.
    void reportAttemptResult(uint64_t attempt, int code) REQUIRES(networkThread);
    void waitThenReconnect(uint64_t failedAttempt) REQUIRES(networkThread) EXCLUDES(lock);
    // The wait on a shared loop, until `when`, then the retry.
    void retryAt(uint64_t failedAttempt, std::chrono::steady_clock::time_point when) REQUIRES(networkThread)
        EXCLUDES(lock);
    void retryNow(uint64_t failedAttempt) REQUIRES(networkThread) EXCLUDES(lock);
    // After the wait: the next attempt's id, or 0 when a host connect or
    // disconnect (or release) has decided what comes next already.
    uint64_t takeRetryLocked(uint64_t failedAttempt) REQUIRES(lock);
    void closeSocket() REQUIRES(networkThread);                                // the current socket, if any
    // Our own close of the current socket (disconnect, a replacing connect,
    // release), as opposed to the end of a failed one: settles what was
    // written on it first.
    void closeOwnSocket() REQUIRES(networkThread);
    // A socket of ours whose close waits, on a shared loop, for the server to
    // acknowledge what was written on it.
    struct Settling {
        std::unique_ptr<boost::asio::ip::tcp::socket> socket;
        uint64_t attempt;
        std::chrono::steady_clock::time_point deadline;
        int polls;  // looks so far
        boost::asio::steady_timer timer;
    };
    // Every host request written on attempt's connection acknowledged (or
    // the kernel cannot say), or the deadline passed.
    bool settled(int fd, uint64_t attempt, std::chrono::steady_clock::time_point deadline);
    void pollSettling(std::list<Settling>::iterator closing) REQUIRES(networkThread);
    // The settled socket's unread bytes dropped, its unacknowledged requests
    // counted.
    void finishSettle(int fd, uint64_t attempt) REQUIRES(networkThread);
    void closeSocketOf(uint64_t attempt) REQUIRES(networkThread) EXCLUDES(lock);  // posted by disconnect
    bool isCurrent(uint64_t attempt, ConnectionState expected) EXCLUDES(lock);

    const EventLoop& loop;
    const NetworkThread& thread;
    Reporter& reporter;
    SendQueue& queue;
    PacketHandler& received;
    Seams testSeams;  // set before the first connect, read-only afterwards

    Mutex lock;
    CondVar changed;  // waited on under lock: the end of a (0, 0); closing
    ConnectionState state GUARDED_BY(lock) = ConnectionState::Idle;
    uint64_t newest GUARDED_BY(lock) = 0;                   // id of the latest attempt
    bool reportingConnected GUARDED_BY(lock) = false;      // a (0, 0) is being delivered
    bool closingFlag GUARDED_BY(lock) = false;             // released: refuses attempts until configure
    bool closeUnderWay GUARDED_BY(lock) = false;           // release under way: configure keeps closingFlag
    LinkSettings settings GUARDED_BY(lock);

    // The network thread's.
    std::unique_ptr<boost::asio::ip::tcp::socket> socket GUARDED_BY(networkThread);
    uint64_t socketAttempt GUARDED_BY(networkThread) = 0;  // the attempt the socket was made for
    std::list<Settling> settling GUARDED_BY(networkThread);
    std::vector<std::function<void()>> whenSettled GUARDED_BY(networkThread);
    uint64_t newestConnectedReported GUARDED_BY(networkThread) = 0;  // latest attempt reported as (0, 0)
    uint64_t silencedAttempt GUARDED_BY(networkThread) = 0;  // cut for silence: its aborted receive says nothing
    // From the close step to the next attempt's socket: what a read still
    // brings is dropped (the flow record is closed).
    bool closedByUs GUARDED_BY(networkThread) = false;
    // The timers are made at the first connection on the loop of the time (a
    // timer made with the object would open the event loop's descriptors at
    // createTrader), and dropped by the close step.
    std::optional<basic_repeating_timer> heartbeatTimer GUARDED_BY(networkThread);  // locks of its own besides
    std::unique_ptr<boost::asio::steady_timer> peerTimer GUARDED_BY(networkThread);
    std::unique_ptr<boost::asio::steady_timer> retryTimer GUARDED_BY(networkThread);  // the wait on a shared loop
    PeerSilence peerSilence GUARDED_BY(networkThread);
    int peerTimeoutSeconds GUARDED_BY(networkThread) = 0;  // of the Connected attempt
    ReceiveStream receiveStream GUARDED_BY(networkThread);
    // The target of every receive, inside the object (see TraderHVR.h).
    uint8_t readBuffer[READ_BUFFER_SIZE] GUARDED_BY(networkThread);
};

}  // namespace hvr
