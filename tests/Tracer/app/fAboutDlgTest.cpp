// The about box under Xvfb: eight memo lines (the system, the files and their versions, a
// missing file with its padded name alone), links opened through the shell, their colour
// under the mouse, no caption bar, and Escape closing it.
#include "Tracer/app/fAboutDlg.h"

#include <gtest/gtest.h>

#include "Tracer/foundation/uErrorReport.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "Tracer/window/WindowTestSupport.h"
#include "support/TestSupport.h"

namespace {

std::vector<std::wstring> GShell;
INT_PTR RecordShell(HWND, const std::wstring& file) {
  GShell.push_back(file);
  return 33;
}

std::vector<std::wstring> MemoLines(TMemo& memo) {
  std::vector<std::wstring> lines;
  for (int i = 0; i < memo.LineCount(); ++i) {
    wchar_t buffer[512];
    *reinterpret_cast<WORD*>(buffer) = 511;
    const LRESULT n = memo.Perform(EM_GETLINE, i, reinterpret_cast<LPARAM>(buffer));
    lines.emplace_back(buffer, static_cast<size_t>(n));
  }
  return lines;
}

}  // namespace

TEST(AboutBox, MemoLinesLinksAndLook) {
  auto about = CreateForm<TAboutDlg>(nullptr);
  about->Show();
  PumpFor(50);
  EXPECT_EQ(GetWindowLongW(about->Handle(), GWL_STYLE) & WS_CAPTION, 0);
  const std::vector<std::wstring> lines = MemoLines(*about->mem);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], AnsiToWide(WideToAnsi(GetWindowsVersionText())));
  EXPECT_EQ(lines[1], std::wstring(31, L'='));
  EXPECT_EQ(lines[7], std::wstring(31, L'='));
  const wchar_t* files[] = {L"test_window.exe", L"Vostik.dll", L"Zentrel.exe", L"MsScript.ocx", L"JScript.dll"};
  for (int i = 0; i < 5; ++i) {
    const std::wstring padded = (std::wstring(files[i]) + std::wstring(21, L' ')).substr(0, 21);
    EXPECT_EQ(lines[2 + i].substr(0, 21), padded) << i;
  }
  EXPECT_EQ(lines[3], L"Vostik.dll           ") << "not beside the test program: the padded name alone";
  EXPECT_GT(lines[6].size(), 21u) << "the script engine's version";
  SaveWindowScreenshot(about->Handle(), L"AboutBox");

  TShellExecuteFunc old = SetShellExecuteFunc(RecordShell);
  GShell.clear();
  SendMessageW(about->lblHTTP1->Handle(), WM_LBUTTONDOWN, MK_LBUTTON, 0);
  SendMessageW(about->lblHTTP1->Handle(), WM_LBUTTONUP, 0, 0);
  about->lblEMailClick(about->lblEMail);
  SetShellExecuteFunc(old);
  EXPECT_EQ(GShell, (std::vector<std::wstring>{about->lblHTTP1->Caption(), L"mailto:" + about->lblEMail->Caption()}));
  EXPECT_EQ(about->lblEMail->Caption(), SupportAddress) << "the address error reports are mailed to";

  SendMessageW(about->lblEMail->Handle(), WM_MOUSEMOVE, 0, MAKELPARAM(2, 2));
  EXPECT_EQ(about->lblEMail->FontColor(), TAboutDlg::LinkHoverColor);
  SendMessageW(about->lblEMail->Handle(), WM_MOUSELEAVE, 0, 0);
  EXPECT_EQ(about->lblEMail->FontColor(), TAboutDlg::LinkColor);
}

TEST(AboutBox, EscapeClosesTheModalBox) {
  TFormDriver driver;
  driver.Then(OnForm<TAboutDlg>([](TAboutDlg* a) {
    // Keys go to the active window, which another test program may take for a moment.
    PressKeyUntil(a->Handle(), a->btnOK->Handle(), VK_ESCAPE, [a] { return a->ModalResult() != mrNone; }, 5000);
  }));
  auto about = CreateForm<TAboutDlg>(nullptr);
  EXPECT_EQ(about->ShowModal(), mrOK);
  EXPECT_TRUE(driver.Done());
}
