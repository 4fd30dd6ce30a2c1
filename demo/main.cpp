// The demonstration service: prints a line from each callback in the console
// mode and stays silent under the service control manager.
#include <cstdio>

#include "foundation/lists.h"
#include "service/svc_app.h"

namespace {

bool DemoStart(TQZStringList* /*arguments*/, bool asService) {
  if (!asService) std::fputs("..... <OnStart> is run.\n", stdout);
  return true;
}

void DemoStop(bool asService) {
  if (!asService) std::fputs("..... <OnStop> is run.\n", stdout);
}

}  // namespace

int main(int argc, char** argv) {
  {
    TQZSvcApp app("TestSvc", "Service demo", "Test TQZSvcApp demo");
    app.OnStart = &DemoStart;
    app.OnStop = &DemoStop;
    app.Main(argc, argv);
  }
  // Whatever happened, as the service control manager and scripts expect.
  return 0;
}
