#include "lib/dgn/windows/DgnSysUtils.h"

#include <cstring>

std::wstring ModuleFilePath(HMODULE module) {
  // A path that fills the buffer may have been cut: try again with more room.
  std::wstring buf(MAX_PATH + 1, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return std::wstring();
    if (n < buf.size()) {
      buf.resize(n);
      return buf;
    }
    if (buf.size() >= 32768) return std::wstring();
    buf.resize(buf.size() * 2);
  }
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
