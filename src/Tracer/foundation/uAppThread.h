// Base of the program's worker threads: the diagnostics library's debug thread, with the
// thread's work inside a single-threaded COM apartment.
#pragma once
#include "lib/dgn/windows/DgnDebugThread.h"

class TAppThread : public TDgnDebugThread {
public:
  // Created suspended, without a name; started with Start.
  TAppThread() : TDgnDebugThread(true, std::wstring()) {}

protected:
  void Execute() final;
  // The thread's work.
  virtual void DoExecute() = 0;
};
