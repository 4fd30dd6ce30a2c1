// The smallest service that behaves like the demo under the service control
// manager, written with bare Win32 calls: the baseline that the framework's
// start, control round trips and executable size are measured against.
//
// It includes <windows.h> itself and uses nothing of the framework, so that
// none of the framework's weight or start-up work reaches the baseline.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

char ServiceName[] = "QZBareSvc";

SERVICE_STATUS_HANDLE StatusHandle = nullptr;
HANDLE StopEvent = nullptr;
volatile LONG StopRequested = 0;
DWORD CurrentState = SERVICE_STOPPED;

// The same reports as the demo's: pending states with check point 1 only when
// repeated, accepted controls 0 while starting, wait hint 5000.
void Report(DWORD state) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_START_PENDING
          ? 0
          : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;
  status.dwCheckPoint = state == SERVICE_START_PENDING ? 1 : 0;
  status.dwWaitHint = 5000;
  CurrentState = state;
  SetServiceStatus(StatusHandle, &status);
}

void WINAPI Handler(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Report(SERVICE_STOP_PENDING);
      // The flag is written before the event is set, so the waiting thread
      // always sees it when it wakes.
      InterlockedExchange(&StopRequested, 1);
      SetEvent(StopEvent);
      break;
    case SERVICE_CONTROL_PAUSE:
      Report(SERVICE_PAUSE_PENDING);
      Report(SERVICE_PAUSED);
      break;
    case SERVICE_CONTROL_CONTINUE:
      Report(SERVICE_CONTINUE_PENDING);
      Report(SERVICE_RUNNING);
      break;
    case SERVICE_CONTROL_INTERROGATE:
      Report(CurrentState);
      break;
    default:
      break;
  }
}

void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
  StatusHandle = RegisterServiceCtrlHandlerA(argc > 0 ? argv[0] : ServiceName, &Handler);
  if (StatusHandle == nullptr) return;
  Report(SERVICE_START_PENDING);
  Report(SERVICE_RUNNING);
  while (InterlockedCompareExchange(&StopRequested, 0, 0) == 0) {
    if (WaitForSingleObject(StopEvent, INFINITE) != WAIT_OBJECT_0) break;
  }
  Report(SERVICE_STOPPED);
}

}  // namespace

int main() {
#if defined(QZ_BARE_LOADS_USER32)
  // The framework's only USER32 call; importing it makes the loader map
  // USER32 and what it depends on at every start.
  volatile int doubleByte = GetSystemMetrics(SM_DBCSENABLED);
  (void)doubleByte;
#endif
  StopEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  SERVICE_TABLE_ENTRYA table[] = {{ServiceName, &ServiceMain}, {nullptr, nullptr}};
  StartServiceCtrlDispatcherA(table);
  if (StopEvent != nullptr) CloseHandle(StopEvent);
  return 0;
}
