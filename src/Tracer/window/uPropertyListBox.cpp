#include "Tracer/window/uPropertyListBox.h"

#include <windowsx.h>

#include <algorithm>

#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uVariants.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "Tracer/window/uWinHandles.h"

namespace {

const wchar_t* const UnitPath = L"src/Tracer/uPropertyListBox";

bool IsSingleLine(const std::wstring& s) { return s.find_first_of(L"\r\n") == std::wstring::npos; }

// At least digits upper-case hexadecimal digits.
std::wstring Hex(uint64_t value, int digits) {
  wchar_t buffer[24];
  swprintf(buffer, 24, L"%0*llX", digits, static_cast<unsigned long long>(value));
  return buffer;
}

std::wstring BytesToHex(const std::string& bytes) {
  static const wchar_t digits[] = L"0123456789ABCDEF";
  std::wstring text;
  text.reserve(bytes.size() * 3);
  for (unsigned char b : bytes) {
    if (!text.empty()) text += L' ';
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

}  // namespace

// ---- TValueInfos -----------------------------------------------------------------------------

TValueInfo& TValueInfos::Add() { return FItems.emplace_back(); }

TValueInfo& TValueInfos::GetItem(int index) {
  CW_ASSERT(index >= 0 && index < Count(), UnitPath, 97);
  return FItems[index];
}

// ---- value texts -----------------------------------------------------------------------------

bool TPropertyListBox::ByteArrayToText(const VARIANT& value, std::wstring& text) {
  if (V_VT(&value) != (VT_ARRAY | VT_VARIANT) || !V_ARRAY(&value) || SafeArrayGetDim(V_ARRAY(&value)) != 1)
    return false;
  SAFEARRAY* array = V_ARRAY(&value);
  LONG low = 0, high = -1;
  SafeArrayGetLBound(array, 1, &low);
  SafeArrayGetUBound(array, 1, &high);
  VARIANT* items = nullptr;
  if (FAILED(SafeArrayAccessData(array, reinterpret_cast<void**>(&items)))) return false;
  std::string bytes;
  bytes.reserve(high >= low ? static_cast<size_t>(high - low + 1) : 0);
  bool ok = true;
  for (LONG i = 0; i <= high - low && ok; ++i) {
    ok = V_VT(&items[i]) == VT_UI1;
    const unsigned char b = V_UI1(&items[i]);
    bytes += b < 32 ? '.' : static_cast<char>(b);
  }
  SafeArrayUnaccessData(array);
  if (ok) text = AnsiToWide(bytes);
  return ok;
}

std::wstring TPropertyListBox::GetDisplayText(const VARIANT& value) {
  std::wstring text;
  // Arrays of anything but bytes get the ordinary variant text.
  if ((V_VT(&value) & VT_ARRAY) && ByteArrayToText(value, text)) return text;
  return VariantToText(value);
}

std::wstring TPropertyListBox::GetHexDisplayText(const VARIANT& value) {
  if (V_VT(&value) & VT_ARRAY) return VariantArrayToText(value);
  return GetHexText(value);
}

std::wstring TPropertyListBox::GetHexText(const VARIANT& value) {
  switch (V_VT(&value)) {
    case VT_I1: return Hex(static_cast<uint32_t>(static_cast<int32_t>(V_I1(&value))), 2);
    case VT_UI1: return Hex(V_UI1(&value), 2);
    case VT_I2: return Hex(static_cast<uint32_t>(static_cast<int32_t>(V_I2(&value))), 4);
    case VT_UI2: return Hex(V_UI2(&value), 4);
    case VT_I4: return Hex(static_cast<uint64_t>(static_cast<int64_t>(V_I4(&value))), 8);
    case VT_UI4: return Hex(V_UI4(&value), 8);
    case VT_BSTR: return BytesToHex(WideToAnsi(BStrToWide(V_BSTR(&value))));
  }
  return VariantToText(value);
}

// ---- TPropertyListBox ------------------------------------------------------------------------

TPropertyListBox::TPropertyListBox(TComponent* owner, TControl* parent, const std::wstring& name, int left, int top,
                                   int width, int height)
    : TControl(owner, parent), FSplitterX(width / 2) {
  SetName(name);
  CreateHandle(L"LISTBOX",
               WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | WS_CLIPCHILDREN | LBS_OWNERDRAWVARIABLE | LBS_HASSTRINGS |
                   LBS_NOTIFY | LBS_NOINTEGRALHEIGHT,
               WS_EX_CLIENTEDGE, left, top, width, height);
  SetColor(GetSysColor(COLOR_BTNFACE));
  FDefaultProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(Handle(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TPropertyListBox::SubclassProc)));
  FMemo = new TEdit(this, this, L"Memo", 0, 0, 10, 10, ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL);
  FMemo->SetVisible(false);
}

TPropertyListBox::~TPropertyListBox() {
  if (Handle() && FDefaultProc)
    SetWindowLongPtrW(Handle(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(FDefaultProc));
}

LRESULT CALLBACK TPropertyListBox::SubclassProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = dynamic_cast<TPropertyListBox*>(FromHandle(window));
  if (!self) return DefWindowProcW(window, msg, wp, lp);
  return WindowProcGuard(LRESULT(0), [&] { return self->OnMessage(msg, wp, lp); });
}

LRESULT TPropertyListBox::OnMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_SETCURSOR:
      if (reinterpret_cast<HWND>(wp) == Handle() && LOWORD(lp) == HTCLIENT) {
        POINT pt;
        GetCursorPos(&pt);
        ScreenToClient(Handle(), &pt);
        if (std::abs(pt.x - FSplitterX) <= 2) {
          ::SetCursor(LoadCursorW(nullptr, IDC_SIZEWE));
          return TRUE;
        }
      }
      break;
    case WM_LBUTTONDOWN: {
      FDragging = std::abs(GET_X_LPARAM(lp) - FSplitterX) < 3;
      LRESULT result = 0;
      if (FDragging)
        SetCapture(Handle());
      else
        result = CallDefault(msg, wp, lp);
      UpdateMemo();
      return result;
    }
    case WM_LBUTTONUP:
      if (FDragging) {
        FDragging = false;
        ReleaseCapture();
        return 0;
      }
      break;
    case WM_MOUSEMOVE:
      if (FDragging) {
        const int x = GET_X_LPARAM(lp);
        if (x < ClientWidth() - 20) FSplitterX = x;
        Invalidate();
        UpdateMemo();
        return 0;
      }
      break;
    case WM_ERASEBKGND:
      return TRUE;  // the paint fills everything off screen
    case WM_PAINT:
      Paint();
      return 0;
  }
  return CallDefault(msg, wp, lp);
}

void TPropertyListBox::Paint() {
  // Drawn off screen and copied at once, so neither the rows nor the splitter flicker.
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(Handle(), &ps);
  const RECT client = ClientRect();
  TMemoryDC memory(CreateCompatibleDC(dc));
  TBitmapHandle bitmap(CreateCompatibleBitmap(dc, std::max<LONG>(client.right, 1), std::max<LONG>(client.bottom, 1)));
  {
    TSelectObject selected(memory.Get(), bitmap.Get());
    HBRUSH back = CtlColor(memory.Get());
    FillRect(memory.Get(), &client, back ? back : GetSysColorBrush(COLOR_BTNFACE));
    CallDefault(WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory.Get()), PRF_CLIENT);
    DrawSplitter(memory.Get(), 0, client.bottom);
    BitBlt(dc, 0, 0, client.right, client.bottom, memory.Get(), 0, 0, SRCCOPY);
  }
  EndPaint(Handle(), &ps);
}

void TPropertyListBox::DrawSplitter(HDC dc, int top, int bottom) {
  RECT r{FSplitterX - 1, top, FSplitterX + 1, bottom};
  DrawEdge(dc, &r, BDR_SUNKENOUTER, BF_LEFT | BF_RIGHT);
}

HFONT TPropertyListBox::BoldFont() {
  HFONT font = Font();
  if (!FBoldFont || FBoldFrom != font) {
    LOGFONTW lf{};
    GetObjectW(font, sizeof(lf), &lf);
    lf.lfWeight = FW_BOLD;
    FBoldFont.Reset(CreateFontIndirectW(&lf));
    FBoldFrom = font;
  }
  return FBoldFont.Get();
}

void TPropertyListBox::AddValue(const std::wstring& name, const VARIANT& value, bool noHex) {
  TValueInfo& info = FValues.Add();
  info.Value = value;
  info.NoHex = noHex;
  Perform(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
}

void TPropertyListBox::Clear() {
  Perform(LB_RESETCONTENT);
  FValues.Clear();
  UpdateMemo();
}

void TPropertyListBox::EndUpdate() {
  Perform(WM_SETREDRAW, TRUE);
  Invalidate();
}

std::wstring TPropertyListBox::ItemName(int index) const {
  const LRESULT n = Perform(LB_GETTEXTLEN, index);
  if (n == LB_ERR) return std::wstring();
  std::wstring s(static_cast<size_t>(n) + 1, L'\0');
  s.resize(static_cast<size_t>(Perform(LB_GETTEXT, index, reinterpret_cast<LPARAM>(s.data()))));
  return s;
}

const std::wstring& TPropertyListBox::ValueText(int index) {
  static const std::wstring none;
  if (index < 0 || index >= FValues.Count()) return none;
  TValueInfo& info = FValues.GetItem(index);
  const bool hex = FHexMode && !info.NoHex;
  if (!info.HasText || info.TextIsHex != hex) {
    info.Text = hex ? GetHexDisplayText(info.Value) : GetDisplayText(info.Value);
    info.HasText = true;
    info.TextIsHex = hex;
  }
  return info.Text;
}

std::wstring TPropertyListBox::DrawnText(int index) {
  const std::wstring& text = ValueText(index);
  return text.size() > MaxDrawnChars ? text.substr(0, MaxDrawnChars) : text;
}

void TPropertyListBox::SetItemIndex(int index) {
  Perform(LB_SETCURSEL, index);
  UpdateMemo();
}

RECT TPropertyListBox::ItemRect(int index) const {
  RECT r{};
  Perform(LB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&r));
  return r;
}

void TPropertyListBox::SetHexMode(bool value) {
  if (value == FHexMode) return;
  FHexMode = value;
  RefreshItems();
  UpdateMemo();
  Invalidate();
}

void TPropertyListBox::RefreshItems() {
  std::vector<std::wstring> names;
  for (int i = 0; i < Count(); ++i) names.push_back(ItemName(i));
  Perform(WM_SETREDRAW, FALSE);
  Perform(LB_RESETCONTENT);
  for (const std::wstring& name : names) Perform(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
  Perform(WM_SETREDRAW, TRUE);
  Invalidate();
}

void TPropertyListBox::UpdateMemo() {
  if (!FMemo) return;
  const int index = ItemIndex();
  if (index >= 0) {
    const RECT r = ItemRect(index);
    FMemo->SetBounds(FSplitterX, r.top, (r.right - r.left) - FSplitterX + 1, r.bottom - r.top);
    FMemo->SetText(ValueText(index));
  }
  FMemo->SetVisible(index >= 0);
}

int TPropertyListBox::MeasureTextHeight(const std::wstring& text) {
  TWindowDC dc(Handle());
  TSelectObject font(dc.Get(), Font());
  RECT r{0, 0, 0, 0};
  DrawTextW(dc.Get(), text.c_str(), static_cast<int>(text.size()), &r, DT_CALCRECT | DT_NOPREFIX);
  return r.bottom - r.top + 1;
}

bool TPropertyListBox::MeasureItem(MEASUREITEMSTRUCT* item) {
  const int index = static_cast<int>(item->itemID);
  const std::wstring name = ItemName(index), value = DrawnText(index);
  TEXTMETRICW tm{};
  {
    TWindowDC dc(Handle());
    TSelectObject font(dc.Get(), Font());
    GetTextMetricsW(dc.Get(), &tm);
  }
  int h = std::max(MeasureTextHeight(name), static_cast<int>(tm.tmHeight));
  h = std::max(h, MeasureTextHeight(value));
  const bool single = IsSingleLine(name) && IsSingleLine(value);
  // The memo's frame and margins are measured at a height that leaves room for its text.
  if (FMemo->Height() < 100) FMemo->SetBounds(0, 0, std::max(ClientWidth() - FSplitterX, 50), 100);
  const bool scrollBar = (GetWindowLongW(FMemo->Handle(), GWL_STYLE) & WS_HSCROLL) != 0;
  if (scrollBar == single) ShowScrollBar(FMemo->Handle(), SB_HORZ, !single);
  int frame = FMemo->Height() - FMemo->ClientHeight();
  if (!single && frame < GetSystemMetrics(SM_CYHSCROLL)) frame += GetSystemMetrics(SM_CYHSCROLL);
  h += frame;
  if (!single) {
    RECT formatting{};
    FMemo->Perform(EM_GETRECT, 0, reinterpret_cast<LPARAM>(&formatting));
    h += FMemo->ClientHeight() - (formatting.bottom - formatting.top);
  }
  item->itemHeight = static_cast<UINT>(std::clamp(h, 1, 255));
  return true;
}

bool TPropertyListBox::DrawItem(DRAWITEMSTRUCT* item) {
  if (item->itemID == static_cast<UINT>(-1)) return true;
  const int index = static_cast<int>(item->itemID);
  HDC dc = item->hDC;
  const RECT r = item->rcItem;
  const bool selected = (item->itemState & ODS_SELECTED) != 0;
  HBRUSH brush = CtlColor(dc);
  if (!brush) brush = GetSysColorBrush(COLOR_BTNFACE);

  // The name in bold on the control's colour, selected or not.
  RECT nameRect{r.left, r.top, FSplitterX, r.bottom};
  FillRect(dc, &nameRect, brush);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, FontColor() != CLR_NONE ? FontColor() : GetSysColor(COLOR_WINDOWTEXT));
  {
    TSelectObject font(dc, BoldFont());
    RECT text = nameRect;
    text.left += 2;
    const std::wstring name = ItemName(index);
    DrawTextW(dc, name.c_str(), static_cast<int>(name.size()), &text,
              DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
  }
  if (selected) {
    RECT edge = r;
    DrawEdge(dc, &edge, EDGE_SUNKEN, BF_TOP | BF_BOTTOM);
  }
  RECT valueRect{FSplitterX, r.top, r.right, r.bottom};
  if (selected) valueRect.top += 2, valueRect.bottom -= 2;
  FillRect(dc, &valueRect, brush);
  valueRect.left += 6;
  if (index < FValues.Count()) {
    valueRect.top = r.top + 3;
    TSelectObject font(dc, Font());
    const std::wstring value = DrawnText(index);
    DrawTextW(dc, value.c_str(), static_cast<int>(value.size()), &valueRect, DT_NOPREFIX);
  }
  DrawSplitter(dc, r.top, r.bottom);
  if (!selected) {
    TPenHandle pen(CreatePen(PS_INSIDEFRAME, 1, GetSysColor(COLOR_BTNSHADOW)));
    TSelectObject selectedPen(dc, pen.Get());
    MoveToEx(dc, r.left, r.bottom - 1, nullptr);
    LineTo(dc, r.right, r.bottom - 1);
  }
  return true;
}

bool TPropertyListBox::Command(WORD code, WORD) {
  if (code != LBN_SELCHANGE) return false;
  UpdateMemo();
  return true;
}

void TPropertyListBox::Resized() {
  TControl::Resized();
  UpdateMemo();
}
