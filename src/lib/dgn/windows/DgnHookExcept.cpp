#include "lib/dgn/windows/DgnHookExcept.h"

#include <windows.h>

#include <atomic>
#include <exception>
#include <vector>

#include "lib/dgn/windows/DgnCriticalSection.h"
#include "lib/dgn/windows/DgnOsExceptions.h"
#include "lib/dgn/windows/DgnPeImage.h"
#include "lib/dgn/windows/DgnSysUtils.h"

extern "C" {
__attribute__((used)) volatile uint32_t __DgnHookExcept = 0;

// The run-time's own throw, reached through the linker's --wrap.
[[noreturn]] void __real___cxa_throw(void* obj, std::type_info* type, void* dest);
[[noreturn]] void __wrap___cxa_throw(void* obj, std::type_info* type, void* dest);

// libgcc's lookup of the unwind table entry of a code address.
struct TDwarfEhBases {
  void* tbase;
  void* dbase;
  void* func;
};
const void* _Unwind_Find_FDE(void* pc, TDwarfEhBases* bases);

void DgnRaiseOsException();
void DgnOsExceptionTrampoline();
}

// Entered from the vectored handler with ECX = faulting address + 1: pushing it makes the
// raise routine look called from the faulting instruction, so unwinding starts in the
// faulting function (its call-site table covers trapping instructions, -fnon-call-exceptions).
asm(".text\n"
    ".globl _DgnOsExceptionTrampoline\n"
    "_DgnOsExceptionTrampoline:\n"
    "  pushl %ecx\n"
    "  jmp _DgnRaiseOsException\n");

namespace {

struct TNotifierItem : TObject {
  TNotifierItem(TExceptNotifyProc proc, uint8_t priority) : NotifyProc(proc), Priority(priority) {}
  TExceptNotifyProc NotifyProc;
  uint8_t Priority;
};

// A hardware exception between the vectored handler and its raise.
struct TPendingOsException {
  uint32_t Code;
  void* Address;
  uintptr_t Info0;
  uintptr_t Info1;
  void* StackBase;
};

// Where the wrapper finds that the throw it sees is a converted hardware exception.
struct TOsRaise {
  void* Address;
  void* StackBase;
};

// Thrown once by InstallExceptionHooks: the wrapper seeing it proves it is linked in.
struct TDgnWrapProbe {};

class THookUnit {
public:
  THookUnit();
  ~THookUnit() { Finalize(); }
  void Finalize();

  TDgnCriticalSection ListLock;
  std::vector<TNotifierItem*>* Items = new std::vector<TNotifierItem*>;
  TDgnCriticalSection InstallLock;
  DWORD ReentrySlot;   // per-thread: inside a notification
  DWORD PendingSlot;   // per-thread: TPendingOsException*
  DWORD OsRaiseSlot;   // per-thread: TOsRaise* of the raise in progress
  HANDLE PendingHeap;  // its own heap: the fault may have struck inside the run-time's heap
  PVOID VehHandle = nullptr;
  uintptr_t ModuleStart = 0, ModuleEnd = 0;
  bool Finalized = false;
};

std::atomic<THookUnit*> UnitPtr{nullptr};
std::atomic<bool> HooksInstalled{false};
std::atomic<bool> WrapSeen{false};

THookUnit::THookUnit()
    : ReentrySlot(TlsAlloc()), PendingSlot(TlsAlloc()), OsRaiseSlot(TlsAlloc()), PendingHeap(HeapCreate(0, 0, 0)) {
  HMODULE own = RuntimeModuleHandle();
  ModuleStart = reinterpret_cast<uintptr_t>(own);
  ModuleEnd = ModuleStart + PeImageSize(own);
  UnitPtr = this;
}

THookUnit& Unit() {
  static THookUnit unit;
  return unit;
}

void THookUnit::Finalize() {
  if (Finalized) return;
  Finalized = true;
  // A DLL tells the main program it goes, when the main program asks for it.
  HMODULE own = RuntimeModuleHandle();
  HMODULE exe = GetModuleHandleW(nullptr);
  if (own != exe) {
    auto item = reinterpret_cast<volatile uint32_t*>(GetProcAddress(exe, "__DgnHookExcept"));
    if (item && *item != 0) reinterpret_cast<void(WINAPI*)(HMODULE, uint32_t)>(*item)(own, 1);
  }
  UnitPtr = nullptr;
  HooksInstalled = false;
  // The handler's code goes with this module.
  if (VehHandle) RemoveVectoredExceptionHandler(VehHandle);
  VehHandle = nullptr;
  ListLock.Enter();
  std::vector<TNotifierItem*>* items = Items;
  Items = nullptr;
  ListLock.Leave();
  if (items) {
    for (TNotifierItem* item : *items) delete item;
    delete items;
  }
  for (DWORD slot : {ReentrySlot, PendingSlot, OsRaiseSlot})
    if (slot != TLS_OUT_OF_INDEXES) TlsFree(slot);
  ReentrySlot = PendingSlot = OsRaiseSlot = TLS_OUT_OF_INDEXES;
  if (PendingHeap) HeapDestroy(PendingHeap);
  PendingHeap = nullptr;
}

LONG CALLBACK DgnVectoredHandler(EXCEPTION_POINTERS* ep) {
  THookUnit* u = UnitPtr;
  if (!u || !HooksInstalled) return EXCEPTION_CONTINUE_SEARCH;
  const EXCEPTION_RECORD* rec = ep->ExceptionRecord;
  CONTEXT* ctx = ep->ContextRecord;
  const uintptr_t addr = reinterpret_cast<uintptr_t>(rec->ExceptionAddress);
  if ((rec->ExceptionFlags & EXCEPTION_NONCONTINUABLE) || !IsConvertedOsException(rec->ExceptionCode) ||
      addr < u->ModuleStart || addr >= u->ModuleEnd || u->PendingSlot == TLS_OUT_OF_INDEXES ||
      TlsGetValue(u->PendingSlot) != nullptr)
    return EXCEPTION_CONTINUE_SEARCH;
  // Code without unwind tables cannot be left by a throw: the system handles it as before.
  TDwarfEhBases bases;
  if (!_Unwind_Find_FDE(rec->ExceptionAddress, &bases)) return EXCEPTION_CONTINUE_SEARCH;
  auto pending = static_cast<TPendingOsException*>(HeapAlloc(u->PendingHeap, 0, sizeof(TPendingOsException)));
  if (!pending) return EXCEPTION_CONTINUE_SEARCH;
  pending->Code = rec->ExceptionCode;
  pending->Address = rec->ExceptionAddress;
  pending->Info0 = rec->NumberParameters > 0 ? rec->ExceptionInformation[0] : 0;
  pending->Info1 = rec->NumberParameters > 1 ? rec->ExceptionInformation[1] : 0;
  pending->StackBase = reinterpret_cast<void*>(static_cast<uintptr_t>(ctx->Ebp));
  TlsSetValue(u->PendingSlot, pending);
  ctx->Ecx = static_cast<DWORD>(addr + 1);
  ctx->Eip = static_cast<DWORD>(reinterpret_cast<uintptr_t>(&DgnOsExceptionTrampoline));
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

extern "C" void DgnRaiseOsException() {
  THookUnit* u = UnitPtr;
  auto pending = u ? static_cast<TPendingOsException*>(TlsGetValue(u->PendingSlot)) : nullptr;
  if (!pending) std::terminate();  // only the vectored handler leads here
  const TPendingOsException p = *pending;
  TlsSetValue(u->PendingSlot, nullptr);
  HeapFree(u->PendingHeap, 0, pending);
  TOsRaise raise{p.Address, p.StackBase};
  TlsSetValue(u->OsRaiseSlot, &raise);
  RaiseOsExceptionObject(p.Code, p.Address, p.Info0, p.Info1);
}

extern "C" void __wrap___cxa_throw(void* obj, std::type_info* type, void* dest) {
  if (type && *type == typeid(TDgnWrapProbe)) {
    WrapSeen = true;
  } else if (THookUnit* u = UnitPtr) {
    const DWORD lastError = GetLastError();
    auto os = u->OsRaiseSlot != TLS_OUT_OF_INDEXES ? static_cast<TOsRaise*>(TlsGetValue(u->OsRaiseSlot)) : nullptr;
    if (os) TlsSetValue(u->OsRaiseSlot, nullptr);
    if (HooksInstalled) {
      if (os)
        NotifyExceptionNotifiers(obj, type, os->Address, true, os->StackBase);
      else
        NotifyExceptionNotifiers(obj, type, __builtin_return_address(0), false, __builtin_frame_address(0));
    }
    SetLastError(lastError);
  }
  __real___cxa_throw(obj, type, dest);
}

bool InstallExceptionHooks() {
  THookUnit& u = Unit();
  if (HooksInstalled) return true;
  TDgnLock lock(u.InstallLock);
  if (HooksInstalled) return true;
  if (u.Finalized) return false;  // after shutdown nothing is hooked again
  TlsSetValue(u.ReentrySlot, nullptr);
  try {
    throw TDgnWrapProbe();
  } catch (const TDgnWrapProbe&) {
  }
  if (!WrapSeen || u.ModuleEnd == u.ModuleStart) return false;
  u.VehHandle = AddVectoredExceptionHandler(1, DgnVectoredHandler);
  if (!u.VehHandle) return false;
  HooksInstalled = true;
  return true;
}

bool AddExceptionNotifier(TExceptNotifyProc notifyProc, uint8_t priority) {
  if (!notifyProc) return false;
  THookUnit& u = Unit();
  TDgnLock lock(u.ListLock);
  if (!u.Items) return false;
  u.Items->push_back(new TNotifierItem(notifyProc, priority));
  return true;
}

bool RemoveExceptionNotifier(TExceptNotifyProc notifyProc) {
  if (!notifyProc) return false;
  THookUnit& u = Unit();
  TDgnLock lock(u.ListLock);
  if (!u.Items) return true;
  std::vector<TNotifierItem*>& items = *u.Items;
  for (size_t i = items.size(); i-- > 0;) {
    if (items[i]->NotifyProc == notifyProc) {
      delete items[i];
      items.erase(items.begin() + i);
    }
  }
  return true;
}

void NotifyExceptionNotifiers(void* excObj, const std::type_info* excType, void* excAddr, bool osException,
                              void* stackBase) {
  THookUnit* u = UnitPtr;
  if (!u || u->ReentrySlot == TLS_OUT_OF_INDEXES || TlsGetValue(u->ReentrySlot) || !u->Items) return;
  TlsSetValue(u->ReentrySlot, reinterpret_cast<void*>(1));
  u->ListLock.Enter();
  // Notifiers may add or remove items of their own thread's list (the lock is re-entrant):
  // walk by index and stop at the end as it is now.
  auto call = [&](size_t i) {
    if (!u->Items || i >= u->Items->size()) return;
    try {
      (*u->Items)[i]->NotifyProc(excObj, excType, excAddr, osException, stackBase);
    } catch (...) {
      // The exception being raised goes on unchanged.
    }
  };
  if (u->Items->size() == 1) {
    call(0);
  } else {
    for (uint8_t priority : {npHigh, npNormal})
      for (size_t i = 0; u->Items && i < u->Items->size(); ++i)
        if ((*u->Items)[i]->Priority == priority) call(i);
  }
  u->ListLock.Leave();
  TlsSetValue(u->ReentrySlot, nullptr);
}

Exception* ExceptionOfThrownObject(void* excObj, const std::type_info* excType) {
  void* p = excObj;
  if (!excObj || !excType || !typeid(Exception).__do_catch(excType, &p, 1)) return nullptr;
  return static_cast<Exception*>(p);
}

bool ThrownObjectIsA(void* excObj, const std::type_info* excType, const std::type_info& base) {
  void* p = excObj;
  return excObj && excType && base.__do_catch(excType, &p, 1);
}

