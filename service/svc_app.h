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

  // Runs what the switch selects; returns CommandResult.
  int Main(int argc, char** argv);
  void ResetSwitches();
  void ShowHelp(const TQZString& switchText, bool unsupported);
  TQZString GetTitle();
  TQZString GetSwitchClause();
  TQZString GetServiceSwitch();
  // The console mode; with ConsoleRunsService the console run of the service.
  void RunConsole(int argc, char** argv);
  // The service's own run in the console: see ConsoleRunsService.
  void RunConsoleService(int argc, char** argv);
  void RunService();

  // Registers the executable. A file name the SCM could never start is
  // refused before it is asked: 123 for one with '?' in place of a character
  // or one that environment expansion changes, 206 for one longer than 259
  // UTF-16 characters (without quotes, switch and parameters).
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
  // mode (main thread) and in the console run of the service, true under the
  // service control manager. Under the SCM and in the console run an
  // exception that leaves a callback is caught; in the console mode nothing
  // is caught.
  //
  // OnStart's arguments differ in shape between the modes:
  // - console mode: the whole command line, the program's path first, then
  //   the switch ("-debug") and what follows it; main thread.
  // - under the SCM: the service name first, then the start parameters
  //   ("-start" parameters, or the registered ones); service main thread,
  //   before the running report.
  // - console run of the service (ConsoleRunsService): the SCM's shape, the
  //   service name first, then the parameters after the switch; on the run's
  //   own thread, before the running report.
  // False (or no callback) refuses the start: the run ends with exit code
  // 1066 and Service->ServiceExitCode.
  bool (*OnStart)(TQZStringList* arguments, bool asService) = nullptr;
  // OnStop: console mode after the wait or OnConsoleRun; under the SCM (and
  // in the console run of the service) on the stop and shutdown controls and
  // when the work ends by itself, on the run's control thread, after
  // Service->StopRequested is set, so it may wait for OnExecute to return; a
  // long stop calls Service->ReportProgress.
  void (*OnStop)(bool asService) = nullptr;
  // Console mode, main thread, in place of the wait for Ctrl+C; the mode
  // stops when it returns. Not called in the console run of the service.
  void (*OnConsoleRun)(TQZStringList* arguments) = nullptr;
  // A switch whose code is not 0 to 8, main thread, with the command line.
  void (*OnUser)(int switchCode, int argc, char** argv) = nullptr;
  // A user-defined control code (128 to 255) sent to the running service:
  // on the run's control thread, in order with the other controls. Without
  // it such codes are ignored.
  void (*OnControl)(uint32_t code) = nullptr;
  bool ListSwitches = false;
  // "-debug" (and a run without arguments) runs the service itself in the
  // console, as the SCM would: Service->Run on a thread of its own, so
  // OnStart, then OnExecute on that thread, and the controls through the
  // same sequence as under the SCM, on the run's control thread. Ctrl+C,
  // Ctrl+Break and closing the console stop it, and so does the end of a
  // redirected input; 'p' pauses and 'c' continues (either case). Each
  // change of state prints "state: <n> <NAME>", a run that fails also its
  // exit codes, and nothing is told to the SCM. Off: the console mode waits
  // for Ctrl+C or runs OnConsoleRun.
  bool ConsoleRunsService = false;
  // Turn on the -status and -control <code> switches (off: the switch table
  // and help are those of the built-in commands only).
  bool StatusSwitch = false;
  bool ControlSwitch = false;
  // Lets "-install" take the account to run as (CmdInstallAs); off, its
  // parameters are ignored.
  bool InstallAccount = false;
  TQZString ServiceParams;
  // The result of the command Main ran, as sc.exe gives it: 0 for success,
  // otherwise the Win32 error code of the failure line (87 for a switch
  // that is not in the table). 0 for help, the console and service modes;
  // OnUser may set it for a switch of its own. A program that wants its
  // exit status to say how the command went returns it from main.
  uint32_t CommandResult = 0;

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
  // The console run of the service is under way: the callbacks are told
  // asService false.
  std::atomic<bool> InConsoleRun{false};
};

#endif  // QZ_SERVICE_SVC_APP_H
