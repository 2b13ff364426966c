#include "ResolveHost.h"

#include <gtest/gtest.h>
#include <psapi.h>

#include <stdexcept>

#include "lib/rtl/SysUtils.h"
#include "support/TestSupport.h"

TResolveHost::TResolveHost(const std::vector<std::wstring>& requests) {
  SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
  HANDLE outRead, outWrite, inRead, inWrite;
  if (!CreatePipe(&outRead, &outWrite, &sa, 0) || !CreatePipe(&inRead, &inWrite, &sa, 0))
    throw std::runtime_error("CreatePipe failed");
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = inRead;
  si.hStdOutput = outWrite;
  si.hStdError = outWrite;
  PROCESS_INFORMATION pi{};
  std::wstring cmd = L"\"" + TestBinDir() + L"resolvehost.exe\"";
  for (const auto& r : requests) cmd += L" \"" + r + L"\"";
  BOOL ok = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, TestBinDir().c_str(), &si, &pi);
  CloseHandle(outWrite);
  CloseHandle(inRead);
  if (!ok) {
    CloseHandle(outRead);
    CloseHandle(inWrite);
    throw std::runtime_error("resolvehost.exe could not be started");
  }
  CloseHandle(pi.hThread);
  FProcess = pi.hProcess;
  FInput = inWrite;
  std::string text;
  char buf[512];
  DWORD got;
  while (text.find("ready") == std::string::npos && ReadFile(outRead, buf, sizeof buf, &got, nullptr) && got > 0)
    text.append(buf, got);
  CloseHandle(outRead);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(pos, eol - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t eq = line.rfind('=');
    if (eq != std::string::npos)
      FAnswers[line.substr(0, eq)] = static_cast<uint32_t>(std::stoul(line.substr(eq + 1), nullptr, 16));
    pos = eol + 1;
  }
}

TResolveHost::~TResolveHost() {
  if (FInput) CloseHandle(FInput);
  if (WaitForSingleObject(FProcess, 5000) == WAIT_TIMEOUT) {
    TerminateProcess(FProcess, 1);
    WaitForSingleObject(FProcess, 5000);
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
