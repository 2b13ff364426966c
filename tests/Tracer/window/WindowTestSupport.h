// Helpers of the windowed tests: bounded message pumping and a catcher of the exceptions that
// reach the application's handler.
#pragma once
#include "support/TestTimeScale.h"
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Redraws the window and writes its picture to "<test program folder>\<name>.png" for a person
// to look at; false when nothing could be captured.
bool SaveWindowScreenshot(HWND window, const std::wstring& name);

// Dispatches messages until done() or until ms (scaled) passed; answers done().
bool PumpUntil(const std::function<bool()>& done, int ms);
void PumpFor(int ms);

// While alive, exceptions handed to the application's handler are recorded instead of shown.
class TCaughtExceptions {
public:
  TCaughtExceptions();
  ~TCaughtExceptions();
  TCaughtExceptions(const TCaughtExceptions&) = delete;
  TCaughtExceptions& operator=(const TCaughtExceptions&) = delete;
  // The messages, in order.
  const std::vector<std::wstring>& Messages() const;
};
