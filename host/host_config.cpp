// The checks and defaults of the host's configuration, on the sections the
// profile calls returned.
#include "host/host_config.h"

#include <cstdint>

#include "foundation/format.h"
#include "foundation/process_info.h"

namespace {

const char ServiceSection[] = "service";
const char ProgramSection[] = "program";
const char EnvironmentSection[] = "environment";
const char RestartSection[] = "restart";
const char StopSection[] = "stop";
const char LogSection[] = "log";

const uint32_t OneDay = 86400;

bool Same(const TQZString& a, const char* b) { return SameStrings(a, b, false); }

TQZString Trim(const TQZString& text) {
  int32_t start = 0;
  int32_t end = text.Length();
  const char* p = text.Text();
  while (start < end && (p[start] == ' ' || p[start] == '\t')) ++start;
  while (end > start && (p[end - 1] == ' ' || p[end - 1] == '\t')) --end;
  return MakeString(p + start, end - start);
}

// Collects the first problem; every later one is ignored.
class TQZChecker {
 public:
  explicit TQZChecker(TQZConfigProblem& problem) : Problem(problem) {}

  bool Failed() const { return HasProblem; }

  void Fail(const char* section, const TQZString& key, const TQZString& text) {
    if (HasProblem) return;
    HasProblem = true;
    Problem.Section = section;
    Problem.Key = key;
    Problem.Text = text;
  }

  // A decimal number from low to high, nothing else around it.
  bool Number(const char* section, const TQZIniEntry& entry, uint32_t low,
              uint32_t high, uint32_t& value) {
    const TQZString text = Trim(entry.Value);
    uint64_t result = 0;
    bool ok = text.Length() > 0 && text.Length() <= 10;
    for (int32_t i = 0; ok && i < text.Length(); ++i) {
      const char c = text.Text()[i];
      ok = c >= '0' && c <= '9';
      result = result * 10 + static_cast<uint32_t>(c - '0');
    }
    if (!ok || result < low || result > high) {
      TQZString message;
      message.Format("not a whole number from %u to %u: '%s'", low, high, entry.Value.Text());
      Fail(section, entry.Key, message);
      return false;
    }
    value = static_cast<uint32_t>(result);
    return true;
  }

  bool YesNo(const char* section, const TQZIniEntry& entry, bool& value) {
    const TQZString text = Trim(entry.Value);
    if (Same(text, "yes") || Same(text, "true") || Same(text, "1")) {
      value = true;
    } else if (Same(text, "no") || Same(text, "false") || Same(text, "0")) {
      value = false;
    } else {
      Fail(section, entry.Key, "must be yes or no: '" + entry.Value + "'");
      return false;
    }
    return true;
  }

 private:
  TQZConfigProblem& Problem;
  bool HasProblem = false;
};

bool ValidServiceName(const TQZString& name) {
  if (name.Length() == 0 || name.Length() > 256) return false;
  for (int32_t i = 0; i < name.Length(); ++i) {
    const char c = name.Text()[i];
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 32) return false;
  }
  return true;
}

// Splits at commas, trimming each item; empty items are dropped.
std::vector<TQZString> SplitList(const TQZString& text) {
  std::vector<TQZString> items;
  int32_t start = 0;
  for (int32_t i = 0; i <= text.Length(); ++i) {
    if (i == text.Length() || text.Text()[i] == ',') {
      const TQZString item = Trim(SubString(text, start + 1, i - start));
      if (item.Length() > 0) items.push_back(item);
      start = i + 1;
    }
  }
  return items;
}

// "restart/5, run/60, none": up to three actions with their delay in
// seconds; "none" needs no delay.
void ParseRecovery(TQZChecker& check, const TQZIniEntry& entry, TQZHostConfig& config) {
  const std::vector<TQZString> items = SplitList(entry.Value);
  if (items.size() > static_cast<size_t>(TQZSvcObj::MaxRecoveryActions)) {
    check.Fail(ServiceSection, entry.Key, "at most three actions");
    return;
  }
  int32_t count = 0;
  for (const TQZString& item : items) {
    int32_t slash = 0;
    for (int32_t i = 0; i < item.Length() && slash == 0; ++i) {
      if (item.Text()[i] == '/') slash = i + 1;
    }
    const TQZString kind = Trim(slash > 0 ? SubString(item, 1, slash - 1) : item);
    uint32_t type = 0;
    if (Same(kind, "none")) {
      type = QZ_RECOVERY_NONE;
    } else if (Same(kind, "restart")) {
      type = QZ_RECOVERY_RESTART;
    } else if (Same(kind, "run")) {
      type = QZ_RECOVERY_RUN_COMMAND;
    } else {
      check.Fail(ServiceSection, entry.Key,
                 "an action is none, restart/<s> or run/<s>: '" + item + "'");
      return;
    }
    uint32_t delay = 0;
    if (slash > 0) {
      const TQZIniEntry delayEntry{entry.Key, SubString(item, slash + 1, item.Length())};
      if (!check.Number(ServiceSection, delayEntry, 0, OneDay, delay)) return;
    } else if (type != QZ_RECOVERY_NONE) {
      check.Fail(ServiceSection, entry.Key, "no delay after '" + item + "' (restart/<s>)");
      return;
    }
    config.Recovery[count].Type = type;
    config.Recovery[count].DelayMs = delay * 1000;
    ++count;
  }
  config.RecoveryCount = count;
}

void ParseService(TQZChecker& check, const TQZIniSection& section, TQZHostConfig& config,
                  bool& onNonCrashGiven) {
  for (const TQZIniEntry& e : section.Entries) {
    const TQZString value = Trim(e.Value);
    if (Same(e.Key, "name")) {
      // Read before everything else.
    } else if (Same(e.Key, "display-name")) {
      config.DisplayName = value;
    } else if (Same(e.Key, "description")) {
      config.Description = value;
    } else if (Same(e.Key, "start-type")) {
      if (Same(value, "auto")) {
        config.StartType = 2;
      } else if (Same(value, "demand")) {
        config.StartType = 3;
      } else if (Same(value, "delayed")) {
        config.StartType = 2;
        config.DelayedStart = true;
      } else {
        check.Fail(ServiceSection, e.Key, "must be auto, demand or delayed: '" + e.Value + "'");
      }
    } else if (Same(e.Key, "dependencies")) {
      for (const TQZString& item : SplitList(value)) {
        const bool group = item.Text()[0] == '+';
        const TQZString name = group ? Trim(SubString(item, 2, item.Length())) : item;
        if (!ValidServiceName(name)) {
          check.Fail(ServiceSection, e.Key, "not a service or group name: '" + item + "'");
          break;
        }
        config.Dependencies.push_back({name, group});
      }
    } else if (Same(e.Key, "recovery")) {
      ParseRecovery(check, e, config);
    } else if (Same(e.Key, "recovery-reset")) {
      check.Number(ServiceSection, e, 0, 0x7FFFFFFF, config.RecoveryResetSeconds);
    } else if (Same(e.Key, "recovery-command")) {
      config.RecoveryCommand = value;
    } else if (Same(e.Key, "recovery-on-exit-code")) {
      onNonCrashGiven = check.YesNo(ServiceSection, e, config.RecoveryOnNonCrash);
    } else if (Same(e.Key, "preshutdown")) {
      uint32_t seconds = 0;
      if (check.Number(ServiceSection, e, 0, 3600, seconds)) config.PreshutdownMs = seconds * 1000;
    } else {
      check.Fail(ServiceSection, e.Key, "unknown key");
    }
  }
}

void ParseProgram(TQZChecker& check, const TQZIniSection& section,
                  const TQZConfigContext& context, TQZHostConfig& config,
                  TQZString& executableKey) {
  for (const TQZIniEntry& e : section.Entries) {
    const TQZString value = Trim(e.Value);
    if (Same(e.Key, "executable")) {
      config.Executable = ResolvePath(context.HostFolder, value);
      executableKey = e.Key;
      if (value.Length() == 0) check.Fail(ProgramSection, e.Key, "empty");
    } else if (Same(e.Key, "arguments")) {
      config.Arguments = value;
    } else if (Same(e.Key, "folder")) {
      if (value.Length() == 0) {
        check.Fail(ProgramSection, e.Key, "empty");
      } else {
        config.Folder = ResolvePath(context.HostFolder, value);
        if (context.FolderExists != nullptr && !context.FolderExists(config.Folder)) {
          check.Fail(ProgramSection, e.Key, "folder not found: " + config.Folder);
        }
      }
    } else {
      check.Fail(ProgramSection, e.Key, "unknown key");
    }
  }
}

void ParseEnvironment(TQZChecker& check, const TQZIniSection& section, TQZHostConfig& config) {
  for (const TQZIniEntry& e : section.Entries) {
    const TQZString name = Trim(e.Key);
    if (name.Length() == 0) {
      check.Fail(EnvironmentSection, e.Key, "no variable name before '='");
      return;
    }
    config.Environment.push_back(name + '=' + e.Value);
  }
}

void ParseRestart(TQZChecker& check, const TQZIniSection& section, TQZRestartSettings& restart) {
  for (const TQZIniEntry& e : section.Entries) {
    const TQZString value = Trim(e.Value);
    if (Same(e.Key, "policy")) {
      if (Same(value, "on-failure")) {
        restart.Mode = TQZRestartMode::OnFailure;
      } else if (Same(value, "always")) {
        restart.Mode = TQZRestartMode::Always;
      } else if (Same(value, "never")) {
        restart.Mode = TQZRestartMode::Never;
      } else {
        check.Fail(RestartSection, e.Key,
                   "must be on-failure, always or never: '" + e.Value + "'");
      }
    } else if (Same(e.Key, "delay-limit")) {
      check.Number(RestartSection, e, 1, OneDay, restart.DelayLimit);
    } else if (Same(e.Key, "reset-after")) {
      check.Number(RestartSection, e, 1, OneDay, restart.ResetAfter);
    } else if (Same(e.Key, "max-failures")) {
      check.Number(RestartSection, e, 0, 1000, restart.MaxFailures);
    } else if (Same(e.Key, "failure-window")) {
      check.Number(RestartSection, e, 1, 7 * OneDay, restart.FailureWindow);
    } else {
      check.Fail(RestartSection, e.Key, "unknown key");
    }
  }
}

void ParseStop(TQZChecker& check, const TQZIniSection& section, TQZStopSettings& stop) {
  for (const TQZIniEntry& e : section.Entries) {
    if (Same(e.Key, "ctrl-break")) {
      check.Number(StopSection, e, 0, 3600, stop.CtrlBreak);
    } else if (Same(e.Key, "close")) {
      check.Number(StopSection, e, 0, 3600, stop.Close);
    } else if (Same(e.Key, "terminate")) {
      check.Number(StopSection, e, 1, 3600, stop.Terminate);
    } else {
      check.Fail(StopSection, e.Key, "unknown key");
    }
  }
}

void ParseLog(TQZChecker& check, const TQZIniSection& section,
              const TQZConfigContext& context, TQZHostConfig& config) {
  for (const TQZIniEntry& e : section.Entries) {
    const TQZString value = Trim(e.Value);
    if (Same(e.Key, "file")) {
      if (value.Length() == 0) {
        check.Fail(LogSection, e.Key, "empty");
      } else {
        config.LogFile = ResolvePath(context.HostFolder, value);
      }
    } else if (Same(e.Key, "max-size")) {
      check.Number(LogSection, e, 16, 4 * 1024 * 1024, config.LogMaxKiB);
    } else if (Same(e.Key, "keep")) {
      uint32_t keep = 0;
      if (check.Number(LogSection, e, 1, 100, keep)) config.LogKeep = static_cast<int32_t>(keep);
    } else {
      check.Fail(LogSection, e.Key, "unknown key");
    }
  }
}

// A key given twice would leave the reader guessing which one counts.
void CheckDuplicates(TQZChecker& check, const TQZIniSection& section) {
  for (size_t i = 0; i < section.Entries.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (SameStrings(section.Entries[i].Key, section.Entries[j].Key, false)) {
        check.Fail(section.Name.Text(), section.Entries[i].Key, "given twice");
        return;
      }
    }
  }
}

const TQZIniSection* FindSection(const std::vector<TQZIniSection>& sections, const char* name) {
  for (const TQZIniSection& s : sections) {
    if (Same(s.Name, name)) return &s;
  }
  return nullptr;
}

}  // namespace

TQZString ResolvePath(const TQZString& hostFolder, const TQZString& path) {
  const char* p = path.Text();
  const bool absolute = (path.Length() >= 2 && p[1] == ':') || p[0] == '\\' || p[0] == '/';
  return absolute ? path : hostFolder + path;
}

TQZString ProgramCommandLine(const TQZHostConfig& config) {
  TQZString line = '"' + config.Executable + '"';
  if (config.Arguments.Length() > 0) line += ' ' + config.Arguments;
  return line;
}

bool ParseHostConfig(const std::vector<TQZIniSection>& sections,
                     const TQZConfigContext& context, TQZHostConfig& config,
                     TQZConfigProblem& problem) {
  TQZChecker check(problem);
  config.Name = context.HostBaseName;
  config.Folder = context.HostFolder;
  config.LogFile = context.HostFolder + context.HostBaseName + ".log";

  const TQZIniSection* service = FindSection(sections, ServiceSection);
  if (service != nullptr) {
    for (const TQZIniEntry& e : service->Entries) {
      if (!Same(e.Key, "name")) continue;
      const TQZString name = Trim(e.Value);
      if (ValidServiceName(name)) {
        config.Name = name;
      } else {
        check.Fail(ServiceSection, e.Key,
                   "not a service name (1 to 256 characters, no / or \\): '" + e.Value + "'");
      }
    }
  }

  for (const TQZIniSection& s : sections) CheckDuplicates(check, s);

  bool onNonCrashGiven = false;
  TQZString executableKey = "executable";
  for (const TQZIniSection& s : sections) {
    if (Same(s.Name, ServiceSection)) {
      ParseService(check, s, config, onNonCrashGiven);
    } else if (Same(s.Name, ProgramSection)) {
      ParseProgram(check, s, context, config, executableKey);
    } else if (Same(s.Name, EnvironmentSection)) {
      ParseEnvironment(check, s, config);
    } else if (Same(s.Name, RestartSection)) {
      ParseRestart(check, s, config.Restart);
    } else if (Same(s.Name, StopSection)) {
      ParseStop(check, s, config.Stop);
    } else if (Same(s.Name, LogSection)) {
      ParseLog(check, s, context, config);
    } else {
      check.Fail(s.Name.Text(), TQZString(), "unknown section");
    }
  }
  if (config.DisplayName.Length() == 0) config.DisplayName = config.Name;
  // Without the flag the SCM applies the actions only to a crash, never to
  // a run that reports its failure with an exit code, which is how the
  // host ends when it gives up.
  if (!onNonCrashGiven) config.RecoveryOnNonCrash = config.RecoveryCount > 0;
  for (int32_t i = 0; i < config.RecoveryCount; ++i) {
    if (config.Recovery[i].Type == QZ_RECOVERY_RUN_COMMAND &&
        config.RecoveryCommand.Length() == 0) {
      check.Fail(ServiceSection, "recovery", "a run action needs recovery-command");
    }
  }
  // A log in a folder that does not exist would lose every line quietly.
  const TQZString logFolder = PathPart(config.LogFile);
  if (logFolder.Length() > 0 && context.FolderExists != nullptr &&
      !context.FolderExists(logFolder)) {
    check.Fail(LogSection, "file", "folder not found: " + logFolder);
  }
  if (config.Executable.Length() == 0) {
    check.Fail(ProgramSection, executableKey, "missing: the program to run");
  } else if (context.FileExists != nullptr && !context.FileExists(config.Executable)) {
    check.Fail(ProgramSection, executableKey, "file not found: " + config.Executable);
  }
  return !check.Failed();
}

TQZString DescribeProblem(const TQZConfigProblem& problem) {
  TQZString line;
  if (problem.Section.Length() > 0) {
    line += '[' + problem.Section + "] ";
    if (problem.Key.Length() > 0) line += problem.Key + ": ";
  }
  return line + problem.Text;
}

TQZString DescribeConfig(const TQZHostConfig& config) {
  static const char* const Modes[] = {"on-failure", "always", "never"};
  const char* startType = config.DelayedStart ? "delayed" : config.StartType == 3 ? "demand" : "auto";
  TQZString text;
  TQZString line;
  line.Format("  service: %s (%s), start %s\n", config.Name.Text(), config.DisplayName.Text(),
              startType);
  text += line;
  if (!config.Dependencies.empty()) {
    text += "  dependencies:";
    for (const TQZDependency& d : config.Dependencies) {
      text += d.Group ? " +" + d.Name : ' ' + d.Name;
    }
    text += '\n';
  }
  if (config.RecoveryCount > 0) {
    static const char* const Actions[] = {"none", "restart", "", "run"};
    text += "  recovery:";
    for (int32_t i = 0; i < config.RecoveryCount; ++i) {
      line.Format(" %s/%u", Actions[config.Recovery[i].Type & 3], config.Recovery[i].DelayMs / 1000);
      text += line;
    }
    line.Format(", reset after %u s%s\n", config.RecoveryResetSeconds,
                config.RecoveryOnNonCrash ? ", also after an exit code" : "");
    text += line;
  }
  text += "  run: " + ProgramCommandLine(config) + '\n';
  text += "  folder: " + config.Folder + '\n';
  for (const TQZString& variable : config.Environment) text += "  environment: " + variable + '\n';
  const TQZRestartSettings& r = config.Restart;
  line.Format("  restart: %s, delay 1 s doubling to %u s, reset after a run of %u s",
              Modes[static_cast<int>(r.Mode)], r.DelayLimit, r.ResetAfter);
  text += line;
  if (r.MaxFailures > 0) {
    line.Format(", give up after %u failures in %u s", r.MaxFailures, r.FailureWindow);
    text += line;
  }
  text += '\n';
  line.Format("  stop: Ctrl+Break %u s, close windows %u s, end %u s\n", config.Stop.CtrlBreak,
              config.Stop.Close, config.Stop.Terminate);
  text += line;
  line.Format("  log: %s, %u KiB, %d kept\n", config.LogFile.Text(), config.LogMaxKiB,
              static_cast<int>(config.LogKeep));
  text += line;
  return text;
}
