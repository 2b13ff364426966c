// Building blocks the engine and the windows share: an interface base without reference
// counting, the time counter of call durations, the process snapshot of the attach dialog,
// and the engine's re-entrant read/write lock.
#pragma once
#include <windows.h>
#include <unknwn.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <atomic>
#include <vector>

#include "Tracer/foundation/uSingletons.h"
#include "lib/rtl/SysUtils.h"

// AddRef and Release of objects their owner frees: they count nothing and answer -1.
ULONG NoRefCountAddRef();
ULONG NoRefCountRelease();

// IUnknown of a class whose objects their owner frees (uses GetInterface of the class).
#define CW_IUNKNOWN_UNCOUNTED                                                            \
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** intf) override {           \
    return ObjectQueryInterface(this, iid, intf);                                        \
  }                                                                                      \
  ULONG STDMETHODCALLTYPE AddRef() override { return NoRefCountAddRef(); }               \
  ULONG STDMETHODCALLTYPE Release() override { return NoRefCountRelease(); }

// Implements IUnknown without counting: handing out interface pointers never extends or
// ends the object's life; its owner (usually an owning list) deletes it.
class TUnknownObject : public TObject, public TInterfaceProvider, public IUnknown {
public:
  CW_IUNKNOWN_UNCOUNTED
  void* GetInterface(REFIID iid) override;
};

class TAbstractTimeCounter : public TObject {
public:
  virtual int64_t GetTimeStamp() = 0;
  // Milliseconds from start to stop (negative when stop is earlier).
  virtual long double ElapsedMs(int64_t start, int64_t stop) = 0;
};

// Millisecond ticks: for systems without a high-resolution counter.
class TSimpleTimeCounterImpl : public TAbstractTimeCounter {
public:
  int64_t GetTimeStamp() override;
  long double ElapsedMs(int64_t start, int64_t stop) override;
};

using TQueryFrequencyFunc = BOOL(WINAPI*)(LARGE_INTEGER* frequency);

class TPerformanceTimeCounterImpl : public TAbstractTimeCounter {
public:
  // Raises through Win32CheckApi when the system has no high-resolution counter.
  explicit TPerformanceTimeCounterImpl(TQueryFrequencyFunc queryFrequency = QueryPerformanceFrequency);
  int64_t GetTimeStamp() override;
  long double ElapsedMs(int64_t start, int64_t stop) override;
  int64_t Frequency() const { return FFrequency; }

private:
  int64_t FFrequency;
};

// The program's time source: the performance counter, or the tick count when there is none
// (chosen once, when it is made).
class TTimeCounter : public TAbstractTimeCounter {
public:
  explicit TTimeCounter(TQueryFrequencyFunc queryFrequency = QueryPerformanceFrequency);
  int64_t GetTimeStamp() override { return FImpl->GetTimeStamp(); }
  long double ElapsedMs(int64_t start, int64_t stop) override { return FImpl->ElapsedMs(start, stop); }
  bool IsHighResolution() const;
  using TFactory = TServiceFactory<TTimeCounter, TSimpleObjectFactory>;

private:
  std::unique_ptr<TAbstractTimeCounter> FImpl;
};

class TProcess : public TObject {
public:
  TProcess(uint32_t processId, std::wstring fileName)
      : FProcessId(processId), FFileName(std::move(fileName)) {}
  uint32_t ProcessId() const { return FProcessId; }
  // Full path of the process's main module.
  const std::wstring& FileName() const { return FFileName; }

private:
  uint32_t FProcessId;
  std::wstring FFileName;
};

// A snapshot of the running processes that can be opened for debugging, in the system's
// order, without our own process.
class TProcesses : public TObject {
public:
  TProcesses();
  void Refresh();
  TProcess* GetItem(int index) const;
  int Count() const { return static_cast<int>(FItems.size()); }

private:
  std::vector<std::unique_ptr<TProcess>> FItems;
};

// Many readers or one writer. Re-entrant: the writer may take the write lock and the read
// lock again; a thread that holds a read lock gets it again even while a writer waits (new
// readers wait behind a waiting writer, so writers are not starved); the only reader may
// take the write lock. Every Begin is paired with an End on the same thread. The main thread
// waits through MainThreadWait (a synchronised call handled then may take the lock itself).
class TMultiReadExclusiveWriteSync : public TObject {
public:
  TMultiReadExclusiveWriteSync();
  ~TMultiReadExclusiveWriteSync() override;
  TMultiReadExclusiveWriteSync(const TMultiReadExclusiveWriteSync&) = delete;
  TMultiReadExclusiveWriteSync& operator=(const TMultiReadExclusiveWriteSync&) = delete;
  void BeginRead();
  void EndRead();
  void BeginWrite();
  void EndWrite();
  // For a thread given up on (a handler that does not return): it counts nowhere from now on,
  // whatever it was doing in the lock (reading, writing, waiting to read or to write), and
  // whatever it takes or leaves later counts nothing, so it never keeps anyone out again.
  // Reinstated by the thread itself after its last use of the lock, while it still lives, so
  // that its id (the system reuses ids) never stands for a later thread.
  void Forfeit(DWORD threadId);
  void Reinstate(DWORD threadId);
  bool Forfeited(DWORD threadId);

private:
  struct TReader {
    DWORD ThreadId;
    int Count;
  };
  TReader* FindReader(DWORD threadId);
  bool IsWaitingWriter(DWORD threadId) const;
  bool IsForfeited(DWORD threadId) const;
  // A forfeited thread's Begin: waits while a writer works, takes nothing; releases FLock.
  void ForfeitedWait(DWORD self);
  // One wait for a change with FLock held (released while waiting, held again after, also
  // when the wait raises).
  void WaitForChange(DWORD self);
  // After a change: every waiting thread looks again.
  void WakeWaiters();

  SRWLOCK FLock = SRWLOCK_INIT;  // guards the fields below; never held while waiting
  CONDITION_VARIABLE FChanged = CONDITION_VARIABLE_INIT;
  HANDLE FMainWake;               // the main thread waits on this event (and its messages)
  int FMainWaiters = 0;           // main-thread waits in progress (nested ones included)
  std::vector<TReader> FReaders;  // read depth per thread
  int FActiveReaders = 0;         // reader threads other than the writer
  int FWaitingWriters = 0;
  std::vector<DWORD> FWaitingWriterIds;
  int FUpgrading = 0;             // readers waiting for the write lock
  std::vector<DWORD> FUpgradingIds;
  std::vector<DWORD> FForfeited;  // threads whose holds count no more
  std::atomic<int> FForfeitedCount{0};
  DWORD FWriter = 0;
  int FWriteDepth = 0;
};

// The engine's lock around the paused flag and every definition's active and visible flags.
class TDebugRWSync : public TMultiReadExclusiveWriteSync {
public:
  using TFactory = TServiceFactory<TDebugRWSync, TSimpleObjectFactory>;
};

// Scoped read and write locks.
class TReadLock {
public:
  explicit TReadLock(TMultiReadExclusiveWriteSync& sync) : FSync(sync) { FSync.BeginRead(); }
  ~TReadLock() { FSync.EndRead(); }
  TReadLock(const TReadLock&) = delete;
  TReadLock& operator=(const TReadLock&) = delete;

private:
  TMultiReadExclusiveWriteSync& FSync;
};

class TWriteLock {
public:
  explicit TWriteLock(TMultiReadExclusiveWriteSync& sync) : FSync(sync) { FSync.BeginWrite(); }
  ~TWriteLock() { FSync.EndWrite(); }
  TWriteLock(const TWriteLock&) = delete;
  TWriteLock& operator=(const TWriteLock&) = delete;

private:
  TMultiReadExclusiveWriteSync& FSync;
};

// Takes the instance lock.
TTimeCounter* GetTimeCounter();
TDebugRWSync* GetDebugRWSync();
