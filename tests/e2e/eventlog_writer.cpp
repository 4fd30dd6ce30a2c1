// Writes event log records through TQZEventLog for the whole-program tests.
//   eventlog_writer SOURCE MESSAGE...   one error record per message
//   eventlog_writer -code SOURCE CODE   one error record holding the system's
//                                       text for CODE, which is also printed
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/string.h"
#include "service/event_log.h"

namespace {

const uint16_t ErrorType = 1;

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "-code") == 0) {
    TQZString text = SystemErrorText(
        static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)));
    std::printf("%s\n", text.Text());
    std::fflush(stdout);
    TQZEventLog log(argv[2]);
    log.Report(text, ErrorType, 0, 0, TQZString());
    return 0;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: eventlog_writer SOURCE MESSAGE...\n");
    return 2;
  }
  TQZEventLog log(argv[1]);
  for (int i = 2; i < argc; ++i) log.Report(argv[i], ErrorType, 0, 0, TQZString());
  return 0;
}
