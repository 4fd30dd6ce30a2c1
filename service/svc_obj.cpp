// The service object: construction, destruction and the definition setters.
#include "service/svc_obj.h"

#include "foundation/process_info.h"
#include "foundation/win32.h"
#include "service/event_log.h"

namespace {

TQZString RegisteredBinaryPath() {
  if (ContainsBlank(ModuleFileName)) return '"' + ModuleFileName + '"';
  return ModuleFileName;
}

}  // namespace

TQZSvcObj::TQZSvcObj(const TQZString& serviceName)
    : StopEvent(new TQZEvent(nullptr, 0, false)),
      Arguments(new TQZStringList()),
      ServiceName(serviceName),
      BinaryPath(RegisteredBinaryPath()),
      DisplayName(serviceName),
      Dependencies(new TQZStringList()),
      RunIdle(CreateEventA(nullptr, TRUE, TRUE, nullptr)) {
  Dependencies->SetSorted(true);
  Dependencies->SetDuplicates(false);
  Dependencies->SetCaseSensitive(true);
}

TQZSvcObj::~TQZSvcObj() {
  if (RunIdle != nullptr) {
    // Bounded, so that an object destroyed during a run that never ends
    // does not hang its owner for ever.
    WaitForSingleObject(RunIdle, 30000);
    CloseHandle(RunIdle);
    RunIdle = nullptr;
  }
  TQZEvent* stopEvent = StopEvent;
  StopEvent = nullptr;
  delete stopEvent;
  delete EventLog.exchange(nullptr);
  TQZStringList* arguments = Arguments;
  Arguments = nullptr;
  delete arguments;
  TQZStringList* dependencies = Dependencies;
  Dependencies = nullptr;
  delete dependencies;
}

void TQZSvcObj::SetBinaryPath(const TQZString& value) {
  if (State.load() == QZ_SERVICE_STOPPED) BinaryPath = value;
}

void TQZSvcObj::SetDisplayName(const TQZString& value) {
  if (State.load() == QZ_SERVICE_STOPPED) DisplayName = value;
}

void TQZSvcObj::SetDescription(const TQZString& value) {
  if (State.load() == QZ_SERVICE_STOPPED) Description = value;
}
