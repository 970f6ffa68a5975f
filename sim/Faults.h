// Every fault hvr-sim can inject, in one place: the settings and the flags
// that set them (FaultSettings, addFaultFlags), and Faults, the one object
// the rest of the server consults at named points. The exchange model, the
// desk, the store and the sessions know no fault by name; they ask:
//
//   Book::push            leavesOutPush()            --leave-out-pushes
//   Desk::onLogin         refusesLogins()            --refuse-logins
//   Desk::commit          saveFailure()              --fail-writes-after
//   Server (listening)    prepareListeningSocket()   --small-socket-buffers
//   Server::onAccepted    nextConnection(), hold()   --connection-faults
//   SimApp (SIGUSR2)      letGoNextHeld()            the held connection faults
//   Session               its ConnectionFaults       --drop-after, --freeze-after,
//                                                    --mute-after, --one-byte-writes,
//                                                    --answer-delay-ms, and its
//                                                    own connection fault
//
// A new fault is a setting and its flag here, and the answer to one of these
// questions (or a new one, asked at one place).
//
// The connection faults (--connection-faults LIST) go to the first
// connections accepted, one each, in order; later ones are served normally.
//   stall:MS     read nothing for MS milliseconds, then read and discard
//                everything (no answers: a client that closed meanwhile is
//                not reset by one, so all it had written still arrives)
//   trickle:N    read one byte at a time; after N bytes close with a reset,
//                discarding whatever has not been read
//   reset:MS     read nothing; MS milliseconds after the accept close with a
//                reset, discarding everything the client sent
// Held faults wait for a trigger instead of a time: the connection reads
// nothing (and never times out) until letGoNextHeld() lets it go, however
// long that takes, so a client can fill its buffers first at any speed:
//   hold            then read and discard everything, as a stall does
//   hold-trickle:N  then trickle:N
//   hold-reset      then close with a reset at once
// Held connections are let go in the order they were handed out, one per
// letGoNextHeld(): the Nth call lets the Nth held connection go, also when it
// comes before that connection was accepted (it is then let go as soon as it
// is held), so a client that saw its connect succeed may ask at once.
//
// Threads: the server's network thread only (SimApp posts letGoNextHeld
// there). Pure, but for prepareListeningSocket (two setsockopt calls).
// Lifetime: Faults outlives the Book, the Desk and the Server that consult
// it; it holds held connections by weak reference only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace boost::program_options {
class options_description;
class variables_map;
}  // namespace boost::program_options

namespace hvr::sim {

// The fault one connection plays beside the server-wide ones.
struct ConnectionFault {
    enum class Kind { None, Stall, Trickle, Reset };
    Kind kind = Kind::None;
    uint64_t amount = 0;  // Stall, Reset: milliseconds (0 when held); Trickle: bytes
    bool held = false;    // nothing happens until the connection is let go
};

// "stall:MS,trickle:N,reset:MS,hold,hold-trickle:N,hold-reset" (any number,
// any order); none when malformed or an amount is 0.
std::optional<std::vector<ConnectionFault>> parseConnectionFaults(const std::string& text);

// "none", or the fault as written on the command line.
std::string describeFault(const ConnectionFault& fault);

// What the command line asks for; every fault is off by default.
struct FaultSettings {
    uint64_t dropAfter = 0;    // 0 = never; else close each connection after N packets
    uint64_t freezeAfter = 0;  // 0 = never; else stop reading and writing after N packets
    uint64_t muteAfter = 0;    // 0 = never; else handle but answer nothing after N packets
    bool oneByteWrites = false;
    unsigned answerDelayMs = 0;
    bool refuseLogins = false;
    std::vector<ConnectionFault> connectionFaults;  // for the first connections, in order
    bool smallSocketBuffers = false;
    std::optional<uint64_t> failWritesAfter;  // saves after this many fail as on a full disk
    uint32_t leaveOutPushEvery = 0;           // 0 = never
};

// The fault flags of the command line. addFaultFlags adds them to a parser
// (their values land in settings and raw); once parsed, finishFaultFlags
// checks and converts them, and returns what is wrong ("" when nothing).
struct FaultFlagValues {
    std::string connectionFaults;
    int64_t failWritesAfter = 0;  // signed, so that -1 is refused rather than read as 2^64 - 1
};
void addFaultFlags(boost::program_options::options_description& flags, FaultSettings& settings,
                   FaultFlagValues& raw);
std::string finishFaultFlags(const boost::program_options::variables_map& parsed, FaultSettings& settings,
                             const FaultFlagValues& raw);
// The fault flags whose value is an unsigned count (a "-1" must be refused).
const std::set<std::string>& faultCountFlags();

// The receive buffer and segment size --small-socket-buffers sets: the
// smallest buffer the system allows, and a segment whose data part is 512
// bytes once the timestamp option is taken off, so that the 16-byte packets
// of a stream of queries fill a client's buffer to a packet boundary.
constexpr int SMALL_RECEIVE_BUFFER = 1;
constexpr int SMALL_MAX_SEGMENT = 524;

// The faults one connection plays, as the Session asks about them: the
// server-wide per-connection settings (counted from this connection's
// packets) and its own ConnectionFault. Pure; the Session's, on the network
// thread.
class ConnectionFaults {
public:
    ConnectionFaults() = default;  // none
    ConnectionFaults(const FaultSettings& settings, ConnectionFault own);

    // "none", or the connection's own fault as written (log and journal).
    std::string describe() const { return describeFault(own_); }
    bool hasOwnFault() const { return own_.kind != ConnectionFault::Kind::None; }

    // Once accepted: Read at once; Wait, reading nothing for waitTime(),
    // then afterWait(); or Hold, reading nothing until letGo().
    enum class Opening { Read, Wait, Hold };
    Opening opening() const;
    std::chrono::milliseconds waitTime() const { return std::chrono::milliseconds(own_.amount); }
    // What ends the wait: the reason to close with a reset, or nothing (read on).
    std::optional<std::string> afterWait() const;
    // True until letGo(): nothing is read, and no timeout ends the connection.
    bool held() const { return held_; }
    // Ends the hold: the reason to close with a reset at once, or nothing (read on).
    std::optional<std::string> letGo();

    // How much one receive may take, of `normal`.
    std::size_t readSize(std::size_t normal) const;
    // After a receive, bytesRead in all: the reason to close with a reset, or nothing.
    std::optional<std::string> afterBytesRead(uint64_t bytesRead) const;
    // Counts a handled request toward --drop-after, --freeze-after, --mute-after.
    void packetHandled();

    // Past --freeze-after: nothing more is read (what was read is not handled,
    // nor journaled), no heartbeat is sent, and once the queue is written
    // nothing more is written; no timeout ends the connection.
    bool readsNoMore() const { return freezing_; }
    // The log line of that moment (without the peer).
    std::string freezeNote() const;
    // Past --drop-after: requests still read are discarded, and the
    // connection closes once its queue is written (queueWritten()).
    bool closesOnceWritten() const { return draining_; }
    // Requests are read and journaled as discarded, never handled: past
    // --drop-after, or on a stalled (or held-then-discarding) connection.
    bool discardsRequests() const;
    // Nothing more is queued for writing: muted, or frozen.
    bool queuesNothing() const { return muted_ || frozen_; }
    // Nothing more is written, not even what is queued: frozen.
    bool writesNothing() const { return frozen_; }
    // The write queue ran empty: the reason to close (--drop-after), or
    // nothing; a freezing connection is frozen from now on.
    std::optional<std::string> queueWritten();
    // No timeout may end the connection: held, or frozen.
    bool keepsOpen() const { return held_ || freezing_; }

    // How outgoing packets are written.
    std::chrono::milliseconds answerDelay() const { return answerDelay_; }
    bool oneByteWrites() const { return oneByteWrites_; }

private:
    ConnectionFault own_;
    uint64_t dropAfter_ = 0;
    uint64_t freezeAfter_ = 0;
    uint64_t muteAfter_ = 0;
    bool oneByteWrites_ = false;
    std::chrono::milliseconds answerDelay_{0};
    uint64_t packetsHandled_ = 0;
    bool held_ = false;
    bool draining_ = false;
    bool freezing_ = false;
    bool frozen_ = false;
    bool muted_ = false;
};

// A connection that a held fault keeps waiting (the Session).
class HeldConnection {
public:
    // The hold ends: the fault plays from now on. Nothing when not held.
    virtual void letGo() = 0;

protected:
    ~HeldConnection() = default;
};

class Faults {
public:
    explicit Faults(FaultSettings settings = {});

    const FaultSettings& settings() const { return settings_; }

    // Book: one push is about to be made (counted, left-out ones too); true
    // when it is to be left out: stored and answered, never numbered or sent.
    bool leavesOutPush();

    // Desk: every login is refused, whatever its password.
    bool refusesLogins() const { return settings_.refuseLogins; }

    // Desk: a save of changes is about to be tried. The reason it fails, as
    // on a full disk, or nothing (it may go ahead, and counts as one that works).
    std::optional<std::string> saveFailure();
    // Sets --fail-writes-after anew from now: saves after `saves` more that
    // work fail; nothing ends the fault.
    void failSavesAfter(std::optional<uint64_t> saves);

    // Server: called on the listening socket before it listens (accepted
    // sockets inherit what it sets).
    void prepareListeningSocket(int descriptor) const;

    // Server: the faults of the connection just accepted, in accept order.
    ConnectionFaults nextConnection();
    // Server: a connection whose faults hold it, started already; let go
    // when its turn comes (at once, when its turn was asked for already).
    void hold(const std::weak_ptr<HeldConnection>& connection);
    // Lets the next held connection go (see above).
    void letGoNextHeld();

private:
    FaultSettings settings_;
    uint64_t pushesMade_ = 0;
    std::optional<uint64_t> savesBeforeFailing_;
    std::size_t connectionFaultsHandedOut_ = 0;
    std::deque<std::weak_ptr<HeldConnection>> held_;  // not let go yet, in the order handed out
    uint64_t heldHandedOut_ = 0;
    uint64_t heldLetGo_ = 0;  // letGoNextHeld() calls
};

}  // namespace hvr::sim
