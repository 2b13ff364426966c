// Runs the engine as the main window does: the debugger driven from this (main) thread, which
// pumps its messages while it waits, and the log read back from the event queue.
#pragma once
#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Tracer/foundation/uOleVariant.h"
#include "support/TestSupport.h"

// One logged event as the log view would show it.
struct TLoggedEvent {
  enum TKind { Message, Error, Call } Kind = Message;
  std::wstring Text;
  DWORD ThreadId = 0;
  double Time = 0;
  // Parameters in logged order ("result" first for a call).
  std::vector<std::pair<std::wstring, TOleVariant>> Params;
  std::vector<bool> ParamVisible;
  bool Visible = true;

  // A parameter's value as text; a byte array as upper-case hex digits; "<missing>" when absent.
  std::wstring Value(const std::wstring& name) const;
  const VARIANT* Find(const std::wstring& name) const;
};

class TProcDef;

// One parameter of a definition as a symbol file gives it.
struct TParamSpec {
  TParamSpec(std::wstring type, std::wstring name, int offset, bool out = false, std::wstring length = L"")
      : Type(std::move(type)), Name(std::move(name)), Offset(offset), Out(out), Length(std::move(length)) {}
  std::wstring Type;  // keyword with its "*"s
  std::wstring Name;
  int Offset;
  bool Out = false;
  std::wstring Length;  // empty: none
};

// Definitions loaded for the tests, as a symbol file would load them; freed at the end.
class TTestDefs {
public:
  ~TTestDefs();
  // result: "eax", "ax" or "void".
  TProcDef* Add(const std::wstring& url, const std::wstring& result, std::vector<TParamSpec> params = {},
                const std::wstring& title = L"");
  // The relative address of an export of a fixture DLL.
  static uint32_t ExportRva(const std::wstring& dll, const char* name);
  std::vector<std::unique_ptr<TProcDef>> Items;
};

// One line of the traced program's truth file: the function, then name=value pairs.
struct TTruthCall {
  std::wstring Function;
  std::map<std::wstring, std::wstring> Values;
};

class TTraceHarness {
public:
  // Clears the log.
  TTraceHarness();
  // Leaves no trace running.
  ~TTraceHarness();

  // The command line of the traced test program for a scenario (truth file in Dir).
  std::wstring CommandLine(const std::wstring& scenario, const std::wstring& argument = L"") const;
  // Every time-out below is scaled by the time-scale factor (see support/TestSupport.h).
  // Runs a scenario to its end (the program's exit ends the trace).
  void RunToEnd(const std::wstring& scenario, const std::wstring& argument = L"",
                DWORD timeoutMs = 60000);
  void StartRun(const std::wstring& scenario, const std::wstring& argument = L"");
  // Pumps messages until the trace has ended and its debugging thread is gone; false on time-out.
  bool WaitForEnd(DWORD timeoutMs);
  // Stops the running trace as the window does (TDebugger::Stop) and waits for the debugging
  // thread's end, each within timeoutMs; one that expires ends the traced program and fails
  // the test.
  bool Stop(DWORD timeoutMs = 20000);
  // Waits for the last debugging thread's end (it may still be detaching after GetActive went
  // false) within timeoutMs, as Stop does.
  bool WaitForThreadEnd(DWORD timeoutMs = 20000);
  // Pumps messages until pred holds; false on time-out.
  template <class TPred>
  bool PumpUntil(TPred pred, DWORD timeoutMs) {
    const TDeadline deadline(timeoutMs);
    while (!pred()) {
      if (deadline.Passed()) return false;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
      Pump();
    }
    return true;
  }
  // Pumps messages for ms, for tests that assert that nothing happens meanwhile.
  void PumpFor(DWORD ms) {
    PumpUntil([] { return false; }, ms);
  }
  static void Pump();

  std::vector<TLoggedEvent> Events() const;
  std::vector<TLoggedEvent> OfKind(TLoggedEvent::TKind kind) const;
  std::vector<TLoggedEvent> Calls() const;
  std::vector<TLoggedEvent> CallsOf(const std::wstring& title) const;
  std::vector<TLoggedEvent> Errors() const;
  std::vector<TTruthCall> Truth() const;
  std::wstring TruthFile() const { return Dir.File(L"truth.txt"); }
  // The process id the traced program wrote first; 0 while it has not.
  DWORD TruthPid() const;
  // Remark lines ("# ...") of the truth file, without the "# ".
  std::vector<std::string> TruthRemarks() const;
  bool HasRemark(const std::string& remark) const;

  TTempDir Dir;

private:
  // TruthPid, 0 when the truth file cannot be read.
  DWORD KnownPid() const;
};

// The busy scenario (or another that takes the stop file and says "ready") started outside the
// debugger, for attaching; ended at the latest when this object goes.
class TBusyProgram {
public:
  // Returns once the program has taken the checksum of its untouched code.
  explicit TBusyProgram(TTraceHarness& h, const std::wstring& scenario = L"busy");
  ~TBusyProgram();
  TBusyProgram(const TBusyProgram&) = delete;
  TBusyProgram& operator=(const TBusyProgram&) = delete;
  bool StillRunning() const { return WaitForSingleObject(Process, 0) == WAIT_TIMEOUT; }
  // Lets it finish its loop; true when it ended by itself (within 20 s, scaled).
  bool Finish();
  HANDLE Process = nullptr;
  DWORD Pid = 0;

private:
  std::wstring FStopFile;
};
