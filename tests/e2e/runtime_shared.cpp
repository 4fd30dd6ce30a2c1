// Two services in one executable, served by one dispatcher: each supplies
// its own control handler, since the module's handler serves one object.
#include "service/svc_module.h"
#include "service/svc_obj.h"

using namespace qzsvc;

namespace {

TQZSvcObj* Objects[2] = {nullptr, nullptr};

void QZ_WINAPI FirstHandler(unsigned long control) { Objects[0]->Control(control); }
void QZ_WINAPI SecondHandler(unsigned long control) { Objects[1]->Control(control); }

bool InitFirst(void*, TQZSvcObj*, TQZStringList*, TQZHandlerFunction* handler) {
  *handler = FirstHandler;
  return true;
}
bool InitSecond(void*, TQZSvcObj*, TQZStringList*, TQZHandlerFunction* handler) {
  *handler = SecondHandler;
  return true;
}

}  // namespace

int main() {
  TQZSvcObj first("QzRtShareA");
  TQZSvcObj second("QzRtShareB");
  first.OnInit.Function = InitFirst;
  second.OnInit.Function = InitSecond;
  Objects[0] = &first;
  Objects[1] = &second;
  AddServiceObject(first.ServiceName, &first);
  AddServiceObject(second.ServiceName, &second);
  RunServiceDispatcher();
  RemoveServiceObject(first.ServiceName);
  RemoveServiceObject(second.ServiceName);
  return 0;
}
