// Lock annotations that Clang's -Wthread-safety checks; with any other
// compiler they expand to nothing.
#ifndef QZ_FOUNDATION_THREAD_ANNOTATIONS_H
#define QZ_FOUNDATION_THREAD_ANNOTATIONS_H

#if defined(__clang__)
#define QZ_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QZ_THREAD_ANNOTATION(x)
#endif

// A type whose objects are locks.
#define QZ_CAPABILITY(name) QZ_THREAD_ANNOTATION(capability(name))
// A type that holds a lock for its own lifetime.
#define QZ_SCOPED_CAPABILITY QZ_THREAD_ANNOTATION(scoped_lockable)
// A field read or written only with the lock held.
#define QZ_GUARDED_BY(lock) QZ_THREAD_ANNOTATION(guarded_by(lock))
// A pointer whose target is read or written only with the lock held.
#define QZ_PT_GUARDED_BY(lock) QZ_THREAD_ANNOTATION(pt_guarded_by(lock))
// A function called with the lock held, which it leaves held.
#define QZ_REQUIRES(...) QZ_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// A function that takes the lock itself, so it must not be held on entry.
#define QZ_EXCLUDES(...) QZ_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QZ_ACQUIRE(...) QZ_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QZ_RELEASE(...) QZ_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// For the rare function whose locking the analysis cannot follow.
#define QZ_NO_THREAD_SAFETY_ANALYSIS QZ_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // QZ_FOUNDATION_THREAD_ANNOTATIONS_H
