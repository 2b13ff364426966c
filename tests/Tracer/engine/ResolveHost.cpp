#include "ResolveHost.h"

#include <gtest/gtest.h>
#include <psapi.h>

#include "EngineTestSupport.h"
#include "lib/rtl/SysUtils.h"
#include "support/TestSupport.h"

TResolveHost::TResolveHost(const std::vector<std::wstring>& requests) {
  TAddressPrinter child = StartAddressPrinter(L"resolvehost.exe", requests);
  FProcess = child.Process;
  FInput = child.Input;
  FAnswers = std::move(child.Addresses);
}

TResolveHost::~TResolveHost() {
  if (FInput) CloseHandle(FInput);
  if (WaitForSingleObject(FProcess, ScaledMs(5000)) == WAIT_TIMEOUT) {
    TerminateProcess(FProcess, 1);
    WaitForSingleObject(FProcess, ScaledMs(5000));
  }
  CloseHandle(FProcess);
}

uint32_t TResolveHost::At(const std::wstring& request) const {
  auto it = FAnswers.find(WideToUtf8(request));
  if (it == FAnswers.end()) {
    ADD_FAILURE() << "resolvehost gave no answer for " << WideToUtf8(request);
    return 0;
  }
  return it->second;
}

static std::vector<HMODULE> ProcessModules(HANDLE process) {
  std::vector<HMODULE> modules(1024);
  DWORD needed = 0;
  if (!K32EnumProcessModules(process, modules.data(), modules.size() * sizeof(HMODULE), &needed)) return {};
  modules.resize(std::min<size_t>(needed / sizeof(HMODULE), modules.size()));
  return modules;
}

static std::wstring ModuleFileName(HANDLE process, HMODULE module) {
  wchar_t buf[1025];
  DWORD n = K32GetModuleFileNameExW(process, module, buf, 1025);
  return std::wstring(buf, n);
}

bool TProcessDebuggee::FindModuleByName(const std::wstring& name, TDebuggeeModuleInfo& module) {
  for (HMODULE m : ProcessModules(FProcess)) {
    std::wstring file = ModuleFileName(FProcess, m);
    if (DebuggeeModuleNameMatches(name, file)) {
      module.BaseAddress = reinterpret_cast<uint32_t>(m);
      module.FileName = file;
      return true;
    }
  }
  return false;
}

void TProcessDebuggee::ReadMemory(uint32_t address, void* buffer, int32_t count) {
  ++Reads;
  SIZE_T done = 0;
  if (!ReadProcessMemory(FProcess, reinterpret_cast<const void*>(address), buffer, count, &done) ||
      done != static_cast<SIZE_T>(count))
    throw Exception(WideFormat(L"Cannot read %d bytes at %08X", count, address));
}

bool TProcessDebuggee::ModuleRange(const std::wstring& name, uint32_t& base, uint32_t& size) {
  TDebuggeeModuleInfo module;
  if (!FindModuleByName(name, module)) return false;
  MODULEINFO info{};
  if (!K32GetModuleInformation(FProcess, reinterpret_cast<HMODULE>(module.BaseAddress), &info, sizeof(info)))
    return false;
  base = module.BaseAddress;
  size = info.SizeOfImage;
  return true;
}
