#include "Tracer/window/uWinCtrls.h"

#include <windowsx.h>

#include <algorithm>

#include "Tracer/window/uWinForms.h"

// ---- TButton ---------------------------------------------------------------------------------

TButton::TButton(TComponent* owner, TControl* parent, const std::wstring& name, const std::wstring& caption, int left,
                 int top, int width, int height)
    : TCaptionControl(owner, parent) {
  SetName(name);
  CreateHandle(L"BUTTON", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, left, top, width, height, caption);
}

TButton::~TButton() {
  if (FAction) FAction->RemoveClient(this);
}

void TButton::SetDefault(bool value) {
  FDefault = value;
  Perform(BM_SETSTYLE, value ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
}

void TButton::SetAction(TAction* action) {
  if (FAction) FAction->RemoveClient(this);
  FAction = action;
  if (action) action->AddClient(this);
}

void TButton::SetEnabled(bool enabled) {
  // Disabling the focused button would leave the keyboard nowhere.
  if (!enabled && GetFocus() == Handle()) SendMessageW(GetParent(Handle()), WM_NEXTDLGCTL, 0, FALSE);
  TCaptionControl::SetEnabled(enabled);
}

void TButton::ActionChanged() {
  SetCaption(FAction->Caption());
  SetHint(FAction->Hint());
  SetEnabled(FAction->Enabled());
  TCaptionControl::SetVisible(FAction->Visible());
}

void TButton::Click() {
  if (FAction)
    FAction->Execute();
  else if (OnClick)
    OnClick(this);
  if (FModalResult != mrNone)
    if (TForm* form = GetParentForm(this)) form->SetModalResult(FModalResult);
}

bool TButton::Command(WORD code, WORD) {
  if (code != BN_CLICKED) return false;
  if (Enabled()) Click();
  return true;
}

// ---- TCheckBox -------------------------------------------------------------------------------

TCheckBox::TCheckBox(TComponent* owner, TControl* parent, const std::wstring& name, const std::wstring& caption,
                     int left, int top, int width, int height, bool radio)
    : TCaptionControl(owner, parent) {
  SetName(name);
  CreateHandle(L"BUTTON", WS_VISIBLE | WS_TABSTOP | (radio ? BS_AUTORADIOBUTTON : BS_AUTOCHECKBOX), 0, left, top,
               width, height, caption);
}

bool TCheckBox::Command(WORD code, WORD) {
  if (code != BN_CLICKED) return false;
  if (OnClick) OnClick(this);
  return true;
}

// ---- TEdit, TMemo ----------------------------------------------------------------------------

TEdit::TEdit(TComponent* owner, TControl* parent, const std::wstring& name, int left, int top, int width, int height,
             DWORD extraStyle)
    : TControl(owner, parent) {
  SetName(name);
  // A multi-line edit wraps its lines unless it scrolls sideways.
  const DWORD scroll = (extraStyle & ES_MULTILINE) ? 0 : ES_AUTOHSCROLL;
  CreateHandle(L"EDIT", WS_VISIBLE | WS_TABSTOP | scroll | extraStyle, WS_EX_CLIENTEDGE, left, top, width, height);
}

bool TEdit::Command(WORD code, WORD) {
  if (code != EN_CHANGE) return false;
  if (OnChange) OnChange(this);
  return true;
}

const TPropTable& TEdit::ClassPropTable() {
  static const TPropTable table(&TControl::ClassPropTable(),
                                {StringProperty<TEdit>(L"Text", &TEdit::Text, &TEdit::SetText)});
  return table;
}

TMemo::TMemo(TComponent* owner, TControl* parent, const std::wstring& name, int left, int top, int width, int height,
             bool wordWrap)
    : TEdit(owner, parent, name, left, top, width, height,
            ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL | (wordWrap ? 0 : WS_HSCROLL | ES_AUTOHSCROLL)) {}

void TMemo::AddLine(const std::wstring& line) {
  int end = GetWindowTextLengthW(Handle());
  Perform(EM_SETSEL, end, end);
  std::wstring text = (end > 0 ? L"\r\n" : L"") + line;
  Perform(EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

// ---- TLabel ----------------------------------------------------------------------------------

TLabel::TLabel(TComponent* owner, TControl* parent, const std::wstring& name, const std::wstring& caption, int left,
               int top, int width, int height, TTextAlign align, bool literal)
    : TCaptionControl(owner, parent), FAutoSize(width == 0) {
  SetName(name);
  DWORD style = WS_VISIBLE | SS_NOTIFY | (literal ? SS_NOPREFIX : 0);
  style |= align == TTextAlign::Center ? SS_CENTER : align == TTextAlign::Right ? SS_RIGHT : SS_LEFT;
  CreateHandle(L"STATIC", style, 0, left, top, std::max(width, 1), std::max(height, 1), caption);
  FitText();
}

SIZE TLabel::TextExtent(const std::wstring& text) const {
  TWindowDC dc(Handle());
  TSelectObject font(dc.Get(), Font());
  const bool literal = (GetWindowLongW(Handle(), GWL_STYLE) & SS_NOPREFIX) != 0;
  const std::wstring measured = text.empty() ? L" " : text;
  RECT r{0, 0, 0, 0};
  DrawTextW(dc.Get(), measured.c_str(), -1, &r, DT_CALCRECT | DT_EXPANDTABS | (literal ? DT_NOPREFIX : 0));
  // Wine draws some hinted fonts wider than it measures them (Liberation Sans, its Arial, at
  // small sizes): each line is as wide as its glyphs' drawn advances too.
  const MAT2 identity{{0, 1}, {0, 0}, {0, 0}, {0, 1}};
  int line = 0;
  for (size_t i = 0; i < measured.size(); ++i) {
    wchar_t c = measured[i];
    if (c == L'\n' || c == L'\r') {
      line = 0;
      continue;
    }
    if (c == L'&' && !literal && ++i < measured.size()) c = measured[i];
    GLYPHMETRICS gm{};
    if (GetGlyphOutlineW(dc.Get(), c, GGO_BITMAP, &gm, 0, nullptr, &identity) != GDI_ERROR) line += gm.gmCellIncX;
    r.right = std::max<LONG>(r.right, line);
  }
  return SIZE{r.right, r.bottom};
}

void TLabel::FitText() {
  if (!FAutoSize || !Handle()) return;
  RECT r = BoundsRect();
  SIZE s = TextExtent(Caption());
  SetBounds(r.left, r.top, s.cx, s.cy);
}

void TLabel::SetCaption(const std::wstring& caption) {
  PutWindowText(caption);
  FitText();
}

void TLabel::FontChanged() { FitText(); }

void TLabel::SetSunken(bool sunken) {
  LONG style = GetWindowLongW(Handle(), GWL_STYLE);
  SetWindowLongW(Handle(), GWL_STYLE, sunken ? style | SS_SUNKEN : style & ~SS_SUNKEN);
  SetWindowPos(Handle(), nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
}

HBRUSH TLabel::CtlColor(HDC dc) {
  HBRUSH brush = TCaptionControl::CtlColor(dc);
  if (FTransparent) {
    SetBkMode(dc, TRANSPARENT);
    return static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
  }
  if (!brush && FontColor() != CLR_NONE) {
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    return GetSysColorBrush(COLOR_BTNFACE);
  }
  return brush;
}

bool TLabel::Command(WORD code, WORD) {
  if (code != STN_CLICKED) return false;
  if (OnClick) OnClick(this);
  return true;
}

// ---- TBevel ----------------------------------------------------------------------------------

TBevel::TBevel(TComponent* owner, TControl* parent, const std::wstring& name, int left, int top, int width,
               int height)
    : TControl(owner, parent) {
  SetName(name);
  CreateHandle(L"STATIC", WS_VISIBLE | SS_ETCHEDFRAME, WS_EX_TRANSPARENT, left, top, width, height);
  // A frame behind the controls it surrounds: the bottom of the z-order.
  SetWindowPos(Handle(), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

// ---- TButtonGroup ----------------------------------------------------------------------------

TButtonGroup::TButtonGroup(TComponent* owner, TControl* parent, const std::wstring& name, const std::wstring& caption,
                           int left, int top, int width, int height, bool radio)
    : TCustomWindow(owner, parent, L"TButtonGroup"), FRadio(radio) {
  SetName(name);
  CreateWindowOfClass(WS_VISIBLE | WS_CLIPSIBLINGS, WS_EX_CONTROLPARENT, left, top, width, height, caption);
  FFrame = CreateWindowExW(0, L"BUTTON", caption.c_str(), WS_CHILD | WS_VISIBLE | BS_GROUPBOX, 0, 0, width, height,
                           Handle(), nullptr, ThisModule(), nullptr);
  SendMessageW(FFrame, WM_SETFONT, reinterpret_cast<WPARAM>(Font()), TRUE);
}

void TButtonGroup::SetCaption(const std::wstring& caption) {
  PutWindowText(caption);
  if (FFrame) SetWindowTextW(FFrame, caption.c_str());
}

void TButtonGroup::AddItem(const std::wstring& text) {
  const int top = 18 + Count() * 20;
  auto* button = new TCheckBox(this, this, std::wstring(), text, 10, top, std::max(ClientWidth() - 20, 10), 17, FRadio);
  // The first radio button starts the group, so arrow keys stay inside it.
  if (FRadio && FButtons.empty())
    SetWindowLongW(button->Handle(), GWL_STYLE, GetWindowLongW(button->Handle(), GWL_STYLE) | WS_GROUP);
  FButtons.push_back(button);
}

void TButtonGroup::Resized() {
  if (FFrame) MoveWindow(FFrame, 0, 0, ClientWidth(), ClientHeight(), TRUE);
  TCustomWindow::Resized();
}

int TRadioGroup::ItemIndex() const {
  for (int i = 0; i < Count(); ++i)
    if (Button(i)->Checked()) return i;
  return -1;
}

void TRadioGroup::SetItemIndex(int index) {
  for (int i = 0; i < Count(); ++i) Button(i)->SetChecked(i == index);
}

// ---- TSplitter -------------------------------------------------------------------------------

TSplitter::TSplitter(TComponent* owner, TControl* parent, const std::wstring& name, TAlign align, int size)
    : TCustomWindow(owner, parent, L"TSplitter") {
  SetName(name);
  CreateWindowOfClass(WS_VISIBLE, 0, 0, 0, size, size);
  SetCursor(align == TAlign::alLeft || align == TAlign::alRight ? IDC_SIZEWE : IDC_SIZENS);
  SetAlign(align);
}

TControl* TSplitter::Target() const {
  // The control aligned to the same side just before the splitter.
  TControl* target = nullptr;
  for (TControl* c : Parent()->Controls()) {
    if (c == this) break;
    if (c->Align() == Align() && c->Visible()) target = c;
  }
  return target;
}

LRESULT TSplitter::OnMessage(UINT msg, WPARAM wp, LPARAM lp) {
  const bool horizontal = Align() == TAlign::alLeft || Align() == TAlign::alRight;
  switch (msg) {
    case WM_SETCURSOR:
      ::SetCursor(LoadCursorW(nullptr, Cursor()));
      return TRUE;
    case WM_LBUTTONDOWN:
      if (TControl* t = Target()) {
        POINT pt;
        GetCursorPos(&pt);
        FDragging = true;
        FStart = horizontal ? pt.x : pt.y;
        FStartSize = horizontal ? t->Width() : t->Height();
        SetCapture(Handle());
      }
      return 0;
    case WM_MOUSEMOVE:
      if (FDragging)
        if (TControl* t = Target()) {
          POINT pt;
          GetCursorPos(&pt);
          int delta = (horizontal ? pt.x : pt.y) - FStart;
          if (Align() == TAlign::alRight || Align() == TAlign::alBottom) delta = -delta;
          const int limit = (horizontal ? Parent()->ClientWidth() : Parent()->ClientHeight()) - MinSize;
          const int size = std::clamp(FStartSize + delta, MinSize, std::max(MinSize, limit));
          RECT r = t->BoundsRect();
          if (horizontal)
            t->SetBounds(r.left, r.top, size, r.bottom - r.top);
          else
            t->SetBounds(r.left, r.top, r.right - r.left, size);
          Parent()->AlignControls();
        }
      return 0;
    case WM_LBUTTONUP:
    case WM_CAPTURECHANGED:
      if (FDragging) {
        FDragging = false;
        if (msg == WM_LBUTTONUP) ReleaseCapture();
      }
      return 0;
  }
  return TCustomWindow::OnMessage(msg, wp, lp);
}
