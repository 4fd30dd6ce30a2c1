// A console program for the host's tests: prints to standard output and
// error, exits with a chosen code after a chosen time, honours or ignores
// Ctrl+Break, and may start a child of its own.
//
//   hostprog [--out TEXT] [--err TEXT] [--env NAME] [--cwd] [--exit CODE]
//            [--after MS] [--break honour|ignore] [--window] [--child]
//
// --after 0 (the default) waits for ever. --out and --err print their text
// in UTF-8, --env prints NAME=value, --cwd the working folder in UTF-8. --window makes a hidden top-level window that ends
// the program (exit code 0) on WM_CLOSE; with --break ignore it ignores
// WM_CLOSE too. A child is started with
// --after 600000 --break ignore and prints "child <pid>".
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool IgnoreBreak = false;

std::string Utf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string result(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], size, nullptr, nullptr);
  return result;
}

// Argument i as UTF-8, from the wide command line, so that texts outside
// the ANSI code page come through.
std::string Utf8Argument(int i) {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  const std::string text = arguments != nullptr && i < count ? Utf8(arguments[i]) : "";
  LocalFree(arguments);
  return text;
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_BREAK_EVENT && event != CTRL_C_EVENT) return FALSE;
  if (IgnoreBreak) {
    std::printf("ignored ctrl-break\n");
    std::fflush(stdout);
    return TRUE;
  }
  std::printf("got ctrl-break, ending\n");
  std::fflush(stdout);
  ExitProcess(0);
}

bool StartChild() {
  wchar_t self[MAX_PATH];
  if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return false;
  std::wstring line = L"\"" + std::wstring(self) + L"\" --after 600000 --break ignore";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return false;
  }
  std::printf("child %lu\n", static_cast<unsigned long>(info.dwProcessId));
  std::fflush(stdout);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_CLOSE && IgnoreBreak) {
    std::printf("ignored close\n");
    std::fflush(stdout);
    return 0;
  }
  if (message == WM_CLOSE) {
    std::printf("got close, ending\n");
    std::fflush(stdout);
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, w, l);
}

// A top-level window that is never shown, as a program with a user
// interface would have.
bool MakeWindow() {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = &WindowProcedure;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"QzHostTestWindow";
  if (RegisterClassW(&windowClass) == 0) return false;
  return CreateWindowW(L"QzHostTestWindow", L"host test", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                       nullptr, nullptr, windowClass.hInstance, nullptr) != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  int exitCode = 0;
  DWORD after = 0;
  bool child = false;
  bool window = false;
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--out") == 0 && hasValue) {
      std::printf("%s\n", Utf8Argument(++i).c_str());
    } else if (std::strcmp(argv[i], "--err") == 0 && hasValue) {
      std::fprintf(stderr, "%s\n", Utf8Argument(++i).c_str());
    } else if (std::strcmp(argv[i], "--exit") == 0 && hasValue) {
      exitCode = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--after") == 0 && hasValue) {
      after = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
    } else if (std::strcmp(argv[i], "--break") == 0 && hasValue) {
      IgnoreBreak = std::strcmp(argv[++i], "ignore") == 0;
    } else if (std::strcmp(argv[i], "--child") == 0) {
      child = true;
    } else if (std::strcmp(argv[i], "--env") == 0 && hasValue) {
      const char* value = std::getenv(argv[++i]);
      std::printf("%s=%s\n", argv[i], value != nullptr ? value : "(unset)");
    } else if (std::strcmp(argv[i], "--cwd") == 0) {
      wchar_t folder[MAX_PATH] = L"";
      GetCurrentDirectoryW(MAX_PATH, folder);
      std::printf("cwd=%s\n", Utf8(folder).c_str());
    } else if (std::strcmp(argv[i], "--window") == 0) {
      window = true;
    }
  }
  std::fflush(stdout);
  std::fflush(stderr);
  SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
  if (child && !StartChild()) std::printf("no child: %lu\n", GetLastError());
  std::fflush(stdout);
  if (window && MakeWindow()) {
    if (after != 0) SetTimer(nullptr, 0, after, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      if (message.message == WM_TIMER) return exitCode;
      DispatchMessageW(&message);
    }
    return 0;
  }
  Sleep(after == 0 ? INFINITE : after);
  return exitCode;
}
