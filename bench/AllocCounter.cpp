#include "AllocCounter.h"

#include <atomic>
#include <cstddef>
#include <memory>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
}

namespace {
std::atomic<uint64_t> allocations{0};
}

extern "C" void* malloc(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

extern "C" void* calloc(std::size_t count, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}

extern "C" void* realloc(void* pointer, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pointer, size);
}

namespace hvr::bench {

uint64_t allocationCount() { return allocations.load(std::memory_order_relaxed); }

bool allocationHookWorks() {
    const uint64_t before = allocationCount();
    // Through the library's operator new, which calls malloc from libstdc++.
    auto block = std::make_unique<std::byte[]>(4096);
    volatile std::byte* keep = block.get();
    (void)keep;
    return allocationCount() > before;
}

}  // namespace hvr::bench
