// One operating-system critical section; re-entrant for the owning thread.
#pragma once
#include <windows.h>

#include "lib/rtl/SysUtils.h"

class TDgnCriticalSection : public TObject {
public:
  TDgnCriticalSection() { InitializeCriticalSection(&FSection); }
  ~TDgnCriticalSection() override { DeleteCriticalSection(&FSection); }
  TDgnCriticalSection(const TDgnCriticalSection&) = delete;
  TDgnCriticalSection& operator=(const TDgnCriticalSection&) = delete;
  void Enter() { EnterCriticalSection(&FSection); }
  void Leave() { LeaveCriticalSection(&FSection); }

private:
  CRITICAL_SECTION FSection;
};

// Holds a critical section for the scope.
class TDgnLock {
public:
  explicit TDgnLock(TDgnCriticalSection& cs) : FCs(cs) { FCs.Enter(); }
  ~TDgnLock() { FCs.Leave(); }
  TDgnLock(const TDgnLock&) = delete;
  TDgnLock& operator=(const TDgnLock&) = delete;

private:
  TDgnCriticalSection& FCs;
};
