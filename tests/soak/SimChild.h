// hvr-sim as a child process of the soak: started on a loopback port with a
// chosen set of fault flags, killed with SIGKILL (never a clean stop: a crash
// is what the soak wants the trader to live through), started again on the
// same port and database.
//
// Threads: used by the driver's main thread only. The child gets SIGKILL
// when that thread ends (PR_SET_PDEATHSIG), so a crashed soak leaves no
// simulator behind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace hvr::soak {

class SimChild {
public:
    // binary: the hvr-sim executable; db, config, log, journal: its files
    // (the log collects stderr of every start, the request journal every
    // start's lines, both appended).
    SimChild(std::string binary, std::string db, std::string config, std::string log, std::string journal);
    ~SimChild();
    SimChild(const SimChild&) = delete;
    SimChild& operator=(const SimChild&) = delete;

    // Starts on port (0 = any free one) with the flags; returns once it is
    // listening. newDay (YYYYMMDD, 0 = go on with the day the database holds)
    // wipes the day and starts a fresh one of that date. False, with the
    // reason, when it exits or stays silent for 10 s (a port still taken, say).
    bool start(uint16_t port, const std::vector<std::string>& flags, uint32_t newDay, std::string& why);
    // SIGKILL and reap; nothing when not running.
    void kill9();
    // SIGUSR2: the simulator lets its next held connection go (its held
    // connection faults are let go in order, one per signal).
    void letGoNextHeld();
    // SIGSTOP, returning once the process has stopped: it reads, writes and
    // times nothing, while the kernel still accepts connections and takes
    // bytes into its sockets' buffers (a server hung without its host
    // noticing). thaw() lets it go on (SIGCONT). Nothing when not running.
    void freeze();
    void thaw();
    // Flags every later start gets besides its own (not part of flags()).
    void setStandingFlags(std::vector<std::string> standing) { standingFlags = std::move(standing); }

    bool running() const { return pid > 0; }
    uint16_t port() const { return listenPort; }
    const std::vector<std::string>& flags() const { return currentFlags; }

private:
    const std::string binary, db, config, log, journal;
    pid_t pid = -1;
    int stdoutFd = -1;
    uint16_t listenPort = 0;
    std::vector<std::string> currentFlags;
    std::vector<std::string> standingFlags;
};

}  // namespace hvr::soak
