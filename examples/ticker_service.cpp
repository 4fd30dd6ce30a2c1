// Example service: under the service control manager it appends a numbered
// line to a tick file every 200 ms and writes none while paused.
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "foundation/process_info.h"
#include "service/svc_app.h"

static TQZString TickFile;
static std::atomic<bool> Paused{false};

static void Tick(void*, TQZSvcObj* service) {
  // StopRequested is set before StopEvent is signalled: a stop ends the loop.
  for (unsigned n = 1; !service->StopRequested;) {
    if (FILE* file = Paused ? nullptr : std::fopen(TickFile.Text(), "a")) {
      std::fprintf(file, "tick %u\n", n++);
      std::fclose(file);
    }
    if (WaitForSingleObject(service->StopEvent->Handle, 200) == WAIT_FAILED) return;
  }
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
  TQZSvcApp app("QzTicker", "Ticker example", "Writes a tick line every 200 ms");
  app.ServiceParams = "ticks.log";
  app.ListSwitches = true;
  app.Switches->Add("-ticks", 9);
  app.SwitchDescriptions->Add(9, "print the number of ticks written");
  app.OnUser = &CountTicks;
  app.OnStart = [](TQZStringList*, bool) { return true; };  // false refuses
  app.Service->StartType = 3;  // SERVICE_DEMAND_START
  app.Service->Dependencies->Add("PlugPlay");
  app.Service->OnExecute.Function = &Tick;
  app.Service->OnPause.Function = [](void*, TQZSvcObj*, bool&) { Paused = true; };
  app.Service->OnContinue.Function = [](void*, TQZSvcObj*, bool&) { Paused = false; };
  app.Main(argc, argv);
}
