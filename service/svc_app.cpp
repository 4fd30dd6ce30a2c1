// The application object: switch table, help, console mode, service mode and
// the adapters between the service object's hooks and the callbacks.
#include "service/svc_app.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <new>

#include "foundation/format.h"
#include "foundation/log_file.h"
#include "foundation/process_info.h"
#include "service/console.h"
#include "service/event_log.h"
#include "service/output_capture.h"
#include "service/svc_module.h"

namespace {

// Indexed by switch code.
const char* const SwitchDescriptionTexts[] = {
    "display help information", "run console application",
    "run service application",  "install service",
    "uninstall service",        "start service",
    "stop service",             "pause service",
    "continue service",
};

struct BuiltInSwitch {
  const char* Text;
  int32_t Code;
};

// In the order they are added; the sorted table lists them differently.
const BuiltInSwitch BuiltInSwitches[] = {
    {"/?", 0},        {"-help", 0},      {"-debug", 1},
    {"/service", 2},  {"-install", 3},   {"-uninstall", 4},
    {"-remove", 4},   {"-start", 5},     {"-stop", 6},
    {"-pause", 7},    {"-continue", 8},
};

const char FixedHelpBlock[] =
    "  /? or -help               display help information\n"
    "  /service                  run service application\n"
    "  -debug                    run console application\n"
    "  -install                  install service\n"
    "  -uninstall or -remove     uninstall service\n"
    "  -start [parameters]       start service\n"
    "  -stop                     stop service\n"
    "  -pause                    pause service\n"
    "  -continue                 continue service\n";

const char StatusHelpLine[] = "  -status                   show service status\n";
const char ControlHelpLine[] = "  -control <code>           send a user-defined control (128-255)\n";
const char StatusDescription[] = "show service status";
const char ControlDescription[] = "send a user-defined control (128-255)";

const char ClauseIndent[] = "  ";

// The service object whose service run is under way, null at other times.
std::atomic<TQZSvcObj*> PublishedService{nullptr};

// Writes every byte of the text, so that it is never read as a format and
// an embedded NUL does not cut it short.
void WriteText(const TQZString& text) {
  if (text.Length() > 0) {
    std::fwrite(text.Text(), 1, static_cast<size_t>(text.Length()), stdout);
  }
}

// A drive ("C:\logs", "C:logs"), a leading backslash ("\logs", a UNC
// name) or slash names the folder; any other name is taken from the
// executable's folder.
bool IsRootedPath(const TQZString& path) {
  const char* text = path.Text();
  if (text[0] == '\\' || text[0] == '/') return true;
  return path.Length() >= 2 && text[1] == ':' &&
         ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'));
}

int32_t SwitchCode(uintptr_t data) {
  return static_cast<int32_t>(static_cast<uint32_t>(data));
}

}  // namespace

TQZSvcApp::TQZSvcApp(const TQZString& serviceName,
                     const TQZString& displayName,
                     const TQZString& description)
    : Service(new TQZSvcObj(serviceName)),
      Switches(new TQZStringList()),
      SwitchDescriptions(new TQZCodeList()) {
  Service->SetDisplayName(displayName);
  Service->SetDescription(description);

  Switches->SetSorted(true);
  Switches->SetDuplicates(false);
  Switches->SetCaseSensitive(false);

  Service->OnInit.Function = &TQZSvcApp::AppOnInit;
  Service->OnInit.UserData = this;
  Service->OnStart.Function = &TQZSvcApp::AppOnStart;
  Service->OnStart.UserData = this;
  Service->OnStop.Function = &TQZSvcApp::AppOnStop;
  Service->OnStop.UserData = this;
  Service->OnShutdown.Function = &TQZSvcApp::AppOnShutdown;
  Service->OnShutdown.UserData = this;
  Service->OnControl.Function = &TQZSvcApp::AppOnControl;
  Service->OnControl.UserData = this;
  Service->OnRunEnd.Function = &TQZSvcApp::AppOnRunEnd;
  Service->OnRunEnd.UserData = this;

  ResetSwitches();
}

TQZSvcApp::~TQZSvcApp() {
  TQZOutputCapture* capture = Capture;
  Capture = nullptr;
  delete capture;
  TQZSvcObj* service = Service;
  Service = nullptr;
  delete service;
  TQZStringList* startArgs = StartArgs;
  StartArgs = nullptr;
  delete startArgs;
  TQZStringList* switches = Switches;
  Switches = nullptr;
  delete switches;
  TQZCodeList* descriptions = SwitchDescriptions;
  SwitchDescriptions = nullptr;
  delete descriptions;
  ServiceParams = TQZString();
  // Last: the service object's event log writes to it.
  delete OpenedLog.exchange(nullptr);
}

TQZLogFile* TQZSvcApp::LogFile() {
  TQZLogFile* log = OpenedLog.load();
  if (log != nullptr || LogFileName.Length() == 0) return log;
  const TQZString name =
      IsRootedPath(LogFileName) ? LogFileName : ModulePath + LogFileName;
  TQZLogFile* fresh = new (std::nothrow) TQZLogFile(name, LogFileMaxSize, LogFileKeep);
  if (fresh == nullptr) return nullptr;
  // Two threads may ask first; the one installed is the one every caller uses.
  if (OpenedLog.compare_exchange_strong(log, fresh)) return fresh;
  delete fresh;
  return log;
}

bool TQZSvcApp::Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const bool written = LogV(format, args);
  va_end(args);
  return written;
}

bool TQZSvcApp::LogV(const char* format, va_list args) {
  TQZLogFile* log = LogFile();
  return log != nullptr && log->PrintV(format, args);
}

void TQZSvcApp::StartCapture() {
  if (!CaptureOutput) return;
  TQZLogFile* log = LogFile();
  if (log == nullptr) return;
  if (Capture == nullptr) Capture = new (std::nothrow) TQZOutputCapture(log);
  if (Capture == nullptr) return;
  if (!Capture->Start()) {
    const uint32_t error = Capture->LastError;
    log->Print("standard output and error are not captured: %s (%u)",
               SystemErrorText(error).Text(), static_cast<unsigned>(error));
  }
}

void TQZSvcApp::FinishCapture() {
  if (Capture != nullptr) Capture->Finish();
}

void TQZSvcApp::ResetSwitches() {
  Switches->Clear();
  Switches->SetCapacity(12);
  SwitchDescriptions->Clear();
  SwitchDescriptions->SetCapacity(12);
  for (const BuiltInSwitch& s : BuiltInSwitches) {
    Switches->Add(s.Text, static_cast<uintptr_t>(static_cast<uint32_t>(s.Code)));
  }
  for (int32_t code = 0; code < 9; ++code) {
    SwitchDescriptions->Add(code, SwitchDescriptionTexts[code]);
  }
  AddOptionalSwitches();
}

void TQZSvcApp::AddOptionalSwitches() {
  struct Optional {
    bool On;
    const char* Text;
    int32_t Code;
    const char* Description;
  };
  const Optional optional[] = {
      {StatusSwitch, "-status", QZ_SWITCH_STATUS, StatusDescription},
      {ControlSwitch, "-control", QZ_SWITCH_CONTROL, ControlDescription},
  };
  for (const Optional& o : optional) {
    if (!o.On || Switches->Find(o.Text, 0, nullptr, 0) >= 0) continue;
    Switches->Add(o.Text, static_cast<uintptr_t>(static_cast<uint32_t>(o.Code)));
    if (SwitchDescriptions->GetText(o.Code).Length() == 0) {
      SwitchDescriptions->Add(o.Code, o.Description);
    }
  }
}

void TQZSvcApp::Main(int argc, char** argv) {
  AddOptionalSwitches();
  if (argc <= 1) {
    if (GetServiceSwitch().Length() > 0) {
      RunConsole(argc, argv);
    } else {
      RunService();
    }
    return;
  }

  uintptr_t data = 0;
  if (Switches->Find(argv[1], 0, &data, 0) < 0) {
    ShowHelp(argv[1], true);
    return;
  }
  const int32_t code = SwitchCode(data);
  // Compared as unsigned, so negative codes are user-defined too.
  switch (static_cast<uint32_t>(code)) {
    case 0: ShowHelp(argv[1], false); break;
    case 1: RunConsole(argc, argv); break;
    case 2: RunService(); break;
    case 3:
      if (InstallAccount && argc > 2) {
        CmdInstallAs(argc, argv);
      } else {
        CmdInstall();
      }
      break;
    case 4: CmdUninstall(); break;
    case 5: CmdStart(argc, argv); break;
    case 6: CmdStop(); break;
    case 7: CmdPause(); break;
    case 8: CmdContinue(); break;
    default:
      if (code == QZ_SWITCH_STATUS && StatusSwitch) {
        CmdStatus();
      } else if (code == QZ_SWITCH_CONTROL && ControlSwitch) {
        CmdControl(argc, argv);
      } else {
        CmdUser(code, argc, argv);
      }
      break;
  }
}

TQZString TQZSvcApp::GetServiceSwitch() {
  for (int32_t i = 0; i < Switches->Count(); ++i) {
    if (SwitchCode(Switches->GetData(i)) == 2) return Switches->GetString(i);
  }
  return TQZString();
}

TQZString TQZSvcApp::GetTitle() {
  TQZString title = Service->GetDescription();
  if (title.Length() == 0) title = Service->GetDisplayName();
  if (title.Length() == 0) title = Service->GetServiceName();
  return title;
}

TQZString TQZSvcApp::GetSwitchClause() {
  if (!ListSwitches) {
    TQZString block = FixedHelpBlock;
    if (StatusSwitch) block += StatusHelpLine;
    if (ControlSwitch) block += ControlHelpLine;
    return block;
  }
  AddOptionalSwitches();
  const int32_t count = Switches->Count();
  if (count == 0) return TQZString();

  int32_t width = 0;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t length = Switches->GetString(i).Length();
    if (length > width) width = length;
  }
  width += 5;

  TQZString clause;
  for (int32_t i = 0; i < count; ++i) {
    const TQZString text = Switches->GetString(i);
    const int32_t code = SwitchCode(Switches->GetData(i));
    TQZString description = SwitchDescriptions->GetText(code);
    if (description.Length() == 0) {
      description.Format("user-defined switch(%d)", static_cast<int>(code));
    }
    clause += ClauseIndent;
    clause += text;
    clause += RepeatChar(' ', width - text.Length());
    clause += description;
    clause += '\n';
  }
  return clause;
}

void TQZSvcApp::ShowHelp(const TQZString& switchText, bool unsupported) {
  WriteText(GetTitle());
  std::fputs("\n", stdout);
  if (unsupported) {
    PrintText("error: switch <%s> is nonsupport!\n", switchText.Text());
  }
  const TQZString clause = GetSwitchClause();
  if (clause.Length() > 0) {
    std::fputs("\nswitch clause:\n", stdout);
    WriteText(clause);
  }
  std::fflush(stdout);
}

void TQZSvcApp::RunConsole(int argc, char** argv) {
  if (StartArgs == nullptr) StartArgs = new TQZStringList();
  // The list holds exactly this run's command line, the program path and
  // the switch included.
  StartArgs->Clear();
  StartArgs->SetCapacity(argc > 0 ? argc : 0);
  for (int i = 0; i < argc; ++i) StartArgs->Add(argv[i], 0);

  WriteText(GetTitle());
  std::fputs("\n\n", stdout);

  TQZString name = Service->GetDisplayName();
  if (name.Length() == 0) name = Service->GetServiceName();

  const bool started = OnStart != nullptr && OnStart(StartArgs, false);
  PrintText(">>>>> %s starts %s!\n\n", name.Text(),
            started ? "success" : "failure");

  if (!started) {
    std::fputs("Press any key close.\n", stdout);
    std::fflush(stdout);
    WaitForAnyKey();
    return;
  }

  if (OnConsoleRun != nullptr) {
    std::fflush(stdout);
    OnConsoleRun(StartArgs);
    if (OnStop != nullptr) OnStop(false);
  } else {
    // Taking the control events before the prompt appears means a Ctrl+C
    // typed as soon as it is seen still stops the program in order.
    TQZConsoleStopWait stopWait;
    std::fputs("Press Ctrl+C stop application.\n", stdout);
    std::fflush(stdout);
    stopWait.Wait();
    if (OnStop != nullptr) OnStop(false);
    std::fflush(stdout);
    // A held close event ends the process as soon as its handler returns,
    // so it is let go only after the stop has run.
    stopWait.Finish();
  }
  std::fflush(stdout);
}

void TQZSvcApp::RunService() {
  if (StartArgs == nullptr) StartArgs = new TQZStringList();
  const TQZString name = Service->GetServiceName();

  // The framework's error records go to the log file as well.
  if (TQZLogFile* log = LogFile()) {
    TQZEventLog* eventLog = Service->EventLog.load();
    if (eventLog == nullptr) {
      eventLog = new TQZEventLog(name);
      Service->EventLog = eventLog;
    }
    eventLog->Mirror = log;
  }

  PublishedService.exchange(Service);
  // Only an entry this run added is removed again: a refused add means the
  // name belongs to another object, whose entry must stay.
  const bool added = qzsvc::AddServiceObject(name, Service);
  qzsvc::RunServiceDispatcher();
  if (added) qzsvc::RemoveServiceObject(name);
  PublishedService.exchange(nullptr);
  // A run that ended before its final report (the handler could not be
  // registered) did not finish the capture.
  FinishCapture();
}

bool TQZSvcApp::AppOnInit(void* app, TQZSvcObj* /*object*/,
                          TQZStringList* arguments,
                          TQZHandlerFunction* handler) {
  TQZSvcApp* self = static_cast<TQZSvcApp*>(app);
  if (self->StartArgs == nullptr) self->StartArgs = new TQZStringList();
  if (arguments != nullptr) self->StartArgs->AssignList(*arguments);
  if (handler != nullptr) *handler = &TQZSvcApp::AppCtrlHandler;
  if (PublishedService.load() != self->Service) return false;
  self->StartCapture();
  return true;
}

bool TQZSvcApp::AppOnStart(void* app, TQZSvcObj* /*object*/, bool& ok) {
  TQZSvcApp* self = static_cast<TQZSvcApp*>(app);
  ok = self->OnStart != nullptr && self->OnStart(self->StartArgs, true);
  return ok;
}

void TQZSvcApp::AppOnStop(void* app, TQZSvcObj* /*object*/, bool& /*ok*/) {
  TQZSvcApp* self = static_cast<TQZSvcApp*>(app);
  if (self->OnStop != nullptr) self->OnStop(true);
}

void TQZSvcApp::AppOnShutdown(void* app, TQZSvcObj* /*object*/) {
  TQZSvcApp* self = static_cast<TQZSvcApp*>(app);
  if (self->OnStop != nullptr) self->OnStop(true);
}

void TQZSvcApp::AppOnControl(void* app, TQZSvcObj* /*object*/, uint32_t code) {
  TQZSvcApp* self = static_cast<TQZSvcApp*>(app);
  if (self->OnControl != nullptr) self->OnControl(code);
}

void TQZSvcApp::AppOnRunEnd(void* app, TQZSvcObj* /*object*/) {
  static_cast<TQZSvcApp*>(app)->FinishCapture();
}

void QZ_WINAPI TQZSvcApp::AppCtrlHandler(unsigned long control) {
  // Called by the control manager's dispatcher: nothing may escape.
  try {
    TQZSvcObj* service = PublishedService.load();
    if (service != nullptr) service->Control(static_cast<uint32_t>(control));
  } catch (...) {
  }
}
