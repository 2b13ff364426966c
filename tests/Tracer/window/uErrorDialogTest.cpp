// The real error dialog under the test display: a second thread finds it, measures it, saves a
// screenshot and presses a key or a button, as a person would.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "Tracer/foundation/uErrorReport.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/window/uErrorDialog.h"
#include "support/Screenshot.h"
#include "support/TestSupport.h"

namespace {

// What the presser saw of the dialog before it pressed.
struct TDialogView {
  bool Found = false;
  std::wstring Caption, Message, OkCaption, ReportCaption;
  RECT Client = {}, Ok = {}, Report = {};  // buttons in client coordinates
  int ReportTextWidth = 0;
  size_t Colors = 0;  // of the screenshot
};

std::wstring TextOf(HWND window) {
  wchar_t buf[512] = {};
  GetWindowTextW(window, buf, 512);
  return buf;
}

RECT ChildRect(HWND dialog, HWND child) {
  RECT r = {};
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

BOOL CALLBACK TakeVisibleDialog(HWND window, LPARAM param) {
  wchar_t cls[32] = {};
  GetClassNameW(window, cls, 32);
  if (std::wstring(cls) != L"#32770" || !IsWindowVisible(window)) return TRUE;
  *reinterpret_cast<HWND*>(param) = window;
  return FALSE;
}

HWND FindDialogOf(DWORD threadId) {
  HWND found = nullptr;
  EnumThreadWindows(threadId, TakeVisibleDialog, reinterpret_cast<LPARAM>(&found));
  return found;
}

// In its own thread: waits (bounded) for the dialog of the main thread, looks at it, then acts.
class TDialogPresser {
public:
  using TAction = std::function<void(HWND dialog)>;
  TDialogPresser(TAction action, std::wstring screenshot = std::wstring())
      : FMainThread(GetCurrentThreadId()), FScreenshot(std::move(screenshot)),
        FThread([this, action] { Run(action); }) {}
  ~TDialogPresser() { Join(); }
  void Join() {
    JoinWithin(FThread, 30000, "the dialog presser");
  }
  // Valid after Join.
  const TDialogView& View() const { return FView; }
  bool ScreenshotSaved() const { return FSaved; }

private:
  void Run(const TAction& action) {
    const DWORD deadline = GetTickCount() + ScaledMs(10000);
    HWND dialog = nullptr;
    while (!(dialog = FindDialogOf(FMainThread)) && GetTickCount() < deadline) Sleep(20);
    if (!dialog) {
      // Ends the modal loop that nobody else would end.
      PostThreadMessageW(FMainThread, WM_QUIT, 0, 0);
      return;
    }
    FView.Found = true;
    FView.Caption = TextOf(dialog);
    FView.Message = TextOf(GetDlgItem(dialog, 101));
    HWND ok = GetDlgItem(dialog, IDOK), report = GetDlgItem(dialog, IDCANCEL);
    FView.OkCaption = TextOf(ok);
    FView.ReportCaption = TextOf(report);
    GetClientRect(dialog, &FView.Client);
    FView.Ok = ChildRect(dialog, ok);
    FView.Report = ChildRect(dialog, report);
    HDC dc = GetDC(report);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(report, WM_GETFONT, 0, 0)));
    SIZE size = {};
    GetTextExtentPoint32W(dc, FView.ReportCaption.c_str(), static_cast<int>(FView.ReportCaption.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(report, dc);
    FView.ReportTextWidth = size.cx;
    if (!FScreenshot.empty()) {
      // The first pictures may come before the dialog has painted itself.
      TRgbImage image;
      const DWORD painted = GetTickCount() + ScaledMs(3000);
      do {
        image = CaptureWindow(dialog);
        FView.Colors = image.ColorCount();
      } while (FView.Colors < 3 && GetTickCount() < painted && (Sleep(50), true));
      if (image.Width > 0) {
        WriteTextFile(FScreenshot, EncodePng(image));
        FSaved = true;
      }
    }
    action(dialog);
  }

  DWORD FMainThread;
  std::wstring FScreenshot;
  TDialogView FView;
  bool FSaved = false;
  std::thread FThread;
};

void PressEscape(HWND dialog) { PostMessageW(dialog, WM_KEYDOWN, VK_ESCAPE, 0); }
void PressEnter(HWND dialog) { PostMessageW(dialog, WM_KEYDOWN, VK_RETURN, 0); }
void ClickOk(HWND dialog) { PostMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0); }
void ClickReport(HWND dialog) { PostMessageW(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0); }
void CloseBox(HWND dialog) { PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }

// Shows the dialog modally while a presser acts on it.
TDialogView ShowAndAct(TErrorDialog& dialog, const TDialogPresser::TAction& action, int& result,
                       const std::wstring& screenshot = std::wstring(), bool* saved = nullptr) {
  TDialogPresser presser(action, screenshot);
  result = ShowErrorDialogWindow(dialog, nullptr);
  presser.Join();
  if (saved) *saved = presser.ScreenshotSaved();
  return presser.View();
}

int Width(const RECT& r) { return r.right - r.left; }

std::vector<std::wstring> GLinks;

INT_PTR RecordLink(HWND, const std::wstring& file) {
  GLinks.push_back(file);
  return 42;
}

}  // namespace

TEST(ErrorDialog, ShowsTheMessageWithOkAndTheReportButton_Screenshot) {
  AddTestShutdown(FreeInstanceList);
  std::unique_ptr<TErrorDialog> dialog = CreateErrorDialog(Exception(L"Cannot open \"trace.log\":\r\nThe disk is full."));
  const std::wstring png = TestBinDir() + L"error_dialog.png";
  DeleteFileW(png.c_str());
  int result = 0;
  bool saved = false;
  const TDialogView view = ShowAndAct(*dialog, PressEscape, result, png, &saved);
  ASSERT_TRUE(view.Found);
  EXPECT_EQ(IDCANCEL, result);
  EXPECT_EQ(L"Error", view.Caption);
  EXPECT_EQ(L"Cannot open \"trace.log\":\r\nThe disk is full.", view.Message);
  EXPECT_EQ(L"OK", view.OkCaption);
  EXPECT_EQ(L"Report error", view.ReportCaption);
  // The report button holds its caption with room to spare, and both buttons fit the dialog.
  EXPECT_EQ(std::max(Width(view.Ok), view.ReportTextWidth + 20), Width(view.Report));
  EXPECT_LE(view.Report.right, view.Client.right);
  EXPECT_GE(view.Ok.left, 0);
  EXPECT_LT(view.Ok.right, view.Report.left);
  ASSERT_TRUE(saved);
  // A picture with something on it: icon, text and buttons, not one flat colour.
  EXPECT_GE(view.Colors, 3u);
  EXPECT_EQ(0u, ReadTextFile(png).rfind("\x89PNG\r\n", 0));
}

TEST(ErrorDialog, EscapeTheReportButtonAndTheCloseBoxAnswerCancel_OkAndEnterAnswerOk) {
  struct TRow {
    const char* Name;
    void (*Act)(HWND);
    int Expected;
  };
  const TRow rows[] = {
      {"Escape", PressEscape, IDCANCEL}, {"report button", ClickReport, IDCANCEL}, {"close box", CloseBox, IDCANCEL},
      {"OK button", ClickOk, IDOK},      {"Enter", PressEnter, IDOK},
  };
  for (const TRow& row : rows) {
    TErrorDialog dialog(L"Error", L"message", L"Report error");
    int result = 0;
    EXPECT_TRUE(ShowAndAct(dialog, row.Act, result).Found) << row.Name;
    EXPECT_EQ(row.Expected, result) << row.Name;
  }
}

TEST(ErrorDialog, ALongReportCaptionWidensItsButtonAndTheDialogByTheDifference) {
  const std::wstring message = L"Something failed.";
  TErrorDialog shortDialog(L"Error", message, L"Rep");
  TErrorDialog longDialog(L"Error", message, L"Send a report of this error to the support team");
  int result = 0;
  const TDialogView a = ShowAndAct(shortDialog, ClickOk, result);
  const TDialogView b = ShowAndAct(longDialog, ClickOk, result);
  ASSERT_TRUE(a.Found && b.Found);
  EXPECT_EQ(Width(a.Ok), Width(a.Report));  // a short caption keeps the standard width
  const int difference = b.ReportTextWidth + 20 - Width(b.Ok);
  ASSERT_GT(difference, 0);
  EXPECT_EQ(Width(b.Ok) + difference, Width(b.Report));
  EXPECT_EQ(Width(a.Client) + difference, Width(b.Client));
}

TEST(ErrorDialog, FromTheHandlerEscapeStartsTheReportAndOkDoesNothing) {
  AddTestShutdown(FreeInstanceList);
  TShellExecuteFunc oldShell = SetShellExecuteFunc(RecordLink);
  TErrorDialogWindowFunc oldWindow = SetErrorDialogWindowFunc(ShowErrorDialogWindow);
  TExceptionHandler handler;
  struct TRow {
    void (*Act)(HWND);
    size_t Links;
  };
  for (const TRow& row : {TRow{PressEscape, 1}, TRow{ClickOk, 0}}) {
    GLinks.clear();
    TDialogPresser presser(row.Act);
    handler.HandleException(Exception(L"short"), nullptr);
    presser.Join();
    EXPECT_TRUE(presser.View().Found);
    ASSERT_EQ(row.Links, GLinks.size());
    if (row.Links) {
      EXPECT_EQ(0u, GLinks[0].rfind(std::wstring(L"mailto:") + SupportAddress + L"?subject=", 0));
    }
  }
  SetErrorDialogWindowFunc(oldWindow);
  SetShellExecuteFunc(oldShell);
}
