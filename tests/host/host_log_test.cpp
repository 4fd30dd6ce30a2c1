// The host's log lines in the log file: long formatted lines whole, and
// line breaks in a text split into stamped lines.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "foundation/win32.h"
#include "host/host_log.h"
#include "host/wide_text.h"

namespace {

class HostLogTest : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    File = Utf8FromWide(std::wstring(temp) + L"qzhost-log-test.log");
    DeleteFileW(WideFromUtf8(File).c_str());
    Log = new TQZLogFile(File);
    SetHostLog(Log, false);
  }
  void TearDown() override {
    SetHostLog(nullptr, false);
    delete Log;
    DeleteFileW(WideFromUtf8(File).c_str());
  }

  // The texts of the lines, without their stamps and line ends.
  std::string Texts() {
    std::string texts;
    FILE* file = _wfopen(WideFromUtf8(File).c_str(), L"rb");
    if (file == nullptr) return texts;
    char buffer[8192];
    while (std::fgets(buffer, sizeof(buffer), file) != nullptr) {
      std::string line = buffer;
      const size_t stamp = line.find("] ");
      if (stamp != std::string::npos) line = line.substr(stamp + 2);
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      texts += line + "|";
    }
    std::fclose(file);
    return texts;
  }

  TQZString File;
  TQZLogFile* Log = nullptr;
};

TEST_F(HostLogTest, AFormattedLineLongerThanTheFirstBufferIsWrittenWhole) {
  const std::string path(3000, 'p');
  HostLogFormat("program started, process id %u: \"%s\"", 42u, path.c_str());
  EXPECT_EQ("program started, process id 42: \"" + path + "\"|", Texts());
}

TEST_F(HostLogTest, LinesKeepTheirOrderAndBreaksBecomeLines) {
  HostLog("stdout: first");
  HostLogFormat("restarting in %u s", 2u);
  HostLog("two\nparts");
  EXPECT_EQ("stdout: first|restarting in 2 s|two|parts|", Texts());
}

}  // namespace
