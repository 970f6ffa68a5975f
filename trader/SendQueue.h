// SendQueue: the trader's outgoing requests, from the thread that frames one
// to the socket. Requests are framed on the caller's thread and appended under
// the queue's lock. When a connection is live and no write is in flight, the
// caller writes the queue to the socket at once with a non-blocking send; what
// the socket does not take goes on asynchronously on the network thread, with
// one write in flight whose completion starts the next batch.
//
// Invariants (all under `sendLock`)
//   - The queue holds whole packets in the order they were appended, and the
//     batch in flight is older than all of them: bytes reach the socket in
//     the order they were queued.
//   - At most one write is in flight. It owns the batch until its completion
//     (handleWrite), which starts the next batch from what was queued meanwhile.
//   - The live descriptor is the socket of the Connected attempt (liveAttempt),
//     or none. The link publishes it in the hold of its own lock that makes an
//     attempt Connected, and withdraws it in the hold that makes the attempt
//     anything else, before that socket is closed (see Link.h). So a thread
//     holding `sendLock` may send on it: the descriptor is not closed, nor its
//     number reused, before that thread lets go of `sendLock`.
//   - A batch the socket did not take whole goes on only on the connection it
//     started on, and only on the network thread (through the Carrier, which
//     owns the socket object; host threads never touch it).
//   - Every batch ends in exactly one way, at its write's completion:
//       written whole           the next batch starts
//       cut off by our own close before any byte left (aborted, 0 bytes)
//                               put back at the front of the queue, ahead of
//                               what came after it (one level-102 line)
//       failed on the wire, or cut off part way
//                               dropped and never resent, as it may have
//                               reached the server in part (one level-104
//                               line: how many requests, how many left whole)
//   - The bytes queued and not yet written never exceed the limit because of
//     a request: one that would is refused (nothing queued; one level-104 line
//     a second at most while refusals go on, counting the refusals, and one
//     more for those not yet counted once the queue has drained, or at
//     release: the lines add up to every refusal). The heartbeat is never
//     refused.
//   - Request numbers start again at 1 with every published connection.
//   - Every request written whole to the kernel on a connection we close
//     ourselves either was acknowledged by the server's side before the
//     close (it reaches the server, whatever the close does), or is counted
//     in the line of ownClose: a close that resets the connection (bytes
//     received and unread, or arriving after it) destroys what the kernel
//     still holds.
//
// Threads: the queueing operations from any thread (host threads, and the
// heartbeat on the network thread); publish and withdraw from whoever changes
// the link's state, under the link's lock; handleWrite on the network thread.
// The queue does not own the event loop or the thread that runs it.
//
// Locks: `sendLock` comes after the link's lock and before nothing: nothing else
// is taken while it is held, and no listener call is made under it (lines are
// written after it is let go). The Carrier is called with it held.
#pragma once

#include <atomic>
#include <boost/system/error_code.hpp>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "net/QueueFullLine.h"
#include "ops/Reporter.h"
#include "port/Mutex.h"
#include "trader/EventLoop.h"
#include "trader/NetworkThread.h"

namespace google::protobuf {
class MessageLite;
}

namespace hvr {

constexpr std::size_t DEFAULT_SEND_QUEUE_LIMIT = std::size_t{64} << 20;

class SendQueue {
public:
    // Where the rest of a batch goes that the socket did not take at once: the
    // socket object of the network thread.
    class Carrier {
    public:
        // Network thread, with the queue's lock held: starts one asynchronous
        // write of the size bytes at data on the socket of attempt, whose
        // completion calls handleWrite(error, bytes, attempt) on the network
        // thread. The bytes stay where they are until then.
        virtual void writeAsync(const char* data, std::size_t size, uint64_t attempt) REQUIRES(networkThread) = 0;

    protected:
        ~Carrier() = default;
    };

    // All four must outlive the queue; the carrier is not called before the
    // first publish.
    SendQueue(const EventLoop& loop, const NetworkThread& thread, Reporter& reporter, Carrier& carrier)
        : loop(loop), thread(thread), reporter(reporter), carrier(carrier) {}
    SendQueue(const SendQueue&) = delete;
    SendQueue& operator=(const SendQueue&) = delete;

    // Any thread: the limit of bytes queued (init key sendqueue).
    void setLimit(std::size_t bytes) EXCLUDES(sendLock);

    // Any thread: the number of the next request on the current connection.
    uint32_t nextRequestNo() { return static_cast<uint32_t>(requestCounter.fetch_add(1) + 1); }

    // Any thread. Frame one request and queue it; false, with nothing queued,
    // when the queue is at its limit.
    bool queueRequest(const google::protobuf::MessageLite& message, uint32_t functionCode, uint32_t requestNo)
        EXCLUDES(sendLock);
    bool queueEmptyRequest(uint32_t functionCode, uint32_t requestNo) EXCLUDES(sendLock);
    // Any thread: the heartbeat, never refused.
    void queueHeartbeat() EXCLUDES(sendLock);

    // The link, under its own lock: the socket descriptor of the attempt that
    // has just become Connected, or none any more. Publishing restarts the
    // request numbers.
    void publish(int descriptor, uint64_t attempt) EXCLUDES(sendLock);
    void withdraw() EXCLUDES(sendLock);

    // Any thread: starts writing what is queued, if a connection is live and
    // no write is in flight (requests queued while there was none).
    void flush() EXCLUDES(sendLock);

    // Network thread: the completion of an asynchronous write started for
    // attempt.
    void handleWrite(const boost::system::error_code& error, std::size_t bytes, uint64_t attempt)
        REQUIRES(networkThread) EXCLUDES(sendLock);

    // Network thread: our own close (disconnect, a replacing connect,
    // release) of the connection of attempt, whose server has acknowledged
    // `acknowledged` bytes of it. The requests written on it and not yet
    // acknowledged whole are counted in one level-104 line: the close may
    // lose them in the kernel. A batch still in flight is counted by its own
    // completion (put back, dropped, or, written whole, here).
    void ownClose(uint64_t attempt, uint64_t acknowledged) REQUIRES(networkThread) EXCLUDES(sendLock);
    // Where on attempt's connection the last host request written on it
    // ends (bytes from the connection's start; heartbeats and logouts are no
    // host requests): our own close waits for the server to acknowledge that
    // far. 0: none written, or the connection's record is closed.
    uint64_t lastRequestEnd(uint64_t attempt) EXCLUDES(sendLock);
    // Whether attempt's connection was published (it may have carried bytes).
    bool published(uint64_t attempt) EXCLUDES(sendLock);

    // Empties the queue (the close of release); returns how many requests,
    // heartbeats and logouts aside, it held. Refusals no queue-full line has
    // counted yet get one.
    int dropUnsent() EXCLUDES(sendLock);

private:
    enum class Limit { Applies, Exempt };
    // Refusals for a queue-full line, and the limit it names.
    struct RefusalCount {
        int count = 0;
        std::size_t limit = 0;
    };
    bool append(const char* data, std::size_t size, Limit limit) EXCLUDES(sendLock);
    // Once nothing is queued or being written: the refusals no line has
    // counted yet.
    RefusalCount drainedRefusalsLocked() REQUIRES(sendLock);
    void logRefusals(const RefusalCount& refusals) EXCLUDES(sendLock);
    // The batch in flight was written whole: its requests join the record of
    // the connection's requests; for a connection we have closed, those not
    // acknowledged at the close are counted (returned).
    int recordWrittenLocked() REQUIRES(sendLock);
    void logUnconfirmed(int requests) EXCLUDES(sendLock);
    void startWriteIfIdleLocked() REQUIRES(sendLock);
    void continueWriteLocked() REQUIRES(sendLock, networkThread);
    void resumeWrite(uint64_t attempt) REQUIRES(networkThread) EXCLUDES(sendLock);  // posted by a host thread's write

    const EventLoop& loop;
    const NetworkThread& thread;
    Reporter& reporter;
    Carrier& carrier;

    std::atomic<int32_t> requestCounter{0};

    Mutex sendLock;
    std::string sendBuffer GUARDED_BY(sendLock);
    std::string writingBatch GUARDED_BY(sendLock);
    std::size_t writtenBytes GUARDED_BY(sendLock) = 0;
    bool writeInFlight GUARDED_BY(sendLock) = false;
    uint64_t writeAttempt GUARDED_BY(sendLock) = 0;
    int liveDescriptor GUARDED_BY(sendLock) = -1;
    uint64_t liveAttempt GUARDED_BY(sendLock) = 0;
    std::size_t limitBytes GUARDED_BY(sendLock) = DEFAULT_SEND_QUEUE_LIMIT;
    QueueFullLine queueFullLine GUARDED_BY(sendLock);  // when the next queue-full line may come

    // What the kernel was handed on the latest published connection
    // (recordAttempt): the bytes of the batches written whole, and the end
    // offset of each of their requests (heartbeats and logouts aside), oldest
    // first. Ends the server has acknowledged are trimmed now and then.
    uint64_t recordAttempt GUARDED_BY(sendLock) = 0;
    uint64_t writtenWhole GUARDED_BY(sendLock) = 0;
    std::deque<uint64_t> writtenEnds GUARDED_BY(sendLock);
    // Our close of recordAttempt's connection: how much the server had
    // acknowledged then (for a batch that completes after it).
    bool recordClosed GUARDED_BY(sendLock) = false;
    uint64_t acknowledgedAtClose GUARDED_BY(sendLock) = 0;
};

}  // namespace hvr
