#include "RequestJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "exchg.pb.h"

namespace hvr::sim {

namespace {

std::string escaped(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const unsigned char c : text) {
        if (c > ' ' && c <= '~' && c != '%') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0x0f]);
        }
    }
    return out.empty() ? "-" : out;
}

}  // namespace

std::string requestKey(const PacketHeader& header, const std::string& payload) {
    switch (header.functionCode) {
        case FC_CMD_ORDER_INSERT: {
            exchg::ReqOrderInsert order;
            if (order.ParsePartialFromString(payload)) return escaped(order.usertag());
            break;
        }
        case FC_CMD_ORDER_CANCEL: {
            exchg::ReqOrderCancel cancel;
            if (cancel.ParsePartialFromString(payload)) return std::to_string(cancel.orderid());
            break;
        }
        case FC_CMD_LOGIN: {
            exchg::ReqLogin login;
            if (login.ParsePartialFromString(payload))
                return escaped(login.resource()) + "/" + std::to_string(login.pushid());
            break;
        }
        default:
            break;
    }
    return "-";
}

RequestJournal::RequestJournal(const std::string& path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) throw std::runtime_error("cannot open the request journal " + path + ": " + std::strerror(errno));
}

RequestJournal::~RequestJournal() {
    if (fd_ >= 0) ::close(fd_);
}

int64_t RequestJournal::now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void RequestJournal::accepted(const std::string& conn, uint16_t peerPort, const std::string& fault) {
    write(std::to_string(now()) + " accept " + conn + " " + std::to_string(peerPort) + " " + fault);
}

void RequestJournal::received(const std::string& conn, std::size_t bytes, int64_t started, bool drained) {
    write(std::to_string(now()) + " read " + conn + " " + std::to_string(bytes) + " " + std::to_string(started) +
          (drained ? " 1" : " 0"));
}

void RequestJournal::request(const std::string& conn, const PacketHeader& header, const std::string& payload,
                             bool handled) {
    write(std::to_string(now()) + " in " + conn + " " + std::to_string(header.functionCode) + " " +
          std::to_string(header.requestNo) + (handled ? " handled " : " discarded ") + requestKey(header, payload));
}

void RequestJournal::closed(const std::string& conn, const std::string& why) {
    write(std::to_string(now()) + " close " + conn + " " + escaped(why));
}

void RequestJournal::write(const std::string& line) {
    const std::string text = line + "\n";
    // One write: appended whole. A failure to journal is not the client's
    // problem; the test reading the journal will find the line missing.
    [[maybe_unused]] const ssize_t ignored = ::write(fd_, text.data(), text.size());
}

}  // namespace hvr::sim
