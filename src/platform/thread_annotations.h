// Clang's thread-safety annotations: which lock guards a member, which locks a
// function needs or takes. Empty under other compilers.
#pragma once

#if defined(__clang__)
#define KVO_TSA_(x) __attribute__((x))
#else
#define KVO_TSA_(x)
#endif

#define CAPABILITY(x) KVO_TSA_(capability(x))
#define SCOPED_CAPABILITY KVO_TSA_(scoped_lockable)
#define GUARDED_BY(x) KVO_TSA_(guarded_by(x))
#define PT_GUARDED_BY(x) KVO_TSA_(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) KVO_TSA_(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KVO_TSA_(acquired_after(__VA_ARGS__))
#define REQUIRES(...) KVO_TSA_(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) KVO_TSA_(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) KVO_TSA_(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) KVO_TSA_(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) KVO_TSA_(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) KVO_TSA_(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) KVO_TSA_(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) KVO_TSA_(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) KVO_TSA_(try_acquire_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) KVO_TSA_(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) KVO_TSA_(assert_capability(x))
#define RETURN_CAPABILITY(x) KVO_TSA_(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS KVO_TSA_(no_thread_safety_analysis)
