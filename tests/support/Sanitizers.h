// Which sanitizer, if any, the tests are built with, for the few tests a
// sanitizer's own runtime cannot carry.
//
// Both sanitizers of this compiler fail a child forked from a threaded
// process: ThreadSanitizer does not let it start threads, and
// AddressSanitizer does not hold its allocator's locks across fork, so a
// child can inherit one held by a thread it does not have and hang on its
// next allocation. A plain build's allocator holds its locks across fork.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define HVR_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define HVR_UNDER_TSAN 1
#endif
#endif
#ifndef HVR_UNDER_TSAN
#define HVR_UNDER_TSAN 0
#endif

#if defined(__SANITIZE_ADDRESS__)
#define HVR_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HVR_UNDER_ASAN 1
#endif
#endif
#ifndef HVR_UNDER_ASAN
#define HVR_UNDER_ASAN 0
#endif
