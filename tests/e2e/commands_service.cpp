// A service built on TQZSvcApp for the command tests, in one of four shapes
// chosen at build time. Its OnStart writes the arguments it received to
// <its folder>\<service name>.args, one per line, so a test can read what
// the service control manager handed over. The extra shape takes its
// dependencies from QZ_CMD_DEPENDENCIES: names separated by blanks, a
// leading "+" marking a load order group; and optional settings from
// QZ_CMD_SETTINGS: any of "actions", "noncrash", "delayed", "preshutdown".
#include <cstdio>
#include <cstdlib>
#include <string>

#include "foundation/lists.h"
#include "foundation/process_info.h"
#include "foundation/string.h"
#include "service/svc_app.h"

namespace {

#if defined(QZ_CMD_RECORD)
const char* const Name = "QzCmdRecord";
const char* const Display = "Qz command recorder";
const char* const Description = "Records its start arguments";
#elif defined(QZ_CMD_PARAMS)
const char* const Name = "QzCmdParams";
const char* const Display = "Qz command parameters";
const char* const Description = "Registered with parameters";
#elif defined(QZ_CMD_BARE)
const char* const Name = "QzCmdBare";
const char* const Display = "Qz command bare";
const char* const Description = "Registered without a switch";
#elif defined(QZ_CMD_EXTRA)
const char* const Name = "QzCmdExtra";
const char* const Display = "Display %s %d %n";
const char* const Description = "Description %s%n%x";
#else
#error "choose a shape"
#endif

TQZString ArgsFile;

bool RecordStart(TQZStringList* arguments, bool) {
  std::FILE* f = std::fopen(ArgsFile.Text(), "wb");
  if (f == nullptr) return false;
  for (int32_t i = 0; i < arguments->Count(); ++i) {
    const TQZString item = arguments->GetString(i);
    std::fwrite(item.Text(), 1, item.Length(), f);
    std::fputc('\n', f);
  }
  return std::fclose(f) == 0;
}

void Stop(bool) {}

#if defined(QZ_CMD_EXTRA)
void AddDependencies(TQZStringList* dependencies, const char* names) {
  std::string rest = names != nullptr ? names : "";
  while (!rest.empty()) {
    const size_t end = rest.find(' ');
    const std::string name = rest.substr(0, end);
    rest = end == std::string::npos ? "" : rest.substr(end + 1);
    if (name.empty()) continue;
    if (name[0] == '+') {
      dependencies->Add(name.c_str() + 1, 1);
    } else {
      dependencies->Add(name.c_str(), 0);
    }
  }
}

void AddSettings(TQZSvcObj* service, const char* settings) {
  const std::string words = std::string(" ") + (settings != nullptr ? settings : "") + " ";
  if (words.find(" actions ") != std::string::npos) {
    service->RecoveryActions[0] = {QZ_RECOVERY_RESTART, 1000};
    service->RecoveryActions[1] = {QZ_RECOVERY_RUN_COMMAND, 2000};
    service->RecoveryActionCount = 2;
    service->RecoveryResetSeconds = 3600;
    service->RecoveryCommand = "cmd /c exit";
  }
  service->RecoveryOnNonCrashFailures = words.find(" noncrash ") != std::string::npos;
  service->DelayedAutoStart = words.find(" delayed ") != std::string::npos;
  if (words.find(" preshutdown ") != std::string::npos) service->PreshutdownTimeout = 7000;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  TQZSvcApp app(Name, Display, Description);
  ArgsFile = ModulePath + TQZString(Name) + TQZString(".args");
  // Started on demand only: services.exe must not start it by itself.
  app.Service->StartType = 3;
  app.OnStart = RecordStart;
  app.OnStop = Stop;
  app.Switches->Add("-nine", 9);
  app.Switches->Add("-ten", 10);
  app.SwitchDescriptions->Add(10, "tenth switch");
#if defined(QZ_CMD_PARAMS)
  app.ServiceParams = "--level 3 x";
#elif defined(QZ_CMD_BARE)
  app.Switches->Remove("/service", 2);
#elif defined(QZ_CMD_EXTRA)
  AddDependencies(app.Service->Dependencies, std::getenv("QZ_CMD_DEPENDENCIES"));
  AddSettings(app.Service, std::getenv("QZ_CMD_SETTINGS"));
#endif
  app.Main(argc, argv);
  return 0;
}
