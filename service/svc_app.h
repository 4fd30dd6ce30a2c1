// The application object: switch table, help, console mode and commands.
#ifndef QZ_SERVICE_SVC_APP_H
#define QZ_SERVICE_SVC_APP_H

#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "foundation/lists.h"
#include "foundation/string.h"
#include "service/svc_obj.h"

// Switch codes of the commands a program turns on with StatusSwitch and
// ControlSwitch; a switch of the program's own should use another code.
enum : int32_t { QZ_SWITCH_STATUS = 100, QZ_SWITCH_CONTROL = 101 };

class TQZLogFile;
class TQZOutputCapture;

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
  // "-install ACCOUNT" with InstallAccount set: the service runs as ACCOUNT,
  // with no password; "-install ACCOUNT -" reads the password from the first
  // line of standard input. Any other parameters fail with 87, so that a
  // password is never taken from the command line.
  void CmdInstallAs(int argc, char** argv);
  void CmdUninstall();
  void CmdStart(int argc, char** argv);
  void CmdStop();
  void CmdPause();
  void CmdContinue();
  void CmdUser(int code, int argc, char** argv);
  // Prints the service's state, process id and exit codes.
  void CmdStatus();
  // Sends the user-defined control code in argv[2] (128 to 255).
  void CmdControl(int argc, char** argv);

  // Callbacks of the embedding program; asService is false in the console
  // mode (main thread) and true under the service control manager. Under the
  // SCM an exception that leaves a callback is caught; in the console mode
  // nothing is caught.
  //
  // OnStart: console mode with the whole command line, main thread; under the
  // SCM with the service name and the start parameters, service main thread,
  // before the running report. False (or no callback) refuses the start:
  // the run ends with exit code 1066 and Service->ServiceExitCode.
  bool (*OnStart)(TQZStringList* arguments, bool asService) = nullptr;
  // OnStop: console mode after the wait or OnConsoleRun; under the SCM on the
  // stop and shutdown controls, on the run's control thread; a long stop
  // calls Service->ReportProgress.
  void (*OnStop)(bool asService) = nullptr;
  // Console mode, main thread, in place of the wait for Ctrl+C; the mode
  // stops when it returns.
  void (*OnConsoleRun)(TQZStringList* arguments) = nullptr;
  // A switch whose code is not 0 to 8, main thread, with the command line.
  void (*OnUser)(int switchCode, int argc, char** argv) = nullptr;
  // A user-defined control code (128 to 255) sent to the running service:
  // on the run's control thread, in order with the other controls. Without
  // it such codes are ignored.
  void (*OnControl)(uint32_t code) = nullptr;
  bool ListSwitches = false;
  // Turn on the -status and -control <code> switches (off: the switch table
  // and help are those of the built-in commands only).
  bool StatusSwitch = false;
  bool ControlSwitch = false;
  // Lets "-install" take the account to run as (CmdInstallAs); off, its
  // parameters are ignored.
  bool InstallAccount = false;
  TQZString ServiceParams;

  // A log file of the program's own (TQZLogFile: stamped lines, rotated by
  // size); empty, the default: none. A relative name is taken from the
  // executable's folder. Set before Main. With it, the framework's error
  // records go to the file as well as to the event log, each command writes
  // its result line there too, and Log writes the program's own lines.
  TQZString LogFileName;
  uint64_t LogFileMaxSize = 10 * 1024 * 1024;
  int32_t LogFileKeep = 5;  // old files kept beside the current one
  // Under the SCM, with LogFileName set: standard output and error (the C
  // runtime's and the Win32 handles) go to the log file line by line from
  // the start of the run until just before its final report.
  bool CaptureOutput = false;

  // printf-style; one stamped line (or one per line break). False when no
  // log file is set or the line could not be written.
  bool Log(const char* format, ...) QZ_PRINTF_FORMAT(2, 3);
  bool LogV(const char* format, va_list args);
  // The log file, opened on first use; null when LogFileName is empty.
  TQZLogFile* LogFile();

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
  static void AppOnControl(void* app, TQZSvcObj* object, uint32_t code);
  // Ends the output capture before the final report.
  static void AppOnRunEnd(void* app, TQZSvcObj* object);

  static void QZ_WINAPI AppCtrlHandler(unsigned long control);

 private:
  // Adds the switches turned on by StatusSwitch and ControlSwitch that the
  // table does not hold yet.
  void AddOptionalSwitches();
  // Starts the output capture when it is asked for; under the SCM only.
  void StartCapture();
  void FinishCapture();

  std::atomic<TQZLogFile*> OpenedLog{nullptr};
  TQZOutputCapture* Capture = nullptr;
};

#endif  // QZ_SERVICE_SVC_APP_H
