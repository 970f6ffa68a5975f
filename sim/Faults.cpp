#include "Faults.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <boost/program_options.hpp>
#include <sstream>

namespace hvr::sim {

namespace po = boost::program_options;

// ---- the connection faults as written

std::optional<std::vector<ConnectionFault>> parseConnectionFaults(const std::string& text) {
    std::vector<ConnectionFault> faults;
    if (!text.empty() && text.back() == ',') return std::nullopt;
    std::istringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        if (item == "hold" || item == "hold-reset") {
            ConnectionFault fault;
            fault.kind = item == "hold" ? ConnectionFault::Kind::Stall : ConnectionFault::Kind::Reset;
            fault.held = true;
            faults.push_back(fault);
            continue;
        }
        const std::size_t colon = item.find(':');
        if (colon == std::string::npos) return std::nullopt;
        const std::string kind = item.substr(0, colon);
        const std::string amount = item.substr(colon + 1);
        if (amount.empty() || amount.find_first_not_of("0123456789") != std::string::npos || amount.size() > 12)
            return std::nullopt;
        ConnectionFault fault;
        fault.amount = std::stoull(amount);
        if (fault.amount == 0) return std::nullopt;
        if (kind == "stall") {
            fault.kind = ConnectionFault::Kind::Stall;
        } else if (kind == "trickle" || kind == "hold-trickle") {
            fault.kind = ConnectionFault::Kind::Trickle;
            fault.held = kind == "hold-trickle";
        } else if (kind == "reset") {
            fault.kind = ConnectionFault::Kind::Reset;
        } else {
            return std::nullopt;
        }
        faults.push_back(fault);
    }
    if (faults.empty()) return std::nullopt;
    return faults;
}

std::string describeFault(const ConnectionFault& fault) {
    const std::string amount = std::to_string(fault.amount);
    switch (fault.kind) {
        case ConnectionFault::Kind::Stall:
            return fault.held ? "hold" : "stall:" + amount;
        case ConnectionFault::Kind::Trickle:
            return (fault.held ? "hold-trickle:" : "trickle:") + amount;
        case ConnectionFault::Kind::Reset:
            return fault.held ? "hold-reset" : "reset:" + amount;
        default:
            return "none";
    }
}

// ---- the flags

void addFaultFlags(po::options_description& flags, FaultSettings& s, FaultFlagValues& raw) {
    flags.add_options()
        ("drop-after", po::value(&s.dropAfter)->value_name("N"), "close each connection after N packets from it")
        ("freeze-after", po::value(&s.freezeAfter)->value_name("N"),
         "after N packets from a connection stop reading and writing it, and keep it open")
        ("mute-after", po::value(&s.muteAfter)->value_name("N"),
         "after N packets from a connection go on handling its requests but write nothing to it")
        ("one-byte-writes", po::bool_switch(&s.oneByteWrites), "write every packet in 1-byte chunks")
        ("answer-delay-ms", po::value(&s.answerDelayMs)->value_name("N"), "delay every answer by N ms")
        ("refuse-logins", po::bool_switch(&s.refuseLogins), "answer every login with result -21")
        ("connection-faults", po::value(&raw.connectionFaults)->value_name("LIST"),
         "faults for the first connections, one each, comma separated: stall:MS, trickle:BYTES, reset:MS, "
         "hold, hold-trickle:BYTES, hold-reset (held until SIGUSR2)")
        ("small-socket-buffers", po::bool_switch(&s.smallSocketBuffers),
         "small receive buffer and segment size on every connection")
        ("fail-writes-after", po::value(&raw.failWritesAfter)->value_name("N"),
         "fail every save after the first N, as on a full disk")
        ("leave-out-pushes", po::value(&s.leaveOutPushEvery)->value_name("N"),
         "leave every Nth push out: stored and queryable, never numbered or sent");
}

const std::set<std::string>& faultCountFlags() {
    static const std::set<std::string> flags = {"drop-after", "freeze-after", "mute-after", "answer-delay-ms",
                                                "leave-out-pushes"};
    return flags;
}

std::string finishFaultFlags(const po::variables_map& vm, FaultSettings& s, const FaultFlagValues& raw) {
    if (vm.count("fail-writes-after")) {
        if (raw.failWritesAfter < 0) return "--fail-writes-after: must be 0 or more";
        s.failWritesAfter = static_cast<uint64_t>(raw.failWritesAfter);
    }
    if (vm.count("drop-after") && s.dropAfter == 0) return "--drop-after: must be at least 1";
    if (vm.count("leave-out-pushes") && s.leaveOutPushEvery == 0) return "--leave-out-pushes: must be at least 1";
    if (vm.count("freeze-after") && s.freezeAfter == 0) return "--freeze-after: must be at least 1";
    if (vm.count("mute-after") && s.muteAfter == 0) return "--mute-after: must be at least 1";
    if (vm.count("connection-faults")) {
        const auto faults = parseConnectionFaults(raw.connectionFaults);
        if (!faults)
            return "--connection-faults: \"" + raw.connectionFaults +
                   "\" is not a list of stall:MS, trickle:BYTES, reset:MS, hold, hold-trickle:BYTES, "
                   "hold-reset with amounts above 0";
        s.connectionFaults = *faults;
    }
    return std::string();
}

// ---- one connection

ConnectionFaults::ConnectionFaults(const FaultSettings& settings, ConnectionFault own)
    : own_(own),
      dropAfter_(settings.dropAfter),
      freezeAfter_(settings.freezeAfter),
      muteAfter_(settings.muteAfter),
      oneByteWrites_(settings.oneByteWrites),
      answerDelay_(settings.answerDelayMs),
      held_(own.held) {}

ConnectionFaults::Opening ConnectionFaults::opening() const {
    if (held_) return Opening::Hold;
    if (own_.kind == ConnectionFault::Kind::Stall || own_.kind == ConnectionFault::Kind::Reset) return Opening::Wait;
    return Opening::Read;
}

std::optional<std::string> ConnectionFaults::afterWait() const {
    if (own_.kind != ConnectionFault::Kind::Reset) return std::nullopt;  // the stall is over: read and discard
    return "reset after " + std::to_string(own_.amount) + " ms without reading (fault injection)";
}

std::optional<std::string> ConnectionFaults::letGo() {
    held_ = false;
    if (own_.kind != ConnectionFault::Kind::Reset) return std::nullopt;  // discard, or trickle
    return std::string("reset when let go, without reading (fault injection)");
}

std::size_t ConnectionFaults::readSize(std::size_t normal) const {
    return own_.kind == ConnectionFault::Kind::Trickle ? 1 : normal;
}

std::optional<std::string> ConnectionFaults::afterBytesRead(uint64_t bytesRead) const {
    if (own_.kind != ConnectionFault::Kind::Trickle || bytesRead < own_.amount) return std::nullopt;
    return "reset after " + std::to_string(bytesRead) + " bytes read one at a time (fault injection)";
}

void ConnectionFaults::packetHandled() {
    ++packetsHandled_;
    if (dropAfter_ != 0 && packetsHandled_ >= dropAfter_) draining_ = true;
    if (freezeAfter_ != 0 && packetsHandled_ >= freezeAfter_) freezing_ = true;
    if (muteAfter_ != 0 && packetsHandled_ >= muteAfter_) muted_ = true;
}

std::string ConnectionFaults::freezeNote() const {
    return "frozen after " + std::to_string(freezeAfter_) + " packets (fault injection): no more reading or writing";
}

bool ConnectionFaults::discardsRequests() const {
    // After a stall (or a hold that ends in one) nothing is answered, so a
    // client that has closed meanwhile is not reset by an answer and its
    // last bytes still arrive.
    return draining_ || own_.kind == ConnectionFault::Kind::Stall;
}

std::optional<std::string> ConnectionFaults::queueWritten() {
    frozen_ = freezing_;
    if (!draining_) return std::nullopt;
    return "dropped after " + std::to_string(dropAfter_) + " packets (fault injection)";
}

// ---- the server

Faults::Faults(FaultSettings settings)
    : settings_(std::move(settings)), savesBeforeFailing_(settings_.failWritesAfter) {}

bool Faults::leavesOutPush() {
    ++pushesMade_;
    return settings_.leaveOutPushEvery != 0 && pushesMade_ % settings_.leaveOutPushEvery == 0;
}

std::optional<std::string> Faults::saveFailure() {
    if (!savesBeforeFailing_) return std::nullopt;
    if (*savesBeforeFailing_ == 0)
        return std::string("database or disk is full (writes made to fail by --fail-writes-after)");
    --*savesBeforeFailing_;
    return std::nullopt;
}

void Faults::failSavesAfter(std::optional<uint64_t> saves) { savesBeforeFailing_ = saves; }

void Faults::prepareListeningSocket(int descriptor) const {
    if (!settings_.smallSocketBuffers) return;
    // The segment size is announced in the handshake, so both are set
    // before listening; every accepted socket inherits them.
    const int buffer = SMALL_RECEIVE_BUFFER;
    const int segment = SMALL_MAX_SEGMENT;
    ::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
}

ConnectionFaults Faults::nextConnection() {
    ConnectionFault own;
    if (connectionFaultsHandedOut_ < settings_.connectionFaults.size())
        own = settings_.connectionFaults[connectionFaultsHandedOut_++];
    return ConnectionFaults(settings_, own);
}

void Faults::hold(const std::weak_ptr<HeldConnection>& connection) {
    if (++heldHandedOut_ <= heldLetGo_) {
        if (const auto held = connection.lock()) held->letGo();  // its turn was asked for before it came
        return;
    }
    held_.push_back(connection);
}

void Faults::letGoNextHeld() {
    ++heldLetGo_;
    if (held_.empty()) return;  // the next held connection is let go as it comes
    const std::shared_ptr<HeldConnection> next = held_.front().lock();
    held_.pop_front();
    if (next) next->letGo();
}

}  // namespace hvr::sim
