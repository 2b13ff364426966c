// Exception tracking: at the moment an exception is raised, the chain of calls that led to it
// is walked along the frame pointers and kept, per thread, in a process-wide registry.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <typeinfo>
#include <vector>

#include "lib/dgn/windows/DgnDebugInfo.h"
#include "lib/rtl/SysUtils.h"

class TDgnStackBaseList;
// "Is of the class or a descendant": how lists of one class are found in the registry.
using TDgnStackListClass = bool (*)(const TDgnStackBaseList* list);

// An owning list of entries made by one thread at one moment.
class TDgnStackBaseList : public TObject {
public:
  TDgnStackBaseList();
  DWORD ThreadID() const { return FThreadID; }
  double TimeStamp() const { return FTimeStamp; }
  virtual TDgnStackListClass ListClass() const = 0;

protected:
  std::vector<std::unique_ptr<TObject>> FItems;

private:
  DWORD FThreadID;
  double FTimeStamp;  // local date and time, days since 30 Dec 1899
};

struct TDgnStackInfo {
  uint32_t CallerAddr = 0;   // the call instruction (or the return address when not recognised)
  uint32_t Level = 0;        // 1 for the first frame found
  uint32_t CallerFrame = 0;  // the saved frame pointer
  uint32_t DumpSize = 0;     // caller frame - this frame
  uint32_t ParamSize = 0;    // (dump size - 8) / 4
  uint32_t ParamPtr = 0;     // this frame + 8
  uint32_t StackFrame = 0;
};

class TDgnStackInfoItem : public TObject {
public:
  explicit TDgnStackInfoItem(const TDgnStackInfo& info) : StackInfo(info) {}
  const void* GetCallerAddr() const {
    return reinterpret_cast<const void*>(static_cast<uintptr_t>(StackInfo.CallerAddr));
  }
  TDgnStackInfo StackInfo;
};

// One stack trace, innermost call first, at most MaxEntries entries.
class TDgnStackInfoList : public TDgnStackBaseList {
public:
  static constexpr int MaxEntries = 4096;

  // Walks at once from stackBase (a frame pointer of the current thread). Frames with a level
  // up to ignoreLevels + 1 are passed over; firstCaller, when given, becomes the first entry.
  TDgnStackInfoList(int ignoreLevels, const void* firstCaller, const void* stackBase);
  ~TDgnStackInfoList() override;

  TDgnStackListClass ListClass() const override;
  int GetCount() const { return static_cast<int>(FItems.size()); }
  TDgnStackInfoItem* EntryAt(int index) const {
    return static_cast<TDgnStackInfoItem*>(FItems[index].get());
  }

private:
  void WalkFrames(uint32_t stackBase);
  bool NextFrame(uint32_t& frame);
  void StoreEntry();
  bool IsCallSite(uint32_t returnAddr, uint32_t& callSize) const;
  bool IsValidStackAddr(uint32_t addr) const;
  bool IsValidCodeAddr(uint32_t addr) const;

  int FIgnoreLevels;
  uint32_t FTopOfStack;
  uint32_t FBaseOfStack = 0;
  std::unique_ptr<TDgnModuleInfoList> FModuleList;
  TDgnStackInfo FStackInfo;
};

// The registry: the latest list per thread and list class. Lists are shared: a caller that
// holds one keeps it valid even when a newer exception of that thread replaces it.
class TDgnGlobalStackList : public TObject {
public:
  ~TDgnGlobalStackList() override;
  // Replaces the list of the same thread and class (the list's own thread, never a redirect).
  void AddStackList(std::shared_ptr<TDgnStackBaseList> list);
  std::shared_ptr<TDgnStackBaseList> FindStackList(DWORD threadID, TDgnStackListClass cls);
  std::shared_ptr<TDgnStackInfoList> ExceptionStackOf(DWORD threadID);
  // From the main thread: its lookups answer with threadID's lists until EndRedirect.
  // From any other thread: ends the redirect.
  void RedirectMainThread(DWORD threadID);
  void EndRedirect();

private:
  std::shared_ptr<TDgnStackBaseList> FindLocked(DWORD threadID, TDgnStackListClass cls) const;
  std::recursive_mutex FLock;
  std::vector<std::shared_ptr<TDgnStackBaseList>> FEntries;
  bool FRedirectActive = false;
  DWORD FRedirectedThreadID = 0;
};

// Hands out module lists of our own modules for the frame walk.
class TDgnGlobalModulesList : public TObject {
public:
  std::unique_ptr<TDgnModuleInfoList> AcquireModuleList();
  void ReleaseModuleList(std::unique_ptr<TDgnModuleInfoList>& list);

private:
  std::recursive_mutex FLock;
};

// The main thread's id (the thread that started the library).
DWORD DgnMainThreadID();
// The local date and time as days since 30 Dec 1899.
double DgnNow();

bool EnableExceptionStackTracking();
bool DisableExceptionStackTracking();
// The calling thread's last recorded trace (the redirected thread's in a redirected report);
// nullptr when none.
std::shared_ptr<TDgnStackInfoList> GetLastExceptionStack();
TDgnGlobalStackList* GetGlobalStackList();

// Exception classes are their type information; a listed class covers its descendants.
void AddIgnoredExceptionClass(const std::type_info* cls);
bool IsExceptionClassIgnored(const std::type_info* cls, void* object = nullptr);

// Records the current thread's trace (what the exception notifier does for each exception).
void RecordExceptionStack(const void* exceptAddr, bool osException, const void* stackBase);

// Start-up (idempotent; the first use of the library runs it) and shutdown of exception
// tracking, its registries and the location lookup.
void DgnStackInfoStartup();
void DgnStackInfoShutdown();
