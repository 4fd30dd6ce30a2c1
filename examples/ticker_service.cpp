// Example service: under the service control manager it appends a numbered
// line to a tick file every 200 ms, and writes none while it is paused.
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "foundation/process_info.h"
#include "service/svc_app.h"

namespace {

TQZString TickFile;
std::atomic<bool> Paused{false};

bool StartTicker(TQZStringList*, bool) {
  // A tick file that cannot be written refuses the start.
  FILE* file = std::fopen(TickFile.Text(), "a");
  if (file) std::fclose(file);
  return file != nullptr;
}

void Tick(void*, TQZSvcObj* service) {
  unsigned count = 0;
  // The runtime sets StopRequested before it signals StopEvent, so a wake-up
  // by the stop always ends the loop.
  while (!service->StopRequested) {
    FILE* file = Paused ? nullptr : std::fopen(TickFile.Text(), "a");
    if (file) {
      std::fprintf(file, "tick %u\n", ++count);
      std::fclose(file);
    }
    // Returning without a stop makes the runtime shut the service down.
    if (WaitForSingleObject(service->StopEvent->Handle, 200) == WAIT_FAILED) return;
  }
}

void Pause(void*, TQZSvcObj*, bool&) { Paused = true; }
void Continue(void*, TQZSvcObj*, bool&) { Paused = false; }

void PrintTicks(int, int, char**) {
  int lines = 0;
  if (FILE* file = std::fopen(TickFile.Text(), "r")) {
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) lines += c == '\n';
    std::fclose(file);
  }
  std::printf("%d ticks in %s\n", lines, TickFile.Text());
}

}  // namespace

int main(int argc, char** argv) {
  // The file's name follows the switch: the SCM runs "ticker.exe /service
  // ticks.log", and "-ticks [name]" counts the lines of a tick file.
  TickFile = ModulePath + (argc > 2 ? argv[2] : "ticks.log");
  TQZSvcApp app("QzTicker", "Ticker example", "Writes a tick line every 200 ms");
  app.ServiceParams = "ticks.log";
  app.ListSwitches = true;
  app.Switches->Add("-ticks", 9);
  app.SwitchDescriptions->Add(9, "print the number of ticks written");
  app.OnUser = &PrintTicks;
  app.OnStart = &StartTicker;
  TQZSvcObj* service = app.Service;
  service->StartType = 3;  // SERVICE_DEMAND_START
  service->Dependencies->Add("PlugPlay");
  service->OnExecute.Function = &Tick;
  service->OnPause.Function = &Pause;
  service->OnContinue.Function = &Continue;
  app.Main(argc, argv);
  return 0;
}
