// Helpers shared by the test programs.
#pragma once
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/TestTimeScale.h"

// A fresh folder under the temporary path, removed with its content at destruction.
class TTempDir {
public:
  TTempDir();
  ~TTempDir();
  const std::wstring& Path() const { return FPath; }
  // Path of a file inside the folder.
  std::wstring File(const std::wstring& name) const { return FPath + L"\\" + name; }

private:
  std::wstring FPath;
};

// Folder of the running test program (with a trailing backslash); fixtures are built there.
std::wstring TestBinDir();
// Source folder of the tests, as a Windows path (Wine maps the Unix root to Z:).
std::wstring TestSourceDir();

// The message of the exception (the run-time library's Exception) that action raises, or
// "(no error)".
std::wstring MessageOf(const std::function<void()>& action);

void WriteTextFile(const std::wstring& path, const std::string& bytes);
// The lines of a text split at CR LF (a message of several lines).
std::vector<std::wstring> SplitLines(const std::wstring& text);
std::string ReadTextFile(const std::wstring& path);

// Called once after all tests ran, before COM is uninitialised (e.g. to free singletons).
void AddTestShutdown(std::function<void()> fn);
void RunTestShutdown();

// Every time in milliseconds that a test or one of these helpers takes is the time on a fast
// machine: the helpers multiply it by the time-scale factor themselves (ScaledMs), and a test
// that calls a Win32 wait directly passes ScaledMs(ms).

// Sleeps ms (scaled).
void ScaledSleep(unsigned long ms);

// A limit ms (scaled) from its making, for polling loops.
class TDeadline {
public:
  explicit TDeadline(unsigned long ms);
  bool Passed() const;
  // The scaled limit, for messages.
  unsigned long Limit() const { return FLimit; }

private:
  unsigned long FStart;
  unsigned long FLimit;
};

// Calls pred every stepMs until it holds or ms (scaled) have passed; whether it held.
bool PollUntil(const std::function<bool()>& pred, unsigned long ms, unsigned long stepMs = 10);

// Bounds a call that waits without a limit of its own (a thread's WaitFor, a join, a stop of
// the debugger). When wait has not returned within ms (scaled), expire runs on another thread
// to end what it waits for (terminate the thread, the debuggee, ...) and the test fails naming
// what; if wait still has not returned some seconds later, the test program ends with that
// message rather than hang. Whether wait returned in time.
bool BoundedWait(const std::string& what, unsigned long ms, const std::function<void()>& wait,
                 const std::function<void()>& expire = {});

// Terminates a Win32 thread by its handle (an expiry action of BoundedWait).
void TerminateThreadHandle(void* handle);

// Waits for a worker thread object (anything with WaitFor() and Handle(), such as the
// debug-thread classes) within ms (scaled); one that still runs then is terminated and the
// test fails.
template <class TThread>
bool WaitForWorker(TThread& thread, unsigned long ms, const std::string& what = "the worker thread") {
  void* handle = thread.Handle();
  return BoundedWait(what, ms, [&thread] { thread.WaitFor(); }, [handle] { TerminateThreadHandle(handle); });
}

// Joins a std::thread within ms (scaled); one that still runs then is terminated and the test fails.
bool JoinWithin(std::thread& thread, unsigned long ms, const std::string& what = "the thread");
