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

#include <cstdio>

#include "consumer_service_info.h"

namespace {
bool StartConsumer(TQZStringList*, bool) { return true; }

// -names: what the build gave the service, one value a line.
void PrintNames(int, int, char**) {
  namespace info = consumer_service_info;
  std::printf("%s\n%s\n%s\n%s = %u.%u.%u.%u\n", info::ServiceName, info::DisplayName,
              info::Description, info::Version, info::VersionMajor, info::VersionMinor,
              info::VersionPatch, info::VersionBuild);
}
}  // namespace

// A program's own service routine of the usual name links beside the
// framework's.
void QZ_WINAPI ServiceMain(unsigned long, char**) {}

int main(int argc, char** argv) {
  TQZSvcApp app(consumer_service_info::ServiceName, consumer_service_info::DisplayName,
                consumer_service_info::Description);
  app.OnStart = &StartConsumer;
  app.Switches->Add("-names", 9);
  app.OnUser = &PrintNames;
  app.Main(argc, argv);
  return 0;
}
