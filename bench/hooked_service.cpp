// The framework's service with a hook in the slot of every control the
// benchmarks send, so that each control is carried out by the run's control
// thread: the service whose round trips are held against the bare one. The
// demo, which has no pause hook, is timed beside it for the pause that its
// control handler completes itself.
#include "service/svc_app.h"

namespace {

bool Start(TQZStringList*, bool) { return true; }
void Stop(bool) {}

}  // namespace

int main(int argc, char** argv) {
  TQZSvcApp app("QZHookedSvc", "Hooked bench service", "");
  app.OnStart = &Start;
  app.OnStop = &Stop;
  app.Service->OnPause.Function = [](void*, TQZSvcObj*, bool&) {};
  app.Service->OnContinue.Function = [](void*, TQZSvcObj*, bool&) {};
  app.Main(argc, argv);
  return 0;
}
