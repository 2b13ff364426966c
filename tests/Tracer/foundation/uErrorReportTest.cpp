// The error report and the application's exception handler, with the dialog, the shell and the
// message boxes answered by the test; the report's stack lines come from this program's own
// debug information.
#include "Tracer/foundation/uErrorReport.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include "Tracer/foundation/uAppThread.h"
#include "Tracer/foundation/uGuards.h"
#include "Tracer/foundation/uMultiLanguage.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "support/TestSupport.h"

CW_DECLARE_EXCEPTION(EReportedFailure, Exception);
CW_DECLARE_EXCEPTION(EQuietStop, EAbort);

static int GLineThrow, GLineCallThrow, GLineCallMiddle;

__attribute__((noinline)) static void ReportThrower(const std::wstring& message) {
  GLineThrow = __LINE__ + 1;
  throw EReportedFailure(message);
}

__attribute__((noinline)) static void ReportMiddle(const std::wstring& message) {
  GLineCallThrow = __LINE__ + 1;
  ReportThrower(message);
}

__attribute__((noinline)) static void ReportOuter(const std::wstring& message) {
  GLineCallMiddle = __LINE__ + 1;
  ReportMiddle(message);
}

namespace {

// What the dialog, the shell and the message boxes were asked, and how they answer.
struct TSeamLog {
  int Dialogs = 0;
  std::wstring DialogCaption, DialogMessage, DialogReportCaption;
  DWORD DialogThread = 0;
  int DialogAnswer = IDCANCEL;
  std::vector<std::wstring> Links;
  INT_PTR ShellAnswer = 42;
  std::vector<std::wstring> Boxes;
};

TSeamLog* GLog = nullptr;

int AnswerDialog(const TErrorDialog& dialog) {
  ++GLog->Dialogs;
  GLog->DialogCaption = dialog.Caption();
  GLog->DialogMessage = dialog.Message();
  GLog->DialogReportCaption = dialog.ReportCaption();
  GLog->DialogThread = GetCurrentThreadId();
  return GLog->DialogAnswer;
}

INT_PTR AnswerShell(HWND, const std::wstring& file) {
  GLog->Links.push_back(file);
  return GLog->ShellAnswer;
}

int AnswerBox(HWND, const std::wstring& text, const std::wstring&, UINT) {
  GLog->Boxes.push_back(text);
  return IDOK;
}

class ExceptionHandler : public testing::Test {
protected:
  void SetUp() override {
    static bool shutdownAdded = false;
    if (!shutdownAdded) AddTestShutdown(FreeInstanceList);
    shutdownAdded = true;
    GLog = &Log;
    FOldDialog = SetErrorDialogFunc(AnswerDialog);
    FOldShell = SetShellExecuteFunc(AnswerShell);
    FOldBox = SetMessageBoxFunc(AnswerBox);
  }
  void TearDown() override {
    SetErrorDialogFunc(FOldDialog);
    SetShellExecuteFunc(FOldShell);
    SetMessageBoxFunc(FOldBox);
    GLog = nullptr;
  }
  TSeamLog Log;

private:
  TErrorDialogFunc FOldDialog = nullptr;
  TShellExecuteFunc FOldShell = nullptr;
  TMessageBoxFunc FOldBox = nullptr;
};

std::wstring PercentDecode(const std::wstring& s) {
  std::string bytes;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == L'%' && i + 2 < s.size()) {
      bytes += static_cast<char>(std::stoi(WideToUtf8(s.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      bytes += static_cast<char>(s[i]);
    }
  }
  return Utf8ToWide(bytes);
}

struct TMailLink {
  std::wstring Address, Subject, Body;
};

TMailLink ParseMailLink(const std::wstring& url) {
  TMailLink link;
  const size_t subject = url.find(L"?subject="), body = url.find(L"&body=");
  if (url.rfind(L"mailto:", 0) != 0 || subject == std::wstring::npos || body == std::wstring::npos) return link;
  link.Address = url.substr(7, subject - 7);
  link.Subject = PercentDecode(url.substr(subject + 9, body - subject - 9));
  link.Body = PercentDecode(url.substr(body + 6));
  return link;
}

// Every line, the empty one after a closing line break included.
std::vector<std::wstring> SplitReportLines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(L"\r\n", start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::wstring::npos) return lines;
    start = end + 2;
  }
}

// The file name between the first pair of double quotes.
std::wstring QuotedName(const std::wstring& text) {
  const size_t open = text.find(L'"'), close = text.find(L'"', open + 1);
  return open == std::wstring::npos || close == std::wstring::npos ? std::wstring() : text.substr(open + 1, close - open - 1);
}

std::wstring FrameOf(const wchar_t* proc, int line) {
  return WideFormat(L"uErrorReportTest.%ls (Line %d, \"uErrorReportTest.cpp\"", proc, line);
}

#define EXPECT_CONTAINS(haystack, needle) \
  EXPECT_NE(std::wstring::npos, (haystack).find(needle)) << WideToUtf8(haystack)

// The saved report named by the fallback message, removed after reading.
std::string TakeSavedReport(const std::wstring& box) {
  const std::wstring file = QuotedName(box);
  std::string bytes = ReadTextFile(file);
  DeleteFileW(file.c_str());
  return bytes;
}

class TFailingWorker : public TAppThread {
public:
  explicit TFailingWorker(bool quiet) : FQuiet(quiet) {}

protected:
  void DoExecute() override {
    if (FQuiet) throw EQuietStop(L"stopped");
    ReportOuter(L"worker failed");
  }

private:
  bool FQuiet;
};

}  // namespace

// ---- the report text ----------------------------------------------------------------------

TEST(ErrorReport, AnExceptionThreeCallsDeepIsReportedWithEachFrame) {
  ASSERT_TRUE(EnableExceptionStackTracking());
  std::wstring text;
  try {
    ReportOuter(L"disk full\r\non drive Z:");
  } catch (const EReportedFailure& e) {
    BuildErrorReport(e, GetLastExceptionStack().get(), text);
  }
  DisableExceptionStackTracking();
  const std::vector<std::wstring> lines = SplitReportLines(text);
  ASSERT_GE(lines.size(), 12u) << WideToUtf8(text);
  EXPECT_EQ(L"-----ERROR REPORT BEGIN-----", lines[0]);
  EXPECT_EQ(GetWindowsVersionText(), lines[1]);
  EXPECT_EQ(L"Build ", lines[2]);  // the test program has no version resource
  // The message's line break stays inside the exception line.
  EXPECT_EQ(L"(EReportedFailure) disk full", lines[3]);
  EXPECT_EQ(L"on drive Z:", lines[4]);
  EXPECT_EQ(L"-----BEGIN STACK DUMP-----", lines[5]);
  EXPECT_CONTAINS(lines[6], FrameOf(L"ReportThrower", GLineThrow));
  EXPECT_CONTAINS(lines[7], FrameOf(L"ReportMiddle", GLineCallThrow));
  EXPECT_CONTAINS(lines[8], FrameOf(L"ReportOuter", GLineCallMiddle));
  EXPECT_CONTAINS(lines[6], L"{test_foundation.exe}");
  EXPECT_EQ(L"-----END STACK DUMP-----", lines[lines.size() - 2]);
  EXPECT_EQ(L"-----ERROR REPORT END-----", lines.back());
}

TEST(ErrorReport, WithoutStackOrMessageTheFrameStaysComplete) {
  std::wstring text;
  BuildErrorReport(Exception(), nullptr, text);
  const std::wstring tail = L"\r\n(Exception) \r\n-----BEGIN STACK DUMP-----\r\n-----END STACK DUMP-----\r\n"
                            L"-----ERROR REPORT END-----";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(tail, text.substr(text.size() - tail.size()));
}

TEST(ErrorReport, WindowsLineFromTheSystemsAnswers) {
  struct TRow {
    DWORD Major, Minor, Build;
    const wchar_t* ServicePack;
    bool Known, Wow64;
    const wchar_t* Expected;
  };
  const TRow rows[] = {
      {6, 1, 7601, L"Service Pack 1", true, true, L"Windows 7/Server 2008 R2 Service Pack 1 Build 6.1.7601 x64"},
      {6, 2, 9200, L"", true, false, L"Windows Build 6.2.9200"},
      {5, 2, 3790, L"", true, true, L"Windows Server 2003 Build 5.2.3790 x64"},
      {0, 0, 0, L"", false, true, L" x64"},
      {0, 0, 0, L"", false, false, L""},
  };
  for (const TRow& row : rows) {
    OSVERSIONINFOW info = {};
    info.dwMajorVersion = row.Major;
    info.dwMinorVersion = row.Minor;
    info.dwBuildNumber = row.Build;
    wcscpy(info.szCSDVersion, row.ServicePack);
    EXPECT_EQ(row.Expected, FormatWindowsVersionText(row.Known ? &info : nullptr, row.Wow64)) << row.Build;
  }
  // A service-pack text that fills its whole field is read no further.
  OSVERSIONINFOW full = {};
  full.dwMajorVersion = 7;
  std::fill(std::begin(full.szCSDVersion), std::end(full.szCSDVersion), L'S');
  EXPECT_EQ(L"Windows " + std::wstring(128, L'S') + L" Build 7.0.0", FormatWindowsVersionText(&full, false));
  EXPECT_EQ(0u, GetWindowsVersionText().rfind(L"Windows", 0));
}

TEST(ErrorReport, MailLinkIsAValidUrlWithEveryReservedCharacterEncoded) {
  struct TRow {
    const wchar_t* Subject;
    const wchar_t* Body;
    const wchar_t* Query;
  };
  const TRow rows[] = {
      {L"Error report", L"a b\r\n", L"?subject=Error%20report&body=a%20b%0D%0A"},
      {L"X 2: Error report", L"?&=#%+\"", L"?subject=X%202%3A%20Error%20report&body=%3F%26%3D%23%25%2B%22"},
      {L"", L"-._~AZaz09", L"?subject=&body=-._~AZaz09"},
      {L"\u00e9", L"\u20ac\U0001F600", L"?subject=%C3%A9&body=%E2%82%AC%F0%9F%98%80"},
  };
  for (const TRow& row : rows)
    EXPECT_EQ(std::wstring(L"mailto:") + SupportAddress + row.Query, FormatMailtoURL(row.Subject, row.Body));
}

// ---- the handler --------------------------------------------------------------------------

TEST_F(ExceptionHandler, AnAbortShowsNoDialogAndSendsNoReport) {
  TExceptionHandler handler;
  for (int i = 0; i < 2; ++i) {
    try {
      if (i == 0) throw EAbort(L"quiet");
      throw EQuietStop(L"quieter");
    } catch (...) {
      HandleApplicationException();
    }
  }
  EXPECT_EQ(0, Log.Dialogs);
  EXPECT_TRUE(Log.Links.empty());
  EXPECT_TRUE(Log.Boxes.empty());
}

TEST_F(ExceptionHandler, OkClosesTheDialogAndNothingElseHappens) {
  TExceptionHandler handler;
  Log.DialogAnswer = IDOK;
  handler.HandleException(EReportedFailure(L"cannot open \"a.log\""), nullptr);
  EXPECT_EQ(1, Log.Dialogs);
  EXPECT_EQ(L"Error", Log.DialogCaption);
  EXPECT_EQ(L"cannot open \"a.log\"", Log.DialogMessage);
  EXPECT_EQ(L"Report error", Log.DialogReportCaption);
  EXPECT_TRUE(Log.Links.empty());
  EXPECT_TRUE(Log.Boxes.empty());
}

TEST_F(ExceptionHandler, TheReportButtonMailsTheWholeReport) {
  TExceptionHandler handler;
  handler.HandleException(EReportedFailure(L"a & b ? c"), nullptr);
  handler.Title = L"X 2";
  handler.HandleException(EReportedFailure(L"a & b ? c"), nullptr);
  ASSERT_EQ(2u, Log.Links.size());
  EXPECT_EQ(L"Error report", ParseMailLink(Log.Links[0]).Subject);
  const TMailLink link = ParseMailLink(Log.Links[1]);
  EXPECT_EQ(SupportAddress, link.Address);
  EXPECT_EQ(L"X 2: Error report", link.Subject);
  std::wstring report;
  BuildErrorReport(EReportedFailure(L"a & b ? c"), nullptr, report);
  EXPECT_EQ(report, link.Body);
  EXPECT_TRUE(Log.Boxes.empty());
}

TEST_F(ExceptionHandler, WhenTheShellFailsTheReportIsSavedAndTheMessageNamesTheFile) {
  TExceptionHandler handler;
  Log.ShellAnswer = SE_ERR_NOASSOC;
  const EReportedFailure error(L"Gr\u00f6\u00dfe \u20ac");
  handler.HandleException(error, nullptr);
  // The report's own link, then the short one asking for the file.
  ASSERT_EQ(2u, Log.Links.size());
  ASSERT_EQ(1u, Log.Boxes.size());
  const std::wstring file = QuotedName(Log.Boxes[0]);
  EXPECT_EQ(L"Error report was saved to \"" + file + L"\". Please send it to " + SupportAddress, Log.Boxes[0]);
  // The system builds the name from the prefix's first three letters.
  EXPECT_EQ(L"err", WideExtractFileName(file).substr(0, 3));
  EXPECT_EQ(L"--- Please attach file \"" + file + L"\" to this message --- ", ParseMailLink(Log.Links[1]).Body);
  std::wstring report;
  BuildErrorReport(error, nullptr, report);
  EXPECT_EQ(WideToUtf8(report), TakeSavedReport(Log.Boxes[0]));  // UTF-8, no byte-order mark
}

TEST_F(ExceptionHandler, AReportTooLongForAMailLinkGoesStraightToTheFile) {
  TExceptionHandler handler;
  const EReportedFailure error(std::wstring(MaxMailtoLength, L'x'));
  handler.HandleException(error, nullptr);
  // Only the short link: the shell never saw the long one.
  ASSERT_EQ(1u, Log.Links.size());
  const std::wstring file = QuotedName(ParseMailLink(Log.Links[0]).Body);
  EXPECT_TRUE(Log.Boxes.empty());
  std::wstring report;
  BuildErrorReport(error, nullptr, report);
  EXPECT_EQ(WideToUtf8(report), ReadTextFile(file));
  DeleteFileW(file.c_str());
}

TEST_F(ExceptionHandler, AnExceptionAtAWindowBoundaryIsReportedWithItsTrace) {
  TExceptionHandler handler;
  Log.ShellAnswer = SE_ERR_NOASSOC;
  try {
    ReportOuter(L"boundary");
  } catch (...) {
    HandleApplicationException();
  }
  ASSERT_EQ(1, Log.Dialogs);
  EXPECT_EQ(L"boundary", Log.DialogMessage);
  ASSERT_EQ(1u, Log.Boxes.size());
  const std::wstring report = Utf8ToWide(TakeSavedReport(Log.Boxes[0]));
  EXPECT_CONTAINS(report, L"\r\n(EReportedFailure) boundary\r\n-----BEGIN STACK DUMP-----\r\n");
  EXPECT_CONTAINS(report, FrameOf(L"ReportThrower", GLineThrow));
  EXPECT_CONTAINS(report, FrameOf(L"ReportMiddle", GLineCallThrow));
  EXPECT_CONTAINS(report, FrameOf(L"ReportOuter", GLineCallMiddle));
}

TEST_F(ExceptionHandler, AWorkersExceptionIsShownOnceOnTheMainThreadWithTheWorkersTrace) {
  TExceptionHandler handler;
  Log.ShellAnswer = SE_ERR_NOASSOC;
  TFailingWorker worker(false);
  worker.Start();
  WaitForWorker(worker, 20000, "the failing worker");
  ASSERT_EQ(1, Log.Dialogs);
  EXPECT_EQ(GetCurrentThreadId(), Log.DialogThread);
  EXPECT_EQ(L"worker failed", Log.DialogMessage);
  ASSERT_EQ(1u, Log.Boxes.size());
  const std::wstring report = Utf8ToWide(TakeSavedReport(Log.Boxes[0]));
  EXPECT_CONTAINS(report, FrameOf(L"ReportThrower", GLineThrow));
  EXPECT_CONTAINS(report, FrameOf(L"ReportOuter", GLineCallMiddle));
  EXPECT_CONTAINS(report, L"TFailingWorker.DoExecute");
}

TEST_F(ExceptionHandler, AWorkersAbortIsNotShown) {
  TExceptionHandler handler;
  TFailingWorker worker(true);
  worker.Start();
  WaitForWorker(worker, 20000, "the failing worker");
  EXPECT_EQ(0, Log.Dialogs);
  EXPECT_TRUE(Log.Links.empty());
}

TEST_F(ExceptionHandler, AfterShutdownBoundariesAndWorkersNoLongerReachIt) {
  {
    TExceptionHandler handler;
  }
  try {
    throw EReportedFailure(L"after");
  } catch (...) {
    HandleApplicationException();
  }
  EXPECT_EQ(0, Log.Dialogs);
  ASSERT_EQ(1u, Log.Boxes.size());  // the plain message box of the default route
  EXPECT_EQ(L"after", Log.Boxes[0]);
  EXPECT_FALSE(GetDebugThreadList()->OnDebugThreadException);
}
