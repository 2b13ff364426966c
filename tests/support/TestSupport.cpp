#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <windows.h>

#include <cwchar>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "lib/rtl/SysUtils.h"

std::wstring MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& e) {
    return e.Message();
  }
  return L"(no error)";
}

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
          Sleep(ScaledMs(20));
      }
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  for (int i = 0; i < 50 && !RemoveDirectoryW(dir.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND &&
                  GetLastError() != ERROR_PATH_NOT_FOUND; ++i)
    Sleep(ScaledMs(20));
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

void ScaledSleep(unsigned long ms) { Sleep(ScaledMs(ms)); }

TDeadline::TDeadline(unsigned long ms) : FStart(GetTickCount()), FLimit(ScaledMs(ms)) {}

bool TDeadline::Passed() const { return GetTickCount() - FStart >= FLimit; }

bool PollUntil(const std::function<bool()>& pred, unsigned long ms, unsigned long stepMs) {
  const TDeadline deadline(ms);
  for (;;) {
    if (pred()) return true;
    if (deadline.Passed()) return false;
    Sleep(stepMs);
  }
}

namespace {

// Shared by a bounded wait and its watchdog thread, so that either may be the last to let go.
struct TWatch {
  std::string What;
  DWORD Limit = 0;
  std::function<void()> Expire;
  HANDLE Done = nullptr;  // set when the wait returned
  std::mutex Lock;        // the expiry and the return of the wait exclude each other
  bool Returned = false;
  bool Expired = false;
  ~TWatch() {
    if (Done) CloseHandle(Done);
  }
};

DWORD WINAPI Watchdog(void* param) {
  std::unique_ptr<std::shared_ptr<TWatch>> holder(static_cast<std::shared_ptr<TWatch>*>(param));
  TWatch& w = **holder;
  try {
    if (WaitForSingleObject(w.Done, w.Limit) != WAIT_TIMEOUT) return 0;
    {
      std::lock_guard<std::mutex> lock(w.Lock);
      if (w.Returned) return 0;
      w.Expired = true;
      fprintf(stderr, "%s did not end within %lu ms: ending what it waits for\n", w.What.c_str(),
              static_cast<unsigned long>(w.Limit));
      fflush(stderr);
      if (w.Expire) w.Expire();
    }
    if (WaitForSingleObject(w.Done, ScaledMs(10000)) != WAIT_TIMEOUT) return 0;
    fprintf(stderr, "%s still did not end: the test program ends here\n", w.What.c_str());
  } catch (...) {
    fprintf(stderr, "%s: the watchdog failed\n", w.What.c_str());
  }
  fflush(stdout);
  fflush(stderr);
  TerminateProcess(GetCurrentProcess(), 3);
  return 0;
}

}  // namespace

bool BoundedWait(const std::string& what, unsigned long ms, const std::function<void()>& wait,
                 const std::function<void()>& expire) {
  auto watch = std::make_shared<TWatch>();
  watch->What = what;
  watch->Limit = ScaledMs(ms);
  watch->Expire = expire;
  watch->Done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  auto* param = new std::shared_ptr<TWatch>(watch);
  HANDLE dog = watch->Done ? CreateThread(nullptr, 0, Watchdog, param, 0, nullptr) : nullptr;
  if (!dog) {
    delete param;
    ADD_FAILURE() << "no watchdog for " << what;
    return false;
  }
  CloseHandle(dog);
  auto returned = [&] {
    std::lock_guard<std::mutex> lock(watch->Lock);
    watch->Returned = true;
    SetEvent(watch->Done);
  };
  try {
    wait();
  } catch (...) {
    returned();
    throw;
  }
  returned();
  if (watch->Expired) ADD_FAILURE() << what << " did not end within " << watch->Limit << " ms";
  return !watch->Expired;
}

void TerminateThreadHandle(void* handle) { TerminateThread(static_cast<HANDLE>(handle), 1); }

bool JoinWithin(std::thread& thread, unsigned long ms, const std::string& what) {
  if (!thread.joinable()) return true;
  void* handle = pthread_gethandle(thread.native_handle());
  return BoundedWait(what, ms, [&thread] { thread.join(); }, [handle] { TerminateThreadHandle(handle); });
}
