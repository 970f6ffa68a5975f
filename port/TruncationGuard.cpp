#include "port/TruncationGuard.h"

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <mutex>

namespace hvr {

namespace {

// Static storage for the life of the process (constant-initialised: no
// constructor runs), so the handler never reads memory that was freed.
TruncationGuard::Slot watchedPages[TruncationGuard::MAX_WATCHED_PAGES];
struct sigaction previousAction;  // written once, before our handler is installed
uintptr_t pageSize = 0;
uintptr_t pageMask = 0;
bool installed = false;  // set once under the once flag

// Hands a SIGBUS that is not ours to whoever had it before us, so that the
// process fares exactly as it would have without our handler.
void passOn(int signal, siginfo_t* info, void* context) {
    if ((previousAction.sa_flags & SA_SIGINFO) != 0) {
        previousAction.sa_sigaction(signal, info, context);
        return;
    }
    const bool sent = info == nullptr || info->si_code <= 0;  // by kill or raise, not by a fault
    if (previousAction.sa_handler == SIG_IGN && sent) return;
    if (previousAction.sa_handler == SIG_DFL || previousAction.sa_handler == SIG_IGN) {
        // The default action ends the process: a fault happens again when
        // the access is retried on return; a sent signal is sent again.
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        ::sigaction(signal, &fallback, nullptr);
        if (sent) ::raise(signal);
        return;
    }
    previousAction.sa_handler(signal);
}

// True when the fault hit a watched page, which now holds a private zero page.
bool coverWatchedPage(uintptr_t page) {
    if (page == 0) return false;
    for (TruncationGuard::Slot& slot : watchedPages) {
        if (slot.page.load(std::memory_order_acquire) != page) continue;
        // A private zero page over the one whose file is gone; the access
        // runs again on return and completes there. The raw system call keeps
        // interceptors out of the signal handler.
        const long mapped = ::syscall(SYS_mmap, page, pageSize, PROT_READ | PROT_WRITE,
                                      MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped != static_cast<long>(page)) return false;
        slot.faulted.store(true, std::memory_order_release);
        return true;
    }
    return false;
}

extern "C" void onBusError(int signal, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    const bool fault = info != nullptr && info->si_code > 0;
    const bool covered = fault && coverWatchedPage(reinterpret_cast<uintptr_t>(info->si_addr) & pageMask);
    errno = savedErrno;
    if (!covered) passOn(signal, info, context);
}

bool installHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        const long size = ::sysconf(_SC_PAGESIZE);
        if (size <= 0) return;
        pageSize = static_cast<uintptr_t>(size);
        pageMask = ~(pageSize - 1);
        struct sigaction ours {};
        ours.sa_sigaction = onBusError;
        ours.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
        sigemptyset(&ours.sa_mask);
        if (::sigaction(SIGBUS, nullptr, &previousAction) != 0) return;
        if (::sigaction(SIGBUS, &ours, nullptr) != 0) return;
        // A sanitizer that keeps SIGBUS to itself accepts the call and
        // installs nothing: look.
        struct sigaction now {};
        installed = ::sigaction(SIGBUS, nullptr, &now) == 0 && (now.sa_flags & SA_SIGINFO) != 0 &&
                    now.sa_sigaction == onBusError;
    });
    return installed;
}

// The module may be unloaded while the process goes on: hand SIGBUS back to
// its previous owner if nobody has taken it from us since.
__attribute__((destructor)) void restorePreviousHandler() {
    if (!installed) return;
    struct sigaction now {};
    if (::sigaction(SIGBUS, nullptr, &now) == 0 && (now.sa_flags & SA_SIGINFO) != 0 &&
        now.sa_sigaction == onBusError)
        ::sigaction(SIGBUS, &previousAction, nullptr);
}

}  // namespace

bool TruncationGuard::watch(const void* address) {
    unwatch();
    if (address == nullptr || !installHandler()) return false;
    const uintptr_t page = reinterpret_cast<uintptr_t>(address) & pageMask;
    for (Slot& candidate : watchedPages) {
        uintptr_t free = 0;
        if (candidate.page.load(std::memory_order_relaxed) != 0) continue;
        // A free slot's flag is clear (unwatch clears it before freeing).
        if (candidate.page.compare_exchange_strong(free, page, std::memory_order_acq_rel)) {
            slot = &candidate;
            return true;
        }
    }
    return false;
}

void TruncationGuard::unwatch() {
    if (slot == nullptr) return;
    slot->faulted.store(false, std::memory_order_relaxed);
    slot->page.store(0, std::memory_order_release);
    slot = nullptr;
}

}  // namespace hvr
