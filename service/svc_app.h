// The application object: switch table, help, console mode and commands.
#ifndef QZ_SERVICE_SVC_APP_H
#define QZ_SERVICE_SVC_APP_H

#include <cstdint>

#include "foundation/lists.h"
#include "foundation/string.h"
#include "service/svc_obj.h"

class TQZSvcApp {
 public:
  TQZSvcApp(const TQZString& serviceName, const TQZString& displayName,
            const TQZString& description);
  virtual ~TQZSvcApp();
  TQZSvcApp(const TQZSvcApp&) = delete;
  TQZSvcApp& operator=(const TQZSvcApp&) = delete;

  void Main(int argc, char** argv);
  void ResetSwitches();
  void ShowHelp(const TQZString& switchText, bool unsupported);
  TQZString GetTitle();
  TQZString GetSwitchClause();
  TQZString GetServiceSwitch();
  void RunConsole(int argc, char** argv);
  void RunService();

  void CmdInstall();
  void CmdUninstall();
  void CmdStart(int argc, char** argv);
  void CmdStop();
  void CmdPause();
  void CmdContinue();
  void CmdUser(int code, int argc, char** argv);

  // Callbacks of the embedding program; asService is false in the console
  // mode and true under the service control manager.
  bool (*OnStart)(TQZStringList* arguments, bool asService) = nullptr;
  void (*OnStop)(bool asService) = nullptr;
  void (*OnConsoleRun)(TQZStringList* arguments) = nullptr;
  void (*OnUser)(int switchCode, int argc, char** argv) = nullptr;
  bool ListSwitches = false;
  TQZString ServiceParams;

  TQZSvcObj* Service;
  TQZStringList* StartArgs = nullptr;
  TQZStringList* Switches;
  TQZCodeList* SwitchDescriptions;

  // Adapters installed into the service object's hook slots.
  static bool AppOnInit(void* app, TQZSvcObj* object, TQZStringList* arguments,
                        TQZHandlerFunction* handler);
  static bool AppOnStart(void* app, TQZSvcObj* object, bool& ok);
  static void AppOnStop(void* app, TQZSvcObj* object, bool& ok);
  static void AppOnShutdown(void* app, TQZSvcObj* object);
  static void QZ_WINAPI AppCtrlHandler(unsigned long control);
};

#endif  // QZ_SERVICE_SVC_APP_H
