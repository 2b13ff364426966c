// Forms, the application object and its message loop, timers and hints.
//
// One loop serves the program and every modal form: dispatch until the queue is empty, then
// one idle pass (the idle handler, then the update handlers of the actions of every visible
// form), then wait; a 500 ms timer keeps idle passes coming. Key messages go first to the
// active form when it is enabled: its short-cut handler, then the accelerators of its menus.
#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Tracer/foundation/uUtils.h"
#include "Tracer/window/uWinActions.h"
#include "Tracer/window/uWinBase.h"
#include "Tracer/window/uWinCtrls.h"

class TMainMenu;

enum class TBorderStyle : uint8_t { Sizeable, Dialog, None };
enum class TFormPosition : uint8_t { Designed, ScreenCenter, MainFormCenter };
enum class TCloseAction : uint8_t { None, Hide, Free };

// A top-level window of our own class; the class name is the form's class name (and the
// section of its texts in language files). Components are created by the derived class's
// constructor; its creation step (DoCreate) runs after construction, through CreateForm.
class TForm : public TCustomWindow {
public:
  TForm(TComponent* owner, const wchar_t* className, int clientWidth, int clientHeight,
        TBorderStyle border = TBorderStyle::Sizeable);
  ~TForm() override;
  bool IsForm() const override { return true; }

  void SetCaption(const std::wstring& caption) override;
  // A font for the form and every child without its own.
  void SetFormFont(const std::wstring& name, int height) { SetFont(name, height); }
  void SetPosition(TFormPosition position) { FPosition = position; }
  void SetClientSize(int width, int height);
  void SetMinSize(int width, int height) { FMinWidth = width, FMinHeight = height; }
  void SetMenu(TMainMenu* menu);
  TMainMenu* Menu() const { return FMenu; }
  const std::wstring& HelpKeyword() const { return FHelpKeyword; }
  void SetHelpKeyword(const std::wstring& keyword) { FHelpKeyword = keyword; }
  // The form shows on top of other windows.
  void SetStayOnTop(bool onTop);

  // Shows the form (running its show step first) and activates it.
  void Show();
  void Hide() { ShowWindow(Handle(), SW_HIDE); }
  void SetVisible(bool visible) override;
  // Asks CloseQuery and closes as DoClose says (a modal form ends with mrCancel).
  void Close();
  // Runs the form modally: other windows of the thread are disabled until the modal result
  // is set; the wait runs the application's idle processing. Answers the modal result.
  int ShowModal();
  int ModalResult() const { return FModalResult; }
  void SetModalResult(int result) { FModalResult = result; }
  bool IsModal() const { return FModal; }

  // Key messages for this form: its short cuts, then its menus' accelerators; true when used.
  bool IsShortCut(const MSG& msg);

  // Runs the creation step once (CreateForm calls it after construction).
  void Create();

  std::function<void(TForm*, TCloseAction&)> OnClose;
  std::function<void(TForm*, bool&)> OnCloseQuery;

protected:
  // Creation step, after all constructors ran.
  virtual void DoCreate() {}
  // Before the form becomes visible.
  virtual void DoShow() {}
  // WM_HELP and the help command.
  virtual void DoHelp() {}
  // A key message before menus and controls see it; true when consumed.
  virtual bool DoShortCut(const MSG& /*msg*/) { return false; }
  virtual bool CloseQuery();
  LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp) override;

private:
  void PlaceOnScreen();
  void RebuildAccelerators();

  TFormPosition FPosition = TFormPosition::Designed;
  TMainMenu* FMenu = nullptr;
  std::wstring FHelpKeyword;
  int FModalResult = mrNone;
  bool FModal = false;
  bool FCreated = false;
  bool FPlaced = false;
  int FMinWidth = 0, FMinHeight = 0;
  TAccelHandle FAccel;
  unsigned FAccelGeneration = ~0u;
};

// Makes a form and runs its creation step.
template <class T, class... Args>
std::unique_ptr<T> CreateForm(Args&&... args) {
  auto form = std::make_unique<T>(std::forward<Args>(args)...);
  form->Create();
  return form;
}

// The form a control lies on, nil when none.
TForm* GetParentForm(TControl* control);

// The application's hint window: a frameless pop-up that shows one text.
class THintWindow : public TCustomWindow {
public:
  explicit THintWindow(HFONT font, const wchar_t* className = L"THintWindow");
  // The window rectangle the text needs, at (0, 0), at most maxWidth wide.
  virtual RECT CalcHintRect(int maxWidth, const std::wstring& text);
  // Shows text in rect (screen coordinates).
  void ActivateHint(RECT rect, const std::wstring& text);
  void ReleaseHint() { ShowWindow(Handle(), SW_HIDE); }
  const std::wstring& Text() const { return FText; }

protected:
  LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp) override;

private:
  TFontHandle FHintFont;  // a copy of the font it was made with
  std::wstring FText;
};

// What a hint handler may change before a hint shows.
struct THintInfo {
  TControl* HintControl = nullptr;
  POINT CursorPos{};    // in the control's client coordinates
  RECT CursorRect{};    // the hint stays while the cursor stays here (client coordinates)
  POINT HintPos{};      // screen position of the hint window
  int HintMaxWidth = 0;
  std::wstring HintStr;
};

using THintWindowFactory = std::function<std::unique_ptr<THintWindow>(HFONT font)>;

class TTimer;

class TApplication : public TComponent {
public:
  TApplication();
  ~TApplication() override;

  // The main form: closing it ends Run.
  TForm* MainForm() const { return FMainForm; }
  void SetMainForm(TForm* form) { FMainForm = form; }
  // The one application title, kept by the foundation (message boxes take it as their caption).
  std::wstring Title() const { return GetApplicationTitle(); }
  void SetTitle(const std::wstring& title) { SetApplicationTitle(title); }

  // Dispatches messages until WM_QUIT.
  void Run();
  // Dispatches every queued message, without an idle pass.
  void ProcessMessages();
  // One message, or (none queued) one idle pass followed by a wait for the next message.
  void HandleMessage();
  void Terminate() { PostQuitMessage(0); }
  bool Terminated() const { return FTerminated; }

  // Forms alive, in order of creation.
  const std::vector<TForm*>& Forms() const { return FForms; }
  TForm* ActiveForm() const;

  std::function<void(bool& done)> OnIdle;
  std::function<void(std::wstring& hintStr, bool& canShow, THintInfo& info)> OnShowHint;
  // The kind of hint window made when hints are switched on.
  void SetHintWindowFactory(THintWindowFactory factory) { FHintFactory = std::move(factory); }
  // Switching hints off frees the hint window; on makes a new one with the main form's font.
  void SetShowHint(bool show);
  bool ShowHint() const { return FShowHint; }
  THintWindow* HintWindow() const { return FHintWindow.get(); }
  void CancelHint();
  int HintPause = 500;
  int HintHidePause = 2500;

  // The hidden window that receives the layer's timers.
  HWND UtilWindow() const;

  // Used by forms and timers.
  void AddForm(TForm* form);
  void RemoveForm(TForm* form);
  UINT_PTR AddTimer(TTimer* timer);
  void RemoveTimer(UINT_PTR id);
  void TimerFired(UINT_PTR id);

private:
  bool ProcessMessage(MSG& msg);
  void Idle();
  void MouseMoved(const MSG& msg);
  void ActivateHint();

  class TUtilWindow;
  std::unique_ptr<TUtilWindow> FUtil;
  TForm* FMainForm = nullptr;
  bool FTerminated = false;
  std::vector<TForm*> FForms;
  std::vector<std::pair<UINT_PTR, TTimer*>> FTimers;
  UINT_PTR FNextTimer = 100;
  THintWindowFactory FHintFactory;
  std::unique_ptr<THintWindow> FHintWindow;
  bool FShowHint = false;
  TControl* FHintControl = nullptr;
  RECT FHintCursorRect{};  // screen coordinates
  bool FHintShown = false;
};

// The program's one application object (made on first use).
TApplication* Application();

// Calls its handler every Interval milliseconds while enabled.
class TTimer : public TComponent {
public:
  TTimer(TComponent* owner, const std::wstring& name, UINT interval = 1000);
  ~TTimer() override;
  void SetEnabled(bool enabled);
  bool Enabled() const { return FId != 0; }
  void SetInterval(UINT interval);
  UINT Interval() const { return FInterval; }
  std::function<void(TTimer*)> OnTimer;

private:
  UINT FInterval;
  UINT_PTR FId = 0;
};
