// Start-up order of the foundation's static initialisers.
#ifndef QZ_FOUNDATION_INIT_ORDER_H
#define QZ_FOUNDATION_INIT_ORDER_H

// C++ leaves the order of dynamic initialisation across translation units
// open, so the foundation's process-wide objects carry GCC init priorities:
// they are built in ascending order before every object without one, and
// destroyed after all of those. Lower numbers run first; 0-100 belong to the
// implementation.
#define QZ_INIT_PRIORITY_STRING 1000
#define QZ_INIT_PRIORITY_PROCESS_INFO 1100
#define QZ_INIT_PRIORITY_SYNC 1200

#if defined(__GNUC__)
#define QZ_INIT_PRIORITY(n) __attribute__((init_priority(n)))
#else
#error "the foundation's start-up order needs GCC's init_priority"
#endif

#endif  // QZ_FOUNDATION_INIT_ORDER_H
