// The host's command line (Boost.Program_options) and the trader
// configuration node built from it. Pure apart from reading the file named by
// --trader-config.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/NXSConfigNode.h"

namespace hvr::cli {

struct HostOptions {
    // Trader configuration: the keys of the node given to init.
    std::string host = "127.0.0.1";  // a name is resolved to a numeric address before init
    int port = NO_PORT;              // required: on the command line or in --trader-config
    std::string folder = "./";  // prefix of the .flow file; end it with '/'
    int pushMode = 0;           // 0 resume from file, 1 only new pushes, 2 replay all
    int nodelay = 1;            // 1 sets TCP_NODELAY on the adapter's socket, 0 keeps the default
    int peerTimeout = 15;       // seconds of server silence (after its heartbeats) that end a connection; 0 = off
    std::string threads = "own";  // "shared": the process's pool of network threads (init key threads)
    int poolThreads = 0;          // the pool's threads when this trader makes it; 0 = one per CPU
    // Session.
    std::string user;
    std::string password;
    std::string resource = "hvr-host";
    long timeoutMs = 5000;      // for connect, login, wait and await
    long closeWaitMs = 5000;    // at the end: how long to wait for answers still due before releasing
    int reconcile = 1;          // 1 reconciles the book with the server after every login
    // Files.
    std::string instrumentsConfig;  // INI of accounts and instruments; empty = built-in
    std::string traderConfig;       // host/port/folder/... as key = value lines
    std::string script;             // empty = interactive
    std::string module;
    // Output.
    bool json = false;  // one JSON object per line
    std::string logFile;          // also write everything printed here
    std::string logLevel = "info";  // adapter log lines below this are not printed (info, warn, error)

    static constexpr int NO_PORT = -1;
};

struct ParsedOptions {
    HostOptions options;
    bool showHelp = false;
    bool showVersion = false;
    std::string helpText;
    std::string error;  // set when the command line is wrong
};

// Flags given on the command line win over the same keys in --trader-config.
ParsedOptions parseHostOptions(const std::vector<std::string>& args, const std::string& defaultModule);

// The listener level (102 to 104) of a --log-level word; 0 for an unknown word.
int logLevelCode(const std::string& word);

// The map node with "host", "port", "folder", "pushmode", "nodelay" and
// "peertimeout", and "threads" and "poolthreads" for --threads shared.
std::unique_ptr<kra::NXSMapNode> makeTraderConfig(const HostOptions& options);

}  // namespace hvr::cli
