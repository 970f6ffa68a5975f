#include "trader/ForkGeneration.h"

#include <pthread.h>

#include <atomic>
#include <mutex>

namespace hvr {

namespace {

std::atomic<uint64_t> generation{0};

// Runs in the child right after fork, on its only thread.
void afterForkInChild() { generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

uint64_t forkGenerationAtCreation() {
    static std::once_flag registered;
    std::call_once(registered, [] { ::pthread_atfork(nullptr, nullptr, afterForkInChild); });
    return currentForkGeneration();
}

uint64_t currentForkGeneration() { return generation.load(std::memory_order_relaxed); }

}  // namespace hvr
