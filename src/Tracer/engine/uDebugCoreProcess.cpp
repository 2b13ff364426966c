// The debuggee process with its modules and threads.
#include "Tracer/engine/uDebugCore.h"

#include "Tracer/engine/uProcessMemory.h"
#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uRaise.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"

namespace {

const wchar_t* const UnitPath = L"src/Tracer/uDebugCore";

// What the tracer does with the debuggee: wait for it, ask its state, read and write its
// memory, end it.
constexpr DWORD DebuggeeAccess = SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_WRITE | PROCESS_VM_READ |
                                 PROCESS_VM_OPERATION | PROCESS_TERMINATE;
static_assert(DebuggeeAccess == 0x100439);

}  // namespace

// ---------------------------------------------------------------------------------------
// Modules

bool TDebuggedProcessModulesList::FindModule(uint32_t baseAddress,
                                             TDebuggedProcessModule*& module) const {
  return FindObject(*this, baseAddress, module, UnitPath, 130);
}

TDebuggedProcessModules::TDebuggedProcessModules(TDebuggedProcess* process)
    : TDebuggedProcessModulesList(true), FProcess(process) {}

TDebuggedProcessModules::~TDebuggedProcessModules() { ClearModules(); }

TDebuggedProcessModule* TDebuggedProcessModules::AddModule(uint32_t baseAddress, HANDLE fileHandle) {
  // A load at a base whose unload was never reported replaces the old module.
  RemoveModule(baseAddress);
  auto* module = new TDebuggedProcessModule(baseAddress, fileHandle);
  Add(baseAddress, module);
  return module;
}

void* TDebuggedProcessModules::InsertSorted(int bucket, int index, uint32_t key, void* data) {
  CW_ASSERT(dynamic_cast<TDebuggedProcessModule*>(static_cast<TObject*>(data)) != nullptr, UnitPath,
            160);
  void* result = TDebuggedProcessModulesList::InsertSorted(bucket, index, key, data);
  FPending.Add(key, static_cast<TObject*>(data));
  return result;
}

void TDebuggedProcessModules::RemoveModule(uint32_t baseAddress) {
  FPending.Remove(baseAddress);
  Remove(baseAddress);
}

void TDebuggedProcessModules::ClearModules() {
  FPending.Clear();
  Clear();
}

bool TDebuggedProcessModules::ResolvePendingNames() {
  if (FPending.IsEmpty()) return false;
  std::vector<TDebuggedProcessModule*> named;
  auto e = TDebuggedProcessModulesListEnumerator(&FPending, UnitPath, 190);
  while (e.MoveNext()) {
    TDebuggedProcessModule* m = e.GetCurrent();
    CW_ASSERT(m->FileName.empty(), UnitPath, 193);
    GetProcessModuleFileName(FProcess->Handle.Get(),
                             reinterpret_cast<HMODULE>(static_cast<uintptr_t>(m->BaseAddress)),
                             m->FileName);
    if (!m->FileName.empty()) named.push_back(m);
  }
  for (TDebuggedProcessModule* m : named) FPending.Remove(m->BaseAddress);
  return !named.empty();
}

void TDebuggedProcessModules::NameKnown(TDebuggedProcessModule* module) {
  if (!module->FileName.empty()) FPending.Remove(module->BaseAddress);
}

bool TDebuggedProcessModules::FindByName(const std::wstring& name, TDebuggedProcessModule*& module) {
  auto e = Enumerate();
  while (e->MoveNext()) {
    TDebuggedProcessModule* m = e->GetCurrent();
    if (DebuggeeModuleNameMatches(name, m->FileName)) {
      module = m;
      return true;
    }
  }
  return false;
}


bool TDebuggedProcessModules::FindByAddress(uint32_t address, TDebuggedProcessModule*& module) {
  auto e = Enumerate();
  while (e->MoveNext()) {
    TDebuggedProcessModule* m = e->GetCurrent();
    if (address >= m->BaseAddress && address - m->BaseAddress < m->ImageSize) {
      module = m;
      return true;
    }
  }
  return false;
}

std::unique_ptr<TDebuggedProcessModulesListEnumerator> TDebuggedProcessModules::Enumerate() {
  return std::make_unique<TDebuggedProcessModulesListEnumerator>(this, UnitPath, 236);
}

// ---------------------------------------------------------------------------------------
// Threads

void TDebuggedProcessThreads::AddThread(DWORD threadId, HANDLE handle) {
  Remove(threadId);
  Add(threadId, new TDebuggedProcessThread(threadId, handle));
}

bool TDebuggedProcessThreads::FindThread(DWORD threadId, TDebuggedProcessThread*& thread) const {
  return FindObject(*this, threadId, thread, UnitPath, 262);
}

std::vector<TDebuggedProcessThread*> TDebuggedProcessThreads::Items() {
  return ObjectsOf<TDebuggedProcessThread>(this, UnitPath, 269);
}

// ---------------------------------------------------------------------------------------
// The process

TDebuggedProcess::TDebuggedProcess(DWORD processId)
    : TProcess(processId, std::wstring()), Modules(this) {
  Handle.Reset(OpenProcess(DebuggeeAccess, FALSE, processId));
  Win32CheckApi(Handle.Valid(), "OpenProcess");
  FMemory = new TMemoryManager(Handle.Get());
  GetProcessMemory()->SetBridge(FMemory);
  SetBreakpointProcess(Handle.Get());
}

TDebuggedProcess::~TDebuggedProcess() {
  try {
    if (GetBreakpointProcess() == Handle.Get()) SetBreakpointProcess(nullptr);
    GetProcessMemory()->ClearBridge(FMemory);
  } catch (...) {
  }
  // Then the threads, the modules (their file handles) and the process handle go.
}

void TDebuggedProcess::UpdateFileName() {
  {
    TSRWLockHold hold(FFileNameLock, TSRWLockHold::Shared);
    if (!FFileName.empty()) return;
  }
  std::wstring name;
  GetProcessModuleFileName(Handle.Get(), nullptr, name);
  if (name.empty()) return;
  TSRWLockHold hold(FFileNameLock, TSRWLockHold::Exclusive);
  FFileName.swap(name);
}

std::wstring TDebuggedProcess::FileName() const {
  TSRWLockHold hold(FFileNameLock, TSRWLockHold::Shared);
  return FFileName;
}

std::wstring TDebuggedProcess::ReadImageName(void* imageName, bool unicode) const {
  const HANDLE process = Handle.Get();
  uint32_t namePtr = 0;
  if (imageName == nullptr ||
      !TryReadProcessMemory(process, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(imageName)), &namePtr,
                            sizeof namePtr) ||
      namePtr == 0)
    return std::wstring();
  // Mostly one read; near the end of a page the name is read a character at a time.
  const bool fUnicode = unicode;
  if (fUnicode) {
    wchar_t buffer[MAX_PATH + 1] = {};
    if (TryReadProcessMemory(process, namePtr, buffer, MAX_PATH * sizeof(wchar_t))) return std::wstring(buffer);
  }
  std::wstring name;
  for (uint32_t i = 0; i < MAX_PATH * 4; ++i) {
    if (fUnicode) {
      wchar_t c = 0;
      if (!TryReadProcessMemory(process, namePtr + i * 2, &c, 2) || c == 0) break;
      name += c;
    } else {
      char c = 0;
      if (!TryReadProcessMemory(process, namePtr + i, &c, 1) || c == 0) break;
      wchar_t w = 0;
      MultiByteToWideChar(CP_ACP, 0, &c, 1, &w, 1);
      name += w;
    }
  }
  return name;
}

uint32_t TDebuggedProcess::ReadImageSize(uint32_t base) const {
  IMAGE_DOS_HEADER dos{};
  if (!TryReadProcessMemory(Handle.Get(), base, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE) return 0;
  IMAGE_NT_HEADERS32 nt{};
  if (!TryReadProcessMemory(Handle.Get(), base + dos.e_lfanew, &nt, sizeof nt) || nt.Signature != IMAGE_NT_SIGNATURE)
    return 0;
  return nt.OptionalHeader.SizeOfImage;
}
