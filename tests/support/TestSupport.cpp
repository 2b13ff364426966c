#include "support/TestSupport.h"

#include <windows.h>

#include <cwchar>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

static void RemoveTree(const std::wstring& dir) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring full = dir + L"\\" + name;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(full);
      } else {
        SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        // A child process that just ended may still hold the file for a moment under Wine.
        for (int i = 0; i < 50 && !DeleteFileW(full.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND; ++i)
          Sleep(20);
      }
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  for (int i = 0; i < 50 && !RemoveDirectoryW(dir.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND &&
                  GetLastError() != ERROR_PATH_NOT_FOUND; ++i)
    Sleep(20);
}

TTempDir::TTempDir() {
  wchar_t tmp[MAX_PATH];
  GetTempPathW(MAX_PATH, tmp);
  // An 8.3 name ("cw" and six hex digits): Wine invents short names for longer ones by a hash,
  // and two folders whose invented names collide would confuse code that opens files by short name.
  static LONG counter = static_cast<LONG>((GetCurrentProcessId() * 7919u + GetTickCount()) & 0xFFFFFF);
  for (int attempt = 0;; ++attempt) {
    wchar_t name[16];
    swprintf(name, 16, L"cw%06lX", static_cast<unsigned long>(InterlockedIncrement(&counter)) & 0xFFFFFFul);
    FPath = std::wstring(tmp) + name;
    if (CreateDirectoryW(FPath.c_str(), nullptr)) break;
    if (GetLastError() != ERROR_ALREADY_EXISTS || attempt > 100000)
      throw std::runtime_error("cannot create a temporary folder");
  }
}

TTempDir::~TTempDir() { RemoveTree(FPath); }

std::wstring TestBinDir() {
  wchar_t buf[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
  std::wstring s(buf, n);
  return s.substr(0, s.find_last_of(L'\\') + 1);
}

std::wstring TestSourceDir() {
  std::string unix = CW_TEST_SOURCE_DIR;
  std::wstring w = L"Z:";
  for (char c : unix) w += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return w;
}

void WriteTextFile(const std::wstring& path, const std::string& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot write a test file");
  DWORD done = 0;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
  CloseHandle(h);
}

std::string ReadTextFile(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot read a test file");
  std::string out;
  char buf[65536];
  DWORD done;
  while (ReadFile(h, buf, sizeof buf, &done, nullptr) && done) out.append(buf, done);
  CloseHandle(h);
  return out;
}

static std::vector<std::function<void()>>& Shutdowns() {
  static std::vector<std::function<void()>> list;
  return list;
}

void AddTestShutdown(std::function<void()> fn) { Shutdowns().push_back(std::move(fn)); }

void RunTestShutdown() {
  for (auto it = Shutdowns().rbegin(); it != Shutdowns().rend(); ++it) (*it)();
}

unsigned ScaledMs(unsigned ms) {
  wchar_t buf[16] = {};
  const DWORD n = GetEnvironmentVariableW(L"CW_TEST_TIME_SCALE", buf, 16);
  const long scale = n > 0 && n < 16 ? wcstol(buf, nullptr, 10) : 1;
  return ms * static_cast<unsigned>(scale >= 1 ? scale : 1);
}

std::vector<std::wstring> SplitLines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}
