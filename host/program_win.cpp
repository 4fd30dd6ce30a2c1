// The hosted program's process, its job object and its output threads.
#include <cstring>
#include <string>
#include <vector>

#include "foundation/scoped_handle.h"
#include "foundation/win32.h"
#include "host/host_log.h"
#include "host/program.h"
#include "host/wide_text.h"

namespace {

// Ends a process the host ended (a stop or leftovers of a finished run).
const UINT EndedByHost = 1;
// A line longer than this is written in parts.
const size_t LongestLine = 4000;
const DWORD OutputDrainMs = 5000;

void CloseField(void*& field) {
  HANDLE h = static_cast<HANDLE>(field);
  field = nullptr;
  if (h != nullptr) CloseHandle(h);
}

struct TQZOutputReader {
  HANDLE Pipe;
  const char* Prefix;
};

void WriteOutputLine(const char* prefix, const std::string& line) {
  size_t length = line.size();
  if (length > 0 && line[length - 1] == '\r') --length;
  HostLog(TQZString(prefix) + MakeString(line.data(), static_cast<int32_t>(length)));
}

// Stamps every line of one pipe into the log until all its writers have
// closed it: the program and every process that inherited it.
DWORD WINAPI ReadOutput(void* parameter) {
  TQZOutputReader reader = *static_cast<TQZOutputReader*>(parameter);
  delete static_cast<TQZOutputReader*>(parameter);
  std::string pending;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(reader.Pipe, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    for (DWORD i = 0; i < read; ++i) {
      if (buffer[i] == '\n') {
        WriteOutputLine(reader.Prefix, pending);
        pending.clear();
      } else {
        pending += buffer[i];
        if (pending.size() >= LongestLine) {
          WriteOutputLine(reader.Prefix, pending);
          pending.clear();
        }
      }
    }
  }
  if (!pending.empty()) WriteOutputLine(reader.Prefix, pending);
  CloseHandle(reader.Pipe);
  return 0;
}

// The host's own environment with the additions, each replacing a variable
// of the same name; empty when there are no additions.
std::vector<wchar_t> EnvironmentBlock(const std::vector<TQZString>& additions) {
  std::vector<wchar_t> block;
  if (additions.empty()) return block;
  std::vector<std::wstring> added;
  for (const TQZString& a : additions) added.push_back(WideFromUtf8(a));
  auto nameOf = [](const std::wstring& entry) {
    // A leading '=' belongs to the name (the drive variables "=C:").
    const size_t equals = entry.find(L'=', 1);
    return entry.substr(0, equals);
  };
  wchar_t* current = GetEnvironmentStringsW();
  for (const wchar_t* p = current; p != nullptr && *p != L'\0'; p += wcslen(p) + 1) {
    const std::wstring entry(p);
    bool replaced = false;
    for (const std::wstring& a : added) {
      replaced = replaced || CompareStringOrdinal(nameOf(entry).c_str(), -1, nameOf(a).c_str(), -1,
                                                  TRUE) == CSTR_EQUAL;
    }
    if (!replaced) block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
  }
  if (current != nullptr) FreeEnvironmentStringsW(current);
  for (const std::wstring& a : added) block.insert(block.end(), a.c_str(), a.c_str() + a.size() + 1);
  block.push_back(L'\0');
  return block;
}

bool StartReader(HANDLE pipe, const char* prefix, void*& thread) {
  TQZOutputReader* reader = new TQZOutputReader{pipe, prefix};
  thread = CreateThread(nullptr, 0, &ReadOutput, reader, 0, nullptr);
  if (thread == nullptr) {
    delete reader;
    CloseHandle(pipe);
    return false;
  }
  return true;
}

struct TQZWindowSearch {
  std::vector<DWORD> Processes;
  uint32_t Posted = 0;
};

BOOL CALLBACK CloseWindowOf(HWND window, LPARAM parameter) {
  TQZWindowSearch* search = reinterpret_cast<TQZWindowSearch*>(parameter);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  for (DWORD p : search->Processes) {
    if (p == process && GetWindow(window, GW_OWNER) == nullptr) {
      if (PostMessageW(window, WM_CLOSE, 0, 0)) ++search->Posted;
      break;
    }
  }
  return TRUE;
}

BOOL WINAPI IgnoreConsoleEvent(DWORD) { return TRUE; }

}  // namespace

TQZHostProgram::TQZHostProgram() = default;

TQZHostProgram::~TQZHostProgram() { Finish(); }

bool TQZHostProgram::Start(const TQZHostConfig& config, uint32_t& error) {
  error = 0;
  TQZScopedHandle job(CreateJobObjectW(nullptr, nullptr));
  if (job.Get() == nullptr) {
    error = GetLastError();
    return false;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof(limits))) {
    error = GetLastError();
    return false;
  }

  // Only the ends handed to the program are inheritable.
  SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
  if (!CreatePipe(&outRead, &outWrite, &inherit, 0)) {
    error = GetLastError();
    return false;
  }
  TQZScopedHandle outReadEnd(outRead), outWriteEnd(outWrite);
  if (!CreatePipe(&errRead, &errWrite, &inherit, 0)) {
    error = GetLastError();
    return false;
  }
  TQZScopedHandle errReadEnd(errRead), errWriteEnd(errWrite);
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  TQZScopedHandle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherit, OPEN_EXISTING, 0, nullptr));

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.Get() == INVALID_HANDLE_VALUE ? nullptr : input.Get();
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;

  const std::wstring application = WideFromUtf8(config.Executable);
  std::wstring commandLine = WideFromUtf8(ProgramCommandLine(config));
  const std::wstring folder = WideFromUtf8(config.Folder);
  std::vector<wchar_t> environment = EnvironmentBlock(config.Environment);
  PROCESS_INFORMATION info = {};
  // Suspended until it is in the job, so that nothing it starts escapes it.
  if (!CreateProcessW(application.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                      CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT,
                      environment.empty() ? nullptr : environment.data(),
                      folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
    error = GetLastError();
    return false;
  }
  TQZScopedHandle process(info.hProcess), thread(info.hThread);
  if (!AssignProcessToJobObject(job.Get(), info.hProcess)) {
    error = GetLastError();
    TerminateProcess(info.hProcess, EndedByHost);
    return false;
  }
  // The program holds its own copies of the write ends now; with ours
  // closed, the readers see the end of the output when the program's
  // processes have all ended.
  outWriteEnd.Reset();
  errWriteEnd.Reset();
  Job = job.Release();
  ProcessHandle = process.Release();
  ProcessId = info.dwProcessId;
  StartReader(outReadEnd.Release(), "stdout: ", OutputThreads[0]);
  StartReader(errReadEnd.Release(), "stderr: ", OutputThreads[1]);
  ResumeThread(thread.Get());
  return true;
}

bool TQZHostProgram::WaitForExit(uint32_t ms) {
  return ProcessHandle == nullptr || WaitForSingleObject(ProcessHandle, ms) == WAIT_OBJECT_0;
}

uint32_t TQZHostProgram::ExitCode() {
  DWORD code = 0;
  if (ProcessHandle == nullptr || !GetExitCodeProcess(ProcessHandle, &code)) return 0;
  return code;
}

void TQZHostProgram::Finish() {
  if (Job != nullptr) TerminateJobObject(Job, EndedByHost);
  for (void*& thread : OutputThreads) {
    if (thread == nullptr) continue;
    // A process outside the job that inherited the pipe would keep it open;
    // the read is then cancelled rather than waited for.
    if (WaitForSingleObject(thread, OutputDrainMs) != WAIT_OBJECT_0) {
      CancelSynchronousIo(thread);
      WaitForSingleObject(thread, 1000);
    }
    CloseField(thread);
  }
  CloseField(Job);
  CloseField(ProcessHandle);
}

bool TQZHostProgram::SendCtrlBreak(uint32_t& error) {
  if (GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, ProcessId)) return true;
  error = GetLastError();
  return false;
}

bool TQZHostProgram::CloseWindows(uint32_t& windows) {
  TQZWindowSearch search;
  // Up to 1024 processes of the job; the program's own when the list
  // cannot be read.
  std::vector<unsigned char> buffer(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) +
                                    1024 * sizeof(ULONG_PTR));
  JOBOBJECT_BASIC_PROCESS_ID_LIST* list =
      reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer.data());
  if (Job != nullptr && QueryInformationJobObject(Job, JobObjectBasicProcessIdList, list,
                                                  static_cast<DWORD>(buffer.size()), nullptr)) {
    for (DWORD i = 0; i < list->NumberOfProcessIdsInList; ++i) {
      search.Processes.push_back(static_cast<DWORD>(list->ProcessIdList[i]));
    }
  }
  if (search.Processes.empty()) search.Processes.push_back(ProcessId);
  EnumWindows(&CloseWindowOf, reinterpret_cast<LPARAM>(&search));
  windows = search.Posted;
  return windows > 0;
}

bool TQZHostProgram::Terminate(uint32_t& error) {
  if (Job != nullptr && TerminateJobObject(Job, EndedByHost)) return true;
  if (Job == nullptr) {
    error = ERROR_INVALID_HANDLE;
    return false;
  }
  error = GetLastError();
  // A process that ended on its own meanwhile makes nothing to end.
  return WaitForExit(0);
}

void PrepareProgramConsole() {
  if (GetConsoleWindow() != nullptr) return;
  if (!AllocConsole()) return;
  if (HWND window = GetConsoleWindow()) ShowWindow(window, SW_HIDE);
  // The console exists only to carry Ctrl+Break to the program; the host
  // itself ends only through the SCM.
  SetConsoleCtrlHandler(&IgnoreConsoleEvent, TRUE);
}
