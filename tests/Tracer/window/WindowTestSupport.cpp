#include "Tracer/window/WindowTestSupport.h"

#include <algorithm>
#include <cstdlib>

#include "Tracer/foundation/uGuards.h"
#include "Tracer/foundation/uMultiLanguage.h"
#include "Tracer/window/uWinForms.h"
#include "lib/rtl/SysUtils.h"
#include "support/Screenshot.h"
#include "support/TestSupport.h"

namespace {

std::vector<std::wstring> GCaught;

void RecordException() noexcept {
  try {
    throw;
  } catch (const Exception& e) {
    GCaught.push_back(e.Message());
  } catch (const std::exception& e) {
    GCaught.push_back(Utf8ToWide(e.what()));
  } catch (...) {
    GCaught.push_back(L"(unknown)");
  }
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

std::wstring TextOf(HWND window) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

// The width of the ink of one line of text drawn in font: some fonts are drawn wider than
// the text functions measure them (Liberation Sans at small sizes under Wine).
int InkWidth(HFONT font, const std::wstring& line) {
  const int width = 1024, height = 64;
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
  HGDIOBJ oldFont = SelectObject(dc, font);
  PatBlt(dc, 0, 0, width, height, WHITENESS);
  SetBkMode(dc, TRANSPARENT);
  TextOutW(dc, 0, 0, line.c_str(), static_cast<int>(line.size()));
  GdiFlush();
  int right = 0;
  const auto* pixels = static_cast<const DWORD*>(bits);
  for (int y = 0; y < height; ++y)
    for (int x = right; x < width; ++x)
      if ((pixels[y * width + x] & 0xFFFFFF) != 0xFFFFFF) right = x + 1;
  SelectObject(dc, oldFont);
  SelectObject(dc, oldBitmap);
  DeleteObject(bitmap);
  DeleteDC(dc);
  return right;
}

// The size text takes in the control's own font, wrapped at width when flags say so: what
// DrawText gives, widened to the ink of its widest line; and the face the font turned out to be.
SIZE TextSize(HWND control, HFONT font, const std::wstring& text, UINT flags, int width, std::wstring& face) {
  if (!font) font = static_cast<HFONT>(GetStockObject(SYSTEM_FONT));
  HDC dc = GetDC(control);
  HGDIOBJ old = SelectObject(dc, font);
  RECT r{0, 0, width, 0};
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, flags | DT_CALCRECT);
  wchar_t name[LF_FACESIZE] = {};
  GetTextFaceW(dc, LF_FACESIZE, name);
  face = name;
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  std::wstring shown;
  for (size_t i = 0; i < text.size(); ++i) {
    // "&" marks the next letter as the hot key.
    if (text[i] == L'&' && !(flags & DT_NOPREFIX) && ++i == text.size()) break;
    shown += text[i];
  }
  size_t start = 0;
  while (start <= shown.size()) {
    size_t end = shown.find(L'\n', start);
    if (end == std::wstring::npos) end = shown.size();
    std::wstring line = shown.substr(start, end - start);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    r.right = std::max<LONG>(r.right, InkWidth(font, line));
    start = end + 1;
  }
  return SIZE{r.right, r.bottom};
}

HFONT FontOf(HWND control) { return reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)); }

// What a button needs beside its text, in pixels: a push button its edges, a check box or
// radio button its box, a group box the frame on both sides of its caption. (A header item
// needs its margins: three edges a side.)
int ButtonRoom(DWORD style) {
  switch (style & BS_TYPEMASK) {
    case BS_PUSHBUTTON:
    case BS_DEFPUSHBUTTON: return 8;
    case BS_GROUPBOX: return 16;
    default: return 19;
  }
}

BOOL CALLBACK AddChild(HWND child, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
  return TRUE;
}

struct TShownText {
  HWND Control;
  RECT Text;  // in the parent's client area
};

}  // namespace

std::vector<std::wstring> ClippedTexts(HWND window) {
  std::vector<std::wstring> faults;
  std::vector<TShownText> shown;
  auto fault = [&](const std::wstring& what, const std::wstring& text, SIZE need, SIZE room, const std::wstring& face) {
    faults.push_back(what + L" \"" + text + L"\" needs " + std::to_wstring(need.cx) + L"x" + std::to_wstring(need.cy) +
                     L", has " + std::to_wstring(room.cx) + L"x" + std::to_wstring(room.cy) + L" (" + face + L")");
  };
  std::vector<HWND> children;
  EnumChildWindows(window, AddChild, reinterpret_cast<LPARAM>(&children));
  for (HWND child : children) {
    if (!IsWindowVisible(child)) continue;
    const std::wstring cls = ClassOf(child);
    const DWORD style = static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE));
    RECT client;
    GetClientRect(child, &client);
    const SIZE room{client.right, client.bottom};
    std::wstring face;
    if (!_wcsicmp(cls.c_str(), L"SysHeader32")) {
      for (int i = 0; i < static_cast<int>(SendMessageW(child, HDM_GETITEMCOUNT, 0, 0)); ++i) {
        wchar_t text[260] = {};
        HDITEMW item{};
        item.mask = HDI_TEXT | HDI_WIDTH;
        item.pszText = text;
        item.cchTextMax = 260;
        SendMessageW(child, HDM_GETITEMW, i, reinterpret_cast<LPARAM>(&item));
        // A column of no width is a hidden one.
        if (item.cxy <= 0 || !*text) continue;
        SIZE need = TextSize(child, FontOf(child), text, DT_SINGLELINE | DT_NOPREFIX, 0, face);
        need.cx += 6 * GetSystemMetrics(SM_CXEDGE);
        if (need.cx > item.cxy) fault(L"column", text, need, SIZE{item.cxy, room.cy}, face);
      }
      continue;
    }
    const std::wstring text = TextOf(child);
    if (text.empty()) continue;
    SIZE need{};
    if (!_wcsicmp(cls.c_str(), L"Static")) {
      const DWORD type = style & SS_TYPEMASK;
      if (type != SS_LEFT && type != SS_CENTER && type != SS_RIGHT && type != SS_SIMPLE && type != SS_LEFTNOWORDWRAP)
        continue;
      const bool wraps = type == SS_LEFT || type == SS_CENTER || type == SS_RIGHT;
      need = TextSize(child, FontOf(child), text,
                      DT_EXPANDTABS | (wraps ? DT_WORDBREAK : 0) | ((style & SS_NOPREFIX) ? DT_NOPREFIX : 0), room.cx,
                      face);
      RECT r{0, 0, need.cx, need.cy};
      if (type == SS_CENTER) OffsetRect(&r, (room.cx - need.cx) / 2, 0);
      if (type == SS_RIGHT) OffsetRect(&r, room.cx - need.cx, 0);
      MapWindowPoints(child, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
      shown.push_back({child, r});
    } else if (!_wcsicmp(cls.c_str(), L"Button")) {
      need = TextSize(child, FontOf(child), text, DT_SINGLELINE, 0, face);
      need.cx += ButtonRoom(style);
      RECT r;
      GetWindowRect(child, &r);
      MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
      shown.push_back({child, r});
    } else {
      continue;
    }
    if (need.cx > room.cx || need.cy > room.cy) fault(cls, text, need, room, face);
  }
  // A text under another control's shows in part at most.
  for (size_t i = 0; i < shown.size(); ++i)
    for (size_t j = i + 1; j < shown.size(); ++j) {
      RECT common;
      if (GetParent(shown[i].Control) == GetParent(shown[j].Control) &&
          IntersectRect(&common, &shown[i].Text, &shown[j].Text))
        faults.push_back(L"\"" + TextOf(shown[i].Control) + L"\" and \"" + TextOf(shown[j].Control) + L"\" overlap by " +
                         std::to_wstring(common.right - common.left) + L"x" + std::to_wstring(common.bottom - common.top));
    }
  return faults;
}

TTestLanguageFile::TTestLanguageFile(const std::wstring& language, const std::string& text)
    : FFile(TestBinDir() + L"lang\\" + language + L".lng") {
  CreateDirectoryW((TestBinDir() + L"lang").c_str(), nullptr);
  WriteTextFile(FFile, text);
  GetMultiLanguage()->ReadLanguages();
}

TTestLanguageFile::~TTestLanguageFile() {
  GetMultiLanguage()->SetLanguage(L"English");
  DeleteFileW(FFile.c_str());
  GetMultiLanguage()->ReadLanguages();
}

bool SaveWindowScreenshot(HWND window, const std::wstring& name) {
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
  TRgbImage image = CaptureWindow(window);
  if (image.Width == 0) return false;
  WriteTextFile(TestBinDir() + name + L".png", EncodePng(image));
  return true;
}

bool PumpUntil(const std::function<bool()>& done, int ms) {
  const DWORD start = GetTickCount(), limit = ScaledMs(static_cast<unsigned long>(ms));
  for (;;) {
    Application()->ProcessMessages();
    if (done()) return true;
    if (GetTickCount() - start > limit) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
}

void PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
}

TCaughtExceptions::TCaughtExceptions() {
  GCaught.clear();
  SetApplicationExceptionRoute(RecordException);
}

TCaughtExceptions::~TCaughtExceptions() { SetApplicationExceptionRoute(nullptr); }

const std::vector<std::wstring>& TCaughtExceptions::Messages() const { return GCaught; }

TFormDriver::TFormDriver(int ms) : FSafety(new TTimer(nullptr, L"tmrDriverSafety", ScaledMs(static_cast<unsigned long>(ms)))) {
  FSafety->OnTimer = [](TTimer*) {
    for (TForm* f : Application()->Forms())
      if (f->IsModal()) f->SetModalResult(mrCancel);
  };
  // A step may open a modal form itself, whose loop calls this handler again: the step is
  // counted as taken before it acts.
  Application()->OnIdle = [this](bool&) {
    if (Done()) return;
    for (TForm* f : std::vector<TForm*>(Application()->Forms()))
      if (f->Visible() && FSteps[FNext].Accepts(f)) {
        const TFormStep step = FSteps[FNext++];
        step.Act(f);
        return;
      }
  };
}

TFormDriver::~TFormDriver() {
  Application()->OnIdle = nullptr;
  delete FSafety;
}

bool ActivateWithin(HWND window, int ms) {
  return PumpUntil(
      [window] {
        if (GetActiveWindow() == window) return true;
        SetForegroundWindow(window);
        SetActiveWindow(window);
        return GetActiveWindow() == window;
      },
      ms);
}

bool PressKeyUntil(HWND window, HWND target, WPARAM key, const std::function<bool()>& done, int ms) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    ActivateWithin(window, ms);
    PostMessageW(target, WM_KEYDOWN, key, 1);
    PostMessageW(target, WM_KEYUP, key, 0xC0000001);
    if (PumpUntil(done, 1000)) return true;
  }
  return false;
}
