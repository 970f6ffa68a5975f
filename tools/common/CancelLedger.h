// Which order a refused cancel was for. The module reports a refused cancel
// as an NXSError with no order id; the host knows which cancels it sent, and
// the server answers them in order, so the refusal is for the oldest cancel
// still outstanding. A cancel that works is never answered: the order's push
// that finishes it (cancelled, or filled first) settles it.
//
// Plain data, no lock: each host keeps it under the lock of its session
// state. Shared by hvr-host and the Python package.
#pragma once

#include <algorithm>
#include <cstddef>
#include <deque>
#include <string>

namespace hvr::tools {

class CancelLedger {
public:
    // A cancel of this order (the server's order id) is about to be sent.
    void sent(const std::string& orderId) { pending.push_back(orderId); }
    // The cancel noted last was not sent after all (the module refused it).
    void withdrawLast() {
        if (!pending.empty()) pending.pop_back();
    }
    // A cancel was refused: the order it was for (the oldest outstanding), or
    // empty when none was outstanding.
    std::string refused() {
        if (pending.empty()) return {};
        std::string orderId = std::move(pending.front());
        pending.pop_front();
        return orderId;
    }
    // The order finished, so a cancel outstanding for it needs no answer.
    void settled(const std::string& orderId) {
        auto it = std::find(pending.begin(), pending.end(), orderId);
        if (it != pending.end()) pending.erase(it);
    }
    // The connection ended: cancels the server had not answered are gone
    // with it, and must not take the blame for a later refusal.
    void clear() { pending.clear(); }

    bool empty() const { return pending.empty(); }
    std::size_t size() const { return pending.size(); }

private:
    std::deque<std::string> pending;  // server order ids, oldest first
};

}  // namespace hvr::tools
