// Translation from language files in a temporary program folder, with the user's language
// given by the test.
#include "Tracer/foundation/uMultiLanguage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/TestSupport.h"

namespace {

LANGID German() { return 0x0407; }
LANGID Afrikaans() { return 0x0436; }
LANGID Japanese() { return 0x0411; }

const char kGermanLng[] =
    "\xEF\xBB\xBF"
    "; German texts\r\n"
    "[TfrmMain]\r\n"
    "Caption=Calderwisp \xE2\x80\x93 Aufrufverfolgung\r\n"
    "actTracerRun.Hint=Programm starten\\nund verfolgen\r\n"
    "lblEmpty.Caption=\r\n"
    "\r\n"
    "[Messages]\r\n"
    "SStart=Beginn\r\n"
    "SError = Fehler f\xC3\xBCr \"Aufruf\"  \r\n";

struct LanguageFolder {
  TTempDir dir;
  LanguageFolder() { CreateDirectoryW(dir.File(L"lang").c_str(), nullptr); }
  void Add(const std::wstring& name, const std::string& bytes) { WriteTextFile(dir.File(L"lang\\" + name), bytes); }
};

std::wstring Translated(TMultiLanguage& ml, const char* section, const char* key, const wchar_t* def) {
  std::wstring text = L"(unset)";
  ml.Translate(section, key, text, def);
  return text;
}

// A label-like object: two texts, a number and a read-only text.
class TSampleLabel : public TPersistent {
public:
  static const TPropTable& ClassPropTable() {
    static const TPropTable table(
        &TPersistent::ClassPropTable(),
        {
            StringProperty<TSampleLabel>(L"Caption", &TSampleLabel::Caption, &TSampleLabel::Caption),
            StringProperty<TSampleLabel>(L"Hint", &TSampleLabel::Hint, &TSampleLabel::Hint),
            IntegerProperty<TSampleLabel>(L"Text", &TSampleLabel::Width, &TSampleLabel::Width),
            StringProperty<TSampleLabel>(L"Name", &TSampleLabel::Name),
        });
    return table;
  }
  const TPropTable& GetPropTable() const override { return ClassPropTable(); }
  std::wstring Caption = L"Sample";
  std::wstring Hint = L"Sample hint";
  int32_t Width = 10;
  std::wstring Name = L"lblSample";
};

}  // namespace

TEST(MultiLanguage, GermanUserGetsGermanTextsLinesSplitAndDefaultsForMissingKeys) {
  LanguageFolder folder;
  folder.Add(L"German.lng", kGermanLng);
  TMultiLanguage ml(folder.dir.Path(), German);
  std::wstring language;
  ml.GetLanguage(language);
  EXPECT_EQ(L"German", language);

  EXPECT_EQ(L"Calderwisp \u2013 Aufrufverfolgung", Translated(ml, "TfrmMain", "Caption", L"Calderwisp"));
  EXPECT_EQ(L"Programm starten\r\nund verfolgen", Translated(ml, "TfrmMain", "actTracerRun.Hint", L"Run"));
  // Sections and keys in any letter case.
  EXPECT_EQ(L"Programm starten\r\nund verfolgen", Translated(ml, "TFRMMAIN", "acttracerrun.hint", L"Run"));
  EXPECT_EQ(L"Beginn", ml.MessageText(SStart));
  EXPECT_EQ(L"Fehler f\u00FCr \"Aufruf\"", ml.MessageText(SError));
  // Missing key, missing section and an empty value give the default.
  EXPECT_EQ(L"Finish", ml.MessageText(SFinish));
  EXPECT_EQ(L"Options", Translated(ml, "TfrmOptions", "Caption", L"Options"));
  EXPECT_EQ(L"Empty", Translated(ml, "TfrmMain", "lblEmpty.Caption", L"Empty"));
  // An empty default is never looked up.
  EXPECT_EQ(L"", Translated(ml, "TfrmMain", "Caption", L""));
}

TEST(MultiLanguage, TheUserLanguageChoosesOnlyAnExistingFileElseEnglish) {
  LanguageFolder folder;
  folder.Add(L"Dutch.lng", "[Messages]\r\nSStart=Begin\r\n");
  folder.Add(L"English.lng", "[Messages]\r\nSStart=Go\r\n");
  std::wstring language;
  {
    TMultiLanguage ml(folder.dir.Path(), Afrikaans);
    ml.GetLanguage(language);
    EXPECT_EQ(L"Dutch", language);
    EXPECT_EQ(L"Begin", ml.MessageText(SStart));
  }
  {
    // German chosen, no German file: English, and no file is opened.
    TMultiLanguage ml(folder.dir.Path(), German);
    ml.GetLanguage(language);
    EXPECT_EQ(L"English", language);
    EXPECT_EQ(L"Start", ml.MessageText(SStart));
    // Set explicitly, English opens its file like any other.
    ml.SetLanguage(L"Dutch");
    ml.SetLanguage(L"English");
    EXPECT_EQ(L"Go", ml.MessageText(SStart));
  }
  {
    TMultiLanguage ml(folder.dir.Path(), Japanese);
    ml.GetLanguage(language);
    EXPECT_EQ(L"English", language);
  }
  {
    // No language folder at all.
    TTempDir empty;
    TMultiLanguage ml(empty.Path(), Afrikaans);
    EXPECT_TRUE(ml.Languages().empty());
    ml.GetLanguage(language);
    EXPECT_EQ(L"English", language);
  }
}

TEST(MultiLanguage, LanguagesAreTheFileNamesWithoutTheLowerCaseExtensionSorted) {
  LanguageFolder folder;
  folder.Add(L"German.lng", "");
  folder.Add(L"dutch.lng", "");
  folder.Add(L"Russian.LNG", "");
  folder.Add(L"readme.txt", "");
  CreateDirectoryW(folder.dir.File(L"lang\\Folder.lng").c_str(), nullptr);
  TMultiLanguage ml(folder.dir.Path(), German);
  std::vector<std::wstring> expected = {L"dutch", L"German", L"Russian.LNG"};
  EXPECT_EQ(expected, ml.Languages());
}

TEST(MultiLanguage, MissingEntriesAreWrittenForTranslatorsUnderAHashKey) {
  LanguageFolder folder;
  folder.Add(L"German.lng", kGermanLng);
  TMultiLanguage ml(folder.dir.Path(), German);
  std::wstring language;
  ml.GetLanguage(language);
  ml.SetWriteMissingEntries(true);

  EXPECT_EQ(L"Line one\r\nLine tw\u00F6", Translated(ml, "TfrmMain", "lblSample.Caption", L"Line one\r\nLine tw\u00F6"));
  EXPECT_EQ(L"Line one\r\nLine tw\u00F6", Translated(ml, "TfrmMain", "lblSample.Caption", L"Line one\r\nLine tw\u00F6"));
  EXPECT_EQ(L"Options", Translated(ml, "TfrmOptions", "Caption", L"Options"));
  // Found entries write nothing.
  EXPECT_EQ(L"Beginn", ml.MessageText(SStart));

  std::string expected = kGermanLng;
  expected.insert(expected.find("lblEmpty.Caption=\r\n") + 19, "#lblSample.Caption=Line one\\nLine tw\xC3\xB6\r\n");
  expected += "\r\n[TfrmOptions]\r\n#Caption=Options\r\n";
  EXPECT_EQ(expected, ReadTextFile(folder.dir.File(L"lang\\German.lng")));

  // A new reader of the file finds the written entries under their hash keys only.
  TLanguageFile file(folder.dir.File(L"lang\\German.lng"));
  EXPECT_EQ(L"Options", file.ReadString(L"TfrmOptions", L"#Caption"));
  EXPECT_EQ(L"", file.ReadString(L"TfrmOptions", L"Caption"));
}

TEST(MultiLanguage, SwitchingTheLanguageWhileAnotherThreadTranslatesIsSafe) {
  LanguageFolder folder;
  folder.Add(L"German.lng", "[Messages]\r\nSStart=Beginn\r\nSFinish=Ende\r\n");
  folder.Add(L"French.lng", "[Messages]\r\nSStart=D\xC3\xA9" "but\r\nSFinish=Fin\r\n");
  TMultiLanguage ml(folder.dir.Path(), German);
  std::wstring language;
  ml.GetLanguage(language);

  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0}, done{0};
  std::thread reader([&] {
    while (!stop) {
      std::wstring start = ml.MessageText(SStart);
      if (start != L"Beginn" && start != L"D\u00E9but") ++wrong;
      ++done;
    }
  });
  for (int i = 0; i < 300; ++i) ml.SetLanguage(i % 2 ? L"German" : L"French");
  EXPECT_TRUE(PollUntil([&] { return done >= 1000; }, 20000, 1)) << "the reader made " << done << " readings";
  stop = true;
  ASSERT_TRUE(JoinWithin(reader, 10000));
  EXPECT_EQ(0, wrong);
}

TEST(MultiLanguage, PropertiesOfAnObjectAreTranslatedUnderItsNameWithTheirValuesAsDefaults) {
  LanguageFolder folder;
  folder.Add(L"German.lng",
             "[TfrmOptions]\r\nlblSample.Caption=Beispiel\r\nextra.lblSample.Hint=Hinweis\r\nlblSample.Name=x\r\n"
             "lblSample.Text=99\r\n");
  TMultiLanguage ml(folder.dir.Path(), German);
  std::wstring language;
  ml.GetLanguage(language);
  TSampleLabel label;
  ml.TranslateProperties("TfrmOptions", label, {L"Caption", L"Hint", L"Text", L"Name", L"Missing"}, "lblSample");
  EXPECT_EQ(L"Beispiel", label.Caption);
  EXPECT_EQ(L"Sample hint", label.Hint);
  EXPECT_EQ(10, label.Width);  // not a text
  EXPECT_EQ(L"lblSample", label.Name);  // read-only
  ml.TranslateProperties("TfrmOptions", label, {L"Hint"}, "extra.lblSample");
  EXPECT_EQ(L"Hinweis", label.Hint);
}

// A format's translation is formatted with the arguments of its built-in text: one whose
// conversions differ in count or kind (or cannot be formatted at all) gives way to the built-in
// text. Texts that are never formatted take any translation.
TEST(MultiLanguage, TranslationsWhoseConversionsDifferFromTheBuiltInTextAreNotUsed) {
  LanguageFolder folder;
  folder.Add(L"German.lng",
             "[Messages]\r\n"
             "SRecordXFromY=Datensatz %d von %d\r\n"
             "SNoLoadedSymbols=Erst Symbole laden\r\n"
             "AsText=Record %s from %s\r\n"
             "TooMany=Record %d from %d of %d\r\n"
             "Count=Record %n from %d\r\n"
             "Star=Record %*d from %d\r\n"
             "Wide=Record %5d from %-3d\r\n"
             "Percent=100%% of %d from %d\r\n"
             "Huge=Record %3000000d from %d\r\n"
             "Bound=Record %256.256d from %d\r\n"
             "Caption=Mit %s\r\n"
             "Zoom=Zoom 100%\r\n"
             "Done=50 % fertig\r\n");
  TMultiLanguage ml(folder.dir.Path(), German);
  std::wstring language;
  ml.GetLanguage(language);
  ASSERT_EQ(L"German", language);
  const wchar_t* const builtIn = L"Record %d from %d";
  struct TCase {
    const char* Key;
    bool IsFormat;
    std::wstring Expected;
  } cases[] = {
      {"AsText", true, builtIn},
      {"TooMany", true, builtIn},
      {"Count", true, builtIn},
      {"Star", true, builtIn},
      {"Wide", true, L"Record %5d from %-3d"},
      {"Percent", true, L"100%% of %d from %d"},
      {"Huge", true, builtIn},
      {"Bound", true, L"Record %256.256d from %d"},
      {"Caption", false, L"Mit %s"},
      {"Zoom", false, L"Zoom 100%"},
      {"Done", false, L"50 % fertig"},
  };
  for (const TCase& c : cases)
    EXPECT_EQ(c.Expected, ml.MessageText(TMessageId{c.Key, c.IsFormat ? builtIn : L"Plain", c.IsFormat})) << c.Key;
  EXPECT_EQ(L"Zoom 100%", Translated(ml, "Messages", "Zoom", L"Zoom"));
  EXPECT_EQ(L"Datensatz %d von %d", ml.MessageText(SRecordXFromY));
  EXPECT_EQ(L"Erst Symbole laden", ml.MessageText(SNoLoadedSymbols));
}
