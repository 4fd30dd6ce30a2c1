// Tests of the process information and the path helpers.
#include "foundation/process_info.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/process_info_testing.h"

#ifdef _WIN32
#include "foundation/win32.h"
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include "foundation/string_testing.h"
#endif

namespace {

std::string Str(const TQZString& s) {
  return std::string(s.Text(), static_cast<size_t>(s.Length()));
}

TQZString Bytes(const char* data, size_t length) {
  return MakeString(data, static_cast<int32_t>(length));
}

#ifdef _WIN32
const char kSeparator = '\\';
#else
const char kSeparator = '/';
#endif

// --- path helpers ----------------------------------------------------------

TEST(PathPartTest, KeepsEverythingUpToTheLastBackslashOrColon) {
  EXPECT_EQ(Str(PathPart("C:\\svc\\demo.exe")), "C:\\svc\\");
  EXPECT_EQ(Str(PathPart("C:demo.exe")), "C:");
  EXPECT_EQ(Str(PathPart("a:b\\c:d")), "a:b\\c:");
  EXPECT_EQ(Str(PathPart("\\\\server\\share\\")), "\\\\server\\share\\");
  EXPECT_EQ(Str(PathPart("\\demo.exe")), "\\");
  EXPECT_EQ(Str(PathPart("dir/demo.exe")), "") << "a slash is no delimiter";
}

TEST(PathPartTest, NameWithoutDelimiterOrEmptyNameGivesEmpty) {
  EXPECT_EQ(PathPart("demo.exe").Length(), 0);
  EXPECT_EQ(PathPart(TQZString()).Length(), 0);
}

TEST(PathPartTest, WholeNameEndingInADelimiterSharesTheBlock) {
  const TQZString folder("C:\\svc\\");
  EXPECT_EQ(PathPart(folder).BlockAddress(), folder.BlockAddress());
}

TEST(FindLastDelimiterTest, GivesTheOneBasedPositionOfTheLastMatch) {
  EXPECT_EQ(FindLastDelimiter("\\:", "a\\b\\c"), 4);
  EXPECT_EQ(FindLastDelimiter("\\:", "\\abc"), 1);
  EXPECT_EQ(FindLastDelimiter("\\:", "abc:"), 4);
  EXPECT_EQ(FindLastDelimiter(".", "a.b.c"), 4);
  EXPECT_EQ(FindLastDelimiter("xyz", "a\\b"), 0);
  EXPECT_EQ(FindLastDelimiter("\\:", TQZString()), 0);
}

TEST(FindLastDelimiterTest, EmptySetAndNulBytesNeverMatch) {
  EXPECT_EQ(FindLastDelimiter(TQZString(), "a\\b"), 0);
  // The set is read as a C string: the colon after its NUL is not in it.
  EXPECT_EQ(FindLastDelimiter(Bytes("\\\0:", 3), "a:b"), 0);
  EXPECT_EQ(FindLastDelimiter(Bytes("\\\0:", 3), "a\\b:c"), 2);
  EXPECT_EQ(FindLastDelimiter("\\", Bytes("a\\b\0c", 5)), 2);
  EXPECT_EQ(FindLastDelimiter(Bytes("\0", 1), Bytes("a\0b", 3)), 0);
}

TEST(ContainsBlankTest, AnyByteUpToSpaceCountsAsBlank) {
  EXPECT_TRUE(ContainsBlank("C:\\Program Files\\demo.exe"));
  EXPECT_TRUE(ContainsBlank("C:\\svc\\de\tmo.exe"));
  EXPECT_TRUE(ContainsBlank("\x01"));
  EXPECT_TRUE(ContainsBlank("demo "));
  // The whole stored length is scanned, past any NUL.
  EXPECT_TRUE(ContainsBlank(Bytes("ab\0cd", 5)));
}

TEST(ContainsBlankTest, PrintableAndHighBytesAreNotBlank) {
  EXPECT_FALSE(ContainsBlank("C:\\svc\\demo.exe"));
  EXPECT_FALSE(ContainsBlank(TQZString()));
  EXPECT_FALSE(ContainsBlank("!~\x7f"));
  EXPECT_FALSE(ContainsBlank("C:\\\x80\xa0\xff\x95\\.exe"));
}

// --- double-byte paths ----------------------------------------------------

// "C:\x" followed by a double-byte character whose second byte is 0x5C.
const char kTrailBackslashPath[] = "C:\\x\x95\\a.exe";
// The same character, then a real backslash.
const char kTrailThenRealBackslash[] = "C:\\\x95\\\\b";
// Two lead-byte values forming one character, then a real backslash.
const char kLeadPairThenBackslash[] = "C:\\\x95\x95\\x";

void ExpectTrailBackslashSkipped() {
  EXPECT_EQ(FindLastDelimiter("\\:", kTrailBackslashPath), 3);
  EXPECT_EQ(Str(PathPart(kTrailBackslashPath)), "C:\\");
  EXPECT_EQ(FindLastDelimiter("\\:", kTrailThenRealBackslash), 6);
  EXPECT_EQ(FindLastDelimiter("\\", "\x95\\"), 0);
  EXPECT_EQ(FindLastDelimiter("\\:", kLeadPairThenBackslash), 6);
}

TEST(PathHelpersDoubleByteTest, TrailByteBackslashIsNotADelimiter) {
  const char* expect = std::getenv("QZ_EXPECT_DBCS");
  if (expect == nullptr || std::strcmp(expect, "1") != 0) {
    GTEST_SKIP() << "needs a double-byte code page (QZ_EXPECT_DBCS=1)";
  }
  ASSERT_TRUE(IsDoubleByteSystem());
  ExpectTrailBackslashSkipped();
}

TEST(PathHelpersDoubleByteTest, WithoutDoubleByteSupportEveryBackslashCounts) {
  if (IsDoubleByteSystem()) GTEST_SKIP() << "the code page has double-byte support";
  EXPECT_EQ(FindLastDelimiter("\\:", kTrailBackslashPath), 6);
  EXPECT_EQ(Str(PathPart(kTrailBackslashPath)), "C:\\x\x95\\");
  EXPECT_EQ(FindLastDelimiter("\\:", kTrailThenRealBackslash), 6);
  EXPECT_EQ(FindLastDelimiter("\\", "\x95\\"), 2);
}

#ifndef _WIN32

bool ShiftJisLeadByte(unsigned char b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

class SimulatedDoubleByteSystem {
 public:
  SimulatedDoubleByteSystem() { SetDoubleByteSystemForTesting(true, &ShiftJisLeadByte); }
  ~SimulatedDoubleByteSystem() { SetDoubleByteSystemForTesting(false, nullptr); }
};

TEST(PathHelpersDoubleByteTest, SimulatedLeadBytesHideTheTrailBackslash) {
  {
    SimulatedDoubleByteSystem simulated;
    ASSERT_TRUE(IsDoubleByteSystem());
    ExpectTrailBackslashSkipped();
  }
  EXPECT_EQ(FindLastDelimiter("\\:", kTrailBackslashPath), 6);
}

#endif

// --- process information --------------------------------------------------

#ifdef _WIN32

std::string SystemModuleFileName(HMODULE module) {
  std::vector<char> buffer(32768);
  const DWORD n = GetModuleFileNameA(module, buffer.data(),
                                     static_cast<DWORD>(buffer.size()));
  return std::string(buffer.data(), n);
}

// Wine's ANSI file functions stop at MAX_PATH even in the extended-length
// form, so the test's own file handling goes through the wide ones.
std::wstring Wide(const std::string& text) {
  const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 1), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], n);
  wide.resize(wide.size() - 1);
  return wide;
}

std::wstring Extended(const std::string& path) {
  return Wide(path.size() < MAX_PATH - 12 ? path : "\\\\?\\" + path);
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Extended(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

#else

std::string SystemModuleFileName() {
  std::vector<char> buffer(4096);
  const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
  return n < 0 ? std::string() : std::string(buffer.data(), static_cast<size_t>(n));
}

bool IsFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

#endif

// Built by this file's dynamic initialisation, as any other module's statics:
// the process information is already there.
struct StartupSnapshot {
  std::string FileName = Str(ModuleFileName);
  std::string Folder = Str(ModulePath);
  uint32_t MajorVersion = OSMajorVersion;
};
const StartupSnapshot SnapshotAtStartup;

TEST(ProcessInfoTest, IsReadyBeforeOtherModulesStaticInitialisers) {
  EXPECT_FALSE(SnapshotAtStartup.FileName.empty());
  EXPECT_EQ(SnapshotAtStartup.FileName, Str(ModuleFileName));
  EXPECT_EQ(SnapshotAtStartup.Folder, Str(ModulePath));
  EXPECT_EQ(SnapshotAtStartup.MajorVersion, OSMajorVersion);
}

TEST(ProcessInfoTest, ModuleFileNameIsTheRunningExecutable) {
#ifdef _WIN32
  EXPECT_EQ(ModuleHandle, static_cast<void*>(GetModuleHandleA(nullptr)));
  EXPECT_EQ(Str(ModuleFileName), SystemModuleFileName(nullptr));
#else
  EXPECT_NE(ModuleHandle, nullptr);
  EXPECT_EQ(Str(ModuleFileName), SystemModuleFileName());
#endif
  EXPECT_GT(ModuleFileName.Length(), 0);
}

TEST(ProcessInfoTest, ModulePathIsTheExecutablesFolderWithItsSeparator) {
  const std::string name = Str(ModuleFileName);
  const std::string folder = Str(ModulePath);
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), kSeparator);
  ASSERT_EQ(name.compare(0, folder.size(), folder), 0) << name;
  EXPECT_EQ(name.find(kSeparator, folder.size()), std::string::npos);
  EXPECT_TRUE(IsFolder(folder)) << folder;
}

TEST(ProcessInfoTest, VersionValuesComeFromTheSystem) {
#ifdef _WIN32
  OSVERSIONINFOA info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(GetVersionExA(&info));
  EXPECT_EQ(OSPlatformId, static_cast<uint32_t>(VER_PLATFORM_WIN32_NT));
  EXPECT_EQ(OSMajorVersion, info.dwMajorVersion);
  EXPECT_EQ(OSMinorVersion, info.dwMinorVersion);
  EXPECT_EQ(OSBuildNumber, info.dwBuildNumber);
  EXPECT_EQ(Str(OSCSDVersion), std::string(info.szCSDVersion));
  EXPECT_GT(OSMajorVersion, 0u);
  EXPECT_GT(OSBuildNumber, 0u);
#else
  struct utsname names;
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(OSMajorVersion, static_cast<uint32_t>(std::atoi(names.release)));
  EXPECT_GT(OSMajorVersion, 0u);
  EXPECT_EQ(OSPlatformId, 0u);
  EXPECT_EQ(OSCSDVersion.Length(), 0);
#endif
}

// --- an executable whose full file name is longer than MAX_PATH ------------

// Wine cannot start a program from a folder beyond MAX_PATH through
// CreateProcess (it fails with ERROR_INVALID_NAME), so there the growing
// buffer is covered by the query seam below; here a real copy is run.
#ifndef _WIN32

bool MakeFolder(const std::string& path) { return mkdir(path.c_str(), 0755) == 0; }
bool RemoveFolder(const std::string& path) { return rmdir(path.c_str()) == 0; }
bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }
bool CopyExecutable(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary);
  out << in.rdbuf();
  out.close();
  return in && out && chmod(to.c_str(), 0755) == 0;
}
int ProcessId() { return static_cast<int>(getpid()); }

extern "C" char** environ;

int RunChild(const std::string& exe, const std::string& arguments,
             const char* variable, const std::string& value) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.push_back(*entry);
  environment.push_back(std::string(variable) + "=" + value);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(&entry[0]);
  envp.push_back(nullptr);
  std::string program = exe;
  std::string argument = arguments;
  char* argv[] = {&program[0], &argument[0], nullptr};
  // The child's own test report would only clutter this one's output.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned =
      posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "posix_spawn failed with " << spawned;
    return -1;
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

const char kReportVariable[] = "QZ_MODULE_NAME_REPORT";

// Removes what the test created, deepest first, whatever the test's outcome.
struct CreatedPaths {
  std::vector<std::string> Folders;
  std::vector<std::string> Files;
  ~CreatedPaths() {
    for (const std::string& file : Files) RemoveFile(file);
    for (auto it = Folders.rbegin(); it != Folders.rend(); ++it) RemoveFolder(*it);
  }
};

// Run as a copy of this executable placed deeper than MAX_PATH; the copy
// reports the names it found before main through the file the variable names.
TEST(ProcessInfoLongPathTest, ExecutableBeyondMaxPathKnowsItsWholeName) {
  if (const char* report = std::getenv(kReportVariable)) {
    EXPECT_EQ(Str(ModuleFileName), SystemModuleFileName());
    std::ofstream out(report, std::ios::binary);
    out << Str(ModuleFileName) << "\n" << Str(ModulePath);
    return;
  }

  CreatedPaths created;
  std::string folder = Str(ModulePath) + "long_name_" + std::to_string(ProcessId());
  ASSERT_TRUE(MakeFolder(folder)) << folder;
  created.Folders.push_back(folder);
  while (folder.size() <= kModuleFileNameFirstBuffer + 40) {
    folder += kSeparator;
    folder += "a_folder_name_of_forty_bytes_or_thereabouts";
    ASSERT_TRUE(MakeFolder(folder)) << folder;
    created.Folders.push_back(folder);
  }
  folder += kSeparator;
  const std::string exe = folder + "qz_copy";
  ASSERT_TRUE(CopyExecutable(Str(ModuleFileName), exe));
  created.Files.push_back(exe);
  const std::string report = Str(ModulePath) + "long_name_" +
                             std::to_string(ProcessId()) + ".report";
  created.Files.push_back(report);

  ASSERT_EQ(RunChild(exe, "--gtest_filter=ProcessInfoLongPathTest.*",
                     kReportVariable, report),
            0);
  std::ifstream in(report, std::ios::binary);
  ASSERT_TRUE(in) << "the copy did not report";
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), exe + "\n" + folder);
  EXPECT_GT(exe.size(), size_t{kModuleFileNameFirstBuffer});
}

#endif

TEST(LoadModuleInfoTest, NullHandleStandsForTheExecutable) {
  void* module = nullptr;
  TQZString name("stale");
  TQZString folder("stale");
  LoadModuleInfo(module, name, folder);
  EXPECT_EQ(module, ModuleHandle);
  EXPECT_EQ(Str(name), Str(ModuleFileName));
  EXPECT_EQ(Str(folder), Str(ModulePath));
}

#ifdef _WIN32
TEST(LoadModuleInfoTest, OtherModuleGivesItsOwnNameAndFolder) {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  ASSERT_NE(kernel, nullptr);
  void* module = kernel;
  TQZString name;
  TQZString folder;
  LoadModuleInfo(module, name, folder);
  EXPECT_EQ(module, static_cast<void*>(kernel));
  EXPECT_EQ(Str(name), SystemModuleFileName(kernel));
  EXPECT_EQ(Str(folder), Str(PathPart(name)));
  EXPECT_TRUE(IsFolder(Str(folder)));
}
#endif

// A scripted module file name query standing in for the system's.
struct FakeQuery {
  enum Cut {
    kTerminatedCut,    // cut to size - 1 bytes and a NUL, as current systems do
    kUnterminatedCut,  // cut to size bytes without a NUL, as older ones do
  };
  static std::string Name;
  static Cut Style;
  static uint32_t ExtraCount;  // added to the count of a name that fits
  static std::vector<uint32_t> Sizes;

  static uint32_t Query(void* /*module*/, char* buffer, uint32_t size) {
    Sizes.push_back(size);
    if (Name.empty()) return 0;
    const uint32_t length = static_cast<uint32_t>(Name.size()) + ExtraCount;
    if (length < size) {
      std::memcpy(buffer, Name.data(), Name.size());
      std::memset(buffer + Name.size(), 0, size - Name.size());
      return length;
    }
    if (Style == kTerminatedCut) {
      std::memcpy(buffer, Name.data(), size - 1);
      buffer[size - 1] = '\0';
#ifdef _WIN32
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
#endif
    } else {
      std::memcpy(buffer, Name.data(), size);
    }
    return size;
  }
};
std::string FakeQuery::Name;
FakeQuery::Cut FakeQuery::Style = FakeQuery::kTerminatedCut;
uint32_t FakeQuery::ExtraCount = 0;
std::vector<uint32_t> FakeQuery::Sizes;

class LoadModuleInfoQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeQuery::Name.clear();
    FakeQuery::Style = FakeQuery::kTerminatedCut;
    FakeQuery::ExtraCount = 0;
    FakeQuery::Sizes.clear();
    Previous = SetModuleFileNameQueryForTesting(&FakeQuery::Query);
  }
  void TearDown() override { SetModuleFileNameQueryForTesting(Previous); }

  void Load() {
    void* module = &Module;
    Name = "stale";
    Folder = "stale";
    LoadModuleInfo(module, Name, Folder);
  }

  int Module = 0;
  TQZString Name;
  TQZString Folder;

 private:
  TQZModuleFileNameQuery Previous = nullptr;
};

std::string LongFolder(size_t length) {
  std::string folder = "C:\\";
  while (folder.size() + 9 < length) folder += "deep_dir\\";
  folder.append(length - folder.size() - 1, 'x');
  return folder + "\\";
}

TEST_F(LoadModuleInfoQueryTest, NameThatFitsIsReadWithOneQuery) {
  FakeQuery::Name = "C:\\svc\\demo.exe";
  Load();
  EXPECT_EQ(Str(Name), "C:\\svc\\demo.exe");
  EXPECT_EQ(FakeQuery::Sizes, std::vector<uint32_t>{kModuleFileNameFirstBuffer});
}

TEST_F(LoadModuleInfoQueryTest, NameLongerThanTheFirstBufferIsReadWhole) {
  const std::string folder = LongFolder(700);
  for (FakeQuery::Cut style :
       {FakeQuery::kTerminatedCut, FakeQuery::kUnterminatedCut}) {
    SCOPED_TRACE(style);
    FakeQuery::Style = style;
    FakeQuery::Sizes.clear();
    FakeQuery::Name = folder + "demo.exe";
    Load();
    EXPECT_EQ(Str(Name), FakeQuery::Name);
#ifdef _WIN32
    EXPECT_EQ(Str(Folder), folder);
#endif
    ASSERT_GE(FakeQuery::Sizes.size(), 2u);
    EXPECT_EQ(FakeQuery::Sizes.front(), kModuleFileNameFirstBuffer);
    EXPECT_GT(FakeQuery::Sizes.back(), FakeQuery::Name.size());
  }
}

TEST_F(LoadModuleInfoQueryTest, NameOfExactlyTheBufferSizeIsNotTakenAsCut) {
  // 259 bytes fit a 260-byte buffer with their NUL; 260 bytes do not.
  FakeQuery::Name = LongFolder(250) + std::string(259 - 250, 'n');
  ASSERT_EQ(FakeQuery::Name.size(), 259u);
  Load();
  EXPECT_EQ(Str(Name), FakeQuery::Name);
  EXPECT_EQ(FakeQuery::Sizes.size(), 1u);

  FakeQuery::Sizes.clear();
  FakeQuery::Style = FakeQuery::kUnterminatedCut;
  FakeQuery::Name += "m";
  Load();
  EXPECT_EQ(Str(Name), FakeQuery::Name);
  EXPECT_EQ(FakeQuery::Sizes.size(), 2u);
}

TEST_F(LoadModuleInfoQueryTest, CountThatIncludesATrailingNulIsDropped) {
  FakeQuery::Name = "C:\\svc\\demo.exe";
  FakeQuery::ExtraCount = 1;
  Load();
  EXPECT_EQ(Name.Length(), 15);
  EXPECT_EQ(Str(Name), "C:\\svc\\demo.exe");
}

TEST_F(LoadModuleInfoQueryTest, FailedQueryLeavesNameAndFolderEmpty) {
  Load();
  EXPECT_EQ(Name.Length(), 0);
  EXPECT_EQ(Folder.Length(), 0);
}

TEST_F(LoadModuleInfoQueryTest, NameThatNeverFitsIsNotStoredCut) {
  FakeQuery::Name = std::string(kModuleFileNameLargestBuffer + 10, 'a');
  Load();
  EXPECT_EQ(Name.Length(), 0);
  EXPECT_EQ(Folder.Length(), 0);
  EXPECT_EQ(FakeQuery::Sizes.back(), kModuleFileNameLargestBuffer);
}

}  // namespace
