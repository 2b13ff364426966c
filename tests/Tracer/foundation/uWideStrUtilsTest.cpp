#include "Tracer/foundation/uWideStrUtils.h"

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

struct ScanCase {
  const wchar_t* text;
  int32_t value;
  int code;
};

}  // namespace

TEST(WideValInt, ScansDecimalHexAndReportsTheFailingPosition) {
  const ScanCase cases[] = {
      {L" 42", 42, 0},
      {L"42 ", 42, 3},
      {L"", 0, -1},
      {L"   ", 0, -1},
      {L"$1F", 31, 0},
      {L"x1F", 31, 0},
      {L"X1F", 31, 0},
      {L"0x1F", 31, 0},
      {L"0X1f", 31, 0},
      {L"-$1F", 0, 2},
      {L"$", 0, 0},
      {L"0x", 0, 0},
      {L"$7FFFFFFF", 2147483647, 0},
      {L"$80000000", 0x8000000, 9},
      {L"2147483647", 2147483647, 0},
      {L"2147483648", 214748364, 10},
      {L"-2147483648", INT32_MIN, 0},
      {L"-2147483649", -214748364, 11},
      {L"+", 0, 0},
      {L"+7", 7, 0},
      {L"-", 0, 0},
      {L"0", 0, 0},
      {L"007", 7, 0},
      {L"12a", 12, 3},
      {L"$1G", 1, 3},
  };
  for (const auto& c : cases) {
    int code = 99;
    int32_t v = WideValInt(c.text, code);
    EXPECT_EQ(code, c.code) << "text: '" << WideToUtf8(c.text) << "'";
    if (c.code == 0) {
      EXPECT_EQ(v, c.value) << "text: '" << WideToUtf8(c.text) << "'";
    }
  }
}

TEST(WideStrToInt, RaisesConvertErrorNamingTheText) {
  EXPECT_EQ(WideStrToInt(L"-17"), -17);
  try {
    WideStrToInt(L"12x");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), L"'12x' is not a valid integer value");
  }
  int32_t v = 5;
  EXPECT_FALSE(WideTryStrToInt(L"", v));
  EXPECT_TRUE(WideTryStrToInt(L"0x10", v));
  EXPECT_EQ(v, 16);
  EXPECT_EQ(IntToWideStr(INT32_MIN), L"-2147483648");
  EXPECT_EQ(IntToWideStr(0), L"0");
}

TEST(WideStringToGUID, ParsesBracedGuidsAndRejectsOthers) {
  GUID g = WideStringToGUID(L"{6A75BD30-7305-4444-9FF0-0717A5F91FE0}");
  EXPECT_EQ(g.Data1, 0x6A75BD30u);
  EXPECT_EQ(g.Data4[7], 0xE0);
  try {
    WideStringToGUID(L"not-a-guid");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), L"'not-a-guid' is not a valid GUID value");
  }
}

TEST(WidePaths, SplitsFolderNameAndExtension) {
  EXPECT_EQ(WideExtractFileDir(L"C:\\"), L"C:\\");
  EXPECT_EQ(WideExtractFileDir(L"C:\\dir\\"), L"C:\\dir");
  EXPECT_EQ(WideExtractFileDir(L"\\\\server\\share"), L"\\\\server");
  EXPECT_EQ(WideExtractFileDir(L"C:\\dir\\file.txt"), L"C:\\dir");
  EXPECT_EQ(WideExtractFileDir(L"file.txt"), L"");
  EXPECT_EQ(WideExtractFileName(L"C:"), L"");
  EXPECT_EQ(WideExtractFileName(L"C:\\dir\\file.txt"), L"file.txt");
  EXPECT_EQ(WideExtractFileName(L"C:file.txt"), L"file.txt");
  EXPECT_EQ(WideExtractFilePath(L"C:\\dir\\file.txt"), L"C:\\dir\\");
  EXPECT_EQ(WideExtractFilePath(L"file.txt"), L"");
  EXPECT_EQ(WideChangeFileExt(L"C:\\a.b\\file", L".xml"), L"C:\\a.b\\file.xml");
  EXPECT_EQ(WideChangeFileExt(L"name.txt", L""), L"name");
  EXPECT_EQ(WideChangeFileExt(L"a.tar.gz", L".zip"), L"a.tar.zip");
  EXPECT_EQ(WideExcludeTrailingPathDelimiter(L"C:\\dir\\\\"), L"C:\\dir\\");
  EXPECT_EQ(WideExcludeTrailingPathDelimiter(L""), L"");
  EXPECT_EQ(WideLastDelimiter(L"\\", std::wstring(L"a\\b\0c", 5)), 2);
  EXPECT_EQ(WideLastDelimiter(std::wstring(L"\0", 1), std::wstring(L"ab\0", 3)), 0);
  EXPECT_TRUE(WideIsPathDelimiter(L"a\\", 2));
  EXPECT_FALSE(WideIsPathDelimiter(L"a\\", 3));
  EXPECT_FALSE(WideIsPathDelimiter(L"a\\", 0));
  EXPECT_TRUE(WideIsDelimiter(L".:", L"a:b", 2));
  EXPECT_EQ(WideUpCaseChar(L'q'), L'Q');
  EXPECT_EQ(WideUpCaseChar(L'\x00E4'), L'\x00E4');
}

TEST(WideForceDirectories, CreatesMissingParentsAndAcceptsRoots) {
  TTempDir tmp;
  std::wstring deep = tmp.File(L"a\\b\\c\\");
  EXPECT_TRUE(WideForceDirectories(deep));
  EXPECT_TRUE(WideDirectoryExists(tmp.File(L"a\\b\\c")));
  EXPECT_FALSE(WideFileExists(tmp.File(L"a\\b\\c")));
  EXPECT_TRUE(WideForceDirectories(L"C:\\"));
  EXPECT_TRUE(WideForceDirectories(L"C:"));
  try {
    WideForceDirectories(L"");
    FAIL();
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode, 3);
    EXPECT_EQ(e.Message(), L"Unable to create directory");
  }
  // A file in the way: False, no exception.
  WriteTextFile(tmp.File(L"file"), "x");
  EXPECT_FALSE(WideForceDirectories(tmp.File(L"file\\sub")));
}

TEST(WideFileStream, CreatesWritesReopensAndReportsFailures) {
  TTempDir tmp;
  std::wstring name = tmp.File(L"d\x00E9j\x00E0.bin");
  {
    TWideFileStream s(name, fmCreate);
    s.WriteBuffer("hello", 5);
    EXPECT_EQ(s.FileName(), name);
  }
  EXPECT_TRUE(WideFileExists(name));
  {
    TWideFileStream s(name, fmOpenRead | fmShareDenyWrite);
    char buf[8] = {};
    EXPECT_EQ(s.Read(buf, 8), 5);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(s.GetSize(), 5);
  }
  try {
    TWideFileStream s(tmp.File(L"missing"), fmOpenRead);
    FAIL();
  } catch (const EFOpenError& e) {
    std::wstring expected = L"Cannot open file \"" + tmp.File(L"missing") + L"\". ";
    EXPECT_EQ(e.Message().substr(0, expected.size()), expected);
    EXPECT_GT(e.Message().size(), expected.size());  // the system's text follows
  }
  EXPECT_THROW(TWideFileStream(tmp.File(L"no\\such\\dir\\f"), fmCreate), EFCreateError);
  // Invalid access or sharing values never reach the system.
  EXPECT_EQ(WideFileOpen(name, 3), INVALID_HANDLE_VALUE);
  EXPECT_EQ(WideFileOpen(name, 0x50), INVALID_HANDLE_VALUE);
}

// The one upper-case routine of section, key, file-name and extension comparisons: every letter
// the system knows, where WideUpCaseChar turns only "a" to "z".
TEST(WideUpperCase, RaisesEveryLetterAndLeavesTheRest) {
  struct TCase {
    const wchar_t* Text;
    const wchar_t* Upper;
  };
  const TCase cases[] = {
      {L"", L""},
      {L"include", L"INCLUDE"},
      {L"c:\\symbols\\lib.js", L"C:\\SYMBOLS\\LIB.JS"},
      {L"\u00FCber \u00E9t\u00E9", L"\u00DCBER \u00C9T\u00C9"},
      {L"Messages 1=2", L"MESSAGES 1=2"},
  };
  for (const TCase& c : cases) EXPECT_EQ(c.Upper, WideUpperCase(c.Text)) << WideToUtf8(c.Text);
  EXPECT_EQ(L'\u00FC', WideUpCaseChar(L'\u00FC'));
}
