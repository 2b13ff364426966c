#include "Tracer/window/uErrorDialog.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "Tracer/foundation/uGuards.h"
#include "Tracer/foundation/uRaise.h"
#include "Tracer/window/uWinHandles.h"

namespace {

constexpr int IdIcon = 100;
constexpr int IdText = 101;

// Units of the dialog font (converted with MapDialogRect).
constexpr int HorzMargin = 8, VertMargin = 8, HorzSpacing = 10, VertSpacing = 10;
constexpr int ButtonWidth = 50, ButtonHeight = 14, ButtonSpacing = 4;
// What the report caption needs beyond its text.
constexpr int CaptionPadding = 20;

void AppendWords(std::vector<WORD>& out, const std::wstring& text) {
  for (wchar_t c : text) out.push_back(static_cast<WORD>(c));
  out.push_back(0);
}

// A template without controls (they are made at WM_INITDIALOG, sized to the text), in the
// shell's dialog font.
std::vector<WORD> DialogTemplate(const std::wstring& caption) {
  DLGTEMPLATE header = {};
  header.style = DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU;
  header.cx = 200;
  header.cy = 60;
  std::vector<WORD> out((sizeof(DLGTEMPLATE) + 1) / 2);
  std::memcpy(out.data(), &header, sizeof(DLGTEMPLATE));
  out.push_back(0);  // no menu
  out.push_back(0);  // the dialog class
  AppendWords(out, caption);
  out.push_back(8);  // points
  AppendWords(out, L"MS Shell Dlg");
  return out;
}

HWND AddControl(HWND dialog, const wchar_t* cls, const std::wstring& text, DWORD style, int id) {
  HWND control = CreateWindowExW(0, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, dialog,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  Win32CheckApi(control != nullptr, "CreateWindowExW");
  SendMessageW(control, WM_SETFONT, SendMessageW(dialog, WM_GETFONT, 0, 0), FALSE);
  return control;
}

void Layout(HWND dialog, const TErrorDialog& texts) {
  RECT spacing = {HorzMargin, VertMargin, HorzSpacing, VertSpacing};
  MapDialogRect(dialog, &spacing);
  RECT button = {ButtonWidth, ButtonHeight, ButtonSpacing, 0};
  MapDialogRect(dialog, &button);
  const int iconSize = GetSystemMetrics(SM_CXICON);

  RECT text = {0, 0, GetSystemMetrics(SM_CXSCREEN) / 2, 0};
  SIZE caption = {};
  {
    TWindowDC dc(dialog);
    TSelectObject font(dc.Get(), reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0)));
    DrawTextW(dc.Get(), texts.Message().c_str(), -1, &text, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS);
    GetTextExtentPoint32W(dc.Get(), texts.ReportCaption().c_str(), static_cast<int>(texts.ReportCaption().size()),
                          &caption);
  }
  const int okWidth = button.left;
  int reportWidth = button.left;
  const int buttonsWidth = 2 * button.left + button.right;
  int clientWidth = std::max<int>(iconSize + spacing.right + text.right, buttonsWidth) + 2 * spacing.left;
  const int bodyHeight = std::max<int>(iconSize, text.bottom);
  const int clientHeight = bodyHeight + spacing.bottom + button.top + 2 * spacing.top;
  // A translated caption that does not fit widens its button, and the dialog with it.
  const int needed = caption.cx + CaptionPadding;
  if (needed > reportWidth) {
    clientWidth += needed - reportWidth;
    reportWidth = needed;
  }

  HWND icon = AddControl(dialog, L"STATIC", std::wstring(), SS_ICON, IdIcon);
  SendMessageW(icon, STM_SETICON, reinterpret_cast<WPARAM>(LoadIconW(nullptr, IDI_ERROR)), 0);
  SetWindowPos(icon, nullptr, spacing.left, spacing.top, iconSize, iconSize, SWP_NOZORDER | SWP_NOACTIVATE);
  HWND message = AddControl(dialog, L"STATIC", texts.Message(), SS_LEFT | SS_NOPREFIX, IdText);
  SetWindowPos(message, nullptr, spacing.left + iconSize + spacing.right, spacing.top, text.right, text.bottom,
               SWP_NOZORDER | SWP_NOACTIVATE);
  const int buttonsLeft = (clientWidth - (okWidth + button.right + reportWidth)) / 2;
  const int buttonsTop = spacing.top + bodyHeight + spacing.bottom;
  HWND ok = AddControl(dialog, L"BUTTON", L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP, IDOK);
  SetWindowPos(ok, nullptr, buttonsLeft, buttonsTop, okWidth, button.top, SWP_NOZORDER | SWP_NOACTIVATE);
  HWND report = AddControl(dialog, L"BUTTON", texts.ReportCaption(), BS_PUSHBUTTON | WS_TABSTOP, IDCANCEL);
  SetWindowPos(report, nullptr, buttonsLeft + okWidth + button.right, buttonsTop, reportWidth, button.top,
               SWP_NOZORDER | SWP_NOACTIVATE);

  RECT frame = {0, 0, clientWidth, clientHeight};
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongW(dialog, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongW(dialog, GWL_EXSTYLE)));
  RECT work = {};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  SetWindowPos(dialog, nullptr, work.left + (work.right - work.left - width) / 2,
               work.top + (work.bottom - work.top - height) / 2, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  SendMessageW(dialog, DM_SETDEFID, IDOK, 0);
  SetFocus(ok);
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
  try {
    switch (msg) {
      case WM_INITDIALOG:
        Layout(dialog, *reinterpret_cast<const TErrorDialog*>(lParam));
        return FALSE;  // the focus is set
      case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
          EndDialog(dialog, LOWORD(wParam));
          return TRUE;
        }
        break;
      case WM_CLOSE:
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    }
  } catch (...) {
    HandleApplicationException();
  }
  return FALSE;
}

}  // namespace

int ShowErrorDialogWindow(const TErrorDialog& dialog, HWND owner) {
  const std::vector<WORD> tmpl = DialogTemplate(dialog.Caption());
  const INT_PTR result =
      DialogBoxIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<const DLGTEMPLATE*>(tmpl.data()), owner,
                              &DialogProc, reinterpret_cast<LPARAM>(&dialog));
  Win32CheckApi(result != -1, "DialogBoxIndirectParamW");
  return static_cast<int>(result);
}
