#include "Tracer/app/uInterfaceServices.h"

#include <gtest/gtest.h>

#include "Tracer/foundation/uWideStrUtils.h"
#include "Tracer/foundation/uXMLFiler.h"
#include "support/TestSupport.h"

namespace {

std::vector<std::wstring> Names(const TRecentFiles& files) {
  std::vector<std::wstring> names;
  auto e = files.GetEnumerator();
  while (e->MoveNext()) names.push_back(e->GetCurrent()->GetFileName());
  return names;
}

// As the main window adds a file.
void AddRecent(TRecentFiles& files, const std::wstring& name) { files.Insert(0)->SetFileName(name); }

std::wstring Numbered(int i) { return L"C:\\logs\\trace" + std::to_wstring(i) + L".xml"; }

std::vector<std::wstring> NumberedNames(std::initializer_list<int> numbers) {
  std::vector<std::wstring> names;
  for (int i : numbers) names.push_back(Numbered(i));
  return names;
}

// A stream that refuses every write.
class TFullStream : public TStream {
public:
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
};

class TMemoryStreamForTest : public TStream {
public:
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* buffer, int32_t count) override {
    Bytes.append(static_cast<const char*>(buffer), count);
    return count;
  }
  int64_t Seek(int64_t, TSeekOrigin) override { return static_cast<int64_t>(Bytes.size()); }
  std::string Bytes;
};

class TTestColumn : public TCollectionItem {
public:
  using TCollectionItem::TCollectionItem;
  std::wstring Caption;
};

class TOtherItem : public TCollectionItem {
public:
  using TCollectionItem::TCollectionItem;
};

// A collection that makes items of another class than its enumerator expects.
class TMixedColumns : public TCollectionOf<TTestColumn> {
protected:
  TCollectionItem* CreateItem() override { return GetCount() == 1 ? static_cast<TCollectionItem*>(new TOtherItem(this)) : new TTestColumn(this); }
};

}  // namespace

// ---- recent files -------------------------------------------------------------------------

TEST(RecentFiles, ElevenFilesLeaveTheTenNewestNewestFirst) {
  TRecentFiles files;
  for (int i = 1; i <= 11; ++i) AddRecent(files, Numbered(i));
  EXPECT_EQ(NumberedNames({11, 10, 9, 8, 7, 6, 5, 4, 3, 2}), Names(files));
}

TEST(RecentFiles, ANameAddedAgainInOtherLetterCaseMovesToTheTopWithTheNewSpelling) {
  TRecentFiles files;
  AddRecent(files, L"C:\\Logs\\First.xml");
  AddRecent(files, L"C:\\Logs\\\u00c9t\u00e9.xml");
  AddRecent(files, L"C:\\Logs\\Third.xml");
  AddRecent(files, L"c:\\logs\\FIRST.XML");
  EXPECT_EQ((std::vector<std::wstring>{L"c:\\logs\\FIRST.XML", L"C:\\Logs\\Third.xml", L"C:\\Logs\\\u00c9t\u00e9.xml"}),
            Names(files));
  // Letters beyond ASCII compare without case too.
  AddRecent(files, L"C:\\LOGS\\\u00e9T\u00c9.XML");
  EXPECT_EQ(3, files.GetCount());
  EXPECT_EQ(L"C:\\LOGS\\\u00e9T\u00c9.XML", files.GetItem(0)->GetFileName());
}

TEST(RecentFiles, TrimmingComesBeforeTheDuplicateIsRemoved) {
  struct TRow {
    int Again;  // re-added name, from a full list of 10..1 (1 the oldest)
    std::vector<std::wstring> Expected;
  };
  const TRow rows[] = {
      {5, NumberedNames({5, 10, 9, 8, 7, 6, 4, 3, 2})},
      {10, NumberedNames({10, 9, 8, 7, 6, 5, 4, 3, 2})},
      {1, NumberedNames({1, 10, 9, 8, 7, 6, 5, 4, 3, 2})},
  };
  for (const TRow& row : rows) {
    TRecentFiles files;
    for (int i = 1; i <= 10; ++i) AddRecent(files, Numbered(i));
    AddRecent(files, Numbered(row.Again));
    EXPECT_EQ(row.Expected, Names(files)) << row.Again;
  }
}

TEST(RecentFiles, TwelveReadFromTheSettingsFileKeepTheFirstNineAndTheTwelfth) {
  TTempDir dir;
  std::string body;
  for (int i = 1; i <= 12; ++i) {
    std::wstring name = Numbered(i);
    body += "\t\t<propertyset name=\"object\">\r\n\t\t\t<property name=\"FileName\" value=\"" + WideToUtf8(name) +
            "\"/>\r\n\t\t</propertyset>\r\n";
  }
  WriteTextFile(dir.File(L"settings.xml"), "<propertyset name=\"test:settings\">\r\n\t<propertyset name=\"recentfiles\">\r\n" +
                                               body + "\t</propertyset>\r\n</propertyset>\r\n");
  TRecentFiles files;
  TXMLFiler filer(L"test:settings");
  filer.RegisterCollection(&files, L"recentfiles");
  filer.LoadFromFile(dir.File(L"settings.xml"));
  EXPECT_EQ(NumberedNames({1, 2, 3, 4, 5, 6, 7, 8, 9, 12}), Names(files));
}

// ---- highlight rules ----------------------------------------------------------------------

TEST(ColorInfos, ANewRuleIsBlackOnWhiteAndColoursNoRow) {
  TColorInfos rules;
  TColorInfo* rule = rules.Add();
  EXPECT_EQ(0xFFFFFF, rule->BackColor);
  EXPECT_EQ(0, rule->ForeColor);
  EXPECT_EQ(L"", rule->SearchStr);
  EXPECT_EQ(nullptr, rules.FindRule({L"", L"CreateFileW", L"anything"}));
}

TEST(ColorInfos, TheFirstMatchingRuleInListOrderWins) {
  TColorInfos rules;
  const struct {
    const wchar_t* Search;
    int32_t Fore;
  } defs[] = {{L"", 1}, {L"Reg", 2}, {L"File", 3}, {L"CreateFile", 4}};
  for (const auto& d : defs) {
    TColorInfo* rule = rules.Add();
    rule->SearchStr = d.Search;
    rule->ForeColor = d.Fore;
  }
  const struct {
    std::vector<std::wstring> Columns;
    int32_t Fore;  // 0: no rule
  } rows[] = {
      {{L"1", L"CreateFileW", L"\"C:\\a.reg\""}, 3},  // "File" before "CreateFile"; "reg" is not "Reg"
      {{L"2", L"ReadFile", L"RegOpenKeyExW"}, 2},      // any column; the earlier rule wins
      {{L"3", L"createfilew", L""}, 0},                // letter case counts
      {{}, 0},
  };
  for (const auto& row : rows) {
    TColorInfo* rule = rules.FindRule(row.Columns);
    EXPECT_EQ(row.Fore, rule ? rule->ForeColor : 0);
  }
}

TEST(ColorInfos, SystemColoursAreResolvedThroughTheSystemsTable) {
  EXPECT_EQ(GetSysColor(COLOR_WINDOW), ColorToRGB(static_cast<int32_t>(0x80000000 | COLOR_WINDOW)));
  EXPECT_EQ(0x00FF8000u, ColorToRGB(0x00FF8000));
  EXPECT_EQ(0u, ColorToRGB(0));
}

// ---- enumerators --------------------------------------------------------------------------

TEST(ListColumnsEnumerator, WalksTheColumnsInOrderAndRefusesAForeignItem) {
  TCollectionOf<TTestColumn> columns;
  for (const wchar_t* caption : {L"Time", L"Call", L"Parameters"}) columns.Add()->Caption = caption;
  std::vector<std::wstring> seen;
  auto e = EnumListColumns(columns);
  while (e->MoveNext()) seen.push_back(e->GetCurrent()->Caption);
  EXPECT_EQ((std::vector<std::wstring>{L"Time", L"Call", L"Parameters"}), seen);
  EXPECT_FALSE(e->MoveNext());

  TMixedColumns mixed;
  mixed.Add();
  mixed.Add();
  auto m = EnumListColumns<TTestColumn>(mixed);
  ASSERT_TRUE(m->MoveNext());
  ASSERT_TRUE(m->MoveNext());
  EXPECT_THROW(m->GetCurrent(), EAssertionFailed);
}

// ---- print stream -------------------------------------------------------------------------

TEST(PrintStream, WritesTheBytesAndCrLfAndPassesWriteErrorsOn) {
  TMemoryStreamForTest stream;
  TPrintStream print(stream);
  print.Print("");
  EXPECT_EQ("", stream.Bytes);
  print.PrintLn("");
  EXPECT_EQ("\r\n", stream.Bytes);
  print.Print("a\xE9");
  print.PrintLn("b");
  EXPECT_EQ("\r\na\xE9" "b\r\n", stream.Bytes);

  TFullStream full;
  TPrintStream failing(full);
  EXPECT_NO_THROW(failing.Print(""));
  EXPECT_THROW(failing.PrintLn(""), EWriteError);
}

// ---- help ---------------------------------------------------------------------------------

TEST(HTMLHelp, TheHelpFileIsBesideTheProgramAndAMissingOneShowsNothing) {
  AddTestShutdown(FreeInstanceList);
  THTMLHelp* help = GetHTMLHelp();
  EXPECT_EQ(TestBinDir() + L"Calderwisp.chm", help->HelpFile);
  // Another current folder changes nothing.
  TTempDir dir;
  wchar_t old[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, old);
  SetCurrentDirectoryW(dir.Path().c_str());
  EXPECT_EQ(TestBinDir() + L"Calderwisp.chm", THTMLHelp().HelpFile);
  SetCurrentDirectoryW(old);
  help->HelpFile = dir.File(L"missing.chm");
  EXPECT_NO_THROW(help->ShowTopic(L"html\\main1.htm"));
}
