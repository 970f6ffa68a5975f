#include "ConnectionFault.h"

#include <sstream>

namespace hvr::sim {

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
    if (fault.held) {
        switch (fault.kind) {
            case ConnectionFault::Kind::Stall:
                return "hold";
            case ConnectionFault::Kind::Trickle:
                return "hold-trickle:" + std::to_string(fault.amount);
            case ConnectionFault::Kind::Reset:
                return "hold-reset";
            default:
                return "none";
        }
    }
    switch (fault.kind) {
        case ConnectionFault::Kind::Stall:
            return "stall:" + std::to_string(fault.amount);
        case ConnectionFault::Kind::Trickle:
            return "trickle:" + std::to_string(fault.amount);
        case ConnectionFault::Kind::Reset:
            return "reset:" + std::to_string(fault.amount);
        default:
            return "none";
    }
}

}  // namespace hvr::sim
