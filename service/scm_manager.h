// Client of the service control manager: one SCM and one service handle.
#ifndef QZ_SERVICE_SCM_MANAGER_H
#define QZ_SERVICE_SCM_MANAGER_H

#include <atomic>
#include <cstdint>

#include "foundation/lists.h"
#include "foundation/string.h"

struct TQZRecoveryAction;

// Same layout as the Win32 SERVICE_STATUS.
struct TQZServiceStatus {
  unsigned long ServiceType;
  unsigned long CurrentState;
  unsigned long ControlsAccepted;
  unsigned long Win32ExitCode;
  unsigned long ServiceSpecificExitCode;
  unsigned long CheckPoint;
  unsigned long WaitHint;
};

class TQZSCManager {
 public:
  TQZSCManager();
  virtual ~TQZSCManager();
  TQZSCManager(const TQZSCManager&) = delete;
  TQZSCManager& operator=(const TQZSCManager&) = delete;

  void Close();
  void CloseManager();
  bool OpenManager(bool fullAccess);
  bool Open(const TQZString& name, bool fullAccess);
  bool Create(const TQZString& serviceName, const TQZString& binaryPath,
              const TQZString& displayName, uint32_t serviceType,
              uint32_t startType, uint32_t errorControl, uint32_t* tagId,
              const TQZString& loadOrderGroup, const TQZString& account,
              const TQZString& password, TQZStringList* dependencies);
  // True also when the service is already running (LastError 1056).
  bool Start(TQZStringList* arguments);
  // True only when the service then reports stop-pending or stopped.
  bool Stop();
  bool Pause();
  bool Continue();
  bool Delete();
  bool SetDescription(const TQZString& text);
  // The optional settings of the opened service, each one ChangeServiceConfig2A
  // call. The failure actions pass no reboot message, and a command only when
  // command is not empty.
  bool SetFailureActions(const TQZRecoveryAction* actions, int32_t count,
                         uint32_t resetSeconds, const TQZString& command);
  bool SetFailureActionsFlag(bool nonCrashFailures);
  bool SetDelayedAutoStart(bool delayed);
  bool SetPreshutdownTimeout(uint32_t timeoutMs);
  // Replaces the opened service's dependencies with the list (none for an
  // empty one) and changes nothing else; one ChangeServiceConfigA call.
  bool SetDependencies(TQZStringList* dependencies);
  // Reads the service's current status into Status.
  bool QueryStatus();
  // QueryStatus that also reads the id of the service's process into
  // ProcessId (0 while it is not running).
  bool QueryStatusEx();
  // Sends a user-defined control code; Status holds the answer.
  bool SendUserControl(uint32_t code);
  // Follows the service while it reports pendingState, polling no faster
  // than every 50 ms, for as long as its check point advances within its
  // wait hint and at most MaxPendingWait ms in all. Status then holds the
  // last status read; false when a query failed (LastError) or the service
  // was still in pendingState (LastError 1053).
  bool WaitWhilePending(uint32_t pendingState);
  uint32_t MaxPendingWait = 600000;

  bool ServiceOpen = false;
  std::atomic<void*> ManagerHandle{nullptr};  // SC_HANDLE
  std::atomic<void*> ServiceHandle{nullptr};  // SC_HANDLE
  TQZString ServiceName;
  uint32_t LastError = 0;
  TQZServiceStatus Status;
  uint32_t ProcessId = 0;

 private:
  // ControlService with Status; LastError follows the call's outcome.
  bool SendControl(uint32_t control);
  // ChangeServiceConfig2A on the opened service; LastError likewise.
  bool ChangeConfig(uint32_t level, void* info);
};

// The double-NUL-terminated list lpDependencies expects; empty for no items.
TQZString MakeMultiString(TQZStringList* list);
// An array of Count C-string pointers into the list's own blocks (null for an
// empty item); valid while the list is alive and unchanged.
TQZString MakeArgVector(TQZStringList* list);

#endif  // QZ_SERVICE_SCM_MANAGER_H
