// A scripted trading server on a loopback port, for end-to-end tests: it
// accepts connections one after another, cuts what each sends into packets,
// and sends whatever bytes the test hands it. Plain blocking sockets and one
// reader thread per connection; every wait has a deadline.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/WireFormat.h"

namespace hvr::test {

// Socket options of the listening socket, inherited by every connection:
// a small receive buffer and segment size make a client's writes back up
// after a few tens of KiB while reading is held.
struct ServerSockets {
    int receiveBuffer = 0;  // SO_RCVBUF; 0 = the system's
    int maxSegment = 0;     // TCP_MAXSEG announced to clients; 0 = the system's
};

struct ReceivedPacket {
    PacketHeader header;
    std::string payload;
    int connection;  // 1 for the first accepted connection, then 2, ...
};

class ScriptedServer {
public:
    // Listens on address ("127.0.0.1" or "::1") at port (0 = a free port).
    explicit ScriptedServer(const std::string& address = "127.0.0.1", uint16_t port = 0,
                            const ServerSockets& sockets = {});
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    uint16_t port() const { return boundPort; }
    std::string portText() const { return std::to_string(boundPort); }

    bool waitForConnections(int count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Whether the client ended connection number `connection` (1, 2, ...):
    // its reader saw the end of the stream or an error.
    bool waitForEnd(int connection, std::chrono::milliseconds limit = std::chrono::seconds(10));
    int connectionCount();

    // The next packet of any kind, in arrival order, or none by the deadline.
    std::optional<ReceivedPacket> nextPacket(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // The next packet with this function code; packets of other codes before
    // it are dropped (heartbeats, say).
    std::optional<ReceivedPacket> waitPacket(uint16_t functionCode,
                                             std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Every packet received so far that nobody has taken.
    std::vector<ReceivedPacket> drainPackets();
    // Total bytes received on all connections.
    std::size_t bytesReceived();

    // Sends raw bytes on the newest connection.
    void send(const std::string& bytes);
    // Whether the client's kernel has acknowledged everything sent on the
    // newest connection: it waits in the client's socket to be read.
    bool waitAcknowledged(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Closes the newest connection (the client sees end of stream).
    void closeConnection();
    // Stops accepting; later connects are refused.
    void stopListening();
    // Stops reading every connection (what the client sends piles up in the
    // socket buffers; from its accept on, if paused before), and reads again.
    void pauseReading();
    void resumeReading();
    // Closes the newest connection with a reset, discarding what it has not
    // read. REQUIRES: reading is paused.
    void resetConnection();

private:
    void acceptLoop();
    void readLoop(int fd, int connection);

    int listenFd = -1;
    uint16_t boundPort = 0;
    std::atomic<bool> stopping{false};
    std::thread acceptor;

    std::mutex lock;
    std::condition_variable changed;
    std::vector<int> clientFds;
    std::vector<int> endedConnections;
    std::vector<std::thread> readers;
    std::deque<ReceivedPacket> packets;
    std::size_t totalBytes = 0;
    bool readingPaused = false;
};

}  // namespace hvr::test
