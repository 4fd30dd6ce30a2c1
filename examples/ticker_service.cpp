// Example service: under the service control manager it appends a numbered
// line to a tick file every 200 ms and writes none while paused. Started with
// "refuse" it refuses to start, with "slow" it takes 3 s to start and with
// "slowstop" 3 s to stop, reporting its progress meanwhile. It has -status,
// and takes user-defined controls (-control 128 to 255), which it notes in a
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
#include "service/svc_app.h"

static TQZString TickFile;
static TQZString ControlFile;
static DWORD MainThread = 0;  // the SCM's dispatcher runs on it
static std::atomic<DWORD> WorkThread{0};
static std::atomic<bool> Paused{false};
static TQZSvcApp* App = nullptr;
static bool SlowStop = false;
static bool Chatty = false;
static std::atomic<unsigned> Ticks{0};

static void Tick(void*, TQZSvcObj* service) {
  WorkThread = GetCurrentThreadId();
  // StopRequested is set before StopEvent is signalled: a stop ends the loop.
  for (unsigned n = 1; !service->StopRequested;) {
    if (FILE* file = Paused ? nullptr : std::fopen(TickFile.Text(), "a")) {
      std::fprintf(file, "tick %u\n", n);
      std::fclose(file);
      // Under the SCM standard output goes to the log file.
      std::printf("tick %u\n", n);
      if (Chatty) std::printf("chatty tick %u %s\n", n, std::string(400, '.').c_str());
      // Into a pipe the C runtime buffers whole kilobytes.
      std::fflush(stdout);
      Ticks = n++;
    }
    if (WaitForSingleObject(service->StopEvent->Handle, 200) == WAIT_FAILED) return;
  }
}

// Six steps of half a second, each announced to the SCM with a 1 s hint.
static void SlowWork() {
  for (int step = 0; step < 6; ++step) {
    App->Service->ReportProgress(1000);
    Sleep(500);
  }
}

static bool Start(TQZStringList* arguments, bool asService) {
  // Under the SCM: the service name, then the -start parameters.
  const TQZString mode = asService && arguments->Count() > 1 ? arguments->GetString(1) : "";
  SlowStop = SameStrings(mode, "slowstop", false);
  Chatty = SameStrings(mode, "chatty", false);
  App->Log("starting, mode <%s>", mode.Text());
  if (asService) std::cerr << "standard error: starting" << std::endl;
  if (SameStrings(mode, "refuse", false)) {
    App->Service->ServiceExitCode = 3;  // the SCM shows 1066 with this code
    return false;
  }
  if (SameStrings(mode, "slow", false)) SlowWork();
  return true;
}

static void Stop(bool asService) {
  if (!asService) return;
  if (SlowStop) SlowWork();
  std::cerr << "standard error: stopping after " << Ticks << " ticks" << std::endl;
  // Without its line end: the log still gets it, at the stop.
  std::printf("last words");
}

static void NoteControl(uint32_t code) {
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
  if (FILE* file = std::fopen(TickFile.Text(), "a")) {
    std::fputs("shutdown\n", file);
    std::fclose(file);
  }
  service->ReportProgress(2000);
  TQZSvcApp::AppOnShutdown(app, service);  // the application's OnStop
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
  MainThread = GetCurrentThreadId();
  // Built with UTF-8 as its ANSI code page, so the display name is UTF-8.
  TQZSvcApp app("QzTicker", "Ticker example (\u00DCberwachung \u76E3\u8996)",
                "Writes a tick line every 200 ms");
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
  app.Service->StartType = 3;  // SERVICE_DEMAND_START
  app.Service->PreshutdownTimeout = 10000;  // up to 10 s at system shutdown
  app.Service->OnShutdown.Function = &Shutdown;  // its user data stays the app
  app.Service->Dependencies->Add("PlugPlay");
  app.Service->OnExecute.Function = &Tick;
  app.Service->OnPause.Function = [](void*, TQZSvcObj*, bool&) { Paused = true; };
  app.Service->OnContinue.Function = [](void*, TQZSvcObj*, bool&) { Paused = false; };
  app.Main(argc, argv);
}
