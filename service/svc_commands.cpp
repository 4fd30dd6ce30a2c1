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
#include "service/console.h"
#include "service/event_source.h"
#include "service/platform.h"
#include "service/scm_manager.h"
#include "service/svc_app.h"
#include "service/svc_module.h"
#include "service/svc_obj.h"

namespace {

const uint32_t InvalidParameter = 87;  // ERROR_INVALID_PARAMETER
const uint32_t InvalidName = 123;      // ERROR_INVALID_NAME
const uint32_t NameTooLong = 206;      // ERROR_FILENAME_EXCED_RANGE
const uint32_t ServiceSpecificError = 1066;  // ERROR_SERVICE_SPECIFIC_ERROR

// The longest executable path the SCM can start: CreateProcess takes at
// most MAX_PATH (260) UTF-16 characters with the terminating NUL.
const int32_t MaxImagePath = 259;

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

// The length in UTF-16 characters that the SCM sees of a text in the ANSI
// code page; its length in bytes when it cannot be converted.
int32_t WideLength(const TQZString& text) {
  if (text.Length() == 0) return 0;
  const int wide = MultiByteToWideChar(CP_ACP, 0, text.Text(), text.Length(), nullptr, 0);
  return wide > 0 ? wide : text.Length();
}

// True when the text stays as it is under the expansion of environment
// references that the SCM applies to an image path (REG_EXPAND_SZ); false
// with error set when the expansion itself fails.
bool ExpandsToItself(const TQZString& text, uint32_t& error) {
  error = 0;
  DWORD size = static_cast<DWORD>(text.Length()) + 1;
  for (int attempt = 0; attempt < 2; ++attempt) {
    TQZString expanded;
    expanded.SetLength(static_cast<int32_t>(size));
    if (expanded.Data() == nullptr) {
      error = ERROR_NOT_ENOUGH_MEMORY;
      return false;
    }
    const DWORD needed = ServiceApi().ExpandEnvironmentStringsA(text.Text(), expanded.Data(), size);
    if (needed == 0) {
      error = GetLastError();
      return false;
    }
    if (needed <= size) return std::strcmp(expanded.Text(), text.Text()) == 0;
    size = needed;
  }
  return false;
}

// 0 when the executable's file name can be registered; otherwise the error
// to refuse it with, before the SCM is asked.
uint32_t CheckModulePath(const TQZString& fileName) {
  // Without the executable's name the registration would start nothing.
  if (fileName.Length() == 0) return InvalidParameter;
  // A path with '?' in place of a character would fail every start, and so
  // would one too long to start or one the SCM's expansion changes.
  if (HasUnmappedCharacter(fileName)) return InvalidName;
  if (WideLength(fileName) > MaxImagePath) return NameTooLong;
  uint32_t error = 0;
  if (!ExpandsToItself(fileName, error)) return error != 0 ? error : InvalidName;
  return 0;
}

// Prints the command's one result line, writes it to the log file when there
// is one, and returns the command's result: 0, or the error. The name and the
// system text go through %s, so neither is ever read as a format.
uint32_t PrintResult(TQZLogFile* log, const char* verb, const TQZString& name,
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
  return ok ? 0 : (error != 0 ? error : ERROR_GEN_FAILURE);
}

// The line after a result that the service's own exit codes explain: a
// command that failed because the run ended with 1066 names the service's
// code, and a stop that ended a run with an exit code names the run's codes.
void PrintRunExitCodes(const TQZServiceStatus& status, bool ok, uint32_t error, bool stop) {
  if (status.CurrentState != QZ_SERVICE_STOPPED || status.Win32ExitCode == 0) return;
  const unsigned specific = static_cast<unsigned>(status.ServiceSpecificExitCode);
  if (!ok && error == ServiceSpecificError && status.Win32ExitCode == ServiceSpecificError) {
    PrintText("  service-specific exit code: %u\n", specific);
  } else if (ok && stop && status.Win32ExitCode == ServiceSpecificError) {
    PrintText("  exit code: %u, service-specific exit code: %u\n",
              static_cast<unsigned>(ServiceSpecificError), specific);
  } else if (ok && stop) {
    PrintText("  exit code: %u\n", static_cast<unsigned>(status.Win32ExitCode));
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

bool SettleStart(TQZSCManager& manager) {
  return Settle(manager, QZ_SERVICE_START_PENDING, QZ_SERVICE_RUNNING, ServiceNotActive);
}

// Starts the service and follows its start. A service that is still
// stopping from an earlier run is first waited for, then started; one that
// another client is starting is followed to the end of that start.
bool StartAndSettle(TQZSCManager& manager, TQZStringList* arguments) {
  if (!manager.Start(arguments)) return false;
  if (manager.LastError != ServiceAlreadyRunning) return SettleStart(manager);
  if (!manager.QueryStatus()) return false;
  if (manager.Status.CurrentState == QZ_SERVICE_STOP_PENDING) {
    if (!Settle(manager, QZ_SERVICE_STOP_PENDING, QZ_SERVICE_STOPPED,
                ServiceAlreadyRunning) ||
        !manager.Start(arguments)) {
      return false;
    }
    if (manager.LastError != ServiceAlreadyRunning) return SettleStart(manager);
    if (!manager.QueryStatus()) return false;
  }
  if (manager.Status.CurrentState == QZ_SERVICE_START_PENDING) return SettleStart(manager);
  manager.LastError = ServiceAlreadyRunning;
  return true;
}

// True when the service's process is no longer processBefore (non-zero):
// the run a control went to has ended, and another may have begun. A
// service sharing its process with others is not told apart this way.
// LastError is kept.
bool RunEnded(TQZSCManager& manager, uint32_t processBefore) {
  if (processBefore == 0) return false;
  const uint32_t error = manager.LastError;
  const bool ended = manager.QueryStatusEx() && manager.ProcessId != processBefore;
  manager.LastError = error;
  return ended;
}

// Opens the service and applies one operation to it; the open step's error
// stays in the manager when the open fails. Returns the command's result.
uint32_t RunControl(TQZSvcObj* service, TQZLogFile* log, const char* verb,
                    Control control) {
  const TQZString name = service->GetServiceName();
  TQZSCManager manager;
  bool ok = manager.Open(name, control == Control::Delete);
  // The process the control goes to, so that a run that ends and another
  // client's restart are not taken for a refusal; 0 when unknown.
  uint32_t processBefore = 0;
  if (ok && control != Control::Delete && manager.QueryStatusEx()) {
    processBefore = manager.ProcessId;
  }
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
  if (!ok && manager.ServiceOpen && manager.LastError == ServiceCannotAcceptControl &&
      RunEnded(manager, processBefore)) {
    // Not refused: the run took the control and ended. For a stop that is
    // the outcome asked for, even when another client has started the
    // service again since; a pause or continue never reached its state.
    if (control == Control::Stop) {
      ok = true;
      manager.LastError = 0;
    } else {
      manager.LastError = ServiceNotActive;
    }
  }
  const uint32_t result = PrintResult(log, verb, name, ok, manager.LastError);
  if (control != Control::Delete) {
    PrintRunExitCodes(manager.Status, ok, manager.LastError, control == Control::Stop);
  }
  manager.Close();
  return result;
}

// The optional settings of a new registration, in order; false at the first
// the SCM refuses, with its error in the manager and its name in refused.
bool ApplyOptionalSettings(const TQZSvcObj& service, TQZSCManager& manager,
                           const char*& refused) {
  if (service.RecoveryActionCount > 0 &&
      !manager.SetFailureActions(service.RecoveryActions, service.RecoveryActionCount,
                                 service.RecoveryResetSeconds, service.RecoveryCommand)) {
    refused = "failure actions";
    return false;
  }
  if (service.RecoveryOnNonCrashFailures && !manager.SetFailureActionsFlag(true)) {
    refused = "failure actions on non-crash failures";
    return false;
  }
  if (service.DelayedAutoStart && !manager.SetDelayedAutoStart(true)) {
    refused = "delayed auto-start";
    return false;
  }
  if (service.PreshutdownTimeout != 0 &&
      !manager.SetPreshutdownTimeout(service.PreshutdownTimeout)) {
    refused = "preshutdown timeout";
    return false;
  }
  return true;
}

}  // namespace

bool TQZSvcObj::Install() {
  if (State != QZ_SERVICE_STOPPED) return false;
  RefusedSetting = "";
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
  // Wine's CreateServiceA keeps only the first name of the list and stores
  // the heap memory after it (names, the account and the password of the
  // same call) as the rest; its ChangeServiceConfigA converts the whole
  // list. There the list follows the registration; Windows gets it as ever.
  const bool dependenciesAfter = dependencies.Count() > 0 && ServiceApi().RunsOnWine();
  // The SCM writes the assigned tag back through the pointer.
  uint32_t* tag = TagId != 0 ? &TagId : nullptr;
  if (!manager.Create(ServiceName, BinaryPath, DisplayName, type, StartType,
                      ErrorControl, tag, LoadOrderGroup, Account, Password,
                      dependenciesAfter ? nullptr : &dependencies)) {
    LastError = manager.LastError;
    return false;
  }
  LastError = 0;
  uint32_t error = 0;
  const char* refused = "";
  bool complete = true;
  if (dependenciesAfter && !manager.SetDependencies(&dependencies)) {
    complete = false;
    refused = "dependencies";
  }
  // A description that cannot be set leaves the registration in place.
  if (complete && Description.Length() > 0) manager.SetDescription(Description);
  if (complete) complete = ApplyOptionalSettings(*this, manager, refused);
  if (!complete) error = manager.LastError;
  if (complete) complete = RegisterMessageFile(ServiceName, error);
  if (!complete) {
    // A registration without a setting that was asked for would run
    // differently from what the install reported; it is removed instead.
    manager.Delete();
    LastError = error;
    RefusedSetting = refused;
  }
  manager.Close();
  return complete;
}

void TQZSvcApp::CmdInstall() {
  const uint32_t refused = CheckModulePath(ModuleFileName);
  if (refused != 0) {
    Service->LastError = refused;
    CommandResult =
        PrintResult(LogFile(), "install", Service->GetServiceName(), false, refused);
    return;
  }
  TQZString commandLine = ModuleFileName;
  if (ContainsBlank(commandLine)) commandLine = '"' + commandLine + '"';
  const TQZString serviceSwitch = GetServiceSwitch();
  if (serviceSwitch.Length() > 0) commandLine += ' ' + serviceSwitch;
  if (ServiceParams.Length() > 0) commandLine += ' ' + ServiceParams;

  Service->SetBinaryPath(commandLine);
  const bool ok = Service->Install();
  CommandResult =
      PrintResult(LogFile(), "install", Service->GetServiceName(), ok, Service->LastError);
  if (!ok && Service->RefusedSetting[0] != '\0') {
    PrintText("  refused: %s\n", Service->RefusedSetting);
    std::fflush(stdout);
  }
}

void TQZSvcApp::CmdInstallAs(int argc, char** argv) {
  const bool passwordFromInput =
      argc == 4 && argv[3] != nullptr && std::strcmp(argv[3], "-") == 0;
  if (argc < 3 || argc > 4 || argv[2] == nullptr || argv[2][0] == '\0' ||
      (argc == 4 && !passwordFromInput)) {
    CommandResult = PrintResult(LogFile(), "install", Service->GetServiceName(), false,
                                InvalidParameter);
    return;
  }
  TQZString password;
  if (passwordFromInput) {
    uint32_t error = 0;
    if (!ReadHiddenLine(password, error)) {
      CommandResult = PrintResult(LogFile(), "install", Service->GetServiceName(), false, error);
      return;
    }
  }
  Service->Account = argv[2];
  Service->Password = password;
  CmdInstall();
  // The SCM keeps its own copy; this one is cleared before its memory is
  // given back, once it is the block's only holder.
  Service->Password = TQZString();
  if (password.Length() > 0) SecureZeroMemory(password.Data(), static_cast<size_t>(password.Length()));
}

void TQZSvcApp::CmdUninstall() {
  CommandResult = RunControl(Service, LogFile(), "uninstall", Control::Delete);
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
  CommandResult = PrintResult(LogFile(), "start", name, ok, manager.LastError);
  PrintRunExitCodes(manager.Status, ok, manager.LastError, false);
  manager.Close();
}

void TQZSvcApp::CmdStop() {
  CommandResult = RunControl(Service, LogFile(), "stop", Control::Stop);
}

void TQZSvcApp::CmdPause() {
  CommandResult = RunControl(Service, LogFile(), "pause", Control::Pause);
}

void TQZSvcApp::CmdContinue() {
  CommandResult = RunControl(Service, LogFile(), "continue", Control::Continue);
}

namespace {

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
  CommandResult = PrintResult(LogFile(), "status", name, ok, manager.LastError);
  if (ok) {
    const uint32_t state = static_cast<uint32_t>(manager.Status.CurrentState);
    PrintText("  state: %u %s\n", static_cast<unsigned>(state), qzsvc::ServiceStateName(state));
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
    CommandResult = PrintResult(LogFile(), "control", name, false, InvalidParameter);
    return;
  }
  TQZSCManager manager;
  const bool ok = manager.Open(name, false) && manager.SendUserControl(code);
  CommandResult = PrintResult(LogFile(), "control", name, ok, manager.LastError);
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
