// hvr_sim_bench: what a busy client costs an hvr-sim process, measured from
// outside over loopback, so that any build of hvr-sim can be measured the
// same way (the binary is an argument):
//
//   resting  order inserts per second on a day that already holds 0, 10,000
//            and 100,000 resting orders: each count gets a fresh database,
//            filled in this process through the simulator's own Book and
//            Store, and a server started on it; then ROUNDS rounds of
//            ORDERS resting inserts, at most WINDOW unanswered at a time.
//   flood    a client sending PER_MS orders every millisecond for SECONDS
//            seconds while a second thread reads everything the server
//            sends: orders sent, answers received and orders the server
//            logged as accepted, per second and after the flood.
//
//   hvr_sim_bench --sim PATH/hvr-sim [--only resting|flood] [--orders N]
//                 [--rounds N] [--per-ms N] [--seconds N] [--keep yes]
//
// --keep yes leaves each working directory (database, server log) in place.
//
// Prints markdown tables. The server logs to a file (every line flushed),
// as it would in use.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Book.h"
#include "BookSetup.h"
#include "PacketCodec.h"
#include "Store.h"
#include "common/TradingConfig.h"
#include "exchg.pb.h"
#include "net/Framing.h"
#include "ops/LoginRequest.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr uint32_t TRADING_DATE = 20261208;
constexpr const char* INSTRUMENT = "BN2412";
constexpr double LAST = 100.0;
constexpr double RESTING_PRICE = 60.0;  // a buy that rests: below the last, inside the band

// One account rich enough for millions of resting orders; one instrument
// with a wide band.
constexpr const char* CONFIG = R"ini(
[account.bench]
password = bench
balance = 100000000000

[instrument.BN2412]
exchange = BENCH
multiplier = 1
tick = 0.01
last = 100
band = 0.5
margin_ratio = 0.01
commission_ratio = 0
)ini";

struct Settings {
    std::string sim;
    std::string only;
    uint32_t orders = 5000;
    uint32_t rounds = 3;
    uint32_t window = 32;
    uint32_t perMs = 50;
    uint32_t seconds = 8;
};

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "hvr_sim_bench: %s\n", what.c_str());
    std::exit(1);
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

exchg::ReqOrderInsert restingBuy(uint32_t n) {
    exchg::ReqOrderInsert r;
    r.set_instrument(INSTRUMENT);
    r.set_price(static_cast<uint32_t>(RESTING_PRICE * 10000));
    r.set_qty(1);
    r.set_direct(exchg::DT_Long);
    r.set_pxtype(exchg::PT_LimitPrice);
    r.set_timecond(exchg::TC_ValidInDay);
    r.set_offset(exchg::OF_Open);
    r.set_usertag("b" + std::to_string(n));
    return r;
}

std::string packetOf(uint16_t functionCode, uint32_t requestNo, const google::protobuf::MessageLite& message) {
    const std::string payload = message.SerializeAsString();
    std::string packet;
    hvr::appendRequestPacket(packet, functionCode, requestNo, payload.data(), payload.size());
    return packet;
}

// A working directory with the configuration, removed at the end.
class WorkDir {
public:
    WorkDir() {
        std::string pattern = (fs::temp_directory_path() / "hvr-sim-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) fail("mkdtemp failed");
        path_ = pattern;
        std::ofstream(file("bench.ini")) << CONFIG;
    }
    ~WorkDir() {
        if (keep) {
            std::fprintf(stderr, "hvr_sim_bench: kept %s\n", path_.c_str());
            return;
        }
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    static inline bool keep = false;  // --keep: leave the databases and logs for a look
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

// A day with `resting` resting buys of the bench account, written through
// the simulator's Book and Store in one transaction.
void prefill(const WorkDir& dir, const std::string& db, uint32_t resting) {
    const hvr::tools::TradingConfig config = hvr::tools::loadTradingConfig(dir.file("bench.ini"));
    hvr::sim::Store store(db, true, TRADING_DATE);
    hvr::sim::Book book(hvr::sim::instrumentsFrom(config), hvr::sim::accountsFrom(config), store.load(),
                        [] { return uint64_t{1733000000000}; }, {});
    const uint32_t account = book.authenticate("bench", hvr::md5Hex("bench"));
    for (uint32_t i = 0; i < resting; ++i)
        if (book.insertOrder(account, restingBuy(i)).answer.result() != 0) fail("prefill order refused");
    store.save(book, book.takeChanges());
}

// hvr-sim as a child process: started on a free loopback port, killed at the end.
class SimProcess {
public:
    SimProcess(const Settings& settings, const WorkDir& dir, const std::string& db, bool fresh) {
        log_ = dir.file("sim.log");
        std::vector<std::string> args = {settings.sim, "--db", db, "--config", dir.file("bench.ini"),
                                         "--log-file", log_, "--log-max-bytes", "1000000000",
                                         "--trading-date", std::to_string(TRADING_DATE)};
        if (fresh) args.push_back("--fresh-day");
        int pipeFds[2];
        if (pipe(pipeFds) != 0) fail("pipe failed");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(pipeFds[1], STDOUT_FILENO);
            close(pipeFds[0]);
            close(pipeFds[1]);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(pipeFds[1]);
        FILE* out = fdopen(pipeFds[0], "r");
        char line[128] = {};
        const std::string prefix = "hvr-sim listening on 127.0.0.1:";
        if (!fgets(line, sizeof line, out) || std::string(line).rfind(prefix, 0) != 0)
            fail("hvr-sim did not start (log " + log_ + ")");
        port_ = static_cast<uint16_t>(std::stoi(std::string(line).substr(prefix.size())));
        fclose(out);
    }
    ~SimProcess() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    uint16_t port() const { return port_; }

    // Lines of the log that contain text.
    std::size_t logLinesWith(const std::string& text) const {
        std::ifstream in(log_);
        std::string line;
        std::size_t n = 0;
        while (std::getline(in, line))
            if (line.find(text) != std::string::npos) ++n;
        return n;
    }

private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::string log_;
};

// A blocking client socket that frames what it reads.
class Client {
public:
    explicit Client(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            fail("cannot connect to hvr-sim");
        int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~Client() { ::close(fd_); }

    // False once the socket no longer takes bytes.
    bool send(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Reads once and hands every complete packet to onPacket(header,
    // payload); false at the end of the stream or on a timeout.
    template <typename OnPacket>
    bool readSome(OnPacket onPacket) {
        char chunk[65536];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        inbound_.append(chunk, static_cast<std::size_t>(n));
        const hvr::FramingStatus status =
            hvr::processFrames(inbound_, [&](const uint8_t* packet, const hvr::PacketHeader& header) {
                std::string payload;
                if (!hvr::sim::extractPayload(packet, header, payload)) fail("an answer does not inflate");
                onPacket(header, payload);
                return true;
            });
        if (status != hvr::FramingStatus::Ok) fail("the server sent a broken stream");
        return true;
    }

    void setReadTimeout(std::chrono::milliseconds timeout) {
        timeval t{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    }

    void login() {
        exchg::ReqLogin request;
        hvr::buildLoginRequest("bench", "bench", "bench", -1, request);
        if (!send(packetOf(hvr::FC_CMD_LOGIN, 1, request))) fail("login not sent");
        bool answered = false;
        while (!answered) {
            if (!readSome([&](const hvr::PacketHeader& header, const std::string& payload) {
                    if (header.functionCode != hvr::FC_CMD_LOGIN) return;
                    exchg::AnsLogin answer;
                    if (!answer.ParseFromString(payload) || answer.result() != 0) fail("login refused");
                    answered = true;
                }))
                fail("no login answer");
        }
    }

private:
    int fd_;
    std::string inbound_;
};

// Result code of an order-insert answer.
int insertResult(const std::string& payload) {
    exchg::AnsOrderInsert answer;
    return answer.ParseFromString(payload) ? answer.result() : -999;
}

// ORDERS inserts, at most WINDOW unanswered; the rate in inserts per second.
double insertRate(Client& client, const Settings& settings, uint32_t& nextTag) {
    uint32_t sent = 0, answered = 0;
    const Clock::time_point start = Clock::now();
    while (answered < settings.orders) {
        while (sent < settings.orders && sent - answered < settings.window) {
            ++nextTag;
            if (!client.send(packetOf(hvr::FC_CMD_ORDER_INSERT, nextTag, restingBuy(nextTag)))) fail("send failed");
            ++sent;
        }
        if (!client.readSome([&](const hvr::PacketHeader& header, const std::string& payload) {
                if (header.functionCode != hvr::FC_CMD_ORDER_INSERT) return;
                if (insertResult(payload) != 0) fail("an insert was refused");
                ++answered;
            }))
            fail("the server stopped answering");
    }
    return settings.orders / secondsSince(start);
}

void benchResting(const Settings& settings) {
    std::printf("### Inserts per second against resting orders\n\n");
    std::printf("%u rounds of %u resting inserts each, at most %u unanswered; the median round, and the "
                "slowest and fastest.\n\n",
                settings.rounds, settings.orders, settings.window);
    std::printf("| resting orders at the start | inserts/s, median | slowest | fastest | median ÷ median at 0 |\n");
    std::printf("|---:|---:|---:|---:|---:|\n");
    double atZero = 0;
    for (const uint32_t resting : {0u, 10000u, 100000u}) {
        WorkDir dir;
        const std::string db = dir.file("bench.db");
        prefill(dir, db, resting);
        SimProcess sim(settings, dir, db, false);
        Client client(sim.port());
        client.setReadTimeout(std::chrono::seconds(120));
        client.login();
        uint32_t tag = 1;
        std::vector<double> rates;
        for (uint32_t round = 0; round < settings.rounds; ++round) rates.push_back(insertRate(client, settings, tag));
        std::sort(rates.begin(), rates.end());
        const double median = rates[rates.size() / 2];
        if (resting == 0) atZero = median;
        std::printf("| %u | %.0f | %.0f | %.0f | %.2f |\n", resting, median, rates.front(), rates.back(),
                    median / atZero);
        std::fflush(stdout);
    }
    std::printf("\n");
}

void benchFlood(const Settings& settings) {
    WorkDir dir;
    SimProcess sim(settings, dir, dir.file("bench.db"), true);
    Client client(sim.port());
    client.setReadTimeout(std::chrono::milliseconds(200));
    client.login();

    const std::size_t buckets = settings.seconds + 600;  // the answers may trail the flood by minutes
    std::vector<std::atomic<uint64_t>> sentIn(buckets), answeredIn(buckets);
    std::atomic<uint64_t> sent{0}, answered{0}, accepted{0}, pushes{0};
    std::atomic<bool> reading{true};
    std::atomic<int64_t> lastAnswerMs{-1};
    const Clock::time_point start = Clock::now();
    auto second = [&start]() {
        return static_cast<std::size_t>(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count());
    };

    std::thread reader([&] {
        while (reading) {
            client.readSome([&](const hvr::PacketHeader& header, const std::string& payload) {
                if (header.functionCode == hvr::FC_PUSH_MESSAGE) ++pushes;
                if (header.functionCode != hvr::FC_CMD_ORDER_INSERT) return;
                ++answered;
                if (insertResult(payload) == 0) ++accepted;
                ++answeredIn[std::min(second(), buckets - 1)];
                lastAnswerMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            });
        }
    });

    // PER_MS orders at every millisecond of an absolute schedule; a send that
    // blocks (the server not reading) delays the rest.
    uint32_t tag = 1;
    const Clock::time_point end = start + std::chrono::seconds(settings.seconds);
    for (Clock::time_point due = start; Clock::now() < end; due += std::chrono::milliseconds(1)) {
        std::this_thread::sleep_until(due);
        std::string batch;
        for (uint32_t i = 0; i < settings.perMs; ++i, ++tag)
            batch += packetOf(hvr::FC_CMD_ORDER_INSERT, tag, restingBuy(tag));
        if (!client.send(batch)) break;
        sent += settings.perMs;
        sentIn[std::min(second(), buckets - 1)] += settings.perMs;
    }
    const uint64_t answeredInFlood = answered;
    const uint64_t acceptedLogged = sim.logLinesWith(" accepted: ");

    // Then until every order is answered, nothing arrives for 5 s, or a
    // minute has passed.
    uint64_t seen = answered;
    Clock::time_point progress = Clock::now();
    while (answered < sent && secondsSince(progress) < 5.0 && secondsSince(end) < 60.0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (answered != seen) {
            seen = answered;
            progress = Clock::now();
        }
    }
    reading = false;
    reader.join();

    std::printf("### Flood: %u orders every millisecond for %u s\n\n", settings.perMs, settings.seconds);
    std::printf("| second | orders sent | answers received |\n|---:|---:|---:|\n");
    for (std::size_t s = 0; s < buckets; ++s)
        if (sentIn[s] != 0 || answeredIn[s] != 0)
            std::printf("| %zu | %llu | %llu |\n", s, static_cast<unsigned long long>(sentIn[s].load()),
                        static_cast<unsigned long long>(answeredIn[s].load()));
    std::printf("\n| figure | value |\n|---|---:|\n");
    std::printf("| orders sent in %u s (the socket took them) | %llu |\n", settings.seconds,
                static_cast<unsigned long long>(sent.load()));
    std::printf("| orders the server logged as accepted by the end of the flood | %llu |\n",
                static_cast<unsigned long long>(acceptedLogged));
    std::printf("| answers received by the end of the flood | %llu |\n",
                static_cast<unsigned long long>(answeredInFlood));
    std::printf("| answers received in all (accepted %llu) | %llu |\n",
                static_cast<unsigned long long>(accepted.load()), static_cast<unsigned long long>(answered.load()));
    std::printf("| orders logged as accepted in all | %zu |\n", sim.logLinesWith(" accepted: "));
    std::printf("| pushes received | %llu |\n", static_cast<unsigned long long>(pushes.load()));
    std::printf("| last answer, s after the start | %.1f |\n", lastAnswerMs / 1000.0);
    std::printf("\n");
}

uint32_t numberArgument(const std::string& flag, const char* text) {
    try {
        return static_cast<uint32_t>(std::stoul(text));
    } catch (const std::exception&) {
        fail(flag + ": not a number");
    }
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--sim") settings.sim = argv[i + 1];
        else if (flag == "--only") settings.only = argv[i + 1];
        else if (flag == "--orders") settings.orders = numberArgument(flag, argv[i + 1]);
        else if (flag == "--rounds") settings.rounds = numberArgument(flag, argv[i + 1]);
        else if (flag == "--per-ms") settings.perMs = numberArgument(flag, argv[i + 1]);
        else if (flag == "--seconds") settings.seconds = numberArgument(flag, argv[i + 1]);
        else if (flag == "--keep") WorkDir::keep = std::string(argv[i + 1]) == "yes";
        else fail("unknown flag " + flag);
    }
    if (settings.sim.empty() || settings.orders == 0 || settings.rounds == 0)
        fail("usage: hvr_sim_bench --sim PATH/hvr-sim [--only resting|flood] [--orders N] [--rounds N] "
             "[--per-ms N] [--seconds N]");
    signal(SIGPIPE, SIG_IGN);
    if (settings.only.empty() || settings.only == "resting") benchResting(settings);
    if (settings.only.empty() || settings.only == "flood") benchFlood(settings);
    return 0;
}
