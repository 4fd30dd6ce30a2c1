// SCM client of the benchmarks, with bare Win32 calls: installs and removes
// the services under test, and times their control round trips side by side.
//
//   qz_bench_scm install NAME COMMANDLINE
//   qz_bench_scm remove NAME
//   qz_bench_scm start NAME | stop NAME
//   qz_bench_scm roundtrip COUNT OURS THEIRS [LABEL]
//   qz_bench_scm sleep MILLISECONDS
//
// A round trip runs from the StartServiceA or ControlService call until
// QueryServiceStatus shows the target state. The two services take turns
// within each round, so that both see the same machine load; each row shows
// the two medians and the median of the per-round ratios. With a LABEL the
// rows are named after it and carry no target: a comparison that explains
// another rather than one with a goal of its own. "sleep" only keeps a Wine
// process alive: Wine's SCM ends its services a moment after the last
// ordinary process of the prefix has gone, even with a persistent server.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/win32.h"
#include "tests/e2e/scoped_service_handle.h"

namespace {

const DWORD StateTimeoutMs = 30000;

class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : Handle(handle) {}
  ~ScopedHandle() {
    if (Handle != nullptr) CloseHandle(Handle);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE Get() const { return Handle; }

 private:
  HANDLE Handle;
};

int Fail(const char* what, DWORD error) {
  std::fprintf(stderr, "qz_bench_scm: %s failed, error %lu\n", what,
               static_cast<unsigned long>(error));
  return 1;
}

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Polls until the service reports the wanted state; false on a time-out, a
// failed query, or a service that stopped on its way to another state.
bool WaitForState(SC_HANDLE service, DWORD wanted) {
  const DWORD started = GetTickCount();
  for (;;) {
    SERVICE_STATUS status;
    if (!QueryServiceStatus(service, &status)) return false;
    if (status.dwCurrentState == wanted) return true;
    if (status.dwCurrentState == SERVICE_STOPPED && wanted != SERVICE_STOPPED) return false;
    if (GetTickCount() - started > StateTimeoutMs) return false;
    Sleep(1);
  }
}

DWORD ProcessIdOf(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status;
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                            reinterpret_cast<BYTE*>(&status), sizeof status, &needed))
    return 0;
  return status.dwProcessId;
}

void EnsureStopped(SC_HANDLE service) {
  SERVICE_STATUS status;
  if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    WaitForState(service, SERVICE_STOPPED);
  }
}

int Install(const char* name, const char* commandLine) {
  ScopedServiceHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (scm.Get() == nullptr) return Fail("OpenSCManagerA", GetLastError());
  ScopedServiceHandle service(CreateServiceA(
      scm.Get(), name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
      SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, commandLine, nullptr, nullptr,
      nullptr, nullptr, nullptr));
  if (service.Get() == nullptr) return Fail("CreateServiceA", GetLastError());
  return 0;
}

// Stops the service if it runs, then deletes it; a service that does not
// exist counts as removed.
int Remove(const char* name) {
  ScopedServiceHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (scm.Get() == nullptr) return Fail("OpenSCManagerA", GetLastError());
  ScopedServiceHandle service(OpenServiceA(scm.Get(), name, SERVICE_ALL_ACCESS));
  if (service.Get() == nullptr) {
    const DWORD error = GetLastError();
    return error == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : Fail("OpenServiceA", error);
  }
  EnsureStopped(service.Get());
  if (!DeleteService(service.Get())) return Fail("DeleteService", GetLastError());
  return 0;
}

int StartOrStop(const char* name, bool start) {
  ScopedServiceHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (scm.Get() == nullptr) return Fail("OpenSCManagerA", GetLastError());
  ScopedServiceHandle service(OpenServiceA(scm.Get(), name, SERVICE_ALL_ACCESS));
  if (service.Get() == nullptr) return Fail("OpenServiceA", GetLastError());
  SERVICE_STATUS status;
  if (start) {
    if (!StartServiceA(service.Get(), 0, nullptr)) return Fail("StartServiceA", GetLastError());
    return WaitForState(service.Get(), SERVICE_RUNNING) ? 0 : Fail("waiting for running", 0);
  }
  if (!ControlService(service.Get(), SERVICE_CONTROL_STOP, &status))
    return Fail("ControlService", GetLastError());
  return WaitForState(service.Get(), SERVICE_STOPPED) ? 0 : Fail("waiting for stopped", 0);
}

const int TransitionCount = 4;
const char* const TransitionNames[TransitionCount] = {
    "start -> running", "pause -> paused", "continue -> running", "stop -> stopped"};

struct Timings {
  std::vector<double> Seconds[TransitionCount];
};

// One start, pause, continue and stop of the service, each timed. After the
// stop, waits (untimed) for the service's process to end, so that the next
// start begins from the same place. On a failure, names the step and its
// error in `failure`.
bool Cycle(SC_HANDLE service, Timings& timings, std::string& failure) {
  char text[96];
  double t = Now();
  if (!StartServiceA(service, 0, nullptr)) {
    std::snprintf(text, sizeof text, "StartServiceA, error %lu",
                  static_cast<unsigned long>(GetLastError()));
    failure = text;
    return false;
  }
  if (!WaitForState(service, SERVICE_RUNNING)) {
    failure = "waiting for running";
    return false;
  }
  timings.Seconds[0].push_back(Now() - t);
  ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, ProcessIdOf(service)));

  static const DWORD controls[3] = {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE,
                                    SERVICE_CONTROL_STOP};
  static const DWORD targets[3] = {SERVICE_PAUSED, SERVICE_RUNNING, SERVICE_STOPPED};
  for (int i = 0; i < 3; ++i) {
    SERVICE_STATUS status;
    t = Now();
    if (!ControlService(service, controls[i], &status)) {
      std::snprintf(text, sizeof text, "ControlService %lu, error %lu",
                    static_cast<unsigned long>(controls[i]),
                    static_cast<unsigned long>(GetLastError()));
      failure = text;
      return false;
    }
    if (!WaitForState(service, targets[i])) {
      std::snprintf(text, sizeof text, "waiting for state %lu",
                    static_cast<unsigned long>(targets[i]));
      failure = text;
      return false;
    }
    timings.Seconds[i + 1].push_back(Now() - t);
  }
  if (process.Get() != nullptr) WaitForSingleObject(process.Get(), StateTimeoutMs);
  return true;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string Milliseconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f ms", seconds * 1e3);
  return text;
}

int RoundTrips(int count, const char* ours, const char* theirs, const char* label) {
  ScopedServiceHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (scm.Get() == nullptr) return Fail("OpenSCManagerA", GetLastError());
  ScopedServiceHandle a(OpenServiceA(scm.Get(), ours, SERVICE_ALL_ACCESS));
  if (a.Get() == nullptr) return Fail("OpenServiceA (ours)", GetLastError());
  ScopedServiceHandle b(OpenServiceA(scm.Get(), theirs, SERVICE_ALL_ACCESS));
  if (b.Get() == nullptr) return Fail("OpenServiceA (theirs)", GetLastError());

  Timings oursTimings;
  Timings theirsTimings;
  int failures = 0;
  for (int i = 0; i < count;) {
    // Alternating which goes first keeps a warm-up or order effect off one side.
    const bool oursFirst = i % 2 == 0;
    SC_HANDLE first = oursFirst ? a.Get() : b.Get();
    SC_HANDLE second = oursFirst ? b.Get() : a.Get();
    Timings firstRound;
    Timings secondRound;
    std::string failure;
    if (!Cycle(first, firstRound, failure) || !Cycle(second, secondRound, failure)) {
      // Wine's SCM now and then loses a service that a start had just
      // brought up; the round is run again from a stopped state, and only
      // complete rounds count, so that the pairs stay pairs.
      std::fprintf(stderr, "qz_bench_scm: round %d: %s; running it again\n", i + 1,
                   failure.c_str());
      if (++failures > 5) return 1;
      EnsureStopped(a.Get());
      EnsureStopped(b.Get());
      Sleep(3000);
      continue;
    }
    Timings& oursRound = oursFirst ? firstRound : secondRound;
    Timings& theirsRound = oursFirst ? secondRound : firstRound;
    for (int k = 0; k < TransitionCount; ++k) {
      oursTimings.Seconds[k].push_back(oursRound.Seconds[k].front());
      theirsTimings.Seconds[k].push_back(theirsRound.Seconds[k].front());
    }
    ++i;
  }

  for (int k = 0; k < TransitionCount; ++k) {
    const std::vector<double>& ours = oursTimings.Seconds[k];
    const std::vector<double>& theirs = theirsTimings.Seconds[k];
    // The ratio is the median of the per-round ratios: the two runs of one
    // round share the machine's load of that moment, so the pairing takes
    // drifting load out of the comparison.
    std::vector<double> ratios;
    for (size_t r = 0; r < ours.size() && r < theirs.size(); ++r)
      if (theirs[r] > 0) ratios.push_back(ours[r] / theirs[r]);
    const double o = Median(ours);
    const double t = Median(theirs);
    const double ratio = Median(ratios);
    char row[96];
    std::snprintf(row, sizeof row, "%s %s / bare Win32 service",
                  label != nullptr ? label : "service", TransitionNames[k]);
    char ratioText[32];
    std::snprintf(ratioText, sizeof ratioText, "%.2f", ratio);
    const char* target = label != nullptr ? "report" : "<= 1.10";
    const char* result = label != nullptr ? "-" : ratio <= 1.10 ? "met" : "MISSED";
    std::printf("%-62s %11s %11s %7s %8s  %s\n", row, Milliseconds(o).c_str(),
                Milliseconds(t).c_str(), ratioText, target, result);
  }
  std::fflush(stdout);
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: qz_bench_scm install NAME COMMANDLINE | remove NAME | start NAME |\n"
               "       stop NAME | roundtrip COUNT OURS THEIRS [LABEL] | sleep MILLISECONDS\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  if (command == "install" && argc == 4) return Install(argv[2], argv[3]);
  if (command == "remove" && argc == 3) return Remove(argv[2]);
  if (command == "start" && argc == 3) return StartOrStop(argv[2], true);
  if (command == "stop" && argc == 3) return StartOrStop(argv[2], false);
  if (command == "roundtrip" && (argc == 5 || argc == 6)) {
    const int count = std::atoi(argv[2]);
    if (count < 1) return Usage();
    return RoundTrips(count, argv[3], argv[4], argc == 6 ? argv[5] : nullptr);
  }
  if (command == "sleep" && argc == 3) {
    Sleep(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
    return 0;
  }
  return Usage();
}
