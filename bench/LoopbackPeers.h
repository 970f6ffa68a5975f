// The far ends of the loopback benchmarks: plain blocking sockets on
// 127.0.0.1, each peer serving one connection on a thread of its own. Every
// loop is bounded by a deadline; a peer's destructor shuts its socket down
// and joins its thread.
#pragma once

#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace hvr::bench {

using Clock = std::chrono::steady_clock;

// CPUs the round trip pins its two ends to (when the machine has two).
constexpr int CLIENT_CPU = 0;
constexpr int SERVER_CPU = 1;

// Pins the calling thread to one CPU for the object's lifetime (threads it
// starts meanwhile inherit the pin), then restores the previous set. Does
// nothing on a machine with fewer CPUs than cpu + 1.
class CpuPin {
public:
    explicit CpuPin(int cpu);
    ~CpuPin();
    CpuPin(const CpuPin&) = delete;
    CpuPin& operator=(const CpuPin&) = delete;

private:
    bool pinned = false;
    cpu_set_t previous;
};

// A listening TCP socket on 127.0.0.1 with a port chosen by the system.
class LoopbackListener {
public:
    LoopbackListener();
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    uint16_t port() const { return boundPort; }
    // One accepted connection, or -1 when none came before the deadline.
    int accept(Clock::time_point deadline);

private:
    int fd = -1;
    uint16_t boundPort = 0;
};

// A blocking client socket connected to 127.0.0.1:port (throws on failure).
int connectLoopback(uint16_t port, bool noDelay);
// Writes all bytes; false on an error or when the deadline passes.
bool writeAll(int fd, const char* data, std::size_t size, Clock::time_point deadline);
void setNoDelay(int fd);
void closeSocket(int& fd);

// Base of the peers: a listener, the accepted connection and the thread.
class Peer {
public:
    explicit Peer(std::chrono::seconds limit) : deadline(Clock::now() + limit) {}
    virtual ~Peer();
    uint16_t port() const { return listener.port(); }

protected:
    // Starts body() on the peer's thread: the last step of a derived
    // constructor. stopAndJoin is the first step of a derived destructor, so
    // body() never outlives the members it uses.
    void start();
    void stopAndJoin();
    virtual void body() = 0;
    // Waits for the one connection; false on timeout or stop.
    bool acceptOne();

    LoopbackListener listener;
    const Clock::time_point deadline;
    std::atomic<int> connection{-1};
    std::atomic<bool> stopping{false};

private:
    std::thread thread;
};

// Writes stream `repeats` times, as fast as the socket takes it, to the one
// client that connects, then keeps the connection open until destroyed.
class PushSender final : public Peer {
public:
    PushSender(const std::string& stream, std::size_t repeats, std::chrono::seconds limit);
    ~PushSender() override;
    // When the first byte was handed to the socket (zero until then).
    Clock::time_point started() const { return Clock::time_point(Clock::duration(startTicks.load())); }
    bool finishedWriting() const { return done.load(); }

private:
    void body() override;
    const std::string& stream;
    const std::size_t repeats;
    std::atomic<Clock::rep> startTicks{0};
    std::atomic<bool> done{false};
};

// Reads and discards everything the one client sends.
class DrainReader final : public Peer {
public:
    explicit DrainReader(std::chrono::seconds limit);
    ~DrainReader() override;
    uint64_t bytesRead() const { return received.load(); }

private:
    void body() override;
    std::atomic<uint64_t> received{0};
};

// Answers every whole packet the one client sends with `answer` (a whole
// packet), its requestNo replaced by the request's: a server whose own work
// costs next to nothing.
class CannedAnswerer final : public Peer {
public:
    // cpu >= 0 pins the answering thread to that CPU (see CpuPin).
    CannedAnswerer(std::string answer, std::chrono::seconds limit, int cpu = -1);
    ~CannedAnswerer() override;

private:
    void body() override;
    std::string answer;
    const int cpu;
};

// Answers every whole packet the one client sends with `answer`, its
// requestNo replaced by the request's, `delay` after the request arrived: a
// server that takes that long to decide. Answers leave in request order.
class DelayedAnswerer final : public Peer {
public:
    DelayedAnswerer(std::string answer, std::chrono::microseconds delay, std::chrono::seconds limit);
    ~DelayedAnswerer() override;

private:
    void body() override;
    std::string answer;
    const std::chrono::microseconds delay;
};

}  // namespace hvr::bench
