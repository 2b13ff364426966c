#include "MinimalDebugLoop.h"

#include <map>
#include <set>
#include <stdexcept>
#include <vector>

namespace {

constexpr DWORD TrapFlag = 0x100;
constexpr uint8_t Int3 = 0xCC;

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string(what) + " failed, error " + std::to_string(GetLastError()));
}

bool Read(HANDLE process, uint32_t address, void* buffer, size_t count) {
  SIZE_T done = 0;
  return ReadProcessMemory(process, reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(address)), buffer,
                           count, &done) &&
         done == count;
}

void WriteByte(HANDLE process, uint32_t address, uint8_t value) {
  auto* p = reinterpret_cast<LPVOID>(static_cast<uintptr_t>(address));
  SIZE_T done = 0;
  Check(WriteProcessMemory(process, p, &value, 1, &done) && done == 1, "WriteProcessMemory");
  FlushInstructionCache(process, p, 1);
}

std::string ReadText(HANDLE process, uint32_t address) {
  std::string text;
  char c = 0;
  while (text.size() < 260 && Read(process, address + static_cast<uint32_t>(text.size()), &c, 1) && c != 0)
    text += c;
  return text;
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                                                b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

// The export's address in the image loaded at base, when the image's export directory names
// `module`; 0 otherwise.
uint32_t FindExport(HANDLE process, uint32_t base, const std::string& module, const std::string& function) {
  IMAGE_DOS_HEADER dos{};
  IMAGE_NT_HEADERS32 nt{};
  if (!Read(process, base, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
      !Read(process, base + dos.e_lfanew, &nt, sizeof nt) || nt.Signature != IMAGE_NT_SIGNATURE)
    return 0;
  const IMAGE_DATA_DIRECTORY& dir = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  IMAGE_EXPORT_DIRECTORY exports{};
  if (dir.VirtualAddress == 0 || !Read(process, base + dir.VirtualAddress, &exports, sizeof exports) ||
      !SameText(ReadText(process, base + exports.Name), module))
    return 0;
  for (DWORD i = 0; i < exports.NumberOfNames; ++i) {
    uint32_t nameRva = 0;
    uint16_t ordinal = 0;
    uint32_t functionRva = 0;
    if (Read(process, base + exports.AddressOfNames + i * 4, &nameRva, 4) &&
        ReadText(process, base + nameRva) == function &&
        Read(process, base + exports.AddressOfNameOrdinals + i * 2, &ordinal, 2) &&
        Read(process, base + exports.AddressOfFunctions + ordinal * 4u, &functionRva, 4))
      return base + functionRva;
  }
  return 0;
}

struct TReturnByte {
  uint8_t Saved = 0;
  int Outstanding = 0;  // calls through it not yet returned
};

class TMinimalLoop {
public:
  TMinimalLoop(std::string module, std::string function, bool holdOtherThreads)
      : FModule(std::move(module)), FFunction(std::move(function)), FHoldOthers(holdOtherThreads) {}

  int64_t Run(const std::wstring& commandLine) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::wstring cmd = commandLine;
    Check(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr,
                         &startup, &info) != FALSE,
          "CreateProcessW");
    CloseHandle(info.hThread);
    FProcess = info.hProcess;
    bool done = false;
    while (!done) {
      DEBUG_EVENT event{};
      Check(WaitForDebugEvent(&event, INFINITE) != FALSE, "WaitForDebugEvent");
      DWORD status = DBG_CONTINUE;
      switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
          CloseHandle(event.u.CreateProcessInfo.hFile);
          FThreads[event.dwThreadId] = event.u.CreateProcessInfo.hThread;
          break;
        case CREATE_THREAD_DEBUG_EVENT:
          FThreads[event.dwThreadId] = event.u.CreateThread.hThread;
          if (FRunner != 0) Hold(event.dwThreadId);
          break;
        case EXIT_THREAD_DEBUG_EVENT:
          FHeld.erase(event.dwThreadId);
          FThreads.erase(event.dwThreadId);
          break;
        case LOAD_DLL_DEBUG_EVENT: OnLoadDll(event.u.LoadDll); break;
        case EXIT_PROCESS_DEBUG_EVENT: done = true; break;
        case EXCEPTION_DEBUG_EVENT: status = OnException(event); break;
        default: break;
      }
      ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
    CloseHandle(FProcess);
    return FHits;
  }

private:
  void OnLoadDll(const LOAD_DLL_DEBUG_INFO& info) {
    if (info.hFile != nullptr) CloseHandle(info.hFile);
    if (FEntry != 0) return;
    FEntry = FindExport(FProcess, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(info.lpBaseOfDll)), FModule,
                        FFunction);
    if (FEntry == 0) return;
    Check(Read(FProcess, FEntry, &FEntrySaved, 1), "ReadProcessMemory");
    WriteByte(FProcess, FEntry, Int3);
  }

  DWORD OnException(const DEBUG_EVENT& event) {
    const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
    HANDLE thread = FThreads[event.dwThreadId];
    if (record.ExceptionCode == EXCEPTION_SINGLE_STEP) {
      // The step over the original instruction is done: its breakpoint goes back.
      auto pending = FSteps.find(event.dwThreadId);
      if (pending == FSteps.end()) return DBG_EXCEPTION_NOT_HANDLED;
      const uint32_t address = pending->second;
      FSteps.erase(pending);
      if (FHoldOthers) NextRunner(event.dwThreadId);
      // Another thread still about to run the original instruction re-arms it after its own step.
      for (auto& [thread, other] : FSteps)
        if (other == address) return DBG_CONTINUE;
      if (address == FEntry) {
        WriteByte(FProcess, FEntry, Int3);
      } else {
        auto ret = FReturns.find(address);
        if (ret != FReturns.end() && ret->second.Outstanding > 0) WriteByte(FProcess, address, Int3);
      }
      return DBG_CONTINUE;
    }
    if (record.ExceptionCode != EXCEPTION_BREAKPOINT) return DBG_EXCEPTION_NOT_HANDLED;
    const uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record.ExceptionAddress));
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL;
    if (address == FEntry && FEntry != 0) {
      ++FHits;
      Check(GetThreadContext(thread, &context) != FALSE, "GetThreadContext");
      uint32_t returnAddress = 0;
      Check(Read(FProcess, context.Esp, &returnAddress, 4), "ReadProcessMemory");
      TReturnByte& ret = FReturns[returnAddress];
      if (ret.Outstanding++ == 0) {
        Check(Read(FProcess, returnAddress, &ret.Saved, 1), "ReadProcessMemory");
        WriteByte(FProcess, returnAddress, Int3);
      }
      WriteByte(FProcess, FEntry, FEntrySaved);
      context.Eip = address;
      context.EFlags |= TrapFlag;
      BeginStep(event.dwThreadId, FEntry);
      Check(SetThreadContext(thread, &context) != FALSE, "SetThreadContext");
      return DBG_CONTINUE;
    }
    auto ret = FReturns.find(address);
    if (ret != FReturns.end()) {
      // Any int3 at a return address is ours (also a hit queued before another thread took
      // the byte out): the instruction runs again from its start.
      Check(GetThreadContext(thread, &context) != FALSE, "GetThreadContext");
      WriteByte(FProcess, address, ret->second.Saved);
      context.Eip = address;
      if (ret->second.Outstanding > 0 && --ret->second.Outstanding > 0) {
        // Other threads' calls still return here: re-armed after this thread's step.
        context.EFlags |= TrapFlag;
        BeginStep(event.dwThreadId, address);
      }
      Check(SetThreadContext(thread, &context) != FALSE, "SetThreadContext");
    }
    return DBG_CONTINUE;  // the loader's breakpoint, or a return hit
  }

  void Hold(DWORD thread) {
    if (FHeld.insert(thread).second) SuspendThread(FThreads[thread]);
  }
  void Release(DWORD thread) {
    if (FHeld.erase(thread) != 0) ResumeThread(FThreads[thread]);
  }

  // One thread steps while the others wait; a hit queued before the hold steps in its turn.
  void BeginStep(DWORD thread, uint32_t address) {
    FSteps[thread] = address;
    if (!FHoldOthers || FRunner != 0) return;
    FRunner = thread;
    for (auto& [other, handle] : FThreads)
      if (other != thread) Hold(other);
  }

  void NextRunner(DWORD finished) {
    if (FRunner != finished) return;
    FRunner = 0;
    if (!FSteps.empty()) {
      FRunner = FSteps.begin()->first;
      Release(FRunner);
      Hold(finished);
      return;
    }
    while (!FHeld.empty()) Release(*FHeld.begin());
  }

  std::string FModule;
  std::string FFunction;
  bool FHoldOthers;
  std::set<DWORD> FHeld;
  DWORD FRunner = 0;
  HANDLE FProcess = nullptr;
  std::map<DWORD, HANDLE> FThreads;
  std::map<DWORD, uint32_t> FSteps;  // thread -> address to re-arm after its step
  std::map<uint32_t, TReturnByte> FReturns;
  uint32_t FEntry = 0;
  uint8_t FEntrySaved = 0;
  int64_t FHits = 0;
};

}  // namespace

int64_t RunMinimalDebugLoop(const std::wstring& commandLine, const std::string& module, const std::string& function,
                            bool holdOtherThreads) {
  TMinimalLoop loop(module, function, holdOtherThreads);
  return loop.Run(commandLine);
}
