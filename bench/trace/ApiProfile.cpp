#include "ApiProfile.h"

#include <windows.h>
#include <psapi.h>

#include <cstring>

namespace {

struct TSlot {
  const char* Name;
  void* Wrapper;
  void* Original = nullptr;
  volatile LONG64 Count = 0;
  volatile LONG64 Ticks = 0;
};

TSlot* Slots();

int64_t Now() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t.QuadPart;
}

DWORD ProfiledThread = 0;  // 0: every thread but the main one
DWORD MainThread = GetCurrentThreadId();

template <size_t I, class R, class... A>
R WINAPI Wrap(A... a) {
  TSlot& slot = Slots()[I];
  const DWORD self = GetCurrentThreadId();
  if (ProfiledThread != 0 ? self != ProfiledThread : self == MainThread)
    return reinterpret_cast<R(WINAPI*)(A...)>(slot.Original)(a...);
  const int64_t start = Now();
  R r = reinterpret_cast<R(WINAPI*)(A...)>(slot.Original)(a...);
  InterlockedExchangeAdd64(&slot.Ticks, Now() - start);
  InterlockedIncrement64(&slot.Count);
  return r;
}

template <size_t I, class R, class... A>
void* WrapperOf(R(WINAPI*)(A...)) {
  return reinterpret_cast<void*>(&Wrap<I, R, A...>);
}

#define CW_SLOT(i, fn) {#fn, WrapperOf<i>(&::fn)}

TSlot* Slots() {
  static TSlot slots[] = {
      CW_SLOT(0, WaitForDebugEvent),  CW_SLOT(1, ContinueDebugEvent),    CW_SLOT(2, GetThreadContext),
      CW_SLOT(3, SetThreadContext),   CW_SLOT(4, ReadProcessMemory),     CW_SLOT(5, WriteProcessMemory),
      CW_SLOT(6, VirtualProtectEx),   CW_SLOT(7, FlushInstructionCache), CW_SLOT(8, SuspendThread),
      CW_SLOT(9, ResumeThread),       CW_SLOT(10, VirtualQueryEx),       CW_SLOT(11, K32GetModuleFileNameExW),
      CW_SLOT(12, WaitForSingleObject), CW_SLOT(13, WaitForMultipleObjects), CW_SLOT(14, SetEvent),
      CW_SLOT(15, ResetEvent),        CW_SLOT(16, ReleaseSemaphore),     CW_SLOT(17, SwitchToThread),
      CW_SLOT(18, SendMessageW),      CW_SLOT(19, DuplicateHandle),      CW_SLOT(20, CloseHandle),
      CW_SLOT(21, GetTickCount),      CW_SLOT(22, MessageBeep),          CW_SLOT(23, SleepConditionVariableSRW),
      {nullptr, nullptr}};
  return slots;
}

}  // namespace

void InstallApiProfile() {
  static bool done = false;
  if (done) return;
  done = true;
  auto* base = reinterpret_cast<uint8_t*>(GetModuleHandleW(nullptr));
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name != 0; ++imp) {
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + imp->OriginalFirstThunk);
    auto* entries = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + imp->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++entries) {
      if (names->u1.Ordinal & IMAGE_ORDINAL_FLAG32) continue;
      const char* name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name;
      for (TSlot* s = Slots(); s->Name != nullptr; ++s) {
        if (std::strcmp(s->Name, name) != 0) continue;
        s->Original = reinterpret_cast<void*>(entries->u1.Function);
        DWORD old = 0;
        VirtualProtect(&entries->u1.Function, 4, PAGE_READWRITE, &old);
        entries->u1.Function = reinterpret_cast<DWORD>(s->Wrapper);
        VirtualProtect(&entries->u1.Function, 4, old, &old);
      }
    }
  }
}

void SetProfiledThread(DWORD threadId) { ProfiledThread = threadId; }

void ResetApiProfile() {
  for (TSlot* s = Slots(); s->Name != nullptr; ++s) {
    InterlockedExchange64(&s->Count, 0);
    InterlockedExchange64(&s->Ticks, 0);
  }
}

std::vector<TApiStat> ApiProfile() {
  std::vector<TApiStat> stats;
  for (TSlot* s = Slots(); s->Name != nullptr; ++s) {
    TApiStat st{s->Name};
    st.Count = s->Count;
    st.Ticks = s->Ticks;
    stats.push_back(st);
  }
  return stats;
}

double ApiTicksPerMicrosecond() {
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  return static_cast<double>(f.QuadPart) / 1e6;
}
