// Fixture host for the assemblers: a log of real call events (the engine's event classes), a
// focused row, and an application object that records the plug-in actions, help topics and
// settings it is handed.
#pragma once
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Tracer/com/CalderwispTlb.h"
#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uOleVariant.h"
#include "vostik/uVostikBase.h"

// Values as a client library's log gives them.
TOleVariant I(int32_t value);
TOleVariant U(uint32_t value);
TOleVariant T(const wchar_t* text);
TOleVariant Null();
TOleVariant Date(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
TOleVariant Double(double value);

// One logged call: name, result and parameters in logged order ("result" goes first).
struct TLogCall {
  std::wstring Name;
  TOleVariant Result;
  std::vector<std::pair<std::wstring, TOleVariant>> Args;
};

// A message row instead of a call.
TLogCall Message(const std::wstring& text);

// The application object the host hands to Connect.
class TFixtureApp;

class TFixtureHost {
public:
  // clearLog false: the host shows the log the engine filled.
  explicit TFixtureHost(bool clearLog = true);
  ~TFixtureHost();
  TFixtureHost(const TFixtureHost&) = delete;
  TFixtureHost& operator=(const TFixtureHost&) = delete;

  // Replaces the log; the focus goes to the last row (-1: none).
  void SetLog(const std::vector<TLogCall>& calls, int focused = -2);
  void SetFocus(int index) { Focused = index; }
  IAppObject* App() const;

  // What the assembler did with the host.
  struct TAddedAction {
    std::wstring Caption, Hint;
    HICON Icon;
    TComPtr<IAppPluginAction> Action;
  };
  std::vector<TAddedAction> Added;
  std::vector<IAppPluginAction*> Removed;
  std::vector<std::wstring> HelpTopics;
  std::vector<std::pair<std::wstring, TOleVariant>> Settings;
  int Focused = -1;
  // When set, this host call fails with E_FAIL.
  bool FailAllEvents = false;
  bool FailVisibleEvents = false;

private:
  TFixtureApp* FApp;
  bool FOwnLog;  // cleared when made, and so when gone
};

// The result as the viewer got it, and the wrap state the viewer answers.
struct TShownResult {
  int Count = 0;
  std::wstring SQL, AssembledSQL;
  std::vector<TSQLParamRow> Rows;
  bool WrapIn = false;
  bool WrapOut = false;
};
// Captures what the assemblers show while it lives.
class TResultCapture {
public:
  TResultCapture();
  ~TResultCapture();
  TShownResult& Shown();
};

// What a watching thread saw of the library's result window.
struct TResultWindowSeen {
  std::atomic<bool> Found{false};
  std::atomic<bool> Done{false};  // the watch is over (the window gone, or never seen)
  std::wstring Caption;
  std::vector<std::wstring> Edits;  // the two memos' texts
  HWND Owner = nullptr;
  size_t Colors = 0;
};
// Runs on a thread of its own while the main thread shows the result window modally: waits for
// the window of this process, reads it, saves its picture as "<test program folder>\<name>.png"
// (over the window under, when given, in one picture) and closes it; keeps closing it (bounded)
// until it is gone, so the modal loop always ends.
void WatchResultWindow(TResultWindowSeen& seen, const std::wstring& name, HWND under);

// An assembler of the dialect, initialised and connected to host (the caller holds it).
template <class T>
TComPtr<IAppPlugin> ConnectAssembler(TFixtureHost& host) {
  TComPtr<IAppPlugin> plugin(static_cast<IAppPlugin*>(NewSQLAssembler<T>()));
  plugin->Connect(host.App());
  return plugin;
}

// The action of a dialect-T assembler run on a row of the log the engine filled, as the host's
// button runs it: its state on that row, then what it showed.
template <class T>
TShownResult AssembleLoggedRow(int row, LONG& state) {
  TFixtureHost host(false);
  host.SetFocus(row);
  TResultCapture capture;
  TComPtr<IAppPlugin> plugin = ConnectAssembler<T>(host);
  IAppPluginAction* action = host.Added.at(0).Action.Get();
  state = action->GetState();
  action->Execute();
  return capture.Shown();
}
