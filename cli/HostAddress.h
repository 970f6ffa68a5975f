// The --host value as the adapter accepts it: a numeric IPv4 or IPv6 address.
// The adapter refuses names, so the host resolves one first.
#pragma once

#include <string>

namespace hvr::cli {

struct ResolvedHost {
    std::string address;  // numeric; empty on failure
    std::string error;    // the resolver's reason
};

// A numeric address (IPv6 may carry a scope id, "fe80::1%eth0") is returned
// as given; a name is looked up (getaddrinfo, blocking) and its first
// address is returned in numeric form.
ResolvedHost resolveHost(const std::string& host);

}  // namespace hvr::cli
