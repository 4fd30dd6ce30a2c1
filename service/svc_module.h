// The per-process service table and the entry points the SCM calls; internal
// to the library, so that a program's own ServiceMain cannot clash with ours.
#ifndef QZ_SERVICE_SVC_MODULE_H
#define QZ_SERVICE_SVC_MODULE_H

#include <cstdint>

#include "foundation/string.h"
#include "service/svc_obj.h"

namespace qzsvc {

// The table maps a service name to its object. Add and remove are refused
// while the dispatcher runs.
bool AddServiceObject(const TQZString& name, TQZSvcObj* object);
void RemoveServiceObject(const TQZString& name);
// Blocks in the SCM's dispatcher until every service of the table has
// stopped; false when the table is empty or the dispatcher could not start.
bool RunServiceDispatcher();
void QZ_WINAPI ServiceMain(unsigned long argc, char** argv);
void QZ_WINAPI ServiceCtrlHandler(unsigned long control);
// Registers a handler under name only to report SERVICE_STOPPED, as a
// failed run with the given service-specific exit code.
void ReportServiceStopped(const char* name, uint32_t serviceExitCode);
uint32_t ComposeServiceType(uint32_t type, bool interactive, bool shared);
uint32_t ComposeControlsAccepted(bool acceptStop, bool acceptPauseContinue,
                                 bool acceptPreshutdown = false);
// The state's name as the SCM's headers spell it without "SERVICE_";
// "UNKNOWN" for a value outside 1 to 7.
const char* ServiceStateName(uint32_t state);
// Number of entries in the service table.
int32_t ServiceTableCount();

}  // namespace qzsvc

#endif  // QZ_SERVICE_SVC_MODULE_H
