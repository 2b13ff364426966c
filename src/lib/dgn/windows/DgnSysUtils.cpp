#include "lib/dgn/windows/DgnSysUtils.h"

#include <cstring>

std::wstring ModuleFilePath(HMODULE module) {
  wchar_t buf[MAX_PATH + 1];
  const DWORD n = GetModuleFileNameW(module, buf, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) return std::wstring();
  return std::wstring(buf, n);
}

std::wstring RemoveExtension(const std::wstring& path) {
  const size_t p = path.find_last_of(L":.\\");
  if (p != std::wstring::npos && path[p] == L'.') return path.substr(0, p);
  return path;
}

std::wstring FileNameWithoutExtension(const std::wstring& path) {
  const size_t p = path.find_last_of(L":\\/");
  return RemoveExtension(p == std::wstring::npos ? path : path.substr(p + 1));
}

bool FileIsPresent(const std::wstring& fileName) {
  if (fileName.empty()) return false;
  const DWORD attrs = GetFileAttributesW(fileName.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY);
}

HMODULE RuntimeModuleHandle() {
  MEMORY_BASIC_INFORMATION mbi{};
  if (VirtualQuery(reinterpret_cast<const void*>(&RuntimeModuleHandle), &mbi, sizeof(mbi)) == 0 ||
      mbi.State != MEM_COMMIT)
    return nullptr;
  return static_cast<HMODULE>(mbi.AllocationBase);
}

void ZeroMemoryBlock(void* buffer, size_t size) {
  if (size > 0) std::memset(buffer, 0, size);
}

void FreeModuleHandle(HMODULE& module) {
  if (module) FreeLibrary(module);
  module = nullptr;
}
