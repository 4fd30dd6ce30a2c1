// A service with its log file and captured output turned on that does
// nothing once it has started: its CPU while idle is what the two cost.
#include <cstdio>

#include "service/svc_app.h"

static bool Start(TQZStringList*, bool) {
  std::printf("started\n");
  std::fflush(stdout);
  return true;
}

int main(int argc, char** argv) {
  TQZSvcApp app("QZLogIdleSvc", "Log file idle benchmark", "");
  app.LogFileName = "log_idle.log";
  app.CaptureOutput = true;
  app.OnStart = &Start;
  app.Main(argc, argv);
}
