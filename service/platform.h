// The Win32 calls the service layer makes, in one replaceable table so that
// unit tests can see exactly what is handed to the operating system.
#ifndef QZ_SERVICE_PLATFORM_H
#define QZ_SERVICE_PLATFORM_H

#include "foundation/win32.h"

struct TQZServiceApi {
  // Service side.
  BOOL(WINAPI* StartServiceCtrlDispatcherA)(const SERVICE_TABLE_ENTRYA* table);
  SERVICE_STATUS_HANDLE(WINAPI* RegisterServiceCtrlHandlerA)
  (LPCSTR name, LPHANDLER_FUNCTION handler);
  BOOL(WINAPI* SetServiceStatus)(SERVICE_STATUS_HANDLE handle,
                                 LPSERVICE_STATUS status);
  // The control thread of a service run.
  HANDLE(WINAPI* CreateThread)(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                               LPTHREAD_START_ROUTINE start, LPVOID parameter,
                               DWORD flags, LPDWORD threadId);
  // Event log.
  HANDLE(WINAPI* RegisterEventSourceA)(LPCSTR server, LPCSTR source);
  BOOL(WINAPI* ReportEventA)(HANDLE log, WORD type, WORD category,
                             DWORD eventId, PSID user, WORD numStrings,
                             DWORD dataSize, LPCSTR* strings, LPVOID data);
  BOOL(WINAPI* DeregisterEventSource)(HANDLE log);
  // Client side.
  SC_HANDLE(WINAPI* OpenSCManagerA)(LPCSTR machine, LPCSTR database,
                                    DWORD access);
  SC_HANDLE(WINAPI* OpenServiceA)(SC_HANDLE manager, LPCSTR name, DWORD access);
  SC_HANDLE(WINAPI* CreateServiceA)
  (SC_HANDLE manager, LPCSTR name, LPCSTR displayName, DWORD access,
   DWORD serviceType, DWORD startType, DWORD errorControl, LPCSTR binaryPath,
   LPCSTR loadOrderGroup, LPDWORD tagId, LPCSTR dependencies,
   LPCSTR serviceStartName, LPCSTR password);
  BOOL(WINAPI* StartServiceA)(SC_HANDLE service, DWORD argc, LPCSTR* argv);
  BOOL(WINAPI* ControlService)(SC_HANDLE service, DWORD control,
                               LPSERVICE_STATUS status);
  BOOL(WINAPI* DeleteService)(SC_HANDLE service);
  BOOL(WINAPI* QueryServiceStatus)(SC_HANDLE service, LPSERVICE_STATUS status);
  BOOL(WINAPI* QueryServiceStatusEx)(SC_HANDLE service, SC_STATUS_TYPE level,
                                     LPBYTE buffer, DWORD size, LPDWORD needed);
  BOOL(WINAPI* ChangeServiceConfig2A)(SC_HANDLE service, DWORD infoLevel,
                                      LPVOID info);
  BOOL(WINAPI* ChangeServiceConfigA)
  (SC_HANDLE service, DWORD serviceType, DWORD startType, DWORD errorControl,
   LPCSTR binaryPath, LPCSTR loadOrderGroup, LPDWORD tagId, LPCSTR dependencies,
   LPCSTR serviceStartName, LPCSTR password, LPCSTR displayName);
  BOOL(WINAPI* CloseServiceHandle)(SC_HANDLE handle);
  // Event source registration: the executable's resources and the registry.
  HRSRC(WINAPI* FindResourceA)(HMODULE module, LPCSTR name, LPCSTR type);
  LONG(WINAPI* RegCreateKeyExA)
  (HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
   REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
   LPDWORD disposition);
  LONG(WINAPI* RegSetValueExA)(HKEY key, LPCSTR valueName, DWORD reserved,
                                  DWORD type, const BYTE* data, DWORD size);
  LONG(WINAPI* RegDeleteKeyA)(HKEY key, LPCSTR subKey);
  LONG(WINAPI* RegCloseKey)(HKEY key);
  // The install's look at the executable's path.
  DWORD(WINAPI* ExpandEnvironmentStringsA)(LPCSTR source, LPSTR destination,
                                           DWORD size);
  // True under Wine, whose CreateServiceA converts only the first name of a
  // dependency list and stores the process heap that follows it as the rest.
  bool (*RunsOnWine)();
};

// The table in use; starts with the real functions.
TQZServiceApi& ServiceApi();
// The real functions, for restoring after a test.
const TQZServiceApi& RealServiceApi();

#endif  // QZ_SERVICE_PLATFORM_H
