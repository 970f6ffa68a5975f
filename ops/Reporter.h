// The host's listener as the trader reports to it. Every call is skipped
// while no listener is registered, and an exception that escapes the host's
// code is caught at that call: it is logged once at level 104 with the
// loop-error line, and the caller goes on as if the call had returned. So a
// throwing callback never unwinds through the network thread's handlers, never
// stops the receive loop and never leaks the object it was handed.
//
// Thread safety: every operation may be called from any thread. The listener
// and catalog pointers are swapped atomically by registerListener.
#pragma once

#include <atomic>
#include <exception>

#include "host/ITraderListener.h"
#include "texts/LogText.h"

namespace hvr {

class Reporter {
public:
    void setListener(kra::ITraderListener* l) { current.store(l, std::memory_order_release); }
    kra::ITraderListener* listener() const { return current.load(std::memory_order_acquire); }
    void setCatalog(kra::IContractCatalog* c) { catalogPtr.store(c, std::memory_order_release); }
    kra::IContractCatalog* catalog() const { return catalogPtr.load(std::memory_order_acquire); }

    // One log line. A logMessage that throws is ignored: there is nowhere
    // left to report it.
    template <typename... Args>
    void log(int level, const char* format, Args... args) noexcept {
        kra::ITraderListener* l = listener();
        if (l == nullptr) return;
        try {
            l->logMessage(level, format, args...);
        } catch (...) {
        }
    }

    // Runs call(listener) if a listener is registered, containing whatever it
    // throws.
    template <typename Call>
    void call(Call&& c) noexcept {
        kra::ITraderListener* l = listener();
        if (l == nullptr) return;
        try {
            c(l);
        } catch (const std::exception& e) {
            log(kra::LOG_LEVEL_ERROR, LOG_LOOP_ERROR, e.what());
        } catch (...) {
            log(kra::LOG_LEVEL_ERROR, LOG_LOOP_ERROR, UNKNOWN_EXCEPTION);
        }
    }

    // Hands object to one listener call, then releases the creator's
    // reference, whether or not the call threw.
    template <typename Object, typename Call>
    void deliver(Object* object, Call&& c) noexcept {
        call(c);
        object->release();
    }

    void event(int kind, int code) noexcept {
        call([kind, code](kra::ITraderListener* l) { l->onTraderEvent(kind, code); });
    }

private:
    std::atomic<kra::ITraderListener*> current{nullptr};
    std::atomic<kra::IContractCatalog*> catalogPtr{nullptr};
};

}  // namespace hvr
