// Standard input replaced by a pipe for a test's scope; shared by the tests
// of the console mode and of the commands that read standard input.
#ifndef QZ_TESTS_SERVICE_SCOPED_STDIN_H
#define QZ_TESTS_SERVICE_SCOPED_STDIN_H

#include <string>

#include "foundation/win32.h"

// Standard input taken from a pipe for one test. The writing end stays open
// until End, so a read blocks until then.
class ScopedStdin {
 public:
  ScopedStdin(const ScopedStdin&) = delete;
  ScopedStdin& operator=(const ScopedStdin&) = delete;
  explicit ScopedStdin(const std::string& bytes, bool end = true) {
    Saved = GetStdHandle(STD_INPUT_HANDLE);
    CreatePipe(&Read, &Write, nullptr, 4096);
    SetStdHandle(STD_INPUT_HANDLE, Read);
    Send(bytes);
    if (end) End();
  }
  ~ScopedStdin() {
    End();
    SetStdHandle(STD_INPUT_HANDLE, Saved);
    CloseHandle(Read);
  }
  void Send(const std::string& bytes) {
    DWORD written = 0;
    if (!bytes.empty()) {
      WriteFile(Write, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                nullptr);
    }
  }
  void End() {
    if (Write != nullptr) CloseHandle(Write);
    Write = nullptr;
  }
  // What the code under test left unread; ends the input first.
  std::string Unread() {
    End();
    std::string rest;
    char buffer[256];
    DWORD read = 0;
    while (ReadFile(Read, buffer, sizeof buffer, &read, nullptr) && read > 0) {
      rest.append(buffer, read);
    }
    return rest;
  }

 private:
  HANDLE Saved = nullptr;
  HANDLE Read = nullptr;
  HANDLE Write = nullptr;
};

#endif  // QZ_TESTS_SERVICE_SCOPED_STDIN_H
