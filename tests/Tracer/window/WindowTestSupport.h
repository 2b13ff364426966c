// Helpers of the windowed tests: bounded message pumping and a catcher of the exceptions that
// reach the application's handler.
#pragma once
#include "support/TestTimeScale.h"
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "Tracer/window/uWinForms.h"

// Redraws the window and writes its picture to "<test program folder>\<name>.png" for a person
// to look at; false when nothing could be captured.
bool SaveWindowScreenshot(HWND window, const std::wstring& name);

// "lang\<language>.lng" beside the test program while alive, read by the translation service;
// English again afterwards. Each suite uses a language no other suite does.
class TTestLanguageFile {
public:
  TTestLanguageFile(const std::wstring& language, const std::string& text);
  ~TTestLanguageFile();
  TTestLanguageFile(const TTestLanguageFile&) = delete;
  TTestLanguageFile& operator=(const TTestLanguageFile&) = delete;

private:
  std::wstring FFile;
};

// The texts of window's visible static texts, buttons and list-view column headers that do not
// show whole: each measured with its control's own font against the room the control gives it,
// and static texts and buttons covered by a sibling's. One line per fault, empty when all fit.
std::vector<std::wstring> ClippedTexts(HWND window);

// Dispatches messages until done() or until ms (scaled) passed; answers done().
bool PumpUntil(const std::function<bool()>& done, int ms);
// Makes window the active one and waits (ms, scaled) until it is: test programs share one display,
// so another program's window may hold the focus; asking again while waiting takes it back.
bool ActivateWithin(HWND window, int ms);
// Presses key on target (a control of window) as the user would, with window active, until done
// holds: a key that arrives while another program's window holds the focus is pressed again.
bool PressKeyUntil(HWND window, HWND target, WPARAM key, const std::function<bool()>& done, int ms);
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

// While alive, the application's idle handler drives the forms the code under test shows
// (modal dialogs): each step waits for a visible form it accepts and then acts on it, the
// next step only after that. A modal loop still open after ms (scaled) ends with Cancel.
struct TFormStep {
  std::function<bool(TForm*)> Accepts;
  std::function<void(TForm*)> Act;
};

class TFormDriver {
public:
  explicit TFormDriver(int ms = 10000);
  ~TFormDriver();
  TFormDriver(const TFormDriver&) = delete;
  TFormDriver& operator=(const TFormDriver&) = delete;
  void Then(TFormStep step) { FSteps.push_back(std::move(step)); }
  bool Done() const { return FNext >= FSteps.size(); }

private:
  std::vector<TFormStep> FSteps;
  size_t FNext = 0;
  TTimer* FSafety;
};

// A step for a visible form of class T.
template <class T, class F>
TFormStep OnForm(F act) {
  return {[](TForm* f) { return dynamic_cast<T*>(f) != nullptr; }, [act](TForm* f) { act(static_cast<T*>(f)); }};
}
