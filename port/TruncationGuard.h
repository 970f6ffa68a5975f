// Keeps a process alive when the file under a shared mapping of ours is
// truncated. A store into (or a load from) a page of a shared file mapping
// that lies wholly beyond the file's end raises SIGBUS, whose default action
// kills the whole process: the host and every other trader in it. A file in a
// folder the host does not control (an operator's `> demo.flow`, a clean-up
// script, `cp` of a backup over it, which truncates first) can do that at any
// moment.
//
// A TruncationGuard watches the first page of one mapping. The process-wide
// SIGBUS handler, installed once at the first watch, maps a private zero page
// over a watched page that faulted, marks the guard as faulted and returns, so
// the faulting access runs again and completes on the zero page. Whoever owns
// the mapping then sees faulted() and puts things right (for the flow record:
// rewrites the file and maps it again). A fault anywhere else goes to the
// handler that was installed before ours, or to the default action, so the
// process dies of it exactly as it would have without us.
//
// The handler is async-signal-safe: it reads a fixed table of watched pages
// with atomic loads and makes one raw mmap system call. The table lives in
// static storage for the life of the process, so a fault never reads freed
// memory. When the module is unloaded the previous handler is restored, if
// ours is still the one installed.
//
// Under the sanitizers: ASan and TSan intercept sigaction. ASan's own SIGBUS
// handler (handle_sigbus=1, the default) becomes our "previous" and reports
// faults outside our pages as before; with handle_sigbus=2 ASan keeps the
// signal to itself, our handler is not installed, and watch() says so.
//
// Thread safety: watch and unwatch may be called from any thread; one
// TruncationGuard is used by one owner at a time (callers hold their own
// lock). faulted() may be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace hvr {

class TruncationGuard {
public:
    TruncationGuard() = default;
    ~TruncationGuard() { unwatch(); }
    TruncationGuard(const TruncationGuard&) = delete;
    TruncationGuard& operator=(const TruncationGuard&) = delete;

    // Watches the page that holds address (the start of a shared file
    // mapping). False when no guard can be given: the handler could not be
    // installed, or every slot of the table is taken. A guard watches one
    // page at a time; a second watch first lets go of the first page.
    bool watch(const void* address);
    // Stops watching. REQUIRES: before the page is unmapped.
    void unwatch();
    bool watching() const { return slot != nullptr; }
    // An access to the watched page faulted since watch(): the page now holds
    // zeros of our own and no longer reaches the file. Inline: read at every
    // store of the flow record.
    bool faulted() const { return slot != nullptr && slot->faulted.load(std::memory_order_acquire); }

    // Slots in the process-wide table; more pages than this at once are
    // refused by watch(). One per logged-in trader: a host with 10,000
    // traders fits, with room (256 KiB of static storage, whose pages are
    // touched only as far as slots are used). Beyond it a flow record works
    // unguarded and keeps its descriptor.
    static constexpr std::size_t MAX_WATCHED_PAGES = 16384;

    struct Slot {
        std::atomic<uintptr_t> page{0};  // 0: free
        std::atomic<bool> faulted{false};
    };

private:
    Slot* slot = nullptr;
};

}  // namespace hvr
