// Example service: under the service control manager it appends a numbered
// line to a tick file every 200 ms and writes none while paused. Started with
// "refuse" it refuses to start, with "slow" it takes 3 s to start and with
// "slowstop" 3 s to stop, reporting its progress meanwhile; with "slowhooks"
// its pause and continue take 2 s each (progress every 0.5 s) and each user
// control 300 ms, and with "endonpause" as well its work ends by itself as
// soon as a pause begins. Every hook notes its entry and exit in a hook file.
// "-debug" runs the same service in the console: P pauses, C continues and
// Ctrl+C stops it, and each change of state is printed. It has -status, and
// takes user-defined controls (-control 128 to 255), which it notes in a
// control file with the thread that received them. At system shutdown it
// writes a "shutdown" line; "-install ACCOUNT [-]" runs it as ACCOUNT, with
// the password read from standard input after "-". Its log file ticker.log
// (16 KiB, two old files kept) receives its own lines, the framework's
// error records, the commands' result lines and, under the SCM, whatever it
// prints: each tick, and with "chatty" a long line more per tick.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <string>

#include "foundation/process_info.h"
#include "foundation/sync.h"
#include "service/svc_app.h"
#include "ticker_service_info.h"

static TQZString TickFile;
static TQZString ControlFile;
static TQZString HookFile;
static DWORD MainThread = 0;  // the SCM's dispatcher runs on it
static std::atomic<DWORD> WorkThread{0};
static std::atomic<bool> Paused{false};
static TQZSvcApp* App = nullptr;
static bool SlowStop = false;
static bool Chatty = false;
static std::atomic<unsigned> Ticks{0};
// Under the SCM what it prints goes to the log file; the console run's
// console shows only the state lines.
static bool AsService = false;
static bool SlowHooks = false;
static bool EndOnPause = false;
static std::atomic<bool> EndWork{false};

static void NoteHook(const char* what, const char* hook) {
  if (FILE* file = std::fopen(HookFile.Text(), "a")) {
    std::fprintf(file, "%s %s\n", what, hook);
    std::fclose(file);
  }
}

// Notes a hook's entry and, when it goes out of scope, its exit.
class HookNote {
 public:
  explicit HookNote(const char* hook) : Hook(hook) { NoteHook("enter", Hook); }
  ~HookNote() { NoteHook("leave", Hook); }
  HookNote(const HookNote&) = delete;
  HookNote& operator=(const HookNote&) = delete;

 private:
  const char* Hook;
};

static void Tick(void*, TQZSvcObj* service) {
  WorkThread = GetCurrentThreadId();
  TQZEvent& stop = *service->StopEvent;
  // StopRequested is set before StopEvent is signalled: a stop ends the loop.
  for (unsigned n = 1; !service->StopRequested && !EndWork;) {
    if (FILE* file = Paused ? nullptr : std::fopen(TickFile.Text(), "a")) {
      std::fprintf(file, "tick %u\n", n);
      std::fclose(file);
      if (AsService) {
        // Under the SCM standard output goes to the log file.
        std::printf("tick %u\n", n);
        if (Chatty) std::printf("chatty tick %u %s\n", n, std::string(400, '.').c_str());
        // Into a pipe the C runtime buffers whole kilobytes.
        std::fflush(stdout);
      }
      Ticks = n++;
    }
    // A time-out goes round again; an event that was never created cannot be
    // waited on, and the loop would spin.
    if (!stop.WaitFor(200) && stop.Handle == nullptr) return;
  }
}

// Steps of half a second, each announced to the SCM with a 1 s hint: six
// by default.
static void SlowWork(int steps = 6) {
  for (int step = 0; step < steps; ++step) {
    App->Service->ReportProgress(1000);
    Sleep(500);
  }
}

static bool HasMode(TQZStringList* arguments, const char* mode) {
  for (int32_t i = 1; i < arguments->Count(); ++i) {
    if (SameStrings(arguments->GetString(i), mode, false)) return true;
  }
  return false;
}

static bool Start(TQZStringList* arguments, bool asService) {
  // The service name, then the parameters: those of -start under the SCM,
  // those after the switch in the console run.
  AsService = asService;
  SlowStop = HasMode(arguments, "slowstop");
  SlowHooks = HasMode(arguments, "slowhooks");
  EndOnPause = HasMode(arguments, "endonpause");
  Chatty = HasMode(arguments, "chatty");
  const TQZString mode = arguments->Count() > 1 ? arguments->GetString(1) : "";
  App->Log("starting, mode <%s>", mode.Text());
  if (asService) std::cerr << "standard error: starting" << std::endl;
  if (HasMode(arguments, "refuse")) {
    App->Service->ServiceExitCode = 3;  // the SCM shows 1066 with this code
    return false;
  }
  if (HasMode(arguments, "slow")) SlowWork();
  return true;
}

static bool InShutdown = false;  // the shutdown hook's own stop is not a hook of its own

static void Stop(bool asService) {
  if (!InShutdown) NoteHook("enter", "stop");
  if (asService && SlowStop) SlowWork();
  if (asService) {
    std::cerr << "standard error: stopping after " << Ticks << " ticks" << std::endl;
    // Without its line end: the log still gets it, at the stop.
    std::printf("last words");
  }
  if (!InShutdown) NoteHook("leave", "stop");
}

static void Pause(void*, TQZSvcObj*, bool&) {
  HookNote note("pause");
  Paused = true;
  if (EndOnPause) EndWork = true;
  if (SlowHooks) SlowWork(4);
}

static void Continue(void*, TQZSvcObj*, bool&) {
  HookNote note("continue");
  Paused = false;
  if (SlowHooks) SlowWork(4);
}

static void NoteControl(uint32_t code) {
  HookNote note("control");
  if (SlowHooks) Sleep(300);
  const DWORD thread = GetCurrentThreadId();
  const char* name = thread == MainThread ? "dispatcher"
                     : thread == WorkThread ? "service main"
                                            : "control";
  if (FILE* file = std::fopen(ControlFile.Text(), "a")) {
    std::fprintf(file, "control %u on the %s thread\n", static_cast<unsigned>(code), name);
    std::fclose(file);
  }
}

// Preshutdown or shutdown, whichever comes first, on the control thread.
static void Shutdown(void* app, TQZSvcObj* service) {
  HookNote note("shutdown");
  if (FILE* file = std::fopen(TickFile.Text(), "a")) {
    std::fputs("shutdown\n", file);
    std::fclose(file);
  }
  service->ReportProgress(2000);
  InShutdown = true;
  TQZSvcApp::AppOnShutdown(app, service);  // the application's OnStop
  InShutdown = false;
}

static void CountTicks(int, int, char**) {
  int lines = 0;
  if (FILE* file = std::fopen(TickFile.Text(), "r")) {
    for (int c; (c = std::fgetc(file)) != EOF;) lines += c == '\n';
    std::fclose(file);
  }
  std::printf("%d ticks in %s\n", lines, TickFile.Text());
}

int main(int argc, char** argv) {
  // The SCM runs "ticker.exe /service ticks.log"; "-ticks [name]" counts a file.
  TickFile = ModulePath + (argc > 2 ? argv[2] : "ticks.log");
  ControlFile = ModulePath + "controls.log";
  HookFile = ModulePath + "hooks.log";
  MainThread = GetCurrentThreadId();
  // The names given to qzsvc_add_service; built with UTF-8 as its ANSI code
  // page, so the display name is UTF-8.
  TQZSvcApp app(ticker_service_info::ServiceName, ticker_service_info::DisplayName,
                ticker_service_info::Description);
  App = &app;
  app.ServiceParams = "ticks.log";
  app.ListSwitches = true;
  app.Switches->Add("-ticks", 9);
  app.SwitchDescriptions->Add(9, "print the number of ticks written");
  app.OnUser = &CountTicks;
  app.OnStart = &Start;  // false refuses: the run ends with 1066
  app.OnStop = &Stop;    // on the run's control thread, not the dispatcher
  app.StatusSwitch = true;          // -status
  app.ControlSwitch = true;         // -control <code>, 128 to 255 ...
  app.OnControl = &NoteControl;     // ... handled on the control thread
  app.InstallAccount = true;        // -install ACCOUNT [-]
  app.LogFileName = "ticker.log";   // beside ticker.exe
  app.LogFileMaxSize = 16 * 1024;
  app.LogFileKeep = 2;
  app.CaptureOutput = true;         // printf and std::cerr under the SCM
  app.ConsoleRunsService = true;    // -debug runs the ticks in the console
  app.Service->StartType = 3;  // SERVICE_DEMAND_START
  app.Service->PreshutdownTimeout = 10000;  // up to 10 s at system shutdown
  app.Service->OnShutdown.Function = &Shutdown;  // its user data stays the app
  app.Service->Dependencies->Add("PlugPlay");
  app.Service->OnExecute.Function = &Tick;
  app.Service->OnPause.Function = &Pause;
  app.Service->OnContinue.Function = &Continue;
  // 0 when the command succeeded, else the Win32 code of its failure line.
  return app.Main(argc, argv);
}
