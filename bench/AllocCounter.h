// Counts heap allocations made anywhere in the benchmark process (the
// module's code, protobuf, zlib, the C++ library): the benchmark binary
// defines malloc, calloc, realloc and the aligned functions (memalign,
// aligned_alloc, posix_memalign, valloc, pvalloc) over glibc's own, so every
// allocation comes through here. Only the benchmark binary does this; the product does
// not count anything.
#pragma once

#include <cstdint>

namespace hvr::bench {

// Allocations (every function above, and operator new through them) since
// the process started, on every thread.
uint64_t allocationCount();

// Whether the hook sees allocations made inside shared libraries (checked by
// allocating through libstdc++'s plain and aligned operator new).
bool allocationHookWorks();

}  // namespace hvr::bench
