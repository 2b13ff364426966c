#include "lib/dgn/windows/DgnWin32.h"

#include <windows.h>

std::wstring DgnSysErrorMessage(uint32_t code) {
  wchar_t* buf = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                           nullptr, code, 0, reinterpret_cast<LPWSTR>(&buf), 0, nullptr);
  std::wstring s;
  if (n && buf) s.assign(buf, n);
  if (buf) LocalFree(buf);
  while (!s.empty() && (s.back() <= L' ' || s.back() == L'.')) s.pop_back();
  return s;
}

EDgnWin32Error::EDgnWin32Error(const std::wstring& message) : EDgnWin32Error(GetLastError(), message) {}

EDgnWin32Error::EDgnWin32Error(uint32_t errorCode, const std::wstring& message)
    : FLastError(errorCode), FLastErrorMsg(DgnSysErrorMessage(errorCode)) {
  SetMessage(WideFormat(L"Win32 error: %ls (%u)%ls%ls", FLastErrorMsg.c_str(), FLastError, L"\r\n",
                        message.c_str()));
}

static bool DetectNTPlatform() {
  OSVERSIONINFOW vi{};
  vi.dwOSVersionInfoSize = sizeof(vi);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExW(&vi)) return true;
#pragma GCC diagnostic pop
  return vi.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

const bool IsNTPlatform = DetectNTPlatform();

void BindProcedureAddress(void*& procVar, const std::wstring& moduleName, const std::string& procName) {
  if (procVar) return;
  HMODULE module = GetModuleHandleW(moduleName.c_str());
  if (!module) {
    const UINT oldMode = SetErrorMode(SEM_NOOPENFILEERRORBOX);
    module = LoadLibraryW(moduleName.c_str());
    SetErrorMode(oldMode);
  }
  if (!module) throw EDgnError(WideFormat(L"Library not found: %ls", moduleName.c_str()));
  FARPROC p = GetProcAddress(module, procName.c_str());
  if (!p)
    throw EDgnError(WideFormat(L"Function not found: %ls.%hs", moduleName.c_str(), procName.c_str()));
  procVar = reinterpret_cast<void*>(p);
}
