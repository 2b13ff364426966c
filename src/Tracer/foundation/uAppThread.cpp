#include "Tracer/foundation/uAppThread.h"

#include <objbase.h>

void TAppThread::Execute() {
  // The thread's entry: an exception is reported in the main thread, never passed on.
  DgnThreadEntryGuard([this] {
    CoInitialize(nullptr);
    struct TUninitialize {
      ~TUninitialize() { CoUninitialize(); }
    } uninitialize;
    DoExecute();
  });
}
