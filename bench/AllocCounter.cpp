#include "AllocCounter.h"

#include <cerrno>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void* __libc_valloc(std::size_t size);
void* __libc_pvalloc(std::size_t size);
}

namespace {
std::atomic<uint64_t> allocations{0};

void countOne() { allocations.fetch_add(1, std::memory_order_relaxed); }
}  // namespace

extern "C" void* malloc(std::size_t size) {
    countOne();
    return __libc_malloc(size);
}

extern "C" void* calloc(std::size_t count, std::size_t size) {
    countOne();
    return __libc_calloc(count, size);
}

extern "C" void* realloc(void* pointer, std::size_t size) {
    countOne();
    return __libc_realloc(pointer, size);
}

// The aligned family: libstdc++'s aligned operator new and some libraries
// reach the allocator only through these.
extern "C" void* memalign(std::size_t alignment, std::size_t size) {
    countOne();
    return __libc_memalign(alignment, size);
}

extern "C" void* aligned_alloc(std::size_t alignment, std::size_t size) {
    countOne();
    return __libc_memalign(alignment, size);
}

extern "C" int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    countOne();
    // The checks glibc's own posix_memalign makes before it allocates.
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0 || alignment == 0) return EINVAL;
    void* block = __libc_memalign(alignment, size);
    if (block == nullptr) return ENOMEM;
    *out = block;
    return 0;
}

extern "C" void* valloc(std::size_t size) {
    countOne();
    return __libc_valloc(size);
}

extern "C" void* pvalloc(std::size_t size) {
    countOne();
    return __libc_pvalloc(size);
}

namespace hvr::bench {

uint64_t allocationCount() { return allocations.load(std::memory_order_relaxed); }

bool allocationHookWorks() {
    uint64_t before = allocationCount();
    // Through the library's operator new, which calls malloc from libstdc++.
    auto block = std::make_unique<std::byte[]>(4096);
    volatile std::byte* keep = block.get();
    (void)keep;
    if (allocationCount() == before) return false;
    // Through the aligned operator new, which libstdc++ serves with
    // aligned_alloc or posix_memalign.
    before = allocationCount();
    void* aligned = ::operator new(256, std::align_val_t{64});
    volatile void* keepAligned = aligned;
    (void)keepAligned;
    ::operator delete(aligned, std::align_val_t{64});
    return allocationCount() > before;
}

}  // namespace hvr::bench
