#include "Tracer/window/uWinForms.h"

#include <algorithm>

#include "Tracer/foundation/uUtils.h"
#include "Tracer/window/uErrorDialog.h"
#include "Tracer/window/uWinMenus.h"

namespace {

enum : UINT_PTR { kWakeTimer = 1, kHintShowTimer = 2, kHintHideTimer = 3 };
const UINT kWakeInterval = 500;

void ForEachControl(TControl* parent, const std::function<void(TControl*)>& fn) {
  for (TControl* c : parent->Controls()) {
    fn(c);
    ForEachControl(c, fn);
  }
}

void ForEachComponent(TComponent* owner, const std::function<void(TComponent*)>& fn) {
  for (int i = 0; i < owner->ComponentCount(); ++i) {
    TComponent* c = owner->Component(i);
    fn(c);
    ForEachComponent(c, fn);
  }
}

TButton* FindButton(TForm* form, bool wantDefault) {
  TButton* found = nullptr;
  ForEachControl(form, [&](TControl* c) {
    auto* b = dynamic_cast<TButton*>(c);
    if (!found && b && (wantDefault ? b->Default() : b->Cancel()) && b->Visible() && b->Enabled()) found = b;
  });
  return found;
}

BOOL CALLBACK CollectEnabledWindow(HWND window, LPARAM list) {
  if (IsWindowVisible(window) && IsWindowEnabled(window)) reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  return TRUE;
}

}  // namespace

TForm* GetParentForm(TControl* control) {
  while (control && !control->IsForm()) control = control->Parent();
  return static_cast<TForm*>(control);
}

// ---- TForm -----------------------------------------------------------------------------------

TForm::TForm(TComponent* owner, const wchar_t* className, int clientWidth, int clientHeight, TBorderStyle border)
    : TCustomWindow(owner, nullptr, className) {
  DWORD style = WS_CLIPCHILDREN, ex = WS_EX_CONTROLPARENT;
  switch (border) {
    case TBorderStyle::Sizeable: style |= WS_OVERLAPPEDWINDOW; break;
    case TBorderStyle::Dialog:
      style |= WS_POPUP | WS_CAPTION | WS_SYSMENU;
      ex |= WS_EX_DLGMODALFRAME;
      break;
    case TBorderStyle::None: style |= WS_POPUP; break;
  }
  RECT r{0, 0, clientWidth, clientHeight};
  AdjustWindowRectEx(&r, style, FALSE, ex);
  CreateWindowOfClass(style, ex, 0, 0, r.right - r.left, r.bottom - r.top);
  // Forms other than the first stay above the main form.
  if (TForm* main = Application()->MainForm())
    SetWindowLongPtrW(Handle(), GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(main->Handle()));
  Application()->AddForm(this);
}

TForm::~TForm() {
  Application()->RemoveForm(this);
  DestroyComponents();
}

void TForm::Create() {
  if (FCreated) return;
  FCreated = true;
  DoCreate();
}

void TForm::SetCaption(const std::wstring& caption) { PutWindowText(caption); }

void TForm::SetClientSize(int width, int height) {
  RECT r{0, 0, width, height};
  AdjustWindowRectEx(&r, GetWindowLongW(Handle(), GWL_STYLE), GetMenu(Handle()) != nullptr,
                     GetWindowLongW(Handle(), GWL_EXSTYLE));
  SetWindowPos(Handle(), nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TForm::SetMenu(TMainMenu* menu) {
  // The client area keeps its size under the new bar.
  RECT client = ClientRect();
  FMenu = menu;
  ::SetMenu(Handle(), menu ? menu->Handle() : nullptr);
  if (menu) menu->SetWindow(Handle());
  SetClientSize(client.right, client.bottom);
}

void TForm::SetStayOnTop(bool onTop) {
  SetWindowPos(Handle(), onTop ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void TForm::PlaceOnScreen() {
  FPlaced = true;
  RECT area{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  if (FPosition == TFormPosition::Designed) return;
  if (FPosition == TFormPosition::MainFormCenter) {
    TForm* main = Application()->MainForm();
    if (main && main != this) GetWindowRect(main->Handle(), &area);
  }
  RECT r;
  GetWindowRect(Handle(), &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  SetWindowPos(Handle(), nullptr, area.left + (area.right - area.left - w) / 2, area.top + (area.bottom - area.top - h) / 2,
               0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TForm::Show() {
  if (!FPlaced) PlaceOnScreen();
  DoShow();
  ShowWindow(Handle(), SW_SHOW);
  SetForegroundWindow(Handle());
  SetActiveWindow(Handle());
}

void TForm::SetVisible(bool visible) {
  if (visible)
    Show();
  else
    Hide();
}

bool TForm::CloseQuery() {
  bool canClose = true;
  if (OnCloseQuery) OnCloseQuery(this, canClose);
  return canClose;
}

void TForm::Close() {
  if (!CloseQuery()) return;
  if (FModal) {
    FModalResult = mrCancel;
    return;
  }
  TCloseAction action = TCloseAction::Hide;
  if (OnClose) OnClose(this, action);
  if (action == TCloseAction::None) return;
  Hide();
  if (Application()->MainForm() == this) Application()->Terminate();
}

int TForm::ShowModal() {
  HWND previous = GetActiveWindow();
  std::vector<HWND> disabled;
  EnumThreadWindows(GetCurrentThreadId(), CollectEnabledWindow, reinterpret_cast<LPARAM>(&disabled));
  disabled.erase(std::remove(disabled.begin(), disabled.end(), Handle()), disabled.end());
  for (HWND w : disabled) EnableWindow(w, FALSE);
  FModal = true;
  FModalResult = mrNone;
  auto restore = [&] {
    // Enable the others before hiding, so the activation goes back to them.
    for (HWND w : disabled)
      if (IsWindow(w)) EnableWindow(w, TRUE);
    SetWindowPos(Handle(), nullptr, 0, 0, 0, 0,
                 SWP_HIDEWINDOW | SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    if (previous && IsWindow(previous)) SetActiveWindow(previous);
    FModal = false;
  };
  try {
    Show();
    while (FModalResult == mrNone) {
      Application()->HandleMessage();
      if (Application()->Terminated()) FModalResult = mrCancel;
    }
  } catch (...) {
    restore();
    throw;
  }
  restore();
  return FModalResult;
}

void TForm::RebuildAccelerators() {
  std::vector<ACCEL> table;
  ForEachComponent(this, [&](TComponent* c) {
    auto* item = dynamic_cast<TMenuItem*>(c);
    if (item && item->ShortCut())
      table.push_back(ACCEL{static_cast<BYTE>(FVIRTKEY | item->ShortCut().Modifiers), item->ShortCut().Key,
                            item->CommandId()});
  });
  FAccel.Reset(table.empty() ? nullptr : CreateAcceleratorTableW(table.data(), static_cast<int>(table.size())));
  FAccelGeneration = TMenuItem::ShortCutGeneration();
}

bool TForm::IsShortCut(const MSG& msg) {
  if (DoShortCut(msg)) return true;
  if (FAccelGeneration != TMenuItem::ShortCutGeneration()) RebuildAccelerators();
  MSG copy = msg;
  return FAccel && TranslateAcceleratorW(Handle(), FAccel.Get(), &copy) != 0;
}

LRESULT TForm::OnMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CLOSE:
      Close();
      return 0;
    case WM_HELP:
      DoHelp();
      return TRUE;
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lp);
      if (FMinWidth) info->ptMinTrackSize.x = FMinWidth;
      if (FMinHeight) info->ptMinTrackSize.y = FMinHeight;
      return 0;
    }
    case DM_GETDEFID:
      if (TButton* b = FindButton(this, true))
        return MAKELRESULT(GetDlgCtrlID(b->Handle()), DC_HASDEFID);
      return 0;
    case WM_COMMAND:
      // Escape in the dialog manager; the ids of our buttons never clash with IDCANCEL.
      if (LOWORD(wp) == IDCANCEL && !FromHandle(reinterpret_cast<HWND>(lp))) {
        if (TButton* b = FindButton(this, false)) b->Click();
        return 0;
      }
      break;
  }
  return TCustomWindow::OnMessage(msg, wp, lp);
}

// ---- THintWindow -----------------------------------------------------------------------------

THintWindow::THintWindow(HFONT font, const wchar_t* className) : TCustomWindow(nullptr, nullptr, className) {
  LOGFONTW lf{};
  GetObjectW(font ? font : GetStockObject(DEFAULT_GUI_FONT), sizeof(lf), &lf);
  FHintFont.Reset(CreateFontIndirectW(&lf));
  CreateWindowOfClass(WS_POPUP | WS_BORDER, WS_EX_TOOLWINDOW | WS_EX_TOPMOST | WS_EX_NOACTIVATE, 0, 0, 10, 10,
                      std::wstring(), CS_SAVEBITS);
  SetFontHandle(FHintFont.Get());
}

RECT THintWindow::CalcHintRect(int maxWidth, const std::wstring& text) {
  TWindowDC dc(Handle());
  TSelectObject font(dc.Get(), FHintFont.Get());
  RECT r{0, 0, std::max(maxWidth - 8, 16), 0};
  DrawTextW(dc.Get(), text.c_str(), -1, &r, DT_CALCRECT | DT_NOPREFIX | DT_WORDBREAK | DT_EXPANDTABS);
  // Text margins and the frame.
  r.right += 8;
  r.bottom += 4;
  return r;
}

void THintWindow::ActivateHint(RECT rect, const std::wstring& text) {
  FText = text;
  SetWindowPos(Handle(), HWND_TOPMOST, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
               SWP_SHOWWINDOW | SWP_NOACTIVATE);
  Invalidate();
}

LRESULT THintWindow::OnMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_NCHITTEST:
      return HTTRANSPARENT;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(Handle(), &ps);
      RECT r = ClientRect();
      FillRect(dc, &r, GetSysColorBrush(COLOR_INFOBK));
      TSelectObject font(dc, FHintFont.Get());
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, GetSysColor(COLOR_INFOTEXT));
      InflateRect(&r, -3, -1);
      DrawTextW(dc, FText.c_str(), -1, &r, DT_NOPREFIX | DT_WORDBREAK | DT_EXPANDTABS);
      EndPaint(Handle(), &ps);
      return 0;
    }
  }
  return TCustomWindow::OnMessage(msg, wp, lp);
}

// ---- TApplication ----------------------------------------------------------------------------

class TApplication::TUtilWindow : public TCustomWindow {
public:
  explicit TUtilWindow(TApplication* app) : TCustomWindow(nullptr, nullptr, L"TApplicationUtil"), FApp(app) {
    CreateWindowOfClass(WS_POPUP, WS_EX_TOOLWINDOW, 0, 0, 0, 0);
  }

protected:
  LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp) override {
    if (msg != WM_TIMER) return TCustomWindow::OnMessage(msg, wp, lp);
    switch (wp) {
      case kWakeTimer: break;  // only wakes the loop for its idle pass
      case kHintShowTimer: FApp->ActivateHint(); break;
      case kHintHideTimer: FApp->CancelHint(); break;
      default: FApp->TimerFired(wp); break;
    }
    return 0;
  }

private:
  TApplication* FApp;
};

TApplication::TApplication() : TComponent(nullptr), FUtil(std::make_unique<TUtilWindow>(this)) {
  if (GetApplicationTitle().empty()) SetApplicationTitle(ApplicationTitle);
  SetErrorDialogWindowFunc(ShowErrorDialogWindow);
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES | ICC_BAR_CLASSES | ICC_TAB_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
  SetTimer(FUtil->Handle(), kWakeTimer, kWakeInterval, nullptr);
  FHintFactory = [](HFONT font) { return std::make_unique<THintWindow>(font); };
}

TApplication::~TApplication() {
  FHintWindow.reset();
  KillTimer(FUtil->Handle(), kWakeTimer);
}

TApplication* Application() {
  static TApplication app;
  return &app;
}

HWND TApplication::UtilWindow() const { return FUtil->Handle(); }

void TApplication::AddForm(TForm* form) { FForms.push_back(form); }

void TApplication::RemoveForm(TForm* form) {
  FForms.erase(std::remove(FForms.begin(), FForms.end(), form), FForms.end());
  if (FMainForm == form) FMainForm = nullptr;
  if (FHintControl && GetParentForm(FHintControl) == form) CancelHint(), FHintControl = nullptr;
}

TForm* TApplication::ActiveForm() const {
  TControl* c = TControl::FromHandle(GetActiveWindow());
  return c && c->IsForm() ? static_cast<TForm*>(c) : nullptr;
}

void TApplication::Run() {
  while (!FTerminated) HandleMessage();
}

void TApplication::ProcessMessages() {
  MSG msg;
  while (ProcessMessage(msg)) {
  }
}

void TApplication::HandleMessage() {
  MSG msg;
  if (!ProcessMessage(msg)) Idle();
}

bool TApplication::ProcessMessage(MSG& msg) {
  if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
  if (msg.message == WM_QUIT) {
    FTerminated = true;
    return true;
  }
  switch (msg.message) {
    case WM_MOUSEMOVE:
      MouseMoved(msg);
      break;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
    case WM_NCLBUTTONDOWN:
    case WM_MOUSEWHEEL:
      CancelHint();
      break;
  }
  TForm* form = ActiveForm();
  if (form && IsWindowEnabled(form->Handle())) {
    if (msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN) {
      bool used = false;
      WindowProcGuard([&] { used = form->IsShortCut(msg); });
      if (used) return true;
    }
    if (IsDialogMessageW(form->Handle(), &msg)) return true;
  }
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
  return true;
}

void TApplication::Idle() {
  bool done = true;
  WindowProcGuard([&] {
    if (OnIdle) OnIdle(done);
  });
  WindowProcGuard([&] {
    std::vector<TForm*> forms = FForms;
    for (TForm* f : forms) {
      if (!f->Visible()) continue;
      ForEachComponent(f, [](TComponent* c) {
        if (auto* list = dynamic_cast<TActionList*>(c)) list->UpdateActions();
      });
    }
  });
  if (done) WaitMessage();
}

void TApplication::SetShowHint(bool show) {
  FShowHint = show;
  CancelHint();
  FHintWindow.reset();
  if (show) FHintWindow = FHintFactory(FMainForm ? FMainForm->Font() : nullptr);
}

void TApplication::CancelHint() {
  KillTimer(FUtil->Handle(), kHintShowTimer);
  KillTimer(FUtil->Handle(), kHintHideTimer);
  if (FHintWindow) FHintWindow->ReleaseHint();
  FHintShown = false;
}

void TApplication::MouseMoved(const MSG& msg) {
  if (!FShowHint || !FHintWindow) return;
  TControl* control = nullptr;
  for (HWND h = msg.hwnd; h && !control; h = GetParent(h)) {
    TControl* c = TControl::FromHandle(h);
    if (c && c->ShowHint()) control = c;
  }
  POINT pt = msg.pt;
  if (control == FHintControl && PtInRect(&FHintCursorRect, pt)) return;
  const bool wasShown = FHintShown;
  CancelHint();
  FHintControl = control;
  if (!control) return;
  RECT r = control->ClientRect();
  FHintCursorRect = MapRect(control->Handle(), nullptr, r);
  // Moving on from a shown hint shows the next one almost at once.
  SetTimer(FUtil->Handle(), kHintShowTimer, wasShown ? 50 : HintPause, nullptr);
}

void TApplication::ActivateHint() {
  KillTimer(FUtil->Handle(), kHintShowTimer);
  TControl* c = FHintControl;
  if (!c || !FHintWindow) return;
  POINT screen;
  GetCursorPos(&screen);
  THintInfo info;
  info.HintControl = c;
  info.CursorPos = screen;
  ScreenToClient(c->Handle(), &info.CursorPos);
  info.CursorRect = c->ClientRect();
  if (!PtInRect(&info.CursorRect, info.CursorPos)) return;
  info.HintPos = POINT{screen.x, screen.y + GetSystemMetrics(SM_CYCURSOR) * 3 / 4};
  info.HintMaxWidth = GetSystemMetrics(SM_CXSCREEN);
  info.HintStr = c->HintAt(info.CursorPos);
  std::wstring hintStr = info.HintStr;
  bool canShow = true;
  if (OnShowHint) OnShowHint(hintStr, canShow, info);
  FHintCursorRect = MapRect(c->Handle(), nullptr, info.CursorRect);
  if (!canShow || hintStr.empty()) return;
  RECT r = FHintWindow->CalcHintRect(info.HintMaxWidth, hintStr);
  OffsetRect(&r, info.HintPos.x, info.HintPos.y);
  FHintWindow->ActivateHint(r, hintStr);
  FHintShown = true;
  SetTimer(FUtil->Handle(), kHintHideTimer, HintHidePause, nullptr);
}

UINT_PTR TApplication::AddTimer(TTimer* timer) {
  UINT_PTR id = ++FNextTimer;
  FTimers.emplace_back(id, timer);
  return id;
}

void TApplication::RemoveTimer(UINT_PTR id) {
  KillTimer(FUtil->Handle(), id);
  FTimers.erase(std::remove_if(FTimers.begin(), FTimers.end(), [&](auto& t) { return t.first == id; }), FTimers.end());
}

void TApplication::TimerFired(UINT_PTR id) {
  for (auto& t : FTimers)
    if (t.first == id) {
      if (t.second->OnTimer) t.second->OnTimer(t.second);
      return;
    }
}

// ---- TTimer ----------------------------------------------------------------------------------

TTimer::TTimer(TComponent* owner, const std::wstring& name, UINT interval) : TComponent(owner), FInterval(interval) {
  SetName(name);
  SetEnabled(true);
}

TTimer::~TTimer() { SetEnabled(false); }

void TTimer::SetEnabled(bool enabled) {
  if (enabled == Enabled()) return;
  if (enabled) {
    FId = Application()->AddTimer(this);
    SetTimer(Application()->UtilWindow(), FId, FInterval, nullptr);
  } else {
    Application()->RemoveTimer(FId);
    FId = 0;
  }
}

void TTimer::SetInterval(UINT interval) {
  FInterval = interval;
  if (Enabled()) SetTimer(Application()->UtilWindow(), FId, FInterval, nullptr);
}
