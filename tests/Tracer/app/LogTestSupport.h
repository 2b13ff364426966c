// A trace log for the tests of the windows and writers that read it: the five columns of the
// main window and calls, messages and errors put into the event queue as the engine logs them.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Tracer/app/uTEQColumns.h"
#include "Tracer/foundation/uOleVariant.h"

struct TLogParam {
  const wchar_t* Name;
  TOleVariant Value;
  bool Visible = true;
};

// Points the COM server at the type library and frees the services at the end; once.
void PrepareLogServices();
// "Thread Id", "Call", "Time (ms)", "Result", "Parameters".
void AddDefaultColumns(TTEQColumnManager& columns);
// A call as the engine logs it: a hidden "result" first, then the parameters.
void AddLogCall(const std::wstring& title, uint32_t threadId, double time, int32_t result,
                const std::vector<TLogParam>& params);
// A one-dimensional array of byte variants, as buffers are read from the traced program.
TOleVariant ByteArray(const std::string& bytes);

// The event queue emptied and the time format set to whole milliseconds, also at the end.
class TLogScope {
public:
  TLogScope();
  ~TLogScope();
  TLogScope(const TLogScope&) = delete;
  TLogScope& operator=(const TLogScope&) = delete;
};
