// Client of the service control manager: one SCM and one service handle.
#include "service/scm_manager.h"

#include <cstring>
#include <limits>

#include "service/platform.h"
#include "service/svc_obj.h"

namespace {

const DWORD ReadExecuteAccess = GENERIC_READ | GENERIC_EXECUTE;

SC_HANDLE AsScHandle(void* handle) { return static_cast<SC_HANDLE>(handle); }

void CloseField(std::atomic<void*>& field) {
  void* handle = field.exchange(nullptr);
  if (handle != nullptr) ServiceApi().CloseServiceHandle(AsScHandle(handle));
}

}  // namespace

TQZSCManager::TQZSCManager() : Status{} {}

TQZSCManager::~TQZSCManager() { Close(); }

void TQZSCManager::Close() {
  ServiceOpen = false;
  ServiceName = TQZString();
  LastError = 0;
  CloseField(ServiceHandle);
  CloseManager();
  Status = TQZServiceStatus{};
  ProcessId = 0;
}

void TQZSCManager::CloseManager() { CloseField(ManagerHandle); }

bool TQZSCManager::OpenManager(bool fullAccess) {
  Close();
  SC_HANDLE manager = ServiceApi().OpenSCManagerA(
      nullptr, nullptr, fullAccess ? SC_MANAGER_ALL_ACCESS : ReadExecuteAccess);
  if (manager == nullptr) {
    LastError = GetLastError();
    return false;
  }
  ManagerHandle.store(manager);
  return true;
}

bool TQZSCManager::Open(const TQZString& name, bool fullAccess) {
  if (!OpenManager(fullAccess)) {
    ServiceOpen = false;
    return false;
  }
  SC_HANDLE service = ServiceApi().OpenServiceA(
      AsScHandle(ManagerHandle.load()), name.Data(),
      fullAccess ? SERVICE_ALL_ACCESS : ReadExecuteAccess);
  if (service == nullptr) {
    LastError = GetLastError();
    CloseManager();
    ServiceOpen = false;
    return false;
  }
  ServiceHandle.store(service);
  ServiceName = name;
  ServiceOpen = true;
  return true;
}

bool TQZSCManager::Create(const TQZString& serviceName,
                          const TQZString& binaryPath,
                          const TQZString& displayName, uint32_t serviceType,
                          uint32_t startType, uint32_t errorControl,
                          uint32_t* tagId, const TQZString& loadOrderGroup,
                          const TQZString& account, const TQZString& password,
                          TQZStringList* dependencies) {
  if (!OpenManager(true)) {
    ServiceOpen = false;
    return false;
  }
  TQZString multiString = MakeMultiString(dependencies);
  // Without its buffer the service would be registered with no dependencies
  // at all, and the install would still report success.
  if (dependencies != nullptr && dependencies->Count() > 0 &&
      multiString.Length() == 0) {
    LastError = ERROR_NOT_ENOUGH_MEMORY;
    CloseManager();
    ServiceOpen = false;
    return false;
  }
  static_assert(sizeof(DWORD) == sizeof(uint32_t), "tag id is a DWORD");
  SC_HANDLE service = ServiceApi().CreateServiceA(
      AsScHandle(ManagerHandle.load()), serviceName.Text(), displayName.Text(),
      SERVICE_ALL_ACCESS, serviceType, startType, errorControl,
      binaryPath.Text(), loadOrderGroup.Data(),
      reinterpret_cast<LPDWORD>(tagId), multiString.Data(), account.Data(),
      password.Data());
  bool created = service != nullptr;
  if (created) {
    ServiceHandle.store(service);
    ServiceName = serviceName;
  } else {
    LastError = GetLastError();
    CloseManager();
  }
  ServiceOpen = created;
  return created;
}

bool TQZSCManager::Start(TQZStringList* arguments) {
  if (!ServiceOpen) return false;
  TQZString vector = MakeArgVector(arguments);
  const DWORD count = vector.Length() / sizeof(LPCSTR);
  if (count == 0 && arguments != nullptr && arguments->Count() > 0) {
    // The vector could not be allocated; handing the SCM a count without a
    // vector would make it read through a null pointer.
    LastError = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  // An empty item is a null entry in the vector, and the SCM refuses a null
  // argument outright (Wine fails the start with ERROR_NOACCESS). The service
  // is given an empty argument in its place; the vector is this call's own.
  LPCSTR* entries = reinterpret_cast<LPCSTR*>(vector.Data());
  for (DWORD i = 0; i < count; ++i) {
    if (entries[i] == nullptr) entries[i] = TQZString().Text();
  }
  if (!ServiceApi().StartServiceA(AsScHandle(ServiceHandle.load()), count,
                                  entries)) {
    LastError = GetLastError();
    return LastError == ERROR_SERVICE_ALREADY_RUNNING;
  }
  LastError = 0;
  return true;
}

bool TQZSCManager::SendControl(uint32_t control) {
  static_assert(sizeof(TQZServiceStatus) == sizeof(SERVICE_STATUS),
                "Status has the layout of SERVICE_STATUS");
  if (!ServiceApi().ControlService(AsScHandle(ServiceHandle.load()), control,
                                   reinterpret_cast<LPSERVICE_STATUS>(&Status))) {
    LastError = GetLastError();
    return false;
  }
  LastError = 0;
  return true;
}

bool TQZSCManager::Stop() {
  if (!ServiceOpen) return false;
  if (!SendControl(SERVICE_CONTROL_STOP)) return false;
  return Status.CurrentState == SERVICE_STOP_PENDING ||
         Status.CurrentState == SERVICE_STOPPED;
}

bool TQZSCManager::Pause() {
  if (!ServiceOpen) return false;
  return SendControl(SERVICE_CONTROL_PAUSE);
}

bool TQZSCManager::Continue() {
  if (!ServiceOpen) return false;
  return SendControl(SERVICE_CONTROL_CONTINUE);
}

bool TQZSCManager::Delete() {
  if (!ServiceOpen) return false;
  if (!ServiceApi().DeleteService(AsScHandle(ServiceHandle.load()))) {
    LastError = GetLastError();
    return false;
  }
  LastError = 0;
  return true;
}

bool TQZSCManager::QueryStatus() {
  if (!ServiceOpen) return false;
  if (!ServiceApi().QueryServiceStatus(AsScHandle(ServiceHandle.load()),
                                       reinterpret_cast<LPSERVICE_STATUS>(&Status))) {
    LastError = GetLastError();
    return false;
  }
  LastError = 0;
  return true;
}

bool TQZSCManager::QueryStatusEx() {
  if (!ServiceOpen) return false;
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!ServiceApi().QueryServiceStatusEx(AsScHandle(ServiceHandle.load()),
                                         SC_STATUS_PROCESS_INFO,
                                         reinterpret_cast<LPBYTE>(&status),
                                         sizeof(status), &needed)) {
    LastError = GetLastError();
    return false;
  }
  Status.ServiceType = status.dwServiceType;
  Status.CurrentState = status.dwCurrentState;
  Status.ControlsAccepted = status.dwControlsAccepted;
  Status.Win32ExitCode = status.dwWin32ExitCode;
  Status.ServiceSpecificExitCode = status.dwServiceSpecificExitCode;
  Status.CheckPoint = status.dwCheckPoint;
  Status.WaitHint = status.dwWaitHint;
  ProcessId = status.dwProcessId;
  LastError = 0;
  return true;
}

bool TQZSCManager::SendUserControl(uint32_t code) {
  if (!ServiceOpen) return false;
  return SendControl(code);
}

bool TQZSCManager::WaitWhilePending(uint32_t pendingState) {
  if (!QueryStatus()) return false;
  const DWORD start = GetTickCount();
  DWORD progressAt = start;
  unsigned long checkPoint = Status.CheckPoint;
  while (Status.CurrentState == pendingState) {
    const DWORD now = GetTickCount();
    if (Status.CheckPoint != checkPoint) {
      checkPoint = Status.CheckPoint;
      progressAt = now;
    }
    // A check point that did not advance within its wait hint means the
    // service stopped making progress; the wait hint is taken as at least a
    // second, as a service that reports none still needs time.
    const DWORD hint = Status.WaitHint > 1000 ? Status.WaitHint : 1000;
    if (now - progressAt > hint || now - start > MaxPendingWait) {
      LastError = ERROR_SERVICE_REQUEST_TIMEOUT;
      return false;
    }
    DWORD pause = hint / 10;
    if (pause < 50) pause = 50;
    if (pause > 1000) pause = 1000;
    Sleep(pause);
    if (!QueryStatus()) return false;
  }
  return true;
}

bool TQZSCManager::SetDescription(const TQZString& text) {
  if (!ServiceOpen) return false;
  SERVICE_DESCRIPTIONA description;
  description.lpDescription = const_cast<char*>(text.Text());
  if (!ServiceApi().ChangeServiceConfig2A(AsScHandle(ServiceHandle.load()),
                                          SERVICE_CONFIG_DESCRIPTION,
                                          &description)) {
    LastError = GetLastError();
    return false;
  }
  LastError = 0;
  return true;
}

bool TQZSCManager::ChangeConfig(uint32_t level, void* info) {
  if (!ServiceOpen) return false;
  if (!ServiceApi().ChangeServiceConfig2A(AsScHandle(ServiceHandle.load()), level, info)) {
    LastError = GetLastError();
    return false;
  }
  LastError = 0;
  return true;
}

bool TQZSCManager::SetFailureActions(const TQZRecoveryAction* actions, int32_t count,
                                     uint32_t resetSeconds, const TQZString& command) {
  static_assert(sizeof(TQZRecoveryAction) == sizeof(SC_ACTION),
                "TQZRecoveryAction has the layout of SC_ACTION");
  if (count < 0 || (count > 0 && actions == nullptr)) {
    LastError = ERROR_INVALID_PARAMETER;
    return false;
  }
  SERVICE_FAILURE_ACTIONSA info = {};
  info.dwResetPeriod = resetSeconds;
  info.lpRebootMsg = nullptr;
  // A null command leaves the SCM's unchanged, which for a new service is none.
  info.lpCommand = command.Length() > 0 ? const_cast<char*>(command.Text()) : nullptr;
  info.cActions = static_cast<DWORD>(count);
  info.lpsaActions = count > 0
      ? reinterpret_cast<SC_ACTION*>(const_cast<TQZRecoveryAction*>(actions))
      : nullptr;
  return ChangeConfig(SERVICE_CONFIG_FAILURE_ACTIONS, &info);
}

bool TQZSCManager::SetFailureActionsFlag(bool nonCrashFailures) {
  SERVICE_FAILURE_ACTIONS_FLAG info = {};
  info.fFailureActionsOnNonCrashFailures = nonCrashFailures ? TRUE : FALSE;
  return ChangeConfig(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &info);
}

bool TQZSCManager::SetDelayedAutoStart(bool delayed) {
  SERVICE_DELAYED_AUTO_START_INFO info = {};
  info.fDelayedAutostart = delayed ? TRUE : FALSE;
  return ChangeConfig(SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &info);
}

bool TQZSCManager::SetPreshutdownTimeout(uint32_t timeoutMs) {
  SERVICE_PRESHUTDOWN_INFO info = {};
  info.dwPreshutdownTimeout = timeoutMs;
  return ChangeConfig(SERVICE_CONFIG_PRESHUTDOWN_INFO, &info);
}

bool TQZSCManager::SetDependencies(TQZStringList* dependencies) {
  if (!ServiceOpen) return false;
  TQZString multiString = MakeMultiString(dependencies);
  if (dependencies != nullptr && dependencies->Count() > 0 &&
      multiString.Length() == 0) {
    LastError = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  // An empty list is "\0\0", which clears the dependencies; null would keep them.
  const char* list = multiString.Length() > 0 ? multiString.Text() : "\0";
  if (!ServiceApi().ChangeServiceConfigA(
          AsScHandle(ServiceHandle.load()), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
          SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, list, nullptr, nullptr,
          nullptr)) {
    LastError = GetLastError();
    return false;
  }
  LastError = 0;
  return true;
}

TQZString MakeMultiString(TQZStringList* list) {
  TQZString result;
  if (list == nullptr || list->Count() <= 0) return result;
  const int32_t count = list->Count();
  // Summed wide: item lengths that wrap a 32-bit total would size a buffer
  // far shorter than the bytes copied into it.
  int64_t total = 1;
  for (int32_t i = 0; i < count; ++i) {
    total += static_cast<int64_t>(list->GetString(i).Length()) + 1;
    if (total > std::numeric_limits<int32_t>::max()) return result;
  }
  result.SetLength(static_cast<int32_t>(total));
  char* out = result.Data();
  if (out == nullptr) return result;
  // The copy never writes past the buffer, even if an item grew since the
  // lengths were summed.
  int64_t room = total - 1;
  for (int32_t i = 0; i < count; ++i) {
    TQZString item = list->GetString(i);
    int64_t length = item.Length();
    if (length + 1 > room) length = room - 1;
    if (length < 0) break;
    if (length > 0) std::memcpy(out, item.Data(), static_cast<size_t>(length));
    out += length;
    *out++ = '\0';
    room -= length + 1;
  }
  *out = '\0';
  return result;
}

TQZString MakeArgVector(TQZStringList* list) {
  TQZString result;
  if (list == nullptr || list->Count() <= 0) return result;
  const int32_t count = list->Count();
  if (count > std::numeric_limits<int32_t>::max() /
                  static_cast<int32_t>(sizeof(char*))) {
    return result;
  }
  result.SetLength(count * static_cast<int32_t>(sizeof(char*)));
  // The block's characters are aligned to 8 bytes, so they hold pointers.
  char** entries = reinterpret_cast<char**>(result.Data());
  if (entries == nullptr) return result;
  for (int32_t i = 0; i < count; ++i) entries[i] = list->GetString(i).Data();
  return result;
}
