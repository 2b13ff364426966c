#include "Tracer/foundation/uClasses.h"

#include <psapi.h>

#include <algorithm>

#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uMainThreadWait.h"
#include "Tracer/foundation/uRaise.h"
#include "Tracer/foundation/uUtils.h"
#include "lib/dgn/windows/DgnHandle.h"
#include "lib/dgn/windows/DgnStackInfo.h"

static const wchar_t* const kUnit = L"src/Tracer/uClasses";

ULONG NoRefCountAddRef() { return static_cast<ULONG>(-1); }
ULONG NoRefCountRelease() { return static_cast<ULONG>(-1); }

void* TUnknownObject::GetInterface(REFIID iid) {
  if (IsEqualIID(iid, __uuidof(IUnknown))) return static_cast<IUnknown*>(this);
  return nullptr;
}

int64_t TSimpleTimeCounterImpl::GetTimeStamp() { return static_cast<int64_t>(GetTickCount()); }

long double TSimpleTimeCounterImpl::ElapsedMs(int64_t start, int64_t stop) {
  return static_cast<long double>(stop - start);
}

TPerformanceTimeCounterImpl::TPerformanceTimeCounterImpl(TQueryFrequencyFunc queryFrequency) {
  LARGE_INTEGER f{};
  Win32CheckApi(queryFrequency(&f) != FALSE, "QueryPerformanceFrequency");
  FFrequency = f.QuadPart;
}

int64_t TPerformanceTimeCounterImpl::GetTimeStamp() {
  LARGE_INTEGER c{};
  Win32CheckApi(QueryPerformanceCounter(&c) != FALSE, "QueryPerformanceCounter");
  return c.QuadPart;
}

long double TPerformanceTimeCounterImpl::ElapsedMs(int64_t start, int64_t stop) {
  return static_cast<long double>(stop - start) / static_cast<long double>(FFrequency) * 1000.0L;
}

TTimeCounter::TTimeCounter(TQueryFrequencyFunc queryFrequency) {
  try {
    FImpl = std::make_unique<TPerformanceTimeCounterImpl>(queryFrequency);
  } catch (...) {
    // No high-resolution counter: whole milliseconds will do.
    FImpl = std::make_unique<TSimpleTimeCounterImpl>();
  }
}

bool TTimeCounter::IsHighResolution() const {
  return dynamic_cast<TPerformanceTimeCounterImpl*>(FImpl.get()) != nullptr;
}

TProcesses::TProcesses() { Refresh(); }

void TProcesses::Refresh() {
  FItems.clear();
  const DWORD ownId = GetCurrentProcessId();
  std::vector<DWORD> ids(10240);
  DWORD bytes = 0;
  Win32CheckApi(EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes) != FALSE,
                "EnumProcesses");
  if (bytes < sizeof(DWORD)) return;
  const size_t n = std::min<size_t>(bytes / sizeof(DWORD), ids.size());
  for (size_t i = 0; i < n; ++i) {
    if (ids[i] == ownId) continue;
    // synchronise, query information, memory read/write/operation, terminate
    TDgnHandle process(OpenProcess(0x100439, FALSE, ids[i]));
    if (!process) continue;
    std::wstring fileName;
    GetProcessModuleFileName(process.Get(), nullptr, fileName);
    process.Reset();
    if (!fileName.empty()) FItems.push_back(std::make_unique<TProcess>(ids[i], fileName));
  }
}

TProcess* TProcesses::GetItem(int index) const {
  if (index < 0 || index >= Count())
    throw EListError(WideFormat(L"List index out of bounds (%d)", index));
  TProcess* p = FItems[static_cast<size_t>(index)].get();
  CW_ASSERT(p != nullptr, kUnit, __LINE__);
  return p;
}

// While a thread waits here the guard is released; each wake re-checks its condition.
TMultiReadExclusiveWriteSync::TMultiReadExclusiveWriteSync() : FMainWake(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  Win32CheckApi(FMainWake != nullptr, "CreateEventW");
}

TMultiReadExclusiveWriteSync::~TMultiReadExclusiveWriteSync() { CloseHandle(FMainWake); }

TMultiReadExclusiveWriteSync::TReader* TMultiReadExclusiveWriteSync::FindReader(DWORD threadId) {
  for (TReader& r : FReaders)
    if (r.ThreadId == threadId) return &r;
  return nullptr;
}

void TMultiReadExclusiveWriteSync::WakeWaiters() {
  WakeAllConditionVariable(&FChanged);
  if (FMainWaiters > 0) SetEvent(FMainWake);
}

void TMultiReadExclusiveWriteSync::WaitForChange(DWORD self) {
  if (self != DgnMainThreadID()) {
    SleepConditionVariableSRW(&FChanged, &FLock, INFINITE, 0);
    return;
  }
  // The main thread keeps its synchronised calls going: the holder may be a debugging thread
  // waiting for a call it sent to the main thread.
  ++FMainWaiters;
  ResetEvent(FMainWake);
  ReleaseSRWLockExclusive(&FLock);
  TScopeExit relock([this] {
    AcquireSRWLockExclusive(&FLock);
    // A wait of the main thread further out (this one ran inside it) looks again too.
    if (--FMainWaiters > 0) SetEvent(FMainWake);
  });
  WaitOnMainThread(FMainWake, INFINITE);
}

bool TMultiReadExclusiveWriteSync::IsWaitingWriter(DWORD threadId) const {
  return std::find(FWaitingWriterIds.begin(), FWaitingWriterIds.end(), threadId) != FWaitingWriterIds.end();
}

bool TMultiReadExclusiveWriteSync::IsForfeited(DWORD threadId) const {
  return std::find(FForfeited.begin(), FForfeited.end(), threadId) != FForfeited.end();
}

void TMultiReadExclusiveWriteSync::Forfeit(DWORD threadId) {
  AcquireSRWLockExclusive(&FLock);
  if (!IsForfeited(threadId)) {
    FForfeited.push_back(threadId);
    FForfeitedCount.fetch_add(1, std::memory_order_release);
  }
  // Whatever the thread was doing in the lock, it counts nowhere from here on: its reads, a
  // write it holds, a wait for the write lock. Its own waits see the change and leave.
  if (TReader* r = FindReader(threadId)) {
    if (FWriter != threadId) --FActiveReaders;
    *r = FReaders.back();
    FReaders.pop_back();
  }
  auto waiting = std::find(FWaitingWriterIds.begin(), FWaitingWriterIds.end(), threadId);
  if (waiting != FWaitingWriterIds.end()) {
    FWaitingWriterIds.erase(waiting);
    --FWaitingWriters;
    auto upgrading = std::find(FUpgradingIds.begin(), FUpgradingIds.end(), threadId);
    if (upgrading != FUpgradingIds.end()) {
      FUpgradingIds.erase(upgrading);
      --FUpgrading;
    }
  }
  if (FWriter == threadId) {
    FWriter = 0;
    FWriteDepth = 0;
  }
  WakeWaiters();
  ReleaseSRWLockExclusive(&FLock);
}

bool TMultiReadExclusiveWriteSync::Forfeited(DWORD threadId) {
  // Nearly always none: no lock taken then.
  if (FForfeitedCount.load(std::memory_order_acquire) == 0) return false;
  AcquireSRWLockExclusive(&FLock);
  const bool forfeited = IsForfeited(threadId);
  ReleaseSRWLockExclusive(&FLock);
  return forfeited;
}

void TMultiReadExclusiveWriteSync::ForfeitedWait(DWORD self) {
  // Not while a writer changes things; counted nowhere, so no one waits for it.
  try {
    while (FWriter != 0) WaitForChange(self);
  } catch (...) {
  }
  ReleaseSRWLockExclusive(&FLock);
}

void TMultiReadExclusiveWriteSync::Reinstate(DWORD threadId) {
  AcquireSRWLockExclusive(&FLock);
  const auto kept = std::remove(FForfeited.begin(), FForfeited.end(), threadId);
  FForfeitedCount.fetch_sub(static_cast<int>(FForfeited.end() - kept), std::memory_order_release);
  FForfeited.erase(kept, FForfeited.end());
  ReleaseSRWLockExclusive(&FLock);
}

void TMultiReadExclusiveWriteSync::BeginRead() {
  const DWORD self = GetCurrentThreadId();
  AcquireSRWLockExclusive(&FLock);
  if (FWriter != self && IsForfeited(self)) {
    ForfeitedWait(self);
    return;
  }
  if (TReader* r = FindReader(self)) {
    // Already reading (or writing and reading): never wait, a waiting writer waits for us.
    ++r->Count;
  } else if (FWriter == self) {
    FReaders.push_back({self, 1});
  } else {
    // A read from inside a pumped wait for the write lock does not queue behind that very wait.
    try {
      while (FWriter != 0 || (FWaitingWriters > 0 && !IsWaitingWriter(self))) {
        WaitForChange(self);
        // Given up on while it waited: it never becomes a counted reader.
        if (IsForfeited(self)) {
          ForfeitedWait(self);
          return;
        }
      }
    } catch (...) {
      ReleaseSRWLockExclusive(&FLock);
      throw;
    }
    FReaders.push_back({self, 1});
    ++FActiveReaders;
  }
  ReleaseSRWLockExclusive(&FLock);
}

void TMultiReadExclusiveWriteSync::EndRead() {
  const DWORD self = GetCurrentThreadId();
  AcquireSRWLockExclusive(&FLock);
  TReader* r = FindReader(self);
  if (r == nullptr && IsForfeited(self)) {
    ReleaseSRWLockExclusive(&FLock);
    return;
  }
  if (r == nullptr) {
    ReleaseSRWLockExclusive(&FLock);
    AssertionFailed(kUnit, __LINE__);  // EndRead without BeginRead on this thread
  }
  if (--r->Count == 0) {
    *r = FReaders.back();
    FReaders.pop_back();
    if (FWriter != self) {
      --FActiveReaders;
      // A waiting writer may be the last reader itself, so wake on every leave.
      if (FWaitingWriters > 0) WakeWaiters();
    }
  }
  ReleaseSRWLockExclusive(&FLock);
}

void TMultiReadExclusiveWriteSync::BeginWrite() {
  const DWORD self = GetCurrentThreadId();
  AcquireSRWLockExclusive(&FLock);
  if (FWriter == self) {
    ++FWriteDepth;
    ReleaseSRWLockExclusive(&FLock);
    return;
  }
  if (IsForfeited(self)) {
    ForfeitedWait(self);
    return;
  }
  const bool reading = FindReader(self) != nullptr;
  if (reading && FUpgrading > 0) {
    // Two readers that both wait for the write lock would wait for each other forever.
    ReleaseSRWLockExclusive(&FLock);
    AssertionFailed(kUnit, __LINE__);
  }
  ++FWaitingWriters;
  FWaitingWriterIds.push_back(self);
  if (reading) {
    ++FUpgrading;
    FUpgradingIds.push_back(self);
  }
  // Our own read lock does not keep us out.
  try {
    while (FWriter != 0 || FActiveReaders > (reading ? 1 : 0)) {
      WaitForChange(self);
      // Given up on while it waited: Forfeit took it out of every count already.
      if (IsForfeited(self)) {
        ForfeitedWait(self);
        return;
      }
    }
  } catch (...) {
    if (!IsForfeited(self)) {
      --FWaitingWriters;
      FWaitingWriterIds.erase(std::find(FWaitingWriterIds.begin(), FWaitingWriterIds.end(), self));
      if (reading) {
        --FUpgrading;
        FUpgradingIds.erase(std::find(FUpgradingIds.begin(), FUpgradingIds.end(), self));
      }
    }
    WakeWaiters();
    ReleaseSRWLockExclusive(&FLock);
    throw;
  }
  --FWaitingWriters;
  FWaitingWriterIds.erase(std::find(FWaitingWriterIds.begin(), FWaitingWriterIds.end(), self));
  if (reading) {
    --FUpgrading;
    FUpgradingIds.erase(std::find(FUpgradingIds.begin(), FUpgradingIds.end(), self));
    --FActiveReaders;  // counted as the writer now
  }
  FWriter = self;
  FWriteDepth = 1;
  ReleaseSRWLockExclusive(&FLock);
}

void TMultiReadExclusiveWriteSync::EndWrite() {
  const DWORD self = GetCurrentThreadId();
  AcquireSRWLockExclusive(&FLock);
  if (FWriter != self && IsForfeited(self)) {
    ReleaseSRWLockExclusive(&FLock);
    return;
  }
  if (FWriter != self) {
    ReleaseSRWLockExclusive(&FLock);
    AssertionFailed(kUnit, __LINE__);  // EndWrite by a thread that does not write
  }
  if (--FWriteDepth == 0) {
    FWriter = 0;
    // Reads taken inside the write stay: the thread goes on as a reader.
    if (FindReader(self) != nullptr) ++FActiveReaders;
    WakeWaiters();
  }
  ReleaseSRWLockExclusive(&FLock);
}

static TObject* gTimeCounter = nullptr;
static TObject* gDebugRWSync = nullptr;

TTimeCounter* GetTimeCounter() {
  static const TTimeCounter::TFactory factory;
  GetInstanceLocked(factory, gTimeCounter);
  return static_cast<TTimeCounter*>(gTimeCounter);
}

TDebugRWSync* GetDebugRWSync() {
  static const TDebugRWSync::TFactory factory;
  return GetServiceInstance<TDebugRWSync>(factory, gDebugRWSync);
}
