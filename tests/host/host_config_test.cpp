// The host's configuration checks as tables, and the .ini file read through
// the system's profile calls.
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/win32.h"
#include "host/host_config.h"
#include "host/wide_text.h"

namespace {

std::set<std::string>& ExistingFiles() {
  static std::set<std::string> files;
  return files;
}

TQZConfigContext Context() {
  TQZConfigContext context;
  context.HostFolder = "C:\\host\\";
  context.HostBaseName = "myapp";
  context.FileExists = [](const TQZString& path) {
    return ExistingFiles().count(path.Text()) != 0;
  };
  context.FolderExists = [](const TQZString& path) {
    const std::string p = path.Text();
    return p != "C:\\missing" && p != "C:\\missing\\";
  };
  return context;
}

using Sections = std::vector<TQZIniSection>;

// The smallest valid file: one program that exists, plus the extra entries
// given as "section", "key", "value" triples.
Sections With(std::initializer_list<std::vector<const char*>> extra) {
  Sections sections = {{"program", {{"executable", "app.exe"}}}};
  for (const std::vector<const char*>& e : extra) {
    TQZIniSection* section = nullptr;
    for (TQZIniSection& s : sections) {
      if (std::string(s.Name.Text()) == e[0]) section = &s;
    }
    if (section == nullptr) {
      sections.push_back({e[0], {}});
      section = &sections.back();
    }
    section->Entries.push_back({e[1], e[2]});
  }
  return sections;
}

class HostConfigTest : public testing::Test {
 protected:
  void SetUp() override {
    ExistingFiles() = {"C:\\host\\app.exe", "D:\\tools\\tool.exe"};
  }

  // The problem line, or "" when the configuration is accepted.
  std::string Check(const Sections& sections) {
    Config = TQZHostConfig();
    TQZConfigProblem problem;
    if (ParseHostConfig(sections, Context(), Config, problem)) return "";
    return DescribeProblem(problem).Text();
  }

  TQZHostConfig Config;
};

TEST_F(HostConfigTest, SmallestFileTakesTheDefaultsFromTheHostsNameAndFolder) {
  ASSERT_EQ("", Check(With({})));
  EXPECT_STREQ("myapp", Config.Name.Text());
  EXPECT_STREQ("myapp", Config.DisplayName.Text());
  EXPECT_STREQ("C:\\host\\app.exe", Config.Executable.Text());
  EXPECT_STREQ("C:\\host\\", Config.Folder.Text());
  EXPECT_STREQ("C:\\host\\myapp.log", Config.LogFile.Text());
  EXPECT_STREQ("\"C:\\host\\app.exe\"", ProgramCommandLine(Config).Text());
  EXPECT_EQ(2u, Config.StartType);
  EXPECT_FALSE(Config.DelayedStart);
  EXPECT_EQ(TQZRestartMode::OnFailure, Config.Restart.Mode);
  EXPECT_EQ(0, Config.RecoveryCount);
  EXPECT_FALSE(Config.RecoveryOnNonCrash);
}

TEST_F(HostConfigTest, EveryKeyIsReadIntoItsField) {
  ASSERT_EQ("", Check(With({{"service", "name", "Svc1"},
                            {"service", "display-name", "Service One"},
                            {"service", "description", "Runs the tool"},
                            {"service", "start-type", "delayed"},
                            {"service", "dependencies", "PlugPlay, +NetGroup ,"},
                            {"service", "preshutdown", "30"},
                            {"program", "arguments", "--port 80 \"a b\""},
                            {"program", "folder", "D:\\work"},
                            {"environment", "MODE", "fast = yes"},
                            {"restart", "policy", "always"},
                            {"restart", "delay-limit", "16"},
                            {"restart", "reset-after", "30"},
                            {"restart", "max-failures", "0"},
                            {"restart", "failure-window", "600"},
                            {"stop", "ctrl-break", "0"},
                            {"stop", "close", "7"},
                            {"stop", "terminate", "9"},
                            {"log", "file", "logs\\svc.log"},
                            {"log", "max-size", "64"},
                            {"log", "keep", "2"}})));
  EXPECT_STREQ("Svc1", Config.Name.Text());
  EXPECT_STREQ("Service One", Config.DisplayName.Text());
  EXPECT_STREQ("Runs the tool", Config.Description.Text());
  EXPECT_EQ(2u, Config.StartType);
  EXPECT_TRUE(Config.DelayedStart);
  ASSERT_EQ(2u, Config.Dependencies.size());
  EXPECT_STREQ("PlugPlay", Config.Dependencies[0].Name.Text());
  EXPECT_FALSE(Config.Dependencies[0].Group);
  EXPECT_STREQ("NetGroup", Config.Dependencies[1].Name.Text());
  EXPECT_TRUE(Config.Dependencies[1].Group);
  EXPECT_EQ(30000u, Config.PreshutdownMs);
  EXPECT_STREQ("\"C:\\host\\app.exe\" --port 80 \"a b\"", ProgramCommandLine(Config).Text());
  EXPECT_STREQ("D:\\work", Config.Folder.Text());
  ASSERT_EQ(1u, Config.Environment.size());
  EXPECT_STREQ("MODE=fast = yes", Config.Environment[0].Text());
  EXPECT_EQ(TQZRestartMode::Always, Config.Restart.Mode);
  EXPECT_EQ(16u, Config.Restart.DelayLimit);
  EXPECT_EQ(30u, Config.Restart.ResetAfter);
  EXPECT_EQ(0u, Config.Restart.MaxFailures);
  EXPECT_EQ(600u, Config.Restart.FailureWindow);
  EXPECT_EQ(0u, Config.Stop.CtrlBreak);
  EXPECT_EQ(7u, Config.Stop.Close);
  EXPECT_EQ(9u, Config.Stop.Terminate);
  EXPECT_STREQ("C:\\host\\logs\\svc.log", Config.LogFile.Text());
  EXPECT_EQ(64u, Config.LogMaxKiB);
  EXPECT_EQ(2, Config.LogKeep);
}

TEST_F(HostConfigTest, StartTypesMapToTheScmsValues) {
  const struct {
    const char* Text;
    uint32_t StartType;
    bool Delayed;
  } rows[] = {{"auto", 2, false}, {"demand", 3, false}, {"DELAYED", 2, true}, {"Demand", 3, false}};
  for (const auto& row : rows) {
    ASSERT_EQ("", Check(With({{"service", "start-type", row.Text}}))) << row.Text;
    EXPECT_EQ(row.StartType, Config.StartType) << row.Text;
    EXPECT_EQ(row.Delayed, Config.DelayedStart) << row.Text;
  }
}

TEST_F(HostConfigTest, SectionAndKeyNamesIgnoreLetterCase) {
  EXPECT_EQ("", Check({{"Program", {{"Executable", "app.exe"}}},
                       {"RESTART", {{"Policy", "Never"}}}}));
  EXPECT_EQ(TQZRestartMode::Never, Config.Restart.Mode);
}

TEST_F(HostConfigTest, EachProblemNamesTheSectionTheKeyAndWhatIsWrong) {
  const struct {
    Sections Input;
    const char* Problem;
  } rows[] = {
      {{}, "[program] executable: missing: the program to run"},
      {{{"program", {{"executable", ""}}}}, "[program] executable: empty"},
      {{{"program", {{"executable", "gone.exe"}}}},
       "[program] executable: file not found: C:\\host\\gone.exe"},
      {With({{"program", "folder", "C:\\missing"}}),
       "[program] folder: folder not found: C:\\missing"},
      {With({{"program", "colour", "blue"}}), "[program] colour: unknown key"},
      {With({{"service", "colour", "blue"}}), "[service] colour: unknown key"},
      {With({{"restart", "delay", "5"}}), "[restart] delay: unknown key"},
      {With({{"stop", "kill", "5"}}), "[stop] kill: unknown key"},
      {With({{"log", "level", "5"}}), "[log] level: unknown key"},
      {With({{"extra", "a", "b"}}), "[extra] unknown section"},
      {With({{"program", "executable", "app.exe"}}), "[program] executable: given twice"},
      {With({{"restart", "Policy", "never"}, {"restart", "policy", "always"}}),
       "[restart] policy: given twice"},
      {With({{"restart", "policy", "sometimes"}}),
       "[restart] policy: must be on-failure, always or never: 'sometimes'"},
      {With({{"service", "start-type", "boot"}}),
       "[service] start-type: must be auto, demand or delayed: 'boot'"},
      {With({{"service", "name", "a/b"}}),
       "[service] name: not a service name (1 to 256 characters, no / or \\): 'a/b'"},
      {With({{"service", "recovery-on-exit-code", "maybe"}}),
       "[service] recovery-on-exit-code: must be yes or no: 'maybe'"},
      {With({{"service", "dependencies", "Good, +"}}),
       "[service] dependencies: not a service or group name: '+'"},
      {With({{"environment", "", "x"}}), "[environment] no variable name before '='"},
      {With({{"log", "file", "C:\\missing\\a.log"}}), "[log] file: folder not found: C:\\missing\\"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.Problem, Check(row.Input));
}

TEST_F(HostConfigTest, NumbersAreDecimalWithinTheirRange) {
  const struct {
    const char* Section;
    const char* Key;
    const char* Value;
    const char* Range;  // null: accepted
  } rows[] = {
      {"restart", "max-failures", "", "0 to 1000"},
      {"restart", "max-failures", "-1", "0 to 1000"},
      {"restart", "max-failures", "1.5", "0 to 1000"},
      {"restart", "max-failures", "12x", "0 to 1000"},
      {"restart", "max-failures", "0x10", "0 to 1000"},
      {"restart", "max-failures", "1001", "0 to 1000"},
      {"restart", "max-failures", "99999999999", "0 to 1000"},
      {"restart", "max-failures", "1000", nullptr},
      {"restart", "max-failures", " 7 ", nullptr},
      {"restart", "delay-limit", "0", "1 to 86400"},
      {"restart", "reset-after", "86401", "1 to 86400"},
      {"restart", "failure-window", "0", "1 to 604800"},
      {"stop", "ctrl-break", "3601", "0 to 3600"},
      {"stop", "terminate", "0", "1 to 3600"},
      {"log", "max-size", "15", "16 to 4194304"},
      {"log", "keep", "0", "1 to 100"},
      {"service", "preshutdown", "3601", "0 to 3600"},
      {"service", "recovery-reset", "4294967295", "0 to 2147483647"},
  };
  for (const auto& row : rows) {
    const std::string expected =
        row.Range == nullptr ? std::string()
                             : std::string("[") + row.Section + "] " + row.Key +
                                   ": not a whole number from " + row.Range + ": '" + row.Value + "'";
    EXPECT_EQ(expected, Check(With({{row.Section, row.Key, row.Value}})))
        << row.Key << "=" << row.Value;
  }
}

TEST_F(HostConfigTest, RecoveryActionsTakeSecondsAndAskForTheFlag) {
  ASSERT_EQ("", Check(With({{"service", "recovery", "restart/5, run/60, none"},
                            {"service", "recovery-command", "C:\\page.exe"},
                            {"service", "recovery-reset", "86400"}})));
  ASSERT_EQ(3, Config.RecoveryCount);
  EXPECT_EQ(QZ_RECOVERY_RESTART, Config.Recovery[0].Type);
  EXPECT_EQ(5000u, Config.Recovery[0].DelayMs);
  EXPECT_EQ(QZ_RECOVERY_RUN_COMMAND, Config.Recovery[1].Type);
  EXPECT_EQ(60000u, Config.Recovery[1].DelayMs);
  EXPECT_EQ(QZ_RECOVERY_NONE, Config.Recovery[2].Type);
  EXPECT_EQ(86400u, Config.RecoveryResetSeconds);
  // The host ends a failed service with an exit code, which the SCM
  // answers with the actions only when the flag is set.
  EXPECT_TRUE(Config.RecoveryOnNonCrash);

  ASSERT_EQ("", Check(With({{"service", "recovery", "restart/1"},
                            {"service", "recovery-on-exit-code", "no"}})));
  EXPECT_FALSE(Config.RecoveryOnNonCrash);

  const struct {
    const char* Value;
    const char* Problem;
  } rows[] = {
      {"restart/1, restart/2, restart/3, none", "[service] recovery: at most three actions"},
      {"reboot/5", "[service] recovery: an action is none, restart/<s> or run/<s>: 'reboot/5'"},
      {"restart", "[service] recovery: no delay after 'restart' (restart/<s>)"},
      {"restart/soon", "[service] recovery: not a whole number from 0 to 86400: 'soon'"},
      {"run/5", "[service] recovery: a run action needs recovery-command"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.Problem, Check(With({{"service", "recovery", row.Value}}))) << row.Value;
  }
}

TEST_F(HostConfigTest, AWrongKeyLeavesTheServiceNameReadable) {
  EXPECT_NE("", Check(With({{"service", "name", "Svc1"}, {"restart", "policy", "x"}})));
  EXPECT_STREQ("Svc1", Config.Name.Text());
  EXPECT_NE("", Check(With({{"service", "name", "bad\\name"}})));
  EXPECT_STREQ("myapp", Config.Name.Text());
}

TEST_F(HostConfigTest, PathsAreRelativeToTheHostsFolderUnlessAbsolute) {
  const struct {
    const char* Path;
    const char* Resolved;
  } rows[] = {{"app.exe", "C:\\host\\app.exe"},
              {"bin\\app.exe", "C:\\host\\bin\\app.exe"},
              {"D:\\tools\\tool.exe", "D:\\tools\\tool.exe"},
              {"\\\\server\\share\\a.exe", "\\\\server\\share\\a.exe"},
              {"\\root.exe", "\\root.exe"}};
  for (const auto& row : rows) EXPECT_STREQ(row.Resolved, ResolvePath("C:\\host\\", row.Path).Text());
}

TEST_F(HostConfigTest, DescriptionShowsDependenciesAndRecoveryWhenSet) {
  ASSERT_EQ("", Check(With({{"service", "dependencies", "PlugPlay, +Net"},
                            {"service", "recovery", "restart/5, none"},
                            {"service", "recovery-reset", "600"}})));
  const std::string text = DescribeConfig(Config).Text();
  EXPECT_NE(std::string::npos, text.find("  dependencies: PlugPlay +Net\n"));
  EXPECT_NE(std::string::npos,
            text.find("  recovery: restart/5 none/0, reset after 600 s, also after an exit code\n"));
}

TEST_F(HostConfigTest, DescriptionShowsWhatWouldRun) {
  ASSERT_EQ("", Check(With({{"service", "name", "Svc1"},
                            {"service", "start-type", "demand"},
                            {"program", "arguments", "-v"},
                            {"environment", "A", "1"},
                            {"restart", "max-failures", "3"}})));
  EXPECT_STREQ(
      "  service: Svc1 (Svc1), start demand\n"
      "  run: \"C:\\host\\app.exe\" -v\n"
      "  folder: C:\\host\\\n"
      "  environment: A=1\n"
      "  restart: on-failure, delay 1 s doubling to 60 s, reset after a run of 60 s, "
      "give up after 3 failures in 300 s\n"
      "  stop: Ctrl+Break 10 s, close windows 5 s, end 5 s\n"
      "  log: C:\\host\\myapp.log, 10240 KiB, 5 kept\n",
      DescribeConfig(Config).Text());
}

// The real profile calls on a file in a scratch folder.
class HostConfigFileTest : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    Folder = Utf8FromWide(std::wstring(temp) + L"qzhost-config-test\\");
    CreateDirectoryW(WideFromUtf8(Folder).c_str(), nullptr);
    Write("app.exe", "");
  }
  void TearDown() override {
    for (const char* name : {"app.exe", "myapp.ini"}) {
      DeleteFileW(WideFromUtf8(Folder + name).c_str());
    }
    RemoveDirectoryW(WideFromUtf8(Folder).c_str());
  }

  void Write(const char* name, const std::string& bytes) {
    FILE* file = _wfopen(WideFromUtf8(Folder + name).c_str(), L"wb");
    ASSERT_NE(nullptr, file);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }

  bool Read(TQZHostConfig& config, TQZConfigProblem& problem) {
    TQZConfigContext context;
    context.HostFolder = Folder;
    context.HostBaseName = "myapp";
    context.FileExists = [](const TQZString& path) {
      return GetFileAttributesW(WideFromUtf8(path).c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    return ReadHostConfig(Folder + "myapp.ini", context, config, problem);
  }

  TQZString Folder;
};

TEST_F(HostConfigFileTest, ValuesKeepTheirQuotesAndCommentsAreSkipped) {
  Write("myapp.ini",
        "; a comment\r\n"
        "[service]\r\n"
        "name = Svc1\r\n"
        "# another comment\r\n"
        "display-name = \"Quoted display\"\r\n"
        "\r\n"
        "[program]\r\n"
        "  executable   =   app.exe  \r\n"
        "arguments = \"C:\\a b\\in.txt\" --mode=x\r\n"
        "[environment]\r\n"
        "PATH_EXTRA = C:\\x;C:\\y\r\n");
  TQZHostConfig config;
  TQZConfigProblem problem;
  ASSERT_TRUE(Read(config, problem)) << DescribeProblem(problem).Text();
  EXPECT_STREQ("Svc1", config.Name.Text());
  EXPECT_STREQ("\"Quoted display\"", config.DisplayName.Text());
  EXPECT_STREQ((Folder + "app.exe").Text(), config.Executable.Text());
  EXPECT_STREQ("\"C:\\a b\\in.txt\" --mode=x", config.Arguments.Text());
  ASSERT_EQ(1u, config.Environment.size());
  EXPECT_STREQ("PATH_EXTRA=C:\\x;C:\\y", config.Environment[0].Text());
  EXPECT_STREQ((Folder + "myapp.ini").Text(), config.FileName.Text());
}

TEST_F(HostConfigFileTest, UnicodeFileWithAMarkIsReadAsUnicode) {
  // UTF-16 with its byte order mark, whatever the code page.
  const std::wstring text = L"\xFEFF[service]\r\ndisplay-name = \x00DC" L"berwachung \x76E3\x8996\r\n"
                            L"[program]\r\nexecutable = app.exe\r\n";
  Write("myapp.ini", std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2));
  TQZHostConfig config;
  TQZConfigProblem problem;
  ASSERT_TRUE(Read(config, problem)) << DescribeProblem(problem).Text();
  EXPECT_STREQ("\xC3\x9C" "berwachung \xE7\x9B\xA3\xE8\xA6\x96", config.DisplayName.Text());
}

TEST_F(HostConfigFileTest, ALineWithoutEqualsSignIsAProblem) {
  Write("myapp.ini", "[program]\r\nexecutable = app.exe\r\njust words\r\n");
  TQZHostConfig config;
  TQZConfigProblem problem;
  EXPECT_FALSE(Read(config, problem));
  EXPECT_STREQ("[program] just words: not a key = value line", DescribeProblem(problem).Text());
}

TEST_F(HostConfigFileTest, AMissingFileIsNamedWithTheSystemsReason) {
  TQZHostConfig config;
  TQZConfigProblem problem;
  EXPECT_FALSE(Read(config, problem));
  EXPECT_EQ("", std::string(problem.Section.Text()));
  EXPECT_EQ(0, std::string(problem.Text.Text()).find("cannot read the file: "));
  EXPECT_STREQ("myapp", config.Name.Text());
}

}  // namespace
