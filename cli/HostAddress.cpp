#include "cli/HostAddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <memory>

namespace hvr::cli {

namespace {

bool isNumericAddress(const std::string& host) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (found != nullptr) freeaddrinfo(found);
    return rc == 0;
}

}  // namespace

ResolvedHost resolveHost(const std::string& host) {
    if (host.empty()) return {"", "the host is empty"};
    if (isNumericAddress(host)) return {host, ""};
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0) return {"", std::string("cannot resolve '") + host + "': " + gai_strerror(rc)};
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owned(found, &freeaddrinfo);
    char text[INET6_ADDRSTRLEN] = {};
    const void* address = found->ai_family == AF_INET6
                              ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(found->ai_addr)->sin6_addr)
                              : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr);
    if (inet_ntop(found->ai_family, address, text, sizeof text) == nullptr)
        return {"", "cannot print the address of '" + host + "'"};
    return {text, ""};
}

}  // namespace hvr::cli
