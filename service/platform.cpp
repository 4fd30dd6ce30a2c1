// The table of Win32 calls the service layer makes.
#include "service/platform.h"

namespace {

// Wine's ntdll exports its version; Windows' does not.
bool DetectWine() {
  static const bool wine = [] {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

TQZServiceApi MakeRealApi() {
  TQZServiceApi api;
  api.StartServiceCtrlDispatcherA = ::StartServiceCtrlDispatcherA;
  api.RegisterServiceCtrlHandlerA = ::RegisterServiceCtrlHandlerA;
  api.SetServiceStatus = ::SetServiceStatus;
  api.CreateThread = ::CreateThread;
  api.RegisterEventSourceA = ::RegisterEventSourceA;
  api.ReportEventA = ::ReportEventA;
  api.DeregisterEventSource = ::DeregisterEventSource;
  api.OpenSCManagerA = ::OpenSCManagerA;
  api.OpenServiceA = ::OpenServiceA;
  api.CreateServiceA = ::CreateServiceA;
  api.StartServiceA = ::StartServiceA;
  api.ControlService = ::ControlService;
  api.DeleteService = ::DeleteService;
  api.QueryServiceStatus = ::QueryServiceStatus;
  api.QueryServiceStatusEx = ::QueryServiceStatusEx;
  api.ChangeServiceConfig2A = ::ChangeServiceConfig2A;
  api.ChangeServiceConfigA = ::ChangeServiceConfigA;
  api.CloseServiceHandle = ::CloseServiceHandle;
  api.FindResourceA = ::FindResourceA;
  api.RegCreateKeyExA = ::RegCreateKeyExA;
  api.RegSetValueExA = ::RegSetValueExA;
  api.RegDeleteKeyA = ::RegDeleteKeyA;
  api.RegCloseKey = ::RegCloseKey;
  api.ExpandEnvironmentStringsA = ::ExpandEnvironmentStringsA;
  api.RunsOnWine = &DetectWine;
  return api;
}

}  // namespace

const TQZServiceApi& RealServiceApi() {
  static const TQZServiceApi real = MakeRealApi();
  return real;
}

TQZServiceApi& ServiceApi() {
  static TQZServiceApi current = RealServiceApi();
  return current;
}
