// The one place that includes <windows.h>; internal to the framework.
#ifndef QZ_FOUNDATION_WIN32_H
#define QZ_FOUNDATION_WIN32_H

#ifndef _WIN32
#error "foundation/win32.h is for Windows builds only"
#endif

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
// Vista's level: the optional service settings (preshutdown, delayed start,
// failure-actions flag) are declared only from it on.
#define _WIN32_WINNT 0x0600
#endif

#include <windows.h>

#endif  // QZ_FOUNDATION_WIN32_H
