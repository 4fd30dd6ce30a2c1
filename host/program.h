// One run of the hosted program: its process in a job object that ends every
// process of it when the job closes, and the threads that stamp its standard
// output and error into the log.
#ifndef QZ_HOST_PROGRAM_H
#define QZ_HOST_PROGRAM_H

#include <cstdint>

#include "foundation/string.h"
#include "host/host_config.h"
#include "host/stop_steps.h"

class TQZHostProgram {
 public:
  TQZHostProgram();
  // Ends whatever of the job still runs.
  virtual ~TQZHostProgram();
  TQZHostProgram(const TQZHostProgram&) = delete;
  TQZHostProgram& operator=(const TQZHostProgram&) = delete;

  // Starts the program of config; false with the Win32 error of the step
  // that failed.
  bool Start(const TQZHostConfig& config, uint32_t& error);
  // True once the program's own process has ended, waiting at most ms.
  bool WaitForExit(uint32_t ms);
  // The process's exit code once it has ended.
  uint32_t ExitCode();
  // Ends every process still in the job (those the program started and
  // left behind), waits for the output threads to read the last lines,
  // and closes the handles.
  void Finish();

  // The stop steps' calls for this run.
  bool SendCtrlBreak(uint32_t& error);
  bool CloseWindows(uint32_t& windows);
  bool Terminate(uint32_t& error);

  uint32_t ProcessId = 0;
  // A handle to wait on (the process), null before Start succeeds.
  void* ProcessHandle = nullptr;

 private:
  void* Job = nullptr;
  void* OutputThreads[2] = {nullptr, nullptr};
};

// The program's standard output and error take one console for all runs:
// in the service mode the host has none, and Ctrl+Break reaches only
// processes that share the sender's console. Call once before Start.
void PrepareProgramConsole();

#endif  // QZ_HOST_PROGRAM_H
