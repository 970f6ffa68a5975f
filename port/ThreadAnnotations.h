// Clang's thread-safety attributes, so that the compiler checks which lock
// guards which member (-Wthread-safety). Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define HVR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define HVR_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) HVR_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY HVR_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) HVR_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) HVR_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) HVR_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) HVR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) HVR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) HVR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) HVR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) HVR_THREAD_ANNOTATION(assert_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS HVR_THREAD_ANNOTATION(no_thread_safety_analysis)
