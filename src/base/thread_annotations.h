// Clang thread-safety annotations (-Wthread-safety). They document which mutex
// guards which data and in what order locks are taken; other compilers ignore
// them.
#pragma once

#if defined(__clang__)
#define ACTIVATOR_TSA(x) __attribute__((x))
#else
#define ACTIVATOR_TSA(x)
#endif

#define CAPABILITY(x) ACTIVATOR_TSA(capability(x))
#define SCOPED_CAPABILITY ACTIVATOR_TSA(scoped_lockable)
#define GUARDED_BY(x) ACTIVATOR_TSA(guarded_by(x))
#define ACQUIRED_BEFORE(...) ACTIVATOR_TSA(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) ACTIVATOR_TSA(acquired_after(__VA_ARGS__))
#define REQUIRES(...) ACTIVATOR_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) ACTIVATOR_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ACTIVATOR_TSA(release_capability(__VA_ARGS__))
#define EXCLUDES(...) ACTIVATOR_TSA(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) ACTIVATOR_TSA(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS ACTIVATOR_TSA(no_thread_safety_analysis)
