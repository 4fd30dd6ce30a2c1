// Drives a log file from a process of its own:
//   log_probe append <file> <writer> <count> <limit> <kept>
//     writes <count> lines "writer <writer> line <n>" through TQZLogFile;
//   log_probe read <file>
//     opens the file as a reader that shares it with writers, as an
//     operator's viewer does, and prints "<n> lines".
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/log_file.h"
#include "foundation/win32.h"

namespace {

int Append(char** argv) {
  TQZLogFile log(argv[2], std::strtoull(argv[5], nullptr, 10),
                 static_cast<int32_t>(std::atoi(argv[6])));
  const int count = std::atoi(argv[4]);
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    if (!log.Print("writer %s line %06d", argv[3], i)) ++failed;
  }
  std::printf("%d failed\n", failed);
  return failed == 0 ? 0 : 1;
}

int Read(const char* path) {
  HANDLE file = INVALID_HANDLE_VALUE;
  // While a writer renames the file in a rotation, a reader that does not
  // share deletion is refused for a moment; viewers try again.
  for (int attempt = 0; attempt < 50 && file == INVALID_HANDLE_VALUE; ++attempt) {
    if (attempt > 0) Sleep(20);
    file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_SHARING_VIOLATION) break;
  }
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("open failed %lu\n", GetLastError());
    return 1;
  }
  char buffer[4096];
  DWORD count = 0;
  long lines = 0;
  while (ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) {
    for (DWORD i = 0; i < count; ++i) lines += buffer[i] == '\n';
  }
  CloseHandle(file);
  std::printf("%ld lines\n", lines);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::strcmp(argv[1], "append") == 0) return Append(argv);
  if (argc == 3 && std::strcmp(argv[1], "read") == 0) return Read(argv[2]);
  std::fputs("usage: log_probe append <file> <writer> <count> <limit> <kept> | read <file>\n",
             stderr);
  return 2;
}
