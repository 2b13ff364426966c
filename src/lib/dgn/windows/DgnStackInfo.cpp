#include "lib/dgn/windows/DgnStackInfo.h"

#include <atomic>
#include <cstring>

#include "lib/dgn/windows/DgnDebugThread.h"
#include "lib/dgn/windows/DgnHookExcept.h"

namespace {

// Captured while static objects are built, which happens in the main thread.
const DWORD GMainThreadID = GetCurrentThreadId();

// The locks here are re-entrant: a throw while one is held (out of memory) reaches the
// exception notifier in the same thread, which takes them again.
std::recursive_mutex GStartLock;
bool GStarted = false;
TDgnGlobalModulesList* GModulesList = nullptr;
TDgnGlobalStackList* GStackList = nullptr;
std::atomic<int> GTrackingCount{0};

struct TIgnoredClasses {
  std::recursive_mutex Lock;
  std::vector<const std::type_info*> Classes;
};
TIgnoredClasses* GIgnored = nullptr;

TIgnoredClasses& Ignored() {
  std::lock_guard<std::recursive_mutex> guard(GStartLock);
  if (!GIgnored)
    GIgnored = new TIgnoredClasses;
  return *GIgnored;
}

}  // namespace

double DgnNow() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  FILETIME ft;
  SystemTimeToFileTime(&st, &ft);
  ULARGE_INTEGER t;
  t.LowPart = ft.dwLowDateTime;
  t.HighPart = ft.dwHighDateTime;
  // FILETIME counts 100 ns from 1 Jan 1601; date-times count days from 30 Dec 1899.
  constexpr double TicksPerDay = 864000000000.0;
  constexpr double DaysFrom1601To1899 = 109205.0;
  return static_cast<double>(t.QuadPart) / TicksPerDay - DaysFrom1601To1899;
}

namespace {

uint32_t Addr32(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }
uint32_t Word(uint32_t addr) { return *reinterpret_cast<const uint32_t*>(uintptr_t(addr)); }

bool IsStackInfoList(const TDgnStackBaseList* list) {
  return dynamic_cast<const TDgnStackInfoList*>(list) != nullptr;
}

// Called for every exception raised while tracking is on, in the raising thread. It never
// raises on behalf of the exception it records.
void ExceptionNotifier(void* exceptObj, const std::type_info* exceptType, void* exceptAddr,
                       bool osException, void* stackBase) {
  if (GTrackingCount < 1 || !exceptObj || IsExceptionClassIgnored(exceptType, exceptObj))
    return;
  try {
    RecordExceptionStack(exceptAddr, osException, stackBase);
  } catch (...) {
  }
}

}  // namespace

DWORD DgnMainThreadID() { return GMainThreadID; }

// ---- lists ----------------------------------------------------------------------------------

TDgnStackBaseList::TDgnStackBaseList()
    : FThreadID(GetCurrentThreadId()), FTimeStamp(DgnNow()) {}

TDgnStackInfoList::TDgnStackInfoList(int ignoreLevels, const void* firstCaller,
                                     const void* stackBase)
    : FIgnoreLevels(ignoreLevels) {
  DgnStackInfoStartup();
  FItems.reserve(32);
  FTopOfStack = Addr32(reinterpret_cast<NT_TIB*>(NtCurrentTeb())->StackBase);
  FModuleList = GModulesList->AcquireModuleList();
  if (firstCaller) {
    TDgnStackInfo first;
    first.CallerAddr = Addr32(firstCaller);
    FItems.push_back(std::make_unique<TDgnStackInfoItem>(first));
  }
  WalkFrames(Addr32(stackBase));
}

TDgnStackInfoList::~TDgnStackInfoList() {
  if (GModulesList)
    GModulesList->ReleaseModuleList(FModuleList);
}

TDgnStackListClass TDgnStackInfoList::ListClass() const { return &IsStackInfoList; }

bool TDgnStackInfoList::IsValidStackAddr(uint32_t addr) const {
  // The walk reads the two words at addr: both must lie inside the stack.
  return addr > FBaseOfStack && addr < FTopOfStack && (addr & 3) == 0 &&
         FTopOfStack - addr >= 8;
}

bool TDgnStackInfoList::IsValidCodeAddr(uint32_t addr) const {
  return FModuleList && FModuleList->IsOwnModuleAddress(reinterpret_cast<const void*>(uintptr_t(addr)));
}

void TDgnStackInfoList::WalkFrames(uint32_t stackBase) {
  FStackInfo = TDgnStackInfo();
  uint32_t frame = stackBase;
  FBaseOfStack = frame - 1;
  while (NextFrame(frame))
    if (FItems.size() < MaxEntries)
      StoreEntry();
    else
      break;
}

bool TDgnStackInfoList::NextFrame(uint32_t& frame) {
  uint32_t previous = FStackInfo.CallerFrame;
  while (IsValidStackAddr(frame)) {
    uint32_t saved = Word(frame);
    if (previous >= saved)
      return false;  // frames must grow upwards
    previous = saved;
    uint32_t returnAddr = Word(frame + 4);
    if (IsValidCodeAddr(returnAddr) && IsValidStackAddr(saved)) {
      ++FStackInfo.Level;
      FStackInfo.StackFrame = frame;
      FStackInfo.ParamPtr = frame + 8;
      if (saved <= FStackInfo.CallerFrame)
        return false;
      FStackInfo.CallerFrame = saved;
      uint32_t callSize;
      FStackInfo.CallerAddr = IsCallSite(returnAddr, callSize) ? returnAddr - callSize : returnAddr;
      FStackInfo.DumpSize = saved - frame;
      FStackInfo.ParamSize = (FStackInfo.DumpSize - 8) >> 2;
      if (Word(frame) == frame)
        return false;
      frame = saved;
      return true;
    }
    frame = saved;  // a frame of code outside our modules: passed over without a level
  }
  return false;
}

void TDgnStackInfoList::StoreEntry() {
  if (static_cast<int>(FStackInfo.Level) > FIgnoreLevels + 1)
    FItems.push_back(std::make_unique<TDgnStackInfoItem>(FStackInfo));
}

bool TDgnStackInfoList::IsCallSite(uint32_t r, uint32_t& callSize) const {
  callSize = 0;
  if (r <= 8 || !IsValidCodeAddr(r - 8))
    return false;
  uint8_t b[8];  // b[8 - n] is the byte at R - n
  if (IsBadReadPtr(reinterpret_cast<const void*>(uintptr_t(r - 8)), 8))
    return false;
  std::memcpy(b, reinterpret_cast<const void*>(uintptr_t(r - 8)), 8);
  auto at = [&](int n) { return b[8 - n]; };
  auto rm = [](uint8_t modrm) { return modrm & 7; };
  if (at(5) == 0xE8)
    callSize = 5;  // call rel32
  else if (at(2) == 0xFF && (at(1) & 0xF8) == 0x10 && rm(at(1)) != 4 && rm(at(1)) != 5)
    callSize = 2;  // call [reg]
  else if (at(2) == 0xFF && (at(1) & 0xF8) == 0xD0)
    callSize = 2;  // call reg
  else if (at(3) == 0xFF && at(2) == 0x14)
    callSize = 3;  // call [SIB]
  else if (at(3) == 0xFF && (at(2) & 0xF8) == 0x50 && rm(at(2)) != 4)
    callSize = 3;  // call [reg+disp8]
  else if (at(4) == 0xFF && at(3) == 0x54)
    callSize = 4;  // call [SIB+disp8]
  else if (at(6) == 0xFF && at(5) == 0x15)
    callSize = 6;  // call [disp32]
  else if (at(6) == 0xFF && (at(5) & 0xF8) == 0x90 && rm(at(5)) != 4)
    callSize = 6;  // call [reg+disp32]
  else if (at(7) == 0xFF && at(6) == 0x94)
    callSize = 7;  // call [SIB+disp32]
  else if (at(7) == 0x9A)
    callSize = 7;  // call far ptr16:32
  return callSize != 0;
}

// ---- registry ---------------------------------------------------------------------------------

TDgnGlobalStackList::~TDgnGlobalStackList() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  FEntries.clear();
}

std::shared_ptr<TDgnStackBaseList> TDgnGlobalStackList::FindLocked(DWORD threadID,
                                                                   TDgnStackListClass cls) const {
  for (const auto& list : FEntries)
    if (list->ThreadID() == threadID && cls(list.get()))
      return list;
  return nullptr;
}

void TDgnGlobalStackList::AddStackList(std::shared_ptr<TDgnStackBaseList> list) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  TDgnStackListClass cls = list->ListClass();
  for (auto it = FEntries.begin(); it != FEntries.end(); ++it)
    if ((*it)->ThreadID() == list->ThreadID() && cls(it->get())) {
      FEntries.erase(it);
      break;
    }
  FEntries.push_back(std::move(list));
}

std::shared_ptr<TDgnStackBaseList> TDgnGlobalStackList::FindStackList(DWORD threadID,
                                                                      TDgnStackListClass cls) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (FRedirectActive && GetCurrentThreadId() == DgnMainThreadID())
    threadID = FRedirectedThreadID;
  return FindLocked(threadID, cls);
}

std::shared_ptr<TDgnStackInfoList> TDgnGlobalStackList::ExceptionStackOf(DWORD threadID) {
  return std::static_pointer_cast<TDgnStackInfoList>(FindStackList(threadID, &IsStackInfoList));
}

void TDgnGlobalStackList::RedirectMainThread(DWORD threadID) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (GetCurrentThreadId() == DgnMainThreadID()) {
    FRedirectActive = true;
    FRedirectedThreadID = threadID;
  } else {
    FRedirectActive = false;
  }
}

void TDgnGlobalStackList::EndRedirect() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  FRedirectActive = false;
}

std::unique_ptr<TDgnModuleInfoList> TDgnGlobalModulesList::AcquireModuleList() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return std::make_unique<TDgnModuleInfoList>();
}

void TDgnGlobalModulesList::ReleaseModuleList(std::unique_ptr<TDgnModuleInfoList>& list) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  list.reset();
}

// ---- tracking ---------------------------------------------------------------------------------

bool EnableExceptionStackTracking() {
  DgnStackInfoStartup();
  if (GTrackingCount > 0) {
    ++GTrackingCount;
    return false;
  }
  if (!InstallExceptionHooks() || !AddExceptionNotifier(&ExceptionNotifier, npHigh))
    return false;
  GTrackingCount = 1;
  return true;
}

bool DisableExceptionStackTracking() {
  if (GTrackingCount != 1) {
    if (GTrackingCount > 0)
      --GTrackingCount;
    return false;
  }
  bool removed = RemoveExceptionNotifier(&ExceptionNotifier);
  if (removed)
    GTrackingCount = 0;
  return removed;
}

TDgnGlobalStackList* GetGlobalStackList() {
  DgnStackInfoStartup();
  return GStackList;
}

std::shared_ptr<TDgnStackInfoList> GetLastExceptionStack() {
  return GetGlobalStackList()->ExceptionStackOf(GetCurrentThreadId());
}

void AddIgnoredExceptionClass(const std::type_info* cls) {
  if (!cls)
    return;
  TIgnoredClasses& ignored = Ignored();
  std::lock_guard<std::recursive_mutex> guard(ignored.Lock);
  for (const std::type_info* c : ignored.Classes)
    if (*c == *cls)
      return;
  ignored.Classes.push_back(cls);
}

bool IsExceptionClassIgnored(const std::type_info* cls, void* object) {
  if (!cls)
    return false;
  DgnStackInfoStartup();
  TIgnoredClasses& ignored = Ignored();
  std::lock_guard<std::recursive_mutex> guard(ignored.Lock);
  for (const std::type_info* c : ignored.Classes) {
    // The test a catch clause makes: would a handler for c take an object of class cls?
    void* adjusted = object;
    if (c->__do_catch(cls, &adjusted, 1))
      return true;
  }
  return false;
}

void RecordExceptionStack(const void* exceptAddr, bool osException, const void* stackBase) {
  // A hardware exception's trace starts with the faulting address. The hooks hand over the
  // faulting function's own frame (no run-time routine lies between), so no frame is skipped.
  const void* firstCaller = osException ? exceptAddr : nullptr;
  auto list = std::make_shared<TDgnStackInfoList>(-1, firstCaller, stackBase);
  GetGlobalStackList()->AddStackList(std::move(list));
}

// ---- start-up and shutdown ------------------------------------------------------------------------

void DgnStackInfoStartup() {
  std::lock_guard<std::recursive_mutex> guard(GStartLock);
  if (GStarted)
    return;
  GStarted = true;
  GModulesList = new TDgnGlobalModulesList;
  GStackList = new TDgnGlobalStackList;
  if (!GIgnored)
    GIgnored = new TIgnoredClasses;
  GIgnored->Classes.push_back(&typeid(EAbort));
}

void DgnStackInfoShutdown() {
  DisableExceptionStackTracking();
  FreeDebugThreadList();
  DgnDebugInfoShutdown();
  std::lock_guard<std::recursive_mutex> guard(GStartLock);
  delete GStackList;
  GStackList = nullptr;
  delete GModulesList;
  GModulesList = nullptr;
  delete GIgnored;
  GIgnored = nullptr;
  GStarted = false;
}
