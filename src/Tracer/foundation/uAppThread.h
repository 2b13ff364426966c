// Base of the program's worker threads: the diagnostics library's debug thread, with the
// thread's work inside a single-threaded COM apartment.
#pragma once
#include "lib/dgn/windows/DgnDebugThread.h"

class TAppThread : public TDgnDebugThread {
public:
  // Created suspended, without a name; started with Start.
  TAppThread();

protected:
  void Execute() final;
  // The thread's work.
  virtual void DoExecute() = 0;
};

// Dispatches the calling thread's pending window messages (and so synchronised calls); a
// WM_QUIT among them is posted again for the program's own loop and ends the pass. Not a wait:
// waits go through MainThreadWait (uMainThreadWait).
void ProcessMessages();
