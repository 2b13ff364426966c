#include "Tracer/foundation/uAppThread.h"

#include <objbase.h>

#include "Tracer/foundation/uMainThreadWait.h"

TAppThread::TAppThread() : TDgnDebugThread(true, std::wstring()) {
  // Whoever waits for this thread from the main thread keeps its synchronised calls going.
  InstallMainThreadWait();
}

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

void ProcessMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}
