// Replaces entries of the service layer's Win32 call table for one test.
#ifndef QZ_TESTS_SERVICE_SCOPED_API_H
#define QZ_TESTS_SERVICE_SCOPED_API_H

#include "service/platform.h"

// Restores the real functions when it goes out of scope.
class ScopedServiceApi {
 public:
  ScopedServiceApi() { ServiceApi() = RealServiceApi(); }
  ~ScopedServiceApi() { ServiceApi() = RealServiceApi(); }
  ScopedServiceApi(const ScopedServiceApi&) = delete;
  ScopedServiceApi& operator=(const ScopedServiceApi&) = delete;
  TQZServiceApi* operator->() { return &ServiceApi(); }
};

#endif  // QZ_TESTS_SERVICE_SCOPED_API_H
