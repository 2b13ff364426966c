#include "Tracer/foundation/uUtils.h"

#include <gtest/gtest.h>

#include "Tracer/foundation/uWideStrUtils.h"
#include "support/TestSupport.h"

namespace {

std::string Narrow(const std::wstring& s) { return WideToUtf8(s); }

// Sets TimeFormatDigits for one test and puts the old value back.
class TDigits {
public:
  explicit TDigits(int32_t digits) : FOld(TimeFormatDigits) { TimeFormatDigits = digits; }
  ~TDigits() { TimeFormatDigits = FOld; }

private:
  int32_t FOld;
};

std::wstring Time(long double value, int32_t digits) {
  TDigits d(digits);
  std::wstring s = L"junk";
  FormatTimeMs(s, value);
  return s;
}

std::wstring Sep() {
  wchar_t buf[8] = {};
  GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, buf, 8);
  return buf;
}

struct TBoxCall {
  int Count = 0;
  HWND Owner = nullptr;
  std::wstring Text, Caption;
  UINT Flags = 0;
};
TBoxCall gBox;

int RecordBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags) {
  ++gBox.Count;
  gBox.Owner = owner;
  gBox.Text = text;
  gBox.Caption = caption;
  gBox.Flags = flags;
  return IDOK;
}

// Routes message boxes to RecordBox for one test.
class TBoxRecorder {
public:
  TBoxRecorder() : FOld(SetMessageBoxFunc(RecordBox)) { gBox = TBoxCall(); }
  ~TBoxRecorder() { SetMessageBoxFunc(FOld); }

private:
  TMessageBoxFunc FOld;
};

}  // namespace

TEST(SplitKeyValue, SplitsAtTheFirstEqualsSign) {
  std::wstring k, v;
  SplitKeyValue(L"a=b=c", k, v);
  EXPECT_EQ(k, L"a");
  EXPECT_EQ(v, L"b=c");
  SplitKeyValue(L"=x", k, v);
  EXPECT_EQ(k, L"");
  EXPECT_EQ(v, L"x");
  SplitKeyValue(L"key=", k, v);
  EXPECT_EQ(k, L"key");
  EXPECT_EQ(v, L"");
  try {
    SplitKeyValue(L"plain", k, v);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), L"\"plain\" is not a key/value pair");
  }
}

TEST(SplitQueryParams, KeepsEmptyItemsExceptATrailingOne) {
  std::vector<std::wstring> list = {L"old"};
  SplitQueryParams(L"a&&b", list);
  EXPECT_EQ(list, (std::vector<std::wstring>{L"a", L"", L"b"}));
  SplitQueryParams(L"&a", list);
  EXPECT_EQ(list, (std::vector<std::wstring>{L"", L"a"}));
  SplitQueryParams(L"a&", list);
  EXPECT_EQ(list, (std::vector<std::wstring>{L"a"}));
  SplitQueryParams(L"", list);
  EXPECT_TRUE(list.empty());
}

TEST(SplitAtQuery, SplitsAtTheFirstQuestionMark) {
  std::wstring b, a;
  SplitAtQuery(L"x?y?z", b, a);
  EXPECT_EQ(b, L"x");
  EXPECT_EQ(a, L"y?z");
  SplitAtQuery(L"noquery", b, a);
  EXPECT_EQ(b, L"noquery");
  EXPECT_EQ(a, L"");
  std::wstring same = L"p?q";
  SplitAtQuery(same, same, a);
  EXPECT_EQ(same, L"p");
  EXPECT_EQ(a, L"q");
}

TEST(ParseURL, ReadsBreakpointAndHandlerUrls) {
  std::wstring scheme, path, query, user;
  ParseURL(L"export://MessageBoxW@user32", scheme, path, query, user);
  EXPECT_EQ(scheme, L"export");
  EXPECT_EQ(user, L"MessageBoxW");
  EXPECT_EQ(path, L"user32");
  EXPECT_EQ(query, L"");

  ParseURL(L"rva://0x1000@m", scheme, path, query, user);
  EXPECT_EQ(scheme, L"rva");
  EXPECT_EQ(user, L"0x1000");
  EXPECT_EQ(path, L"m");

  // An "@" after the "?" belongs to the query.
  ParseURL(L"x://y?z@w", scheme, path, query, user);
  EXPECT_EQ(scheme, L"x");
  EXPECT_EQ(user, L"");
  EXPECT_EQ(path, L"y");
  EXPECT_EQ(query, L"z@w");

  ParseURL(L"://a@b@c", scheme, path, query, user);
  EXPECT_EQ(scheme, L"");
  EXPECT_EQ(user, L"a");
  EXPECT_EQ(path, L"b@c");

  std::vector<std::wstring> params;
  ParseURLParams(L"stdcall://f@m?x=1&y=2", scheme, path, params, user);
  EXPECT_EQ(scheme, L"stdcall");
  EXPECT_EQ(user, L"f");
  EXPECT_EQ(path, L"m");
  EXPECT_EQ(params, (std::vector<std::wstring>{L"x=1", L"y=2"}));
}

TEST(ParseURL, TextWithoutSchemeSeparatorIsRejectedWithTheWholeUrl) {
  std::wstring scheme, path, query, user;
  for (const wchar_t* url : {L"user32.MessageBoxW", L"a?b://c", L""}) {
    try {
      ParseURL(url, scheme, path, query, user);
      FAIL() << Narrow(url);
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), WideFormat(L"URL \"%ls\" is in unknown format", url));
    }
  }
}

TEST(GetUserDataFolder, IsThePerUserFolderAndExists) {
  const std::wstring folder = GetUserDataFolder();
  const std::wstring tail = L"\\Pelludrane\\Calderwisp";
  ASSERT_GT(folder.size(), tail.size());
  EXPECT_EQ(folder.substr(folder.size() - tail.size()), tail);
  EXPECT_TRUE(WideDirectoryExists(folder));
  EXPECT_EQ(GetUserDataFolder(), folder);
}

TEST(TempFiles, UniqueZeroCreatesTheEmptyFileOtherwiseOnlyAName) {
  const std::wstring dir = GetTempDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), L'\\');
  EXPECT_TRUE(WideDirectoryExists(dir));

  std::wstring made;
  CreateTempFileName(L"cwt", 0, made);
  EXPECT_EQ(WideExtractFilePath(made), dir);
  EXPECT_EQ(WideExtractFileName(made).substr(0, 3), L"cwt");
  EXPECT_TRUE(WideFileExists(made));
  EXPECT_EQ(ReadTextFile(made), "");
  DeleteFileW(made.c_str());

  std::wstring named;
  CreateTempFileName(L"cwt", 0x123, named);
  EXPECT_EQ(WideExtractFileName(named), L"cwt123.tmp");
  EXPECT_FALSE(WideFileExists(named));
}

TEST(Libraries, MissingLibraryRaisesWithItsNameOrGivesZero) {
  const std::wstring name = L"no-such-library-cw.dll";
  try {
    LoadLibraryChecked(name, true);
    FAIL() << "no exception";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.Message(), name + L": " + SysErrorMessage(e.ErrorCode));
    EXPECT_NE(e.ErrorCode, 0u);
  }
  EXPECT_EQ(LoadLibraryChecked(name, false), nullptr);
  HMODULE h = LoadLibraryChecked(L"kernel32.dll", true);
  EXPECT_NE(h, nullptr);
  FreeLibraryIfLoaded(h);
  FreeLibraryIfLoaded(nullptr);
}

TEST(CloseHandleAndNil, ClosesRealHandlesAndAlwaysClearsTheVariable) {
  HANDLE invalid = INVALID_HANDLE_VALUE;
  CloseHandleAndNil(invalid);
  EXPECT_EQ(invalid, nullptr);

  HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE copy = ev;
  CloseHandleAndNil(ev);
  EXPECT_EQ(ev, nullptr);
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(copy, &flags)) << "the event is still open";

  HANDLE none = nullptr;
  CloseHandleAndNil(none);
  EXPECT_EQ(none, nullptr);
}

TEST(GetProcessModuleFileName, GivesTheMainModuleOrEmpty) {
  std::wstring name = L"junk";
  HANDLE self = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId());
  ASSERT_NE(self, nullptr);
  GetProcessModuleFileName(self, nullptr, name);
  CloseHandle(self);
  EXPECT_EQ(WideUpCaseChar(name[0]), WideUpCaseChar(TestBinDir()[0]));
  EXPECT_EQ(WideExtractFileName(name), L"test_foundation.exe");

  GetProcessModuleFileName(nullptr, nullptr, name);
  EXPECT_EQ(name, L"");
}

TEST(FormatTimeMs, RoundsHalvesAwayFromZero) {
  const std::wstring sep = Sep();
  EXPECT_EQ(Time(1.5, 0), L"2");
  EXPECT_EQ(Time(1.5, 1), L"1" + sep + L"5");
  EXPECT_EQ(Time(1.5, 2), L"1" + sep + L"50");
  // Exact halves: the run-time would give 2, 0.12 and 0.62 here.
  EXPECT_EQ(Time(2.5, 0), L"3");
  EXPECT_EQ(Time(0.125, 2), L"0" + sep + L"13");
  EXPECT_EQ(Time(0.625, 2), L"0" + sep + L"63");
  EXPECT_EQ(Time(-2.5, 0), L"-3");
  // Below the half stays below, however close the text looks.
  EXPECT_EQ(Time(1.005, 2), L"1" + sep + L"00");
  EXPECT_EQ(Time(0.04999, 1), L"0" + sep + L"0");
  EXPECT_EQ(Time(99.95, 1), L"100" + sep + L"0");
  EXPECT_EQ(Time(999.5, 0), L"1000");
  EXPECT_EQ(Time(0, 2), L"0" + sep + L"00");
  EXPECT_EQ(Time(-0.4, 0), L"0");
  EXPECT_EQ(Time(123456789.0L, 1), L"123456789" + sep + L"0");
  // Longer than any time a call takes: every digit all the same.
  EXPECT_EQ(Time(0x1p200L, 1), L"1606938044258990275541962092341162602522202993782792835301376" + sep + L"0");
}

TEST(FormatTimeMs, SettingOutOfRangeIsClamped) {
  const std::wstring sep = Sep();
  EXPECT_EQ(Time(3.14159, 7), L"3" + sep + L"14");
  EXPECT_EQ(Time(3.14159, -1), L"3");
  EXPECT_EQ(Time(3.14159, 1000000), L"3" + sep + L"14");
}

TEST(FormatTimeMs, NegativeTimeMeansNoTime) {
  TDigits d(2);
  std::wstring s = L"junk";
  FormatTimeMsOrEmpty(s, -1);
  EXPECT_EQ(s, L"");
  FormatTimeMsOrEmpty(s, 0);
  EXPECT_EQ(s, L"0" + Sep() + L"00");
}

TEST(LineBreaks, EscapeAndUnescapeRoundTrip) {
  std::wstring s;
  EscapeLineBreaks(L"one\r\ntwo\r\n\r\nthree\rfour\nfive", s);
  EXPECT_EQ(s, L"one\\ntwo\\n\\nthree\rfour\nfive");
  std::wstring back;
  UnescapeLineBreaks(s, back);
  EXPECT_EQ(back, L"one\r\ntwo\r\n\r\nthree\rfour\nfive");
  UnescapeLineBreaks(L"a\\nb\\", s);
  EXPECT_EQ(s, L"a\r\nb\\");
  UnescapeLineBreaks(L"\\\\x", s);
  EXPECT_EQ(s, L"\\\\x");
}

TEST(ReplaceTabs, ReplacesEveryTab) {
  std::wstring s = L"\ta\t\tb\t";
  ReplaceTabs(s, L"  ");
  EXPECT_EQ(s, L"  a    b  ");
  s = L"x\ty";
  ReplaceTabs(s, L"");
  EXPECT_EQ(s, L"xy");
}

TEST(MessageBoxes, CarryTheApplicationTitleAndOwner) {
  TBoxRecorder rec;
  const std::wstring oldTitle = GetApplicationTitle();
  SetApplicationTitle(L"Calderwisp 2");
  EXPECT_EQ(ShowMessageBox(L"hello", MB_OKCANCEL), IDOK);
  EXPECT_EQ(gBox.Caption, L"Calderwisp 2");
  EXPECT_EQ(gBox.Text, L"hello");
  EXPECT_EQ(gBox.Flags, static_cast<UINT>(MB_OKCANCEL));
  EXPECT_EQ(gBox.Owner, GetApplicationWindow());
  ShowErrorBox(L"bad", MB_OK);
  EXPECT_EQ(gBox.Flags, static_cast<UINT>(MB_OK | MB_ICONERROR));
  SetApplicationTitle(oldTitle);
}

TEST(CheckCOMClassRegistered, NamesTheMissingClassAndItsFixAndGoesOn) {
  TBoxRecorder rec;
  const CLSID missing = {0x1234ABCD, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};
  CheckCOMClassRegistered(missing, L"Script Control", L"regsvr32.exe msscript.ocx");
  EXPECT_EQ(gBox.Count, 1);
  EXPECT_EQ(gBox.Text,
            L"\"Script Control\" is not registered. Some functions may not work properly.\r\n"
            L"Try to execute \"regsvr32.exe msscript.ocx\" in the command prompt to correct the problem");
  EXPECT_EQ(gBox.Flags & MB_ICONERROR, static_cast<UINT>(MB_ICONERROR));

  const CLSID domDocument = {0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
  CheckCOMClassRegistered(domDocument, L"DOM Document", L"regsvr32.exe msxml.dll");
  EXPECT_EQ(gBox.Count, 1) << "the DOM document is registered; no box expected";
}
