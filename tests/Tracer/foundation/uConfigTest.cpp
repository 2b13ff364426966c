#include "Tracer/foundation/uConfig.h"

#include <gtest/gtest.h>

#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "support/TestSupport.h"

namespace {

class TSetting : public TCollectionItem {
public:
  using TCollectionItem::TCollectionItem;
  static const TPropTable& ClassPropTable() {
    static const TPropTable table(&TCollectionItem::ClassPropTable(),
                                  {
                                      StringProperty<TSetting>(L"Id", &TSetting::Id, &TSetting::Id),
                                      VariantProperty<TSetting>(L"Value", &TSetting::Value, &TSetting::Value),
                                      IntegerProperty<TSetting>(L"Width", &TSetting::Width, &TSetting::Width),
                                  });
    return table;
  }
  const TPropTable& GetPropTable() const override { return ClassPropTable(); }
  std::wstring Id;
  TOleVariant Value;
  int32_t Width = 0;
};

class TMainWindowState : public TPersistent {
public:
  static const TPropTable& ClassPropTable() {
    static const TPropTable table(&TPersistent::ClassPropTable(),
                                  {
                                      StringProperty<TMainWindowState>(L"Language", &TMainWindowState::Language,
                                                                       &TMainWindowState::Language),
                                      BooleanProperty<TMainWindowState>(L"ScrollLock", &TMainWindowState::ScrollLock,
                                                                        &TMainWindowState::ScrollLock),
                                  });
    return table;
  }
  const TPropTable& GetPropTable() const override { return ClassPropTable(); }
  std::wstring Language = L"English";
  bool ScrollLock = true;
};

// The entries the main window registers, in miniature.
struct TSettingsState {
  int32_t TimeFormat = 0;
  TMainWindowState Main;
  TCollectionOf<TSetting> Settings;
  void Register(TConfig& config) {
    config.RegisterInteger(TimeFormat, L"time:format");
    config.RegisterObjectProperties(&Main, L"main", {L"Language", L"ScrollLock"});
    config.RegisterCollection(&Settings, L"settings");
  }
};

// Keeps the per-user settings file of the test prefix as it was.
class TSavedConfigFile {
public:
  TSavedConfigFile() : FName(GetConfigFileName()), FExisted(WideFileExists(FName)) {
    if (FExisted) FContent = ReadTextFile(FName);
    DeleteFileW(FName.c_str());
  }
  ~TSavedConfigFile() {
    DeleteFileW(FName.c_str());
    if (FExisted) WriteTextFile(FName, FContent);
  }

private:
  std::wstring FName;
  bool FExisted;
  std::string FContent;
};

bool EndsWith(const std::wstring& s, const std::wstring& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

TEST(Config, SettingsFileWrittenByTheProgramReadsBackWithTheSameValues) {
  TSavedConfigFile keep;
  EXPECT_TRUE(EndsWith(GetConfigFileName(), L"\\Pelludrane\\Calderwisp\\calderwisp.xml")) << GetConfigFileName();

  TConfig writer;
  TSettingsState out;
  out.Register(writer);
  out.TimeFormat = 5;  // defaults stay when there is no file
  writer.Load();
  EXPECT_EQ(out.TimeFormat, 5);

  out.TimeFormat = 2;
  out.Main.Language = L"Deutsch";
  out.Main.ScrollLock = false;
  TSetting* s = out.Settings.Add();
  s->Id = L"vostik:width";
  s->Value = TOleVariant(640);
  s = out.Settings.Add();
  s->Id = L"empty";
  writer.Save();
  std::string bytes = ReadTextFile(GetConfigFileName());
  EXPECT_EQ(bytes.rfind("<propertyset name=\"calderwisp:properties\">\r\n\t", 0), 0u) << bytes;

  TConfig reader;
  TSettingsState in;
  in.Register(reader);
  reader.Load();
  EXPECT_EQ(in.TimeFormat, 2);
  EXPECT_EQ(in.Main.Language, L"Deutsch");
  EXPECT_FALSE(in.Main.ScrollLock);
  ASSERT_EQ(in.Settings.GetCount(), 2);
  EXPECT_EQ(in.Settings.GetItem(0)->Id, L"vostik:width");
  // A value comes back as its text.
  EXPECT_EQ(in.Settings.GetItem(0)->Value.vt, VT_BSTR);
  EXPECT_EQ(in.Settings.GetItem(0)->Value.AsBSTRText(), L"640");
  EXPECT_EQ(in.Settings.GetItem(1)->Value.AsBSTRText(), L"");

  reader.Save();
  EXPECT_EQ(ReadTextFile(GetConfigFileName()), bytes);
}

TEST(Config, SaveThatFailsAfterWritingLeavesTheOldSettings) {
  TSavedConfigFile keep;
  TConfig config;
  TSettingsState state;
  state.Register(config);
  state.TimeFormat = 1;
  config.Save();
  std::string old = ReadTextFile(GetConfigFileName());

  state.TimeFormat = 2;
  state.Main.Language = L"changed";
  HANDLE h = CreateFileW(GetConfigFileName().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::wstring message = MessageOf([&] { config.Save(); });
  CloseHandle(h);
  EXPECT_TRUE(EndsWith(message, L"\r\nat MoveFileExW")) << message;
  EXPECT_EQ(ReadTextFile(GetConfigFileName()), old);

  config.Load();
  EXPECT_EQ(state.TimeFormat, 1);
  EXPECT_EQ(state.Main.Language, L"English");
}

TEST(Config, OnlyAFileThatDoesNotReadAsAWholeIsSetAside) {
  const std::string item = "<propertyset name=\"object\"><property name=\"Id\" value=\"a\"/></propertyset>";
  struct TCase {
    std::string Entry;  // after a "main" entry that reads
    bool SetAside;
    int Settings;       // items of "settings" loaded
    const char* Saved;  // what the file holds after the next save, or the copy the message names
  };
  const TCase cases[] = {
      {"<propertyset name=\"settings\"><propertyset/>" + item + "</propertyset>", false, 1, "<propertyset/>"},
      {"<property name=\"time:format\" value=\"abc\"/>", false, 0, "value=\"abc\""},
      {"<property value=\"1\"/>", true, 0, ""},  // a nameless property of the root
      {"<propertyset name=\"settings\">" + item +
           "<propertyset name=\"object\"><property name=\"Width\" value=\"wide\"/></propertyset>" + item +
           "</propertyset>",
       false, 2, "<property name=\"Width\" value=\"wide\"/>"},
      {"<propertyset name=\"settings\"><propertyset name=\"object\"><property name=\"Id\"/></propertyset>" + item +
           "</propertyset>",
       false, 1, "<property name=\"Id\"/>"},
  };
  for (const TCase& c : cases) {
    TSavedConfigFile keep;
    WriteTextFile(GetConfigFileName(), "<propertyset name=\"calderwisp:properties\">"
                                       "<propertyset name=\"main\"><property name=\"Language\" value=\"Deutsch\"/>"
                                       "</propertyset>" + c.Entry + "</propertyset>");
    TConfig config;
    TSettingsState state;
    state.Register(config);
    const std::wstring message = MessageOf([&] { config.Load(); });
    EXPECT_FALSE(message.empty()) << c.Entry;
    EXPECT_EQ(c.SetAside, !config.DamagedCopy().empty()) << c.Entry;
    EXPECT_EQ(c.SetAside, !WideFileExists(GetConfigFileName())) << c.Entry;
    EXPECT_EQ(L"Deutsch", state.Main.Language) << c.Entry;
    EXPECT_EQ(c.Settings, state.Settings.GetCount()) << c.Entry;
    const std::wstring copy = GetConfigFileName() + L".bad";
    if (!c.SetAside) {
      config.Save();
      const std::wstring kept = message.find(copy) != std::wstring::npos ? copy : GetConfigFileName();
      const std::string bytes = WideFileExists(kept) ? ReadTextFile(kept) : std::string();
      EXPECT_NE(bytes.find(c.Saved), std::string::npos) << c.Entry << "\n" << bytes;
    }
    DeleteFileW(copy.c_str());
  }
}

TEST(Config, GetConfigIsOneServiceForTheSettingsRoot) {
  static bool freedAtExit = false;
  if (!freedAtExit) {
    freedAtExit = true;
    AddTestShutdown(FreeInstanceList);  // as the program's main function does
  }
  TConfig* config = GetConfig();
  EXPECT_EQ(config, GetConfig());
  EXPECT_EQ(config->RootName(), L"calderwisp:properties");
}

TEST(FileVersion, FixedVersionWinsAndStringsFillInOnlyWhenItIsZero) {
  std::wstring bin = TestBinDir();
  EXPECT_EQ(GetFileVersionText(bin + L"cwver_fixed.dll"), L"1.2.3.4");
  EXPECT_EQ(GetFileVersionText(bin + L"cwver_strings.dll"), L"2.0");

  TFileVersion strings(bin + L"cwver_strings.dll");
  std::wstring text = L"x";
  strings.GetVersionText(text);
  EXPECT_EQ(text, L"");
  ASSERT_EQ(strings.Translations().GetCount(), 2);
  EXPECT_EQ(strings.Translations().GetItem(0)->LangCodePage, 0x040904B0u);
  EXPECT_EQ(strings.Translations().GetItem(0)->FileVersion, L"");
  EXPECT_EQ(strings.Translations().GetItem(1)->LangCodePage, 0x040704E4u);
  EXPECT_EQ(strings.Translations().GetItem(1)->FileVersion, L"2.0");
}

TEST(FileVersion, UnreadableVersionsGiveEmptyTextAndNameTheFailingCall) {
  std::wstring bin = TestBinDir();
  // A translation without a "FileVersion" string spoils even a good fixed version.
  EXPECT_EQ(GetFileVersionText(bin + L"cwver_nostring.dll"), L"");
  EXPECT_TRUE(EndsWith(MessageOf([&] { TFileVersion v(bin + L"cwver_nostring.dll"); }), L"\r\nat VerQueryValueW"));
  EXPECT_EQ(GetFileVersionText(bin + L"cwver_none.dll"), L"");
  EXPECT_TRUE(EndsWith(MessageOf([&] { TFileVersion v(bin + L"cwver_none.dll"); }),
                       L"\r\nat GetFileVersionInfoSizeW"));
  EXPECT_EQ(GetFileVersionText(bin + L"no such file.dll"), L"");
}

TEST(FileVersion, VersionTextsCompareNumericallyPartByPart) {
  EXPECT_EQ(CompareVersionStrings(L"5.6", L"5.6"), 0);
  EXPECT_GT(CompareVersionStrings(L"1.10", L"1.9"), 0);
  EXPECT_LT(CompareVersionStrings(L"1.9", L"1.10"), 0);
  EXPECT_GT(CompareVersionStrings(L"5.8", L"5.6"), 0);
  EXPECT_LT(CompareVersionStrings(L"5.1", L"5.6"), 0);
  EXPECT_GT(CompareVersionStrings(L"1.2.10", L"1.2.9"), 0);
  EXPECT_EQ(CompareVersionStrings(L"01.2", L"1.2"), 0);
  EXPECT_GT(CompareVersionStrings(L"12345678901234567890", L"9"), 0);
  // The first text decides how many parts count; a missing part of the second is zero.
  EXPECT_EQ(CompareVersionStrings(L"5", L"5.6"), 0);
  EXPECT_EQ(CompareVersionStrings(L"5.6.0", L"5.6"), 0);
  EXPECT_GT(CompareVersionStrings(L"5.6.1", L"5.6"), 0);
  // Parts with letters compare as text without regard to case.
  EXPECT_EQ(CompareVersionStrings(L"5.7 Beta", L"5.7 beta"), 0);
  EXPECT_GT(CompareVersionStrings(L"2.b", L"2.a"), 0);

  std::wstring s = L"5.6.7", part;
  ExtractVersionPart(s, part);
  EXPECT_EQ(part, L"5");
  EXPECT_EQ(s, L"6.7");
  s = L"8";
  ExtractVersionPart(s, part);
  EXPECT_EQ(part, L"8");
  EXPECT_EQ(s, L"");
}
