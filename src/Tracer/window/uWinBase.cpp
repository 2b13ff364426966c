#include "Tracer/window/uWinBase.h"

#include <windowsx.h>

#include <algorithm>
#include <set>

#include "Tracer/foundation/uRaise.h"
#include "Tracer/window/uWinMenus.h"

namespace {

const wchar_t kControlProp[] = L"Calderwisp.Control";

}  // namespace

WORD NewCommandId() {
  // Menu commands live below the control ids and above the dialog ids (IDOK, IDCANCEL, ...).
  static WORD next = 0x100;
  if (++next >= 0x7F00) next = 0x101;
  return next;
}

WORD NewControlId() {
  static WORD next = 0x8000;
  if (++next == 0xFFFF) next = 0x8001;
  return next;
}

RECT MapRect(HWND from, HWND to, RECT r) {
  MapWindowPoints(from, to, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// ---- TComponent ------------------------------------------------------------------------------

// The module this code is linked into: a plug-in library registers its window classes for
// itself, so the program's classes of the same name never receive its windows.
HINSTANCE ThisModule() {
  static HMODULE module = [] {
    HMODULE m = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ThisModule), &m);
    return m;
  }();
  return module;
}

TComponent::TComponent(TComponent* owner) : FOwner(owner) {
  if (owner) owner->FComponents.push_back(this);
}

TComponent::~TComponent() {
  DestroyComponents();
  if (FOwner) {
    auto& list = FOwner->FComponents;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
}

void TComponent::DestroyComponents() {
  while (!FComponents.empty()) delete FComponents.back();  // each removes itself
}

std::wstring TComponent::TranslationDefault(const std::wstring& key, const std::wstring& current) const {
  for (const auto& [k, t] : FTranslated)
    if (k == key && t.Translated == current) return t.Default;
  return current;
}

void TComponent::RememberTranslation(const std::wstring& key, const std::wstring& defaultText,
                                     const std::wstring& translated) {
  for (auto& [k, t] : FTranslated)
    if (k == key) {
      t = TTranslatedText{defaultText, translated};
      return;
    }
  FTranslated.emplace_back(key, TTranslatedText{defaultText, translated});
}

const TPropTable& TComponent::ClassPropTable() {
  static const TPropTable table(&TPersistent::ClassPropTable(),
                                {StringProperty<TComponent>(L"Name", &TComponent::FName, &TComponent::FName)});
  return table;
}

// ---- TControl --------------------------------------------------------------------------------

TControl::TControl(TComponent* owner, TControl* parent) : TComponent(owner), FParent(parent) {
  if (parent) parent->FControls.push_back(this);
}

TControl::~TControl() {
  // Children first, while this window still exists; then no message finds this object.
  DestroyComponents();
  if (Handle()) RemovePropW(Handle(), kControlProp);
  FHandle.Reset();
  if (FParent) {
    auto& list = FParent->FControls;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
}

TControl* TControl::FromHandle(HWND window) {
  return window ? static_cast<TControl*>(GetPropW(window, kControlProp)) : nullptr;
}

void TControl::CreateHandle(const wchar_t* className, DWORD style, DWORD exStyle, int left, int top, int width,
                            int height, const std::wstring& text, void* createParam) {
  HWND parent = FParent ? FParent->Handle() : nullptr;
  HMENU id = nullptr;
  if (parent) {
    style |= WS_CHILD | WS_CLIPSIBLINGS;
    id = reinterpret_cast<HMENU>(static_cast<UINT_PTR>(NewControlId()));
  }
  HWND h = CreateWindowExW(exStyle, className, text.c_str(), style, left, top, width, height, parent, id,
                           ThisModule(), createParam);
  Win32CheckApi(h != nullptr, "CreateWindowExW");
  if (!Handle()) AttachHandle(h);  // our own classes attach themselves at WM_NCCREATE
  ApplyFont(Font());
  RememberAnchors();
}

void TControl::AttachHandle(HWND window) {
  FHandle.Reset(window);
  SetPropW(window, kControlProp, this);
}

std::wstring TControl::WindowText() const {
  int n = GetWindowTextLengthW(Handle());
  std::wstring s(static_cast<size_t>(n) + 1, L'\0');
  s.resize(GetWindowTextW(Handle(), s.data(), n + 1));
  return s;
}

void TControl::SetVisible(bool visible) {
  ShowWindow(Handle(), visible ? SW_SHOW : SW_HIDE);
  if (FParent && FAlign != TAlign::alNone) FParent->AlignControls();
}

RECT TControl::BoundsRect() const {
  RECT r{};
  GetWindowRect(Handle(), &r);
  HWND parent = GetParent(Handle());
  if (parent && (GetWindowLongW(Handle(), GWL_STYLE) & WS_CHILD)) r = MapRect(nullptr, parent, r);
  return r;
}

int TControl::Width() const {
  RECT r = BoundsRect();
  return r.right - r.left;
}

int TControl::Height() const {
  RECT r = BoundsRect();
  return r.bottom - r.top;
}

RECT TControl::ClientRect() const {
  RECT r{};
  GetClientRect(Handle(), &r);
  return r;
}

void TControl::SetBounds(int left, int top, int width, int height) {
  RECT old = BoundsRect();
  MoveWindow(Handle(), left, top, width, height, TRUE);
  RememberAnchors();
  if (old.right - old.left != width || old.bottom - old.top != height) Resized();
}

void TControl::SetAlign(TAlign align) {
  FAlign = align;
  if (FParent) FParent->AlignControls();
}

void TControl::SetAnchors(uint8_t anchors) {
  FAnchors = anchors;
  RememberAnchors();
}

void TControl::RememberAnchors() {
  if (!FParent) return;
  RECT r = BoundsRect(), pr = FParent->ClientRect();
  FAnchorRight = pr.right - r.right;
  FAnchorBottom = pr.bottom - r.bottom;
}

void TControl::Resized() {
  AlignControls();
  if (OnResize) OnResize(this);
}

void TControl::AlignControls() {
  RECT area = ClientRect();
  auto place = [](TControl* c, int l, int t, int w, int h) {
    RECT old = c->BoundsRect();
    if (old.left == l && old.top == t && old.right - old.left == w && old.bottom - old.top == h) return;
    MoveWindow(c->Handle(), l, t, std::max(w, 0), std::max(h, 0), TRUE);
    c->Resized();
  };
  // The edges first, in creation order, then what is left for the client-aligned ones.
  for (TControl* c : FControls) {
    if (!c->Visible()) continue;
    switch (c->FAlign) {
      case TAlign::alTop:
        place(c, area.left, area.top, area.right - area.left, c->Height());
        area.top += c->Height();
        break;
      case TAlign::alBottom:
        place(c, area.left, area.bottom - c->Height(), area.right - area.left, c->Height());
        area.bottom -= c->Height();
        break;
      case TAlign::alLeft:
        place(c, area.left, area.top, c->Width(), area.bottom - area.top);
        area.left += c->Width();
        break;
      case TAlign::alRight:
        place(c, area.right - c->Width(), area.top, c->Width(), area.bottom - area.top);
        area.right -= c->Width();
        break;
      default:
        break;
    }
  }
  RECT client = ClientRect();
  for (TControl* c : FControls) {
    if (c->FAlign == TAlign::alClient) {
      place(c, area.left, area.top, area.right - area.left, area.bottom - area.top);
    } else if (c->FAlign == TAlign::alNone && (c->FAnchors & (akRight | akBottom))) {
      RECT r = c->BoundsRect();
      int l = r.left, t = r.top, w = r.right - r.left, h = r.bottom - r.top;
      if (c->FAnchors & akRight) {
        if (c->FAnchors & akLeft)
          w = client.right - c->FAnchorRight - l;
        else
          l = client.right - c->FAnchorRight - w;
      }
      if (c->FAnchors & akBottom) {
        if (c->FAnchors & akTop)
          h = client.bottom - c->FAnchorBottom - t;
        else
          t = client.bottom - c->FAnchorBottom - h;
      }
      place(c, l, t, w, h);
    }
  }
}

HFONT TControl::Font() const {
  for (const TControl* c = this; c; c = c->FParent)
    if (c->FFont) return c->FFont;
  return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

void TControl::SetFont(const std::wstring& name, int height, bool bold, bool underline) {
  FOwnFont.Reset(CreateFontW(height, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, underline, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                             name.c_str()));
  SetFontHandle(FOwnFont.Get());
}

void TControl::SetFontHandle(HFONT font) {
  FFont = font;
  ApplyFont(Font());
}

void TControl::ApplyFont(HFONT font) {
  if (!Handle()) return;
  Perform(WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  FontChanged();
  for (TControl* c : FControls)
    if (!c->FFont) c->ApplyFont(font);
}

void TControl::SetFontColor(COLORREF color) {
  FFontColor = color;
  Invalidate();
}

void TControl::SetColor(COLORREF color) {
  FColor = color;
  FBrush.Reset(color == CLR_NONE ? nullptr : CreateSolidBrush(color));
  Invalidate();
}

HBRUSH TControl::CtlColor(HDC dc) {
  if (FFontColor != CLR_NONE) SetTextColor(dc, FFontColor);
  if (FColor == CLR_NONE) return nullptr;
  SetBkColor(dc, FColor);
  return FBrush.Get();
}

const TPropTable& TControl::ClassPropTable() {
  static const TPropTable table(&TComponent::ClassPropTable(),
                                {StringProperty<TControl>(L"Hint", &TControl::FHint, &TControl::FHint)});
  return table;
}

const TPropTable& TCaptionControl::ClassPropTable() {
  static const TPropTable table(
      &TControl::ClassPropTable(),
      {StringProperty<TCaptionControl>(L"Caption", &TCaptionControl::Caption, &TCaptionControl::SetCaption)});
  return table;
}

// ---- TCustomWindow ---------------------------------------------------------------------------

TCustomWindow::TCustomWindow(TComponent* owner, TControl* parent, const wchar_t* className)
    : TCaptionControl(owner, parent), FClassName(className) {}

TCustomWindow::~TCustomWindow() {
  FDetached = true;
  DestroyComponents();
  if (Handle()) SetWindowLongPtrW(Handle(), GWLP_USERDATA, 0);
}

void TCustomWindow::CreateWindowOfClass(DWORD style, DWORD exStyle, int left, int top, int width, int height,
                                        const std::wstring& text, UINT classStyle) {
  static std::set<std::wstring> registered;
  if (!registered.count(FClassName)) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = classStyle | CS_DBLCLKS;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = ThisModule();
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = FClassName.c_str();
    Win32CheckApi(RegisterClassExW(&wc) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS, "RegisterClassExW");
    registered.insert(FClassName);
  }
  CreateHandle(FClassName.c_str(), style, exStyle, left, top, width, height, text, this);
}

LRESULT CALLBACK TCustomWindow::WindowProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* self = static_cast<TCustomWindow*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->AttachHandle(window);
  }
  auto* self = reinterpret_cast<TCustomWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!self || self->FDetached) return DefWindowProcW(window, msg, wp, lp);
  return WindowProcGuard(LRESULT(0), [&] { return self->OnMessage(msg, wp, lp); });
}

LRESULT TCustomWindow::OnMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      if (lp) {
        if (TControl* c = FromHandle(reinterpret_cast<HWND>(lp)))
          if (c->Command(HIWORD(wp), LOWORD(wp))) return 0;
      } else if (TMenuItem* item = TMenuItem::FindByCommand(LOWORD(wp))) {
        item->Click();
        return 0;
      }
      break;
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lp);
      LRESULT result = 0;
      if (TControl* c = FromHandle(header->hwndFrom))
        if (c->Notify(header, result)) return result;
      break;
    }
    case WM_DRAWITEM: {
      auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lp);
      if (TControl* c = FromHandle(item->hwndItem))
        if (c->DrawItem(item)) return TRUE;
      break;
    }
    case WM_MEASUREITEM: {
      auto* item = reinterpret_cast<MEASUREITEMSTRUCT*>(lp);
      if (TControl* c = FromHandle(GetDlgItem(Handle(), static_cast<int>(item->CtlID))))
        if (c->MeasureItem(item)) return TRUE;
      break;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORLISTBOX:
      if (TControl* c = FromHandle(reinterpret_cast<HWND>(lp)))
        if (HBRUSH brush = c->CtlColor(reinterpret_cast<HDC>(wp))) return reinterpret_cast<LRESULT>(brush);
      break;
    case WM_SETCURSOR:
      if (TControl* c = FromHandle(reinterpret_cast<HWND>(wp)))
        if (c != this && LOWORD(lp) == HTCLIENT && c->Cursor()) {
          ::SetCursor(LoadCursorW(nullptr, c->Cursor()));
          return TRUE;
        }
      break;
    case WM_CONTEXTMENU:
      if (TControl* c = FromHandle(reinterpret_cast<HWND>(wp)))
        if (c->PopupMenu()) {
          POINT pt{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
          if (pt.x == -1 && pt.y == -1) GetCursorPos(&pt);  // from the keyboard
          c->PopupMenu()->Popup(pt.x, pt.y);
          return 0;
        }
      break;
    case WM_SIZE: {
      SIZE size{LOWORD(lp), HIWORD(lp)};
      if (size.cx != FClientSize.cx || size.cy != FClientSize.cy) {
        FClientSize = size;
        Resized();
      }
      return 0;
    }
    case WM_ERASEBKGND:
      if (Color() != CLR_NONE) {
        RECT r = ClientRect();
        FillRect(reinterpret_cast<HDC>(wp), &r, CtlColor(reinterpret_cast<HDC>(wp)));
        return TRUE;
      }
      break;
  }
  return DefaultMessage(msg, wp, lp);
}

// ---- TPanel ----------------------------------------------------------------------------------

TPanel::TPanel(TComponent* owner, TControl* parent, int left, int top, int width, int height)
    : TCustomWindow(owner, parent, L"TPanel") {
  CreateWindowOfClass(WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, WS_EX_CONTROLPARENT, left, top, width,
                      height);
}
