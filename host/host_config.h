// The host's configuration: what it reads from the .ini file beside it, and
// the checks that decide whether it can run.
#ifndef QZ_HOST_HOST_CONFIG_H
#define QZ_HOST_HOST_CONFIG_H

#include <cstdint>
#include <vector>

#include "foundation/string.h"
#include "service/svc_obj.h"

enum class TQZRestartMode { OnFailure, Always, Never };

// Times in seconds.
struct TQZRestartSettings {
  TQZRestartMode Mode = TQZRestartMode::OnFailure;
  uint32_t DelayLimit = 60;
  uint32_t ResetAfter = 60;
  // 0: the host never gives up.
  uint32_t MaxFailures = 5;
  uint32_t FailureWindow = 300;
};

// How long each way of asking the program to end is given, in seconds;
// 0 skips that way. Ending the job is always done last.
struct TQZStopSettings {
  uint32_t CtrlBreak = 10;
  uint32_t Close = 5;
  uint32_t Terminate = 5;
};

struct TQZDependency {
  TQZString Name;
  bool Group = false;
};

struct TQZHostConfig {
  TQZString FileName;  // the .ini file, full path

  // [service]
  TQZString Name;
  TQZString DisplayName;
  TQZString Description;
  uint32_t StartType = 2;  // SERVICE_AUTO_START
  bool DelayedStart = false;
  std::vector<TQZDependency> Dependencies;
  TQZRecoveryAction Recovery[TQZSvcObj::MaxRecoveryActions] = {};
  int32_t RecoveryCount = 0;
  uint32_t RecoveryResetSeconds = 0;
  TQZString RecoveryCommand;
  bool RecoveryOnNonCrash = false;
  uint32_t PreshutdownMs = 0;

  // [program] and [environment]
  TQZString Executable;  // full path
  TQZString Arguments;
  TQZString Folder;      // full path
  std::vector<TQZString> Environment;  // NAME=value

  TQZRestartSettings Restart;
  TQZStopSettings Stop;

  // [log]
  TQZString LogFile;  // full path
  uint32_t LogMaxKiB = 10240;
  int32_t LogKeep = 5;
};

// The first thing wrong with a configuration. Section and Key are empty
// when the problem is the file itself.
struct TQZConfigProblem {
  TQZString Section;
  TQZString Key;
  TQZString Text;
};

// One "key=value" entry as the profile calls return it, in UTF-8.
struct TQZIniEntry {
  TQZString Key;
  TQZString Value;
};

struct TQZIniSection {
  TQZString Name;
  std::vector<TQZIniEntry> Entries;
};

// What the checks need from outside the file.
struct TQZConfigContext {
  TQZString HostFolder;    // ends with a backslash
  TQZString HostBaseName;  // the executable's name without ".exe"
  bool (*FileExists)(const TQZString& path) = nullptr;
  bool (*FolderExists)(const TQZString& path) = nullptr;
};

// Fills config from the sections; false with the first problem found. The
// [service] name is read first, so that config.Name is usable even when
// another key is wrong.
bool ParseHostConfig(const std::vector<TQZIniSection>& sections,
                     const TQZConfigContext& context, TQZHostConfig& config,
                     TQZConfigProblem& problem);

// "[section] key: text", or the text alone for the file itself.
TQZString DescribeProblem(const TQZConfigProblem& problem);

// The lines -check prints after its result line: what would run.
TQZString DescribeConfig(const TQZHostConfig& config);

// A path from the file: taken as it is when absolute (a drive or a leading
// backslash), otherwise relative to the host's folder.
TQZString ResolvePath(const TQZString& hostFolder, const TQZString& path);

// The command line the program is started with: the executable in quotes,
// then a blank and the arguments when there are any.
TQZString ProgramCommandLine(const TQZHostConfig& config);

// Reads the .ini file beside the executable (Windows).
bool ReadHostConfig(const TQZString& iniFile, const TQZConfigContext& context,
                    TQZHostConfig& config, TQZConfigProblem& problem);

#endif  // QZ_HOST_HOST_CONFIG_H
