// A consumer's service; every public header is included to show that none
// needs a header the package leaves out.
#include "foundation/lists.h"
#include "foundation/process_info.h"
#include "foundation/string.h"
#include "foundation/sync.h"
#include "service/event_log.h"
#include "service/scm_manager.h"
#include "service/svc_app.h"
#include "service/svc_obj.h"

namespace {
bool StartConsumer(TQZStringList*, bool) { return true; }
}  // namespace

// A program's own service routine of the usual name links beside the
// framework's.
void QZ_WINAPI ServiceMain(unsigned long, char**) {}

int main(int argc, char** argv) {
  TQZSvcApp app("QzConsumer", "Consumer service", "Consumer of the installed qzsvc");
  app.OnStart = &StartConsumer;
  app.Main(argc, argv);
  return 0;
}
