// The shared fake of the service layer's Win32 call table.
#include "tests/service/fake_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "tests/service/watchdog.h"

namespace {

FakePlatform* Installed = nullptr;

const char* const kFunctions[] = {
    "StartServiceCtrlDispatcherA", "RegisterServiceCtrlHandlerA", "SetServiceStatus",
    "RegisterEventSourceA",        "ReportEventA",                "DeregisterEventSource",
    "OpenSCManagerA",              "OpenServiceA",                "CreateServiceA",
    "StartServiceA",               "ControlService",              "DeleteService",
    "QueryServiceStatus",          "ChangeServiceConfig2A",       "CloseServiceHandle",
    "QueryServiceStatusEx",        "CreateThread",
    "FindResourceA",               "RegCreateKeyExA",             "RegSetValueExA",
    "RegDeleteKeyA",               "RegCloseKey",                 "ChangeServiceConfigA",
    "ExpandEnvironmentStringsA"};

bool IsFunction(const std::string& name) {
  return std::find(std::begin(kFunctions), std::end(kFunctions), name) != std::end(kFunctions);
}

// A double-NUL-terminated list as the system reads it: item after item up to
// the empty one that ends it, whose NUL is included.
CallText CopyMultiString(const char* list) {
  if (list == nullptr) return std::nullopt;
  size_t end = 0;
  while (list[end] != '\0') end += std::strlen(list + end) + 1;
  return std::string(list, end + 1);
}

std::optional<std::vector<CallText>> CopyStrings(const char* const* strings, DWORD count) {
  if (strings == nullptr) return std::nullopt;
  std::vector<CallText> copies;
  for (DWORD i = 0; i < count; ++i) copies.push_back(CopyText(strings[i]));
  return copies;
}

// Where a service that accepts the control ends up once it is done.
DWORD SettledStateAfterControl(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return SERVICE_STOPPED;
    case SERVICE_CONTROL_PAUSE:
      return SERVICE_PAUSED;
    default:
      return SERVICE_RUNNING;
  }
}

DWORD StateAfterAcceptedControl(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return SERVICE_STOP_PENDING;
    case SERVICE_CONTROL_PAUSE:
      return SERVICE_PAUSED;
    default:
      return SERVICE_RUNNING;
  }
}

PlatformCall Named(const char* function, void* handle = nullptr) {
  PlatformCall call;
  call.Function = function;
  call.Handle = handle;
  return call;
}

// The registration fields that CreateServiceA and ChangeServiceConfigA share.
void RecordConfig(PlatformCall& call, DWORD serviceType, DWORD startType, DWORD errorControl,
                  LPCSTR binaryPath, LPCSTR loadOrderGroup, LPDWORD tagId,
                  LPCSTR dependencies, LPCSTR serviceStartName, LPCSTR password) {
  call.ServiceType = serviceType;
  call.StartType = startType;
  call.ErrorControl = errorControl;
  call.BinaryPath = CopyText(binaryPath);
  call.LoadOrderGroup = CopyText(loadOrderGroup);
  call.TagId = tagId;
  call.Dependencies = CopyMultiString(dependencies);
  call.Account = CopyText(serviceStartName);
  call.Password = CopyText(password);
}

}  // namespace

StatusRow RowOf(const SERVICE_STATUS& s) {
  return StatusRow{s.dwServiceType,   s.dwCurrentState, s.dwControlsAccepted,
                   s.dwWin32ExitCode, s.dwCheckPoint,   s.dwWaitHint};
}

// One call under way: recorded when made, finished by Return, which sets the
// thread's last error as the very last step, so that nothing between it and
// the caller's GetLastError can change the code.
class PlatformCallScope {
 public:
  explicit PlatformCallScope(PlatformCall call, std::initializer_list<HandleKind> kinds = {},
                             bool closes = false)
      : Fake(*Installed) {
    Position = Fake.Enter(std::move(call), kinds, closes, Code);
  }
  bool Acts() const { return Code == 0; }
  template <class T>
  T Return(T succeeded, T failed, void* handedOut = nullptr) {
    Fake.Leave(Position, Code, Code == 0 ? handedOut : nullptr);
    return Code == 0 ? succeeded : failed;
  }

  FakePlatform& Fake;
  DWORD Code = 0;

 private:
  FakePlatform::Ticket Position;
};

// The functions installed into the table.
struct PlatformEntries {
  static BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
    PlatformCall call = Named("StartServiceCtrlDispatcherA");
    std::vector<SERVICE_TABLE_ENTRYA> entries;
    for (; table != nullptr && (table->lpServiceName != nullptr || table->lpServiceProc != nullptr);
         ++table) {
      entries.push_back(*table);
      call.Entries.push_back(CopyText(table->lpServiceName));
    }
    PlatformCallScope scope(std::move(call));
    if (scope.Acts()) scope.Code = scope.Fake.Dispatch(entries);
    return scope.Return<BOOL>(TRUE, FALSE);
  }

  static SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR name,
                                                                  LPHANDLER_FUNCTION handler) {
    PlatformCall call = Named("RegisterServiceCtrlHandlerA");
    call.Name = CopyText(name);
    call.Handler = handler;
    PlatformCallScope scope(std::move(call));
    void* handle = scope.Acts() ? scope.Fake.NewHandle(HandleKind::Status, name) : nullptr;
    return scope.Return(static_cast<SERVICE_STATUS_HANDLE>(handle), SERVICE_STATUS_HANDLE{},
                        handle);
  }

  static BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    PlatformCall call = Named("SetServiceStatus", handle);
    if (status != nullptr) call.Status = *status;
    PlatformCallScope scope(std::move(call), {HandleKind::Status});
    return scope.Return<BOOL>(TRUE, FALSE);
  }

  // Starts a real thread, so that the runtime runs as it would; the fake
  // counts the threads that have ended.
  static HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                    LPDWORD threadId) {
    PlatformCall call = Named("CreateThread");
    PlatformCallScope scope(std::move(call));
    HANDLE thread = nullptr;
    if (scope.Acts()) {
      auto* launch = new ThreadLaunch{&scope.Fake, start, parameter};
      thread = ::CreateThread(security, stackSize, &ThreadLaunch::Main, launch, flags, threadId);
      if (thread == nullptr) {
        scope.Code = GetLastError();
        delete launch;
      } else {
        scope.Fake.ThreadStarted();
      }
    }
    return scope.Return<HANDLE>(thread, nullptr);
  }

  struct ThreadLaunch {
    FakePlatform* Fake;
    LPTHREAD_START_ROUTINE Start;
    LPVOID Parameter;

    static DWORD WINAPI Main(LPVOID context) {
      ThreadLaunch launch = *static_cast<ThreadLaunch*>(context);
      delete static_cast<ThreadLaunch*>(context);
      const DWORD result = launch.Start(launch.Parameter);
      launch.Fake->ThreadEnded();
      return result;
    }
  };

  static HANDLE WINAPI RegisterEventSourceA(LPCSTR server, LPCSTR source) {
    PlatformCall call = Named("RegisterEventSourceA");
    call.Machine = CopyText(server);
    call.Name = CopyText(source);
    PlatformCallScope scope(std::move(call));
    void* handle = scope.Acts() ? scope.Fake.NewHandle(HandleKind::EventSource, source) : nullptr;
    return scope.Return<HANDLE>(handle, nullptr, handle);
  }

  static BOOL WINAPI ReportEventA(HANDLE log, WORD type, WORD category, DWORD eventId, PSID user,
                                  WORD numStrings, DWORD dataSize, LPCSTR* strings, LPVOID data) {
    PlatformCall call = Named("ReportEventA", log);
    call.Type = type;
    call.Category = category;
    call.EventId = eventId;
    call.User = user;
    call.Count = numStrings;
    call.DataSize = dataSize;
    call.Strings = CopyStrings(strings, numStrings);
    if (data != nullptr) call.Data = std::string(static_cast<const char*>(data), dataSize);
    PlatformCallScope scope(std::move(call), {HandleKind::EventSource});
    return scope.Return<BOOL>(TRUE, FALSE);
  }

  static BOOL WINAPI DeregisterEventSource(HANDLE log) {
    PlatformCall call = Named("DeregisterEventSource", log);
    PlatformCallScope scope(std::move(call), {HandleKind::EventSource}, true);
    return scope.Return<BOOL>(TRUE, FALSE);
  }

  static SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
    PlatformCall call = Named("OpenSCManagerA");
    call.Machine = CopyText(machine);
    call.Database = CopyText(database);
    call.Access = access;
    PlatformCallScope scope(std::move(call));
    void* handle = scope.Acts() ? scope.Fake.NewHandle(HandleKind::Manager, "") : nullptr;
    return scope.Return(static_cast<SC_HANDLE>(handle), SC_HANDLE{}, handle);
  }

  static SC_HANDLE WINAPI OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
    PlatformCall call = Named("OpenServiceA", manager);
    call.Name = CopyText(name);
    call.Access = access;
    PlatformCallScope scope(std::move(call), {HandleKind::Manager});
    void* handle = scope.Acts() ? scope.Fake.NewHandle(HandleKind::Service, name) : nullptr;
    return scope.Return(static_cast<SC_HANDLE>(handle), SC_HANDLE{}, handle);
  }

  static SC_HANDLE WINAPI CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR displayName,
                                         DWORD access, DWORD serviceType, DWORD startType,
                                         DWORD errorControl, LPCSTR binaryPath,
                                         LPCSTR loadOrderGroup, LPDWORD tagId,
                                         LPCSTR dependencies, LPCSTR serviceStartName,
                                         LPCSTR password) {
    PlatformCall call = Named("CreateServiceA", manager);
    call.Name = CopyText(name);
    call.DisplayName = CopyText(displayName);
    call.Access = access;
    RecordConfig(call, serviceType, startType, errorControl, binaryPath, loadOrderGroup, tagId,
                 dependencies, serviceStartName, password);
    PlatformCallScope scope(std::move(call), {HandleKind::Manager});
    void* handle = nullptr;
    if (scope.Acts()) {
      handle = scope.Fake.NewHandle(HandleKind::Service, name);
      if (tagId != nullptr) *tagId = scope.Fake.AssignedTag;
    }
    return scope.Return(static_cast<SC_HANDLE>(handle), SC_HANDLE{}, handle);
  }

  static BOOL WINAPI StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR* argv) {
    PlatformCall call = Named("StartServiceA", service);
    call.Count = argc;
    call.Strings = CopyStrings(argv, argc);
    PlatformCallScope scope(std::move(call), {HandleKind::Service});
    if (scope.Acts()) scope.Fake.Settle(SERVICE_RUNNING);
    return scope.Return<BOOL>(TRUE, FALSE);
  }

  static BOOL WINAPI ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    PlatformCall call = Named("ControlService", service);
    call.Control = control;
    PlatformCallScope scope(std::move(call), {HandleKind::Service});
    if (scope.Acts() && status != nullptr) {
      const auto& answer = scope.Fake.ControlState;
      *status = SERVICE_STATUS{};
      status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
      status->dwCurrentState = answer ? answer(control) : StateAfterAcceptedControl(control);
    }
    if (scope.Acts()) scope.Fake.Settle(SettledStateAfterControl(control));
    return scope.Return<BOOL>(TRUE, FALSE);
  }

  static BOOL WINAPI QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    PlatformCall call = Named("QueryServiceStatus", service);
    PlatformCallScope scope(std::move(call), {HandleKind::Service});
    if (scope.Acts() && status != nullptr) *status = scope.Fake.QueriedStatus();
    return scope.Return<BOOL>(TRUE, FALSE);
  }

  static BOOL WINAPI QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE level,
                                          LPBYTE buffer, DWORD size, LPDWORD needed) {
    PlatformCall call = Named("QueryServiceStatusEx", service);
    call.Level = static_cast<DWORD>(level);
    call.DataSize = size;
    PlatformCallScope scope(std::move(call), {HandleKind::Service});
    if (needed != nullptr) *needed = sizeof(SERVICE_STATUS_PROCESS);
    if (scope.Acts() && (level != SC_STATUS_PROCESS_INFO || buffer == nullptr ||
                         size < sizeof(SERVICE_STATUS_PROCESS))) {
      scope.Code = ERROR_INSUFFICIENT_BUFFER;
    }
    if (scope.Acts()) {
      int nth = 0;
      const SERVICE_STATUS status = scope.Fake.QueriedStatus(&nth);
      SERVICE_STATUS_PROCESS out{};
      std::memcpy(&out, &status, sizeof(status));
      const auto& answer = scope.Fake.ProcessIdAnswer;
      out.dwProcessId = status.dwCurrentState == SERVICE_STOPPED ? 0
                        : answer                                  ? answer(nth)
                                                                  : scope.Fake.ProcessId;
      std::memcpy(buffer, &out, sizeof(out));
    }
    return scope.Return<BOOL>(TRUE, FALSE);
  }

  static BOOL WINAPI DeleteService(SC_HANDLE service) {
    PlatformCall call = Named("DeleteService", service);
    PlatformCallScope scope(std::move(call), {HandleKind::Service});
    return scope.Return<BOOL>(TRUE, FALSE);
  }

  static BOOL WINAPI ChangeServiceConfig2A(SC_HANDLE service, DWORD level, LPVOID info) {
    PlatformCall call = Named("ChangeServiceConfig2A", service);
    call.Level = level;
    if (info != nullptr) {
      switch (level) {
        case SERVICE_CONFIG_DESCRIPTION:
          call.Description = CopyText(static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription);
          break;
        case SERVICE_CONFIG_FAILURE_ACTIONS: {
          const auto* actions = static_cast<SERVICE_FAILURE_ACTIONSA*>(info);
          call.ResetPeriod = actions->dwResetPeriod;
          call.RebootMessage = CopyText(actions->lpRebootMsg);
          call.Command = CopyText(actions->lpCommand);
          if (actions->lpsaActions != nullptr) {
            call.Actions.emplace();
            for (DWORD i = 0; i < actions->cActions; ++i) {
              call.Actions->emplace_back(actions->lpsaActions[i].Type,
                                         actions->lpsaActions[i].Delay);
            }
          }
          break;
        }
        case SERVICE_CONFIG_FAILURE_ACTIONS_FLAG:
          call.ConfigValue =
              static_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(info)->fFailureActionsOnNonCrashFailures;
          break;
        case SERVICE_CONFIG_DELAYED_AUTO_START_INFO:
          call.ConfigValue = static_cast<SERVICE_DELAYED_AUTO_START_INFO*>(info)->fDelayedAutostart;
          break;
        case SERVICE_CONFIG_PRESHUTDOWN_INFO:
          call.ConfigValue = static_cast<SERVICE_PRESHUTDOWN_INFO*>(info)->dwPreshutdownTimeout;
          break;
        default:
          break;
      }
    }
    PlatformCallScope scope(std::move(call), {HandleKind::Service});
    return scope.Return<BOOL>(TRUE, FALSE);
  }

  static BOOL WINAPI ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType,
                                          DWORD startType, DWORD errorControl,
                                          LPCSTR binaryPath, LPCSTR loadOrderGroup,
                                          LPDWORD tagId, LPCSTR dependencies,
                                          LPCSTR serviceStartName, LPCSTR password,
                                          LPCSTR displayName) {
    PlatformCall call = Named("ChangeServiceConfigA", service);
    RecordConfig(call, serviceType, startType, errorControl, binaryPath, loadOrderGroup, tagId,
                 dependencies, serviceStartName, password);
    call.DisplayName = CopyText(displayName);
    PlatformCallScope scope(std::move(call), {HandleKind::Service});
    return scope.Return<BOOL>(TRUE, FALSE);
  }

  // Expands through the process's own environment.
  static DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR source, LPSTR destination, DWORD size) {
    PlatformCall call = Named("ExpandEnvironmentStringsA");
    call.Name = CopyText(source);
    PlatformCallScope scope(std::move(call));
    const DWORD needed =
        scope.Acts() ? ::ExpandEnvironmentStringsA(source, destination, size) : 0;
    return scope.Return<DWORD>(needed, 0);
  }

  static bool RunsOnWine() { return Installed->Wine; }

  static BOOL WINAPI CloseServiceHandle(SC_HANDLE handle) {
    PlatformCall call = Named("CloseServiceHandle", handle);
    PlatformCallScope scope(std::move(call), {HandleKind::Manager, HandleKind::Service}, true);
    return scope.Return<BOOL>(TRUE, FALSE);
  }

  static HRSRC WINAPI FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
    PlatformCall call = Named("FindResourceA", module);
    call.ResourceName = reinterpret_cast<uintptr_t>(name);
    call.ResourceType = reinterpret_cast<uintptr_t>(type);
    PlatformCallScope scope(std::move(call));
    const bool found = scope.Fake.MessageTable && IS_INTRESOURCE(type) &&
                       type == reinterpret_cast<LPCSTR>(RT_MESSAGETABLE);
    if (scope.Acts() && !found) scope.Code = ERROR_RESOURCE_TYPE_NOT_FOUND;
    return scope.Return<HRSRC>(reinterpret_cast<HRSRC>(0x7e57), nullptr);
  }

  // The registry calls return their code instead of setting the last error.
  static LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD options,
                                     REGSAM access, LPSECURITY_ATTRIBUTES, PHKEY result,
                                     LPDWORD disposition) {
    PlatformCall call = Named("RegCreateKeyExA", key);
    call.Name = CopyText(subKey);
    call.Access = access;
    call.Options = options;
    PlatformCallScope scope(std::move(call));
    void* handle = scope.Acts() ? scope.Fake.NewHandle(HandleKind::RegistryKey, subKey) : nullptr;
    if (handle != nullptr) {
      if (result != nullptr) *result = static_cast<HKEY>(handle);
      if (disposition != nullptr) *disposition = scope.Fake.KeyDisposition;
    }
    return scope.Return<LONG>(ERROR_SUCCESS, static_cast<LONG>(scope.Code), handle);
  }

  static LONG WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type,
                                    const BYTE* data, DWORD size) {
    PlatformCall call = Named("RegSetValueExA", key);
    call.Name = CopyText(valueName);
    call.ValueType = type;
    call.DataSize = size;
    if (data != nullptr) call.Data = std::string(reinterpret_cast<const char*>(data), size);
    PlatformCallScope scope(std::move(call), {HandleKind::RegistryKey});
    return scope.Return<LONG>(ERROR_SUCCESS, static_cast<LONG>(scope.Code));
  }

  static LONG WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    PlatformCall call = Named("RegDeleteKeyA", key);
    call.Name = CopyText(subKey);
    PlatformCallScope scope(std::move(call));
    return scope.Return<LONG>(ERROR_SUCCESS, static_cast<LONG>(scope.Code));
  }

  static LONG WINAPI RegCloseKey(HKEY key) {
    PlatformCall call = Named("RegCloseKey", key);
    PlatformCallScope scope(std::move(call), {HandleKind::RegistryKey}, true);
    return scope.Return<LONG>(ERROR_SUCCESS, static_cast<LONG>(scope.Code));
  }
};

FakePlatform::FakePlatform() {
  if (Installed != nullptr) {
    // Two fakes would share the one table and each other's calls.
    std::fprintf(stderr, "FakePlatform: a second fake while one is installed\n");
    std::abort();
  }
  Installed = this;
  TQZServiceApi& api = ServiceApi();
  api.StartServiceCtrlDispatcherA = PlatformEntries::StartServiceCtrlDispatcherA;
  api.RegisterServiceCtrlHandlerA = PlatformEntries::RegisterServiceCtrlHandlerA;
  api.SetServiceStatus = PlatformEntries::SetServiceStatus;
  api.CreateThread = PlatformEntries::CreateThread;
  api.RegisterEventSourceA = PlatformEntries::RegisterEventSourceA;
  api.ReportEventA = PlatformEntries::ReportEventA;
  api.DeregisterEventSource = PlatformEntries::DeregisterEventSource;
  api.OpenSCManagerA = PlatformEntries::OpenSCManagerA;
  api.OpenServiceA = PlatformEntries::OpenServiceA;
  api.CreateServiceA = PlatformEntries::CreateServiceA;
  api.StartServiceA = PlatformEntries::StartServiceA;
  api.ControlService = PlatformEntries::ControlService;
  api.DeleteService = PlatformEntries::DeleteService;
  api.QueryServiceStatus = PlatformEntries::QueryServiceStatus;
  api.QueryServiceStatusEx = PlatformEntries::QueryServiceStatusEx;
  api.ChangeServiceConfig2A = PlatformEntries::ChangeServiceConfig2A;
  api.CloseServiceHandle = PlatformEntries::CloseServiceHandle;
  api.FindResourceA = PlatformEntries::FindResourceA;
  api.RegCreateKeyExA = PlatformEntries::RegCreateKeyExA;
  api.RegSetValueExA = PlatformEntries::RegSetValueExA;
  api.RegDeleteKeyA = PlatformEntries::RegDeleteKeyA;
  api.RegCloseKey = PlatformEntries::RegCloseKey;
  api.ChangeServiceConfigA = PlatformEntries::ChangeServiceConfigA;
  api.ExpandEnvironmentStringsA = PlatformEntries::ExpandEnvironmentStringsA;
  api.RunsOnWine = PlatformEntries::RunsOnWine;
}

FakePlatform::~FakePlatform() {
  ServiceApi() = RealServiceApi();
  Installed = nullptr;
}

void FakePlatform::Fail(const std::string& function, DWORD code, int nth) {
  if (!IsFunction(function)) {
    ADD_FAILURE() << "FakePlatform::Fail: no function " << function << " in the table";
    return;
  }
  std::lock_guard<std::mutex> lock(Mutex);
  if (code != 0) {
    Failures[function][nth] = code;
  } else {
    Failures[function].erase(nth);
  }
}

void FakePlatform::AnswerControlsWith(DWORD state) {
  ControlState = [state](DWORD) { return state; };
}

FakePlatform::Ticket FakePlatform::Enter(PlatformCall call,
                                         std::initializer_list<HandleKind> kinds, bool closes,
                                         DWORD& code) {
  Ticket ticket;
  {
    std::lock_guard<std::mutex> lock(Mutex);
    call.Nth = ++Numbers[call.Function];
    call.ThreadId = GetCurrentThreadId();
    code = 0;
    const auto failing = Failures.find(call.Function);
    if (failing != Failures.end()) {
      auto at = failing->second.find(call.Nth);
      if (at == failing->second.end()) at = failing->second.find(kEveryCall);
      if (at != failing->second.end()) code = at->second;
    }
    if (kinds.size() != 0) {
      const auto it = HandleTable.find(call.Handle);
      const bool known = call.Handle != nullptr && it != HandleTable.end();
      if (known) {
        HandleState& state = it->second;
        call.HandleName = state.Handle.Name;
        const bool rightKind =
            std::find(kinds.begin(), kinds.end(), state.Handle.Kind) != kinds.end();
        call.HandleWasOpen = rightKind && state.Handle.Closes == 0;
        if (closes) {
          if (state.InUse > 0) ++ClosedInUse;
          ++state.Handle.Closes;
        } else if (call.HandleWasOpen) {
          ++state.InUse;
          ticket.InUse = call.Handle;
        }
      }
      if (!call.HandleWasOpen) {
        if (call.Handle != nullptr || closes) ++BadUses;
        if (code == 0) code = ERROR_INVALID_HANDLE;
      }
    }
    if (call.Function == "SetServiceStatus" && call.Status.dwCurrentState == SERVICE_RUNNING) {
      RunningReported = true;
    }
    call.Error = code;
    Records.push_back(call);
    ticket.Index = Records.size() - 1;
    ticket.Generation = Generation;
    Cv.notify_all();
  }
  if (During) During(call);
  return ticket;
}

void* FakePlatform::NewHandle(HandleKind kind, const char* name) {
  std::lock_guard<std::mutex> lock(Mutex);
  void* value = reinterpret_cast<void*>(0x10000 + 0x10 * ++HandlesMade);
  HandleState& state = HandleTable[value];
  state.Handle.Value = value;
  state.Handle.Kind = kind;
  state.Handle.Name = TextOrNull(CopyText(name));
  return value;
}

void FakePlatform::Leave(const Ticket& ticket, DWORD code, void* result) {
  {
    std::lock_guard<std::mutex> lock(Mutex);
    if (ticket.Generation == Generation && ticket.Index < Records.size()) {
      Records[ticket.Index].Error = code;
      Records[ticket.Index].Result = result;
    }
    if (ticket.InUse != nullptr) {
      const auto it = HandleTable.find(ticket.InUse);
      if (it != HandleTable.end()) --it->second.InUse;
    }
    Cv.notify_all();
  }
  SetLastError(code != 0 ? code : SuccessError);
}

DWORD FakePlatform::Dispatch(const std::vector<SERVICE_TABLE_ENTRYA>& table) {
  if (table.empty()) return ERROR_INVALID_PARAMETER;
  std::unique_lock<std::mutex> lock(Mutex);
  if (Dispatching) return ERROR_SERVICE_ALREADY_RUNNING;
  Dispatching = true;
  RunningReported = false;
  Table = table;
  std::vector<std::vector<std::string>> plan = StartPlan;
  if (plan.empty()) {
    for (const SERVICE_TABLE_ENTRYA& entry : table) {
      plan.push_back({TextOrNull(CopyText(entry.lpServiceName))});
    }
  }
  for (const std::vector<std::string>& args : plan) Launch(args);

  if (!Controls.empty()) {
    // Controls come once the service has reported running, or not at all
    // when its main routine ended first.
    WaitOrAbort(lock, Cv, [this] { return RunningReported || Running == 0; },
                "the service to report running");
    const LPHANDLER_FUNCTION handler =
        Running > 0 && !plan[0].empty() ? HandlerFor(plan[0][0]) : nullptr;
    for (DWORD control : Controls) {
      if (handler == nullptr) break;
      lock.unlock();
      Deliver(handler, control);
      lock.lock();
    }
  }

  for (;;) {
    WaitOrAbort(lock, Cv, [this] { return !Commands.empty() || Running == 0; },
                "a control or the end of the service main routines");
    if (Commands.empty()) break;
    Command* command = Commands.front();
    Commands.pop_front();
    if (command->Start) {
      Launch(command->Args);
      command->Delivered = true;
    } else {
      const LPHANDLER_FUNCTION handler = HandlerFor(command->Args[0]);
      lock.unlock();
      if (handler != nullptr) Deliver(handler, command->Code);
      lock.lock();
      command->Delivered = handler != nullptr;
    }
    command->Done = true;
    Cv.notify_all();
  }
  Dispatching = false;
  std::list<ServiceRun> runs;
  runs.swap(Runs);
  lock.unlock();
  for (ServiceRun& run : runs) run.Thread.join();
  return 0;
}

void FakePlatform::Launch(const std::vector<std::string>& args) {
  Runs.emplace_back();
  ServiceRun& run = Runs.back();
  run.Args = args.empty() ? std::vector<std::string>{""} : args;
  for (std::string& arg : run.Args) run.Argv.push_back(&arg[0]);
  LPSERVICE_MAIN_FUNCTIONA main = Table[0].lpServiceProc;
  for (const SERVICE_TABLE_ENTRYA& entry : Table) {
    if (entry.lpServiceName != nullptr && run.Args[0] == entry.lpServiceName) {
      main = entry.lpServiceProc;
    }
  }
  ++Running;
  run.Thread = std::thread([this, main, &run] {
    try {
      main(static_cast<DWORD>(run.Argv.size()), run.Argv.data());
    } catch (...) {
      std::lock_guard<std::mutex> lock(Mutex);
      ++Escaped;
    }
    std::lock_guard<std::mutex> lock(Mutex);
    ++MainsRun;
    --Running;
    Cv.notify_all();
  });
}

LPHANDLER_FUNCTION FakePlatform::HandlerFor(const std::string& name) const {
  for (auto call = Records.rbegin(); call != Records.rend(); ++call) {
    if (call->Function == "RegisterServiceCtrlHandlerA" && call->Result != nullptr &&
        TextOrNull(call->Name) == name) {
      return call->Handler;
    }
  }
  return nullptr;
}

void FakePlatform::Deliver(LPHANDLER_FUNCTION handler, DWORD code) {
  try {
    handler(code);
  } catch (...) {
    std::lock_guard<std::mutex> lock(Mutex);
    ++Escaped;
  }
}

bool FakePlatform::Post(Command command) {
  std::unique_lock<std::mutex> lock(Mutex);
  if (!Dispatching) return false;
  Commands.push_back(&command);
  Cv.notify_all();
  WaitOrAbort(lock, Cv, [&] { return command.Done; }, "the dispatcher to take a command");
  return command.Delivered;
}

bool FakePlatform::SendControl(const std::string& name, DWORD code) {
  return Post(Command{false, {name}, code});
}

bool FakePlatform::StartService(const std::vector<std::string>& argv) {
  return Post(Command{true, argv, 0});
}

std::vector<PlatformCall> FakePlatform::Calls() const {
  std::lock_guard<std::mutex> lock(Mutex);
  return Records;
}

std::vector<PlatformCall> FakePlatform::CallsOf(const std::string& function) const {
  std::lock_guard<std::mutex> lock(Mutex);
  std::vector<PlatformCall> calls;
  for (const PlatformCall& call : Records) {
    if (call.Function == function) calls.push_back(call);
  }
  return calls;
}

PlatformCall FakePlatform::Last(const std::string& function) const {
  std::lock_guard<std::mutex> lock(Mutex);
  for (auto call = Records.rbegin(); call != Records.rend(); ++call) {
    if (call->Function == function) return *call;
  }
  ADD_FAILURE() << "no call of " << function;
  return PlatformCall{};
}

int FakePlatform::Count(const std::string& function) const {
  std::lock_guard<std::mutex> lock(Mutex);
  return static_cast<int>(std::count_if(Records.begin(), Records.end(), [&](const PlatformCall& c) {
    return c.Function == function;
  }));
}

std::vector<StatusRow> FakePlatform::Reports(const std::string& name) const {
  std::lock_guard<std::mutex> lock(Mutex);
  std::vector<StatusRow> rows;
  for (const PlatformCall& call : Records) {
    if (call.Function == "SetServiceStatus" && (name.empty() || call.HandleName == name)) {
      rows.push_back(RowOf(call.Status));
    }
  }
  return rows;
}

void FakePlatform::WaitUntil(
    const std::function<bool(const std::vector<PlatformCall>&)>& done, const char* what) const {
  std::unique_lock<std::mutex> lock(Mutex);
  WaitOrAbort(lock, Cv, [&] { return done(Records); }, what);
}

int FakePlatform::ServiceMainsRun() const {
  std::lock_guard<std::mutex> lock(Mutex);
  return MainsRun;
}

void FakePlatform::ThreadStarted() {
  std::lock_guard<std::mutex> lock(Mutex);
  ++ThreadsRunning;
}

void FakePlatform::ThreadEnded() {
  std::lock_guard<std::mutex> lock(Mutex);
  --ThreadsRunning;
  Cv.notify_all();
}

int FakePlatform::RunningThreads() const {
  std::lock_guard<std::mutex> lock(Mutex);
  return ThreadsRunning;
}

int FakePlatform::EscapedExceptions() const {
  std::lock_guard<std::mutex> lock(Mutex);
  return Escaped;
}

std::vector<FakeHandle> FakePlatform::Handles() const {
  std::lock_guard<std::mutex> lock(Mutex);
  std::vector<FakeHandle> handles;
  for (const auto& entry : HandleTable) handles.push_back(entry.second.Handle);
  return handles;
}

std::vector<void*> FakePlatform::OpenHandles() const {
  std::vector<void*> open;
  for (const FakeHandle& handle : Handles()) {
    if (handle.Kind != HandleKind::Status && handle.Closes == 0) open.push_back(handle.Value);
  }
  return open;
}

int FakePlatform::ClosesOf(void* handle) const {
  std::lock_guard<std::mutex> lock(Mutex);
  const auto it = HandleTable.find(handle);
  return it == HandleTable.end() ? 0 : it->second.Handle.Closes;
}

int FakePlatform::BadHandleUses() const {
  std::lock_guard<std::mutex> lock(Mutex);
  return BadUses;
}

int FakePlatform::ClosedWhileInUse() const {
  std::lock_guard<std::mutex> lock(Mutex);
  return ClosedInUse;
}

void FakePlatform::ExpectEveryHandleClosedOnce() const {
  for (const FakeHandle& handle : Handles()) {
    if (handle.Kind == HandleKind::Status) continue;
    EXPECT_EQ(handle.Closes, 1) << "handle " << handle.Value << " opened as <" << handle.Name
                                << ">";
  }
}

void FakePlatform::ForgetCalls() {
  std::lock_guard<std::mutex> lock(Mutex);
  Records.clear();
  Numbers.clear();
  ++Generation;
}

void FakePlatform::Settle(DWORD state) {
  std::lock_guard<std::mutex> lock(Mutex);
  Settled = state;
}

SERVICE_STATUS FakePlatform::QueriedStatus(int* number) {
  int nth = 0;
  SERVICE_STATUS status{};
  {
    std::lock_guard<std::mutex> lock(Mutex);
    nth = ++Queries;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = Settled;
  }
  if (StatusAnswer) StatusAnswer(nth, status);
  if (number != nullptr) *number = nth;
  return status;
}

void FakePlatform::Reset() {
  {
    std::lock_guard<std::mutex> lock(Mutex);
    Records.clear();
    Numbers.clear();
    ++Generation;
    Failures.clear();
    HandleTable.clear();
    BadUses = 0;
    ClosedInUse = 0;
    Escaped = 0;
    MainsRun = 0;
  }
  During = nullptr;
  ControlState = nullptr;
  StatusAnswer = nullptr;
  ProcessId = 4242;
  ProcessIdAnswer = nullptr;
  {
    std::lock_guard<std::mutex> lock(Mutex);
    Settled = SERVICE_RUNNING;
    Queries = 0;
  }
  AssignedTag = 0;
  Wine = false;
  MessageTable = false;
  KeyDisposition = REG_CREATED_NEW_KEY;
  SuccessError = ERROR_MORE_DATA;
  StartPlan.clear();
  Controls.clear();
}
