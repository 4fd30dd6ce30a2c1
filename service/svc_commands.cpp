// The management commands of the application object and the service
// object's registration with the service control manager.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "foundation/format.h"
#include "foundation/lists.h"
#include "foundation/log_file.h"
#include "foundation/process_info.h"
#include "foundation/string.h"
#include "service/event_source.h"
#include "service/console.h"
#include "service/scm_manager.h"
#include "service/svc_app.h"
#include "service/svc_module.h"
#include "service/svc_obj.h"

namespace {

const uint32_t InvalidParameter = 87;  // ERROR_INVALID_PARAMETER
const uint32_t InvalidName = 123;      // ERROR_INVALID_NAME

// True when the file name holds a '?' outside a leading "\\?\" prefix. The
// ANSI calls put '?' for every character the code page cannot represent, and
// no file name can contain one, so such a name is not the executable's. No
// double-byte ANSI code page (932, 936, 949, 950) uses '?' as a trail byte.
bool HasUnmappedCharacter(const TQZString& fileName) {
  const char* text = fileName.Text();
  int32_t start = 0;
  if (fileName.Length() >= 4 && text[0] == '\\' && text[1] == '\\' &&
      text[2] == '?' && text[3] == '\\') {
    start = 4;
  }
  for (int32_t i = start; i < fileName.Length(); ++i) {
    if (text[i] == '?') return true;
  }
  return false;
}

// Prints the command's one result line, and writes it to the log file when
// there is one. The name and the system text go through %s, so neither is
// ever read as a format.
void PrintResult(TQZLogFile* log, const char* verb, const TQZString& name,
                 bool ok, uint32_t error) {
  if (ok) {
    PrintText("%s service <%s> success!\n", verb, name.Text());
    if (log != nullptr) log->Print("%s service <%s> success!", verb, name.Text());
  } else {
    const int code = static_cast<int>(static_cast<int32_t>(error));
    const TQZString reason = SystemErrorText(error);
    PrintText("%s service <%s> failure! reason(%d): %s\n", verb, name.Text(), code,
              reason.Text());
    if (log != nullptr) {
      log->Print("%s service <%s> failure! reason(%d): %s", verb, name.Text(), code,
                 reason.Text());
    }
  }
  std::fflush(stdout);
}

// With a message table in the executable, makes it the message file of the
// service's event source; true when there is nothing to register.
bool RegisterMessageFile(const TQZString& serviceName, uint32_t& error) {
  error = 0;
  if (!HasMessageTable()) return true;
  return AddEventSource(serviceName, ModuleFileName, error);
}

// Removes the event source that RegisterMessageFile registered.
bool UnregisterMessageFile(const TQZString& serviceName, uint32_t& error) {
  error = 0;
  if (!HasMessageTable()) return true;
  return RemoveEventSource(serviceName, error);
}

enum class Control { Delete, Stop, Pause, Continue };

const uint32_t ServiceCannotAcceptControl = 1061;  // ERROR_SERVICE_CANNOT_ACCEPT_CTRL
const uint32_t ServiceNotActive = 1062;            // ERROR_SERVICE_NOT_ACTIVE
const uint32_t ServiceAlreadyRunning = 1056;       // ERROR_SERVICE_ALREADY_RUNNING

// Follows a start or a control through its pending state: true when the
// service reached target; otherwise LastError says why not: the service's
// own exit code when it stopped with one, 1053 when it stayed pending, the
// query's error, or refused (the service went back to another state).
bool Settle(TQZSCManager& manager, uint32_t pending, uint32_t target,
            uint32_t refused) {
  if (!manager.WaitWhilePending(pending)) return false;
  const uint32_t state = manager.Status.CurrentState;
  if (state == target ||
      (pending == QZ_SERVICE_START_PENDING && state == QZ_SERVICE_PAUSED)) {
    manager.LastError = 0;
    return true;
  }
  if (state == QZ_SERVICE_STOPPED && manager.Status.Win32ExitCode != 0) {
    manager.LastError = manager.Status.Win32ExitCode;
  } else {
    manager.LastError = refused;
  }
  return false;
}

// Starts the service and follows its start. A service that is still
// stopping from an earlier run is first waited for, then started.
bool StartAndSettle(TQZSCManager& manager, TQZStringList* arguments) {
  if (!manager.Start(arguments)) return false;
  if (manager.LastError == ServiceAlreadyRunning) {
    if (!manager.QueryStatus()) return false;
    if (manager.Status.CurrentState != QZ_SERVICE_STOP_PENDING) {
      manager.LastError = ServiceAlreadyRunning;
      return true;
    }
    if (!Settle(manager, QZ_SERVICE_STOP_PENDING, QZ_SERVICE_STOPPED,
                ServiceAlreadyRunning) ||
        !manager.Start(arguments)) {
      return false;
    }
    if (manager.LastError == ServiceAlreadyRunning) return true;
  }
  return Settle(manager, QZ_SERVICE_START_PENDING, QZ_SERVICE_RUNNING, ServiceNotActive);
}

// Opens the service and applies one operation to it; the open step's error
// stays in the manager when the open fails.
void RunControl(TQZSvcObj* service, TQZLogFile* log, const char* verb,
                Control control) {
  const TQZString name = service->GetServiceName();
  TQZSCManager manager;
  bool ok = manager.Open(name, control == Control::Delete);
  if (ok) {
    switch (control) {
      case Control::Delete: {
        ok = manager.Delete();
        uint32_t error = 0;
        if (ok && !UnregisterMessageFile(name, error)) {
          ok = false;
          manager.LastError = error;
        }
        break;
      }
      case Control::Stop:
        ok = manager.Stop();
        // Accepted but answered with the state before: the program refused.
        if (!ok && manager.LastError == 0) manager.LastError = ServiceCannotAcceptControl;
        ok = ok && Settle(manager, QZ_SERVICE_STOP_PENDING, QZ_SERVICE_STOPPED,
                          ServiceCannotAcceptControl);
        break;
      case Control::Pause:
        ok = manager.Pause() && Settle(manager, QZ_SERVICE_PAUSE_PENDING,
                                       QZ_SERVICE_PAUSED, ServiceCannotAcceptControl);
        break;
      case Control::Continue:
        ok = manager.Continue() && Settle(manager, QZ_SERVICE_CONTINUE_PENDING,
                                          QZ_SERVICE_RUNNING, ServiceCannotAcceptControl);
        break;
    }
  }
  PrintResult(log, verb, name, ok, manager.LastError);
  manager.Close();
}

// The optional settings of a new registration, in order; false at the first
// the SCM refuses, with its error in the manager.
bool ApplyOptionalSettings(const TQZSvcObj& service, TQZSCManager& manager) {
  if (service.RecoveryActionCount > 0 &&
      !manager.SetFailureActions(service.RecoveryActions, service.RecoveryActionCount,
                                 service.RecoveryResetSeconds, service.RecoveryCommand)) {
    return false;
  }
  if (service.RecoveryOnNonCrashFailures && !manager.SetFailureActionsFlag(true)) return false;
  if (service.DelayedAutoStart && !manager.SetDelayedAutoStart(true)) return false;
  if (service.PreshutdownTimeout != 0 &&
      !manager.SetPreshutdownTimeout(service.PreshutdownTimeout)) {
    return false;
  }
  return true;
}

}  // namespace

bool TQZSvcObj::Install() {
  if (State != QZ_SERVICE_STOPPED) return false;
  // More actions than the array holds would be read past its end.
  if (RecoveryActionCount < 0 || RecoveryActionCount > MaxRecoveryActions) {
    LastError = InvalidParameter;
    return false;
  }

  TQZSCManager manager;
  // Default settings keep the items in the order of Dependencies; a group
  // is told apart from a service by the "+" in front of its name.
  TQZStringList dependencies;
  dependencies.SetCapacity(Dependencies->Count());
  for (int32_t i = 0; i < Dependencies->Count(); ++i) {
    TQZString item = Dependencies->GetString(i);
    // An empty name would end the double-NUL list where it stands and drop
    // every dependency after it.
    if (item.Length() == 0) continue;
    if (Dependencies->GetData(i) != 0) item = '+' + item;
    dependencies.Add(item, 0);
  }

  const uint32_t type =
      qzsvc::ComposeServiceType(ServiceType, Interactive, SharedProcess);
  // The SCM writes the assigned tag back through the pointer.
  uint32_t* tag = TagId != 0 ? &TagId : nullptr;
  if (!manager.Create(ServiceName, BinaryPath, DisplayName, type, StartType,
                      ErrorControl, tag, LoadOrderGroup, Account, Password,
                      &dependencies)) {
    LastError = manager.LastError;
    return false;
  }
  LastError = 0;
  // A description that cannot be set leaves the registration in place.
  if (Description.Length() > 0) manager.SetDescription(Description);
  uint32_t error = 0;
  bool complete = ApplyOptionalSettings(*this, manager);
  if (!complete) error = manager.LastError;
  if (complete) complete = RegisterMessageFile(ServiceName, error);
  if (!complete) {
    // A registration without a setting that was asked for would run
    // differently from what the install reported; it is removed instead.
    manager.Delete();
    LastError = error;
  }
  manager.Close();
  return complete;
}

void TQZSvcApp::CmdInstall() {
  // Without the executable's name the registration would start nothing.
  if (ModuleFileName.Length() == 0) {
    PrintResult(LogFile(), "install", Service->GetServiceName(), false,
                InvalidParameter);
    return;
  }
  // A registered path with '?' in place of a character would fail every start.
  if (HasUnmappedCharacter(ModuleFileName)) {
    PrintResult(LogFile(), "install", Service->GetServiceName(), false, InvalidName);
    return;
  }
  TQZString commandLine = ModuleFileName;
  if (ContainsBlank(commandLine)) commandLine = '"' + commandLine + '"';
  const TQZString serviceSwitch = GetServiceSwitch();
  if (serviceSwitch.Length() > 0) commandLine += ' ' + serviceSwitch;
  if (ServiceParams.Length() > 0) commandLine += ' ' + ServiceParams;

  Service->SetBinaryPath(commandLine);
  const bool ok = Service->Install();
  PrintResult(LogFile(), "install", Service->GetServiceName(), ok, Service->LastError);
}

void TQZSvcApp::CmdInstallAs(int argc, char** argv) {
  const bool passwordFromInput =
      argc == 4 && argv[3] != nullptr && std::strcmp(argv[3], "-") == 0;
  if (argc < 3 || argc > 4 || argv[2] == nullptr || argv[2][0] == '\0' ||
      (argc == 4 && !passwordFromInput)) {
    PrintResult(LogFile(), "install", Service->GetServiceName(), false, InvalidParameter);
    return;
  }
  TQZString password;
  if (passwordFromInput) {
    uint32_t error = 0;
    if (!ReadHiddenLine(password, error)) {
      PrintResult(LogFile(), "install", Service->GetServiceName(), false, error);
      return;
    }
  }
  Service->Account = argv[2];
  Service->Password = password;
  CmdInstall();
  // The SCM keeps its own copy; this one is not needed any more.
  Service->Password = TQZString();
}

void TQZSvcApp::CmdUninstall() {
  RunControl(Service, LogFile(), "uninstall", Control::Delete);
}

void TQZSvcApp::CmdStart(int argc, char** argv) {
  const TQZString name = Service->GetServiceName();
  TQZSCManager manager;
  // The program path and the switch are not handed to the service.
  TQZStringList arguments;
  arguments.SetCapacity(argc > 2 ? argc - 2 : 0);
  // An empty parameter is handed on as an empty text: the client passes it
  // as "" rather than as a null entry.
  for (int i = 2; i < argc; ++i) arguments.Add(argv[i] != nullptr ? argv[i] : "", 0);

  const bool ok = manager.Open(name, false) && StartAndSettle(manager, &arguments);
  PrintResult(LogFile(), "start", name, ok, manager.LastError);
  manager.Close();
}

void TQZSvcApp::CmdStop() { RunControl(Service, LogFile(), "stop", Control::Stop); }

void TQZSvcApp::CmdPause() { RunControl(Service, LogFile(), "pause", Control::Pause); }

void TQZSvcApp::CmdContinue() {
  RunControl(Service, LogFile(), "continue", Control::Continue);
}

namespace {

const char* StateName(uint32_t state) {
  switch (state) {
    case QZ_SERVICE_STOPPED: return "STOPPED";
    case QZ_SERVICE_START_PENDING: return "START_PENDING";
    case QZ_SERVICE_STOP_PENDING: return "STOP_PENDING";
    case QZ_SERVICE_RUNNING: return "RUNNING";
    case QZ_SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
    case QZ_SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
    case QZ_SERVICE_PAUSED: return "PAUSED";
    default: return "UNKNOWN";
  }
}

// A decimal code from 128 to 255, nothing else: "0x80", "+200" or " 200"
// are refused rather than read as something the operator did not type.
bool ParseUserControl(const char* text, uint32_t& code) {
  if (text == nullptr || text[0] == '\0') return false;
  uint32_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || value > 255) return false;
    value = value * 10 + static_cast<uint32_t>(*p - '0');
  }
  if (value < 128 || value > 255) return false;
  code = value;
  return true;
}

}  // namespace

void TQZSvcApp::CmdStatus() {
  const TQZString name = Service->GetServiceName();
  TQZSCManager manager;
  const bool ok = manager.Open(name, false) && manager.QueryStatusEx();
  PrintResult(LogFile(), "status", name, ok, manager.LastError);
  if (ok) {
    const uint32_t state = static_cast<uint32_t>(manager.Status.CurrentState);
    PrintText("  state: %u %s\n", static_cast<unsigned>(state), StateName(state));
    PrintText("  process: %u\n", static_cast<unsigned>(manager.ProcessId));
    PrintText("  exit code: %u, service-specific %u\n",
              static_cast<unsigned>(manager.Status.Win32ExitCode),
              static_cast<unsigned>(manager.Status.ServiceSpecificExitCode));
    std::fflush(stdout);
  }
  manager.Close();
}

void TQZSvcApp::CmdControl(int argc, char** argv) {
  const TQZString name = Service->GetServiceName();
  uint32_t code = 0;
  if (!ParseUserControl(argc > 2 && argv != nullptr ? argv[2] : nullptr, code)) {
    PrintResult(LogFile(), "control", name, false, InvalidParameter);
    return;
  }
  TQZSCManager manager;
  const bool ok = manager.Open(name, false) && manager.SendUserControl(code);
  PrintResult(LogFile(), "control", name, ok, manager.LastError);
  manager.Close();
}

void TQZSvcApp::CmdUser(int code, int argc, char** argv) {
  if (OnUser != nullptr) {
    OnUser(code, argc, argv);
    return;
  }
  TQZString description = SwitchDescriptions->GetText(code);
  if (description.Length() == 0) {
    description.Format("user-defined switch(%d)", code);
  }
  // A direct call without a switch argument must not hand null to printf.
  const char* switchText =
      (argc > 1 && argv != nullptr && argv[1] != nullptr) ? argv[1] : "";
  std::fputs(GetTitle().Text(), stdout);
  PrintText("\nswitch <%s> error: %s callback <OnUser> is NULL.\n",
            switchText, description.Text());
  std::fflush(stdout);
}
