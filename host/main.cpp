// qzhost: runs any program as a service. A copy named myapp.exe reads
// myapp.ini beside it and becomes the service that the file describes.
#include <cstdio>

#include "foundation/format.h"
#include "foundation/win32.h"
#include "host/host_config.h"
#include "host/host_log.h"
#include "host/program.h"
#include "host/supervisor.h"
#include "host/wide_text.h"
#include "service/svc_app.h"

namespace {

const int32_t CheckSwitch = 9;
const uint32_t InvalidData = 13;  // ERROR_INVALID_DATA: the configuration is wrong

struct TQZHost {
  TQZSvcApp* App = nullptr;
  TQZHostConfig Config;
  bool Valid = false;
  TQZConfigProblem Problem;
  TQZSupervisor* Supervisor = nullptr;
  HANDLE ConsoleThread = nullptr;
  int ExitStatus = 0;
};

TQZHost Host;

bool PathExists(const TQZString& path, bool folder) {
  const DWORD attributes = GetFileAttributesW(WideFromUtf8(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  return ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == folder;
}

// The executable's folder (with its final backslash) and its name without
// the extension, from the wide call so that any folder name works.
void ModuleParts(TQZString& folder, TQZString& baseName) {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
  path.resize(length);
  const size_t slash = path.find_last_of(L"\\/");
  const std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of(L'.');
  folder = Utf8FromWide(slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1));
  baseName = Utf8FromWide(dot == std::wstring::npos ? name : name.substr(0, dot));
}

TQZString ProblemLine() {
  return Host.Config.FileName + ": " + DescribeProblem(Host.Problem);
}

void PrintCheckFailure() {
  PrintText("check <%s> failure! %s\n", Host.Config.FileName.Text(),
            DescribeProblem(Host.Problem).Text());
  std::fflush(stdout);
  Host.ExitStatus = static_cast<int>(InvalidData);
}

void CmdCheck(int, int, char**) {
  if (!Host.Valid) {
    PrintCheckFailure();
    return;
  }
  PrintText("check <%s> success!\n", Host.Config.FileName.Text());
  const TQZString lines = DescribeConfig(Host.Config);
  std::fwrite(lines.Text(), 1, static_cast<size_t>(lines.Length()), stdout);
  std::fflush(stdout);
}

// Refuses the start: one error record, which under the SCM the framework
// also writes to the log file, and the service-specific code the SCM then
// shows with 1066.
bool RefuseStart(const TQZString& reason, uint32_t code, bool asService) {
  const TQZString text = "the service does not start: " + reason;
  if (!asService) HostLog(text);
  TQZSvcObj* service = Host.App->Service;
  service->LogEvent(text, 1 /* EVENTLOG_ERROR_TYPE */, 0, 0, TQZString());
  service->ServiceExitCode = code;
  return false;
}

DWORD WINAPI ConsoleSupervise(void*) {
  Host.Supervisor->Run();
  if (Host.Supervisor->Ended) {
    HostLog("the program will not run again; press Ctrl+C to end the host");
  }
  return 0;
}

bool Start(TQZStringList* /*arguments*/, bool asService) {
  const TQZHostConfig& config = Host.Config;
  // The log is used even for a refused start, at the default place when
  // the configuration could not say another.
  SetHostLog(Host.App->LogFile(), !asService);
  if (!Host.Valid) return RefuseStart(ProblemLine(), InvalidData, asService);
  HostLogFormat("host of service <%s> starting, configuration %s", config.Name.Text(),
                config.FileName.Text());
  if (asService) PrepareProgramConsole();
  Host.Supervisor = new TQZSupervisor(config);
  uint32_t error = 0;
  if (!Host.Supervisor->Start(error)) {
    TQZString reason;
    reason.Format("cannot start %s: %s (%u)", config.Executable.Text(),
                  SystemErrorText(error).Text(), error);
    return RefuseStart(reason, error, asService);
  }
  if (!asService) Host.ConsoleThread = CreateThread(nullptr, 0, &ConsoleSupervise, nullptr, 0, nullptr);
  return true;
}

void Execute(void*, TQZSvcObj* service) {
  Host.Supervisor->Run();
  if (Host.Supervisor->Failed) {
    service->ServiceExitCode = Host.Supervisor->FailureCode;
    service->ExitCode = 1066;  // ERROR_SERVICE_SPECIFIC_ERROR: recovery applies
  }
  // Returning before the stop is set would end the service a second time.
  if (!Host.Supervisor->Ended) {
    while (!service->StopRequested) WaitForSingleObject(service->StopEvent->Handle, 1000);
  }
}

void Progress(void* context, uint32_t waitHint) {
  static_cast<TQZSvcObj*>(context)->ReportProgress(waitHint);
}

void Stop(bool asService) {
  if (Host.Supervisor == nullptr) return;
  Host.Supervisor->Stop(asService ? &Progress : nullptr, Host.App->Service);
  if (Host.ConsoleThread != nullptr) {
    WaitForSingleObject(Host.ConsoleThread, INFINITE);
    CloseHandle(Host.ConsoleThread);
    Host.ConsoleThread = nullptr;
  }
  HostLog("host stopped");
}

void Configure(TQZSvcApp& app) {
  const TQZHostConfig& config = Host.Config;
  TQZSvcObj* service = app.Service;
  service->StartType = config.StartType;
  service->DelayedAutoStart = config.DelayedStart;
  for (const TQZDependency& d : config.Dependencies) {
    service->Dependencies->Add(d.Name, d.Group ? 1 : 0);
  }
  for (int32_t i = 0; i < config.RecoveryCount; ++i) {
    service->RecoveryActions[i] = config.Recovery[i];
  }
  service->RecoveryActionCount = config.RecoveryCount;
  service->RecoveryResetSeconds = config.RecoveryResetSeconds;
  service->RecoveryCommand = config.RecoveryCommand;
  service->RecoveryOnNonCrashFailures = config.RecoveryOnNonCrash;
  service->PreshutdownTimeout = config.PreshutdownMs;
  service->AcceptPauseContinue = false;
  service->OnExecute.Function = &Execute;

  app.Switches->Remove("-pause", 7);
  app.Switches->Remove("-continue", 8);
  app.Switches->Add("-check", CheckSwitch);
  app.SwitchDescriptions->Add(CheckSwitch, "check the configuration and show what would run");
  // One log file for the host's lines, the program's output, the
  // framework's error records and the commands' result lines.
  app.LogFileName = config.LogFile;
  app.LogFileMaxSize = static_cast<uint64_t>(config.LogMaxKiB) * 1024;
  app.LogFileKeep = config.LogKeep;
  app.ListSwitches = true;
  app.StatusSwitch = true;
  app.InstallAccount = true;
  app.OnUser = &CmdCheck;
  app.OnStart = &Start;
  app.OnStop = &Stop;
}

}  // namespace

int main(int argc, char** argv) {
  TQZConfigContext context;
  ModuleParts(context.HostFolder, context.HostBaseName);
  context.FileExists = [](const TQZString& path) { return PathExists(path, false); };
  context.FolderExists = [](const TQZString& path) { return PathExists(path, true); };
  Host.Valid = ReadHostConfig(context.HostFolder + context.HostBaseName + ".ini", context,
                              Host.Config, Host.Problem);

  TQZSvcApp app(Host.Config.Name, Host.Config.DisplayName, Host.Config.Description);
  Host.App = &app;
  Configure(app);

  // An install must not register a service that cannot run.
  if (argc > 1 && SameStrings(argv[1], "-install", false) && !Host.Valid) {
    PrintCheckFailure();
    PrintText("install service <%s> failure! reason(%u): %s\n", Host.Config.Name.Text(),
              InvalidData, SystemErrorText(InvalidData).Text());
    std::fflush(stdout);
    return Host.ExitStatus;
  }
  // The check's own failure, or the framework command's result.
  const int status = app.Main(argc, argv);
  delete Host.Supervisor;
  Host.Supervisor = nullptr;
  SetHostLog(nullptr, false);
  return Host.ExitStatus != 0 ? Host.ExitStatus : status;
}
