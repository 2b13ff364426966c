#include "Tracer/foundation/uXMLFiler.h"

#include <gtest/gtest.h>

#include <thread>

#include "Tracer/com/uAutoObject.h"

#include "Tracer/foundation/uCollections.h"
#include "support/TestSupport.h"

namespace {

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// A window-like object: properties of every kind, one read-only, one with a side effect.
class TSampleView : public TPersistent {
public:
  static const TPropTable& ClassPropTable() {
    static const TPropTable table(
        &TPersistent::ClassPropTable(),
        {
            IntegerProperty<TSampleView>(L"Width", &TSampleView::Width, &TSampleView::Width),
            IntegerProperty<TSampleView>(L"ColumnId", &TSampleView::GetColumnId),
            BooleanProperty<TSampleView>(L"Visible", &TSampleView::Visible, &TSampleView::SetVisible),
            StringProperty<TSampleView>(L"Caption", &TSampleView::Caption, &TSampleView::Caption),
            VariantProperty<TSampleView>(L"Tag", &TSampleView::Tag, &TSampleView::Tag),
            MethodProperty<TSampleView>(L"OnClick", &TSampleView::OnClick, &TSampleView::OnClick),
        },
        {{L"ButtonClick", &TSampleView::ButtonClick}});
    return table;
  }
  const TPropTable& GetPropTable() const override { return ClassPropTable(); }

  int32_t GetColumnId() const { return ColumnId; }
  void SetVisible(bool value) {
    Visible = value;
    ++VisibleWrites;
  }
  static void ButtonClick(TObject* self, TObject*) { ++static_cast<TSampleView*>(self)->Clicks; }

  int32_t Width = 100;
  int32_t ColumnId = 7;
  bool Visible = true;
  int VisibleWrites = 0;
  std::wstring Caption;
  TOleVariant Tag;
  TMethod OnClick;
  int Clicks = 0;
};

// A highlight-rule-like collection item.
class TSampleRule : public TCollectionItem {
public:
  using TCollectionItem::TCollectionItem;
  static const TPropTable& ClassPropTable() {
    static const TPropTable table(&TCollectionItem::ClassPropTable(),
                                  {
                                      IntegerProperty<TSampleRule>(L"BackColor", &TSampleRule::BackColor, &TSampleRule::BackColor),
                                      IntegerProperty<TSampleRule>(L"ForeColor", &TSampleRule::ForeColor, &TSampleRule::ForeColor),
                                      StringProperty<TSampleRule>(L"SearchStr", &TSampleRule::SearchStr,
                                                                  &TSampleRule::SearchStr),
                                  });
    return table;
  }
  const TPropTable& GetPropTable() const override { return ClassPropTable(); }
  int32_t BackColor = 0xFFFFFF;
  int32_t ForeColor = 0;
  std::wstring SearchStr;
};

using TSampleRules = TCollectionOf<TSampleRule>;

// An object with a layout of its own: one "item" property per name.
class TSampleList : public TObject, public IXMLNodeLoader, public IXMLNodeSaver {
public:
  void LoadFromNode(IXMLDOMNode* node) override {
    Names.clear();
    CheckPropertySetNode(node);
    for (TXMLNode child = FirstChild(node); child; child = NextSibling(child.Get())) {
      ExpectPropertyNode(child.Get(), L"item");
      TOleVariant value;
      ReadPropertyValue(child.Get(), VT_BSTR, value);
      Names.push_back(value.AsBSTRText());
    }
  }
  void SaveToNode(IXMLDOMNode* node) override {
    for (const std::wstring& n : Names) WriteStringProperty(node, L"item", n);
  }
  std::vector<std::wstring> Names;
};

// What a settings-like file holds: every kind of entry.
struct TSampleSettings {
  int32_t TimeFormat = 0;
  std::wstring Language;
  bool ScrollLock = true;
  TSampleView View;
  TSampleRules Rules;
  TSampleList Files;
  TSampleView Plain;  // registered without a property list

  void Register(TXMLFiler& filer) {
    filer.RegisterInteger(TimeFormat, L"time:format");
    filer.AddEntry(&Language, L"language", skWideString);
    filer.AddEntry(&ScrollLock, L"scrolllock", skBoolean);
    filer.RegisterObjectProperties(&View, L"main", {L"Width", L"visible", L"Caption", L"Tag", L"NoSuchProperty"});
    filer.RegisterCollection(&Rules, L"log:highlight");
    filer.RegisterObject(&Files, L"symbolfiles");
    filer.RegisterObject(&Plain, L"plain");
  }
};

std::string RootWith(const std::string& body, const std::string& root = "test:properties") {
  return "<propertyset name=\"" + root + "\">\r\n" + body + "</propertyset>\r\n";
}

}  // namespace

TEST(XMLFiler, SavedFileIsIndentedWithTabsAndCrLfAndReadsBackByteForByte) {
  TTempDir dir;
  TSampleSettings out;
  out.TimeFormat = 2;
  out.Language = L"Fran\u00e7ais & <\"more\"> \u20ac\r\n\tend";
  out.ScrollLock = false;
  out.View.Width = 321;
  out.View.Visible = false;
  out.View.Caption = L"Trace";
  out.View.Tag = TOleVariant(L"x=1");
  TSampleRule* r = out.Rules.Add();
  r->SearchStr = L"OpenW";
  r->ForeColor = 255;
  out.Rules.Add()->SearchStr = L"Close";
  out.Files.Names = {L"c:\\a b.xml", L"d:\\c.xml"};
  TXMLFiler filer(L"test:properties");
  out.Register(filer);
  filer.SaveToFile(dir.File(L"settings.xml"));

  std::string written = ReadTextFile(dir.File(L"settings.xml"));
  // Entries come in the order of the bucket walk; each object's properties in the order asked for.
  EXPECT_EQ(written,
            "<propertyset name=\"test:properties\">\r\n"
            "\t<property name=\"time:format\" value=\"2\"/>\r\n"
            "\t<propertyset name=\"symbolfiles\">\r\n"
            "\t\t<property name=\"item\" value=\"c:\\a b.xml\"/>\r\n"
            "\t\t<property name=\"item\" value=\"d:\\c.xml\"/>\r\n"
            "\t</propertyset>\r\n"
            "\t<property name=\"language\" value=\"Fran\xC3\xA7" "ais &amp; &lt;&quot;more&quot;&gt; \xE2\x82\xAC&#13;&#10;&#9;end\"/>\r\n"
            "\t<propertyset name=\"main\">\r\n"
            "\t\t<property name=\"Width\" value=\"321\"/>\r\n"
            "\t\t<property name=\"Visible\" value=\"False\"/>\r\n"
            "\t\t<property name=\"Caption\" value=\"Trace\"/>\r\n"
            "\t\t<property name=\"Tag\" value=\"x=1\"/>\r\n"
            "\t</propertyset>\r\n"
            "\t<propertyset name=\"plain\"/>\r\n"
            "\t<propertyset name=\"log:highlight\">\r\n"
            "\t\t<propertyset name=\"object\">\r\n"
            "\t\t\t<property name=\"BackColor\" value=\"16777215\"/>\r\n"
            "\t\t\t<property name=\"ForeColor\" value=\"255\"/>\r\n"
            "\t\t\t<property name=\"SearchStr\" value=\"OpenW\"/>\r\n"
            "\t\t</propertyset>\r\n"
            "\t\t<propertyset name=\"object\">\r\n"
            "\t\t\t<property name=\"BackColor\" value=\"16777215\"/>\r\n"
            "\t\t\t<property name=\"ForeColor\" value=\"0\"/>\r\n"
            "\t\t\t<property name=\"SearchStr\" value=\"Close\"/>\r\n"
            "\t\t</propertyset>\r\n"
            "\t</propertyset>\r\n"
            "\t<property name=\"scrolllock\" value=\"False\"/>\r\n"
            "</propertyset>\r\n");

  TSampleSettings in;
  in.Rules.Add()->SearchStr = L"stale";
  TXMLFiler reader(L"test:properties");
  in.Register(reader);
  reader.LoadFromFile(dir.File(L"settings.xml"));
  EXPECT_EQ(in.TimeFormat, 2);
  EXPECT_EQ(in.Language, out.Language);
  EXPECT_FALSE(in.ScrollLock);
  EXPECT_EQ(in.View.Width, 321);
  EXPECT_FALSE(in.View.Visible);
  EXPECT_EQ(in.View.Caption, L"Trace");
  EXPECT_EQ(in.View.Tag.AsBSTRText(), L"x=1");
  ASSERT_EQ(in.Rules.GetCount(), 2);
  EXPECT_EQ(in.Rules.GetItem(0)->SearchStr, L"OpenW");
  EXPECT_EQ(in.Rules.GetItem(0)->ForeColor, 255);
  EXPECT_EQ(in.Rules.GetItem(1)->SearchStr, L"Close");
  EXPECT_EQ(in.Rules.GetItem(1)->GetCollection(), &in.Rules);
  EXPECT_EQ(in.Files.Names, out.Files.Names);

  reader.SaveToFile(dir.File(L"again.xml"));
  EXPECT_EQ(ReadTextFile(dir.File(L"again.xml")), written);
}

TEST(XMLFiler, EmptyFilerWritesRootWithLineBreakAndVariantsAsText) {
  TTempDir dir;
  TXMLFiler filer(L"r");
  filer.SaveToFile(dir.File(L"empty.xml"));
  EXPECT_EQ(ReadTextFile(dir.File(L"empty.xml")), "<propertyset name=\"r\">\r\n</propertyset>\r\n");

  // Null, Empty, Booleans and numbers all become text; a Null does not cost the save.
  TXMLDocument doc;
  CreatePropertySetDocument(doc);
  TXMLNode rootNode = DocumentElement(doc.Get());
  TOleVariant null;
  null.vt = VT_NULL;
  TOleVariant real;
  real.vt = VT_R8;
  real.dblVal = 1.5;
  WriteProperty(rootNode.Get(), L"null", null);
  WriteProperty(rootNode.Get(), L"empty", TOleVariant());
  WriteProperty(rootNode.Get(), L"yes", TOleVariant(true));
  WriteProperty(rootNode.Get(), L"real", real);
  SaveDocumentFile(doc.Get(), dir.File(L"values.xml"));
  EXPECT_EQ(ReadTextFile(dir.File(L"values.xml")),
            "<propertyset>\r\n"
            "\t<property name=\"null\" value=\"\"/>\r\n"
            "\t<property name=\"empty\" value=\"\"/>\r\n"
            "\t<property name=\"yes\" value=\"True\"/>\r\n"
            "\t<property name=\"real\" value=\"1.5\"/>\r\n"
            "</propertyset>\r\n");
}

TEST(XMLFiler, BadEntriesBesideGoodOnesGiveOneExceptionListingEveryFailure) {
  TTempDir dir;
  std::wstring file = dir.File(L"bad.xml");
  WriteTextFile(file, RootWith("<property name=\"time:format\" value=\"fast\"/>\r\n"
                               "<propertyset name=\"log:highlight\">\r\n"
                               "  <propertyset name=\"object\"><property name=\"SearchStr\" value=\"ok\"/></propertyset>\r\n"
                               "</propertyset>\r\n"
                               "<property name=\"scrolllock\" value=\"perhaps\"/>\r\n"
                               "<property name=\"language\"/>\r\n"
                               "<property name=\"unregistered\" value=\"whatever\"/>\r\n"
                               "<propertyset name=\"main\"><property name=\"Width\" value=\"55\"/></propertyset>\r\n"));
  TSampleSettings s;
  s.Language = L"keep";
  TXMLFiler filer(L"test:properties");
  s.Register(filer);
  try {
    filer.LoadFromFile(file);
    FAIL() << "no exception";
  } catch (const EFilerException&) {
    FAIL() << "the collected failures are a general exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), L"Error loading " + file + L"\r\n"
                           L"Could not convert \"fast\" into type (Integer)\r\n"
                           L"Could not convert \"perhaps\" into type (Boolean)\r\n"
                           L"Property value not defined\r\n");
  }
  ASSERT_EQ(s.Rules.GetCount(), 1);
  EXPECT_EQ(s.Rules.GetItem(0)->SearchStr, L"ok");
  EXPECT_EQ(s.View.Width, 55);
  EXPECT_EQ(s.TimeFormat, 0);
  EXPECT_TRUE(s.ScrollLock);
  EXPECT_EQ(s.Language, L"keep");
}

TEST(XMLFiler, NamelessPropertyUnderRootEndsReadingAtOnce) {
  TTempDir dir;
  std::wstring file = dir.File(L"nameless.xml");
  WriteTextFile(file, RootWith("<property name=\"time:format\" value=\"1\"/>\r\n"
                               "<property value=\"x\"/>\r\n"
                               "<property name=\"language\" value=\"never read\"/>\r\n"));
  TSampleSettings s;
  TXMLFiler filer(L"test:properties");
  s.Register(filer);
  EXPECT_EQ(MessageOf([&] { filer.LoadFromFile(file); }), L"Error loading " + file + L"\r\nProperty name not defined");
  EXPECT_EQ(s.TimeFormat, 1);
  EXPECT_EQ(s.Language, L"");
}

TEST(XMLFiler, FileOfAnotherKindIsIgnoredSilently) {
  TTempDir dir;
  TSampleSettings s;
  TXMLFiler filer(L"test:properties");
  s.Register(filer);
  for (const char* root : {"calderwisp:symbols", "Test:Properties"}) {
    WriteTextFile(dir.File(L"other.xml"), RootWith("<property name=\"time:format\" value=\"2\"/>\r\n", root));
    EXPECT_NO_THROW(filer.LoadFromFile(dir.File(L"other.xml")));
    EXPECT_EQ(s.TimeFormat, 0) << root;
  }
  // A root that is not a property set is an error of the file.
  WriteTextFile(dir.File(L"other.xml"), "<property name=\"test:properties\" value=\"1\"/>");
  EXPECT_EQ(MessageOf([&] { filer.LoadFromFile(dir.File(L"other.xml")); }),
            L"Error loading " + dir.File(L"other.xml") + L"\r\n\"test:properties\" is not a property set");
}

TEST(XMLFiler, MalformedOrMissingFileGivesErrorLoadingWithItsName) {
  TTempDir dir;
  std::wstring file = dir.File(L"broken.xml");
  WriteTextFile(file, "<propertyset name=\"test:properties\">\r\n<property name=\"a\" value=\"1\">\r\n</propertyset>");
  TXMLFiler filer(L"test:properties");
  std::wstring message = MessageOf([&] { filer.LoadFromFile(file); });
  EXPECT_EQ(message.rfind(L"Error loading " + file + L"\r\nError loading XML\r\n(", 0), 0u) << message;
  if (RunningUnderWine()) {
    // Wine's parser knows no position and no reason.
    EXPECT_EQ(message, L"Error loading " + file + L"\r\nError loading XML\r\n(0, 0)\r\nerror");
  } else {
    EXPECT_EQ(message.find(L"(3, "), message.find(L"\r\n(") + 2) << message;
  }
  std::wstring missing = dir.File(L"missing.xml");
  EXPECT_EQ(MessageOf([&] { filer.LoadFromFile(missing); }).rfind(L"Error loading " + missing + L"\r\nError loading XML", 0),
            0u);
}

TEST(XMLFiler, DocumentThatCannotBeCreatedSaysSoFirst) {
  // A thread that never initialised COM cannot create the DOM.
  std::wstring message, className;
  std::thread worker([&] {
    TXMLFiler filer(L"r");
    try {
      filer.LoadFromFile(L"c:\\whatever.xml");
    } catch (const Exception& e) {
      message = e.Message();
      className = e.ClassName();
    }
  });
  ASSERT_TRUE(JoinWithin(worker, 20000));
  EXPECT_EQ(className, L"EOleSysError");
  EXPECT_EQ(message.rfind(L"Error creating XML DOM document\r\n", 0), 0u) << message;
  EXPECT_EQ(message.find(L"Error loading"), std::wstring::npos) << message;
}

TEST(XMLFiler, FileNamesWithSpacesPercentAndHashLoad) {
  TTempDir dir;
  std::wstring sub = dir.File(L"a%20b #1 \u00e9");
  ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
  std::wstring file = sub + L"\\my settings%41.xml";
  int32_t value = 0;
  TXMLFiler writer(L"r");
  int32_t written = 42;
  writer.RegisterInteger(written, L"v");
  writer.SaveToFile(file);
  TXMLFiler reader(L"r");
  reader.RegisterInteger(value, L"v");
  reader.LoadFromFile(file);
  EXPECT_EQ(value, 42);
}

TEST(XMLFiler, NamesWithOneHashAreTwoEntriesAndANameTwiceIsRefused) {
  ASSERT_EQ(WideStringHash(L"Aa"), WideStringHash(L"BB"));
  TTempDir dir;
  int32_t a = 1, b = 2;
  TXMLFiler filer(L"r");
  filer.RegisterInteger(a, L"Aa");
  filer.RegisterInteger(b, L"BB");
  EXPECT_THROW(filer.RegisterInteger(b, L"BB"), EListError);
  TSerializedEntry* entry = nullptr;
  EXPECT_FALSE(filer.Entries().FindEntry(L"C#", entry));  // a third name of that hash
  ASSERT_TRUE(filer.Entries().FindEntry(L"BB", entry));
  EXPECT_EQ(entry->Data, &b);

  WriteTextFile(dir.File(L"h.xml"), RootWith("<property name=\"BB\" value=\"20\"/><property name=\"C#\" value=\"30\"/>", "r"));
  filer.LoadFromFile(dir.File(L"h.xml"));
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 20);

  filer.SaveToFile(dir.File(L"h.xml"));
  EXPECT_EQ(ReadTextFile(dir.File(L"h.xml")),
            RootWith("\t<property name=\"Aa\" value=\"1\"/>\r\n\t<property name=\"BB\" value=\"20\"/>\r\n", "r"));
}

TEST(XMLFiler, CollectionReadsObjectSetsOnlyAndKeepsAFailedItemAsWritten) {
  TTempDir dir;
  TSampleRules rules;
  rules.Add()->SearchStr = L"old";
  TXMLFiler filer(L"r");
  filer.RegisterCollection(&rules, L"rules");
  WriteTextFile(dir.File(L"c.xml"),
                RootWith("<propertyset name=\"rules\">\r\n"
                         "<propertyset name=\"object\"><property name=\"SearchStr\" value=\"a\"/></propertyset>\r\n"
                         "<propertyset name=\"other\"><property name=\"SearchStr\" value=\"x\"/></propertyset>\r\n"
                         "<property name=\"object\" value=\"1\"/><!-- a comment -->\r\n"
                         "<propertyset name=\"object\"/>\r\n"
                         "<propertyset name=\"object\"><property name=\"searchstr\" value=\"c\"/></propertyset>\r\n"
                         "</propertyset>\r\n",
                         "r"));
  filer.LoadFromFile(dir.File(L"c.xml"));
  ASSERT_EQ(rules.GetCount(), 3);
  EXPECT_EQ(rules.GetItem(0)->SearchStr, L"a");
  EXPECT_EQ(rules.GetItem(1)->SearchStr, L"");
  EXPECT_EQ(rules.GetItem(1)->BackColor, 0xFFFFFF);  // the item's own default
  EXPECT_EQ(rules.GetItem(2)->SearchStr, L"c");

  WriteTextFile(dir.File(L"c.xml"),
                RootWith("<propertyset name=\"rules\">\r\n"
                         "<propertyset name=\"object\"><property name=\"SearchStr\" value=\"first\"/></propertyset>\r\n"
                         "<propertyset name=\"object\"><property name=\"BackColor\" value=\"red\"/></propertyset>\r\n"
                         "<propertyset name=\"object\"><property name=\"SearchStr\" value=\"never\"/></propertyset>\r\n"
                         "</propertyset>\r\n",
                         "r"));
  EXPECT_EQ(MessageOf([&] { filer.LoadFromFile(dir.File(L"c.xml")); }),
            L"Error loading " + dir.File(L"c.xml") + L"\r\nCould not convert \"red\" into type (Integer)\r\n");
  ASSERT_EQ(rules.GetCount(), 2);
  EXPECT_EQ(rules.GetItem(0)->SearchStr, L"first");
  EXPECT_EQ(rules.GetItem(1)->SearchStr, L"never");
  // The failed item is saved in its place as it was written.
  filer.SaveToFile(dir.File(L"c.xml"));
  EXPECT_NE(ReadTextFile(dir.File(L"c.xml"))
                .find("value=\"first\"/>\r\n\t\t</propertyset>\r\n\t\t<propertyset name=\"object\">\r\n\t\t\t"
                      "<property name=\"BackColor\" value=\"red\"/>"),
            std::string::npos)
      << ReadTextFile(dir.File(L"c.xml"));
}

TEST(XMLFiler, PublishedPropertiesReadByNameInAnyCaseThroughTheirSetters) {
  TTempDir dir;
  WriteTextFile(dir.File(L"p.xml"),
                RootWith("<propertyset name=\"v\">\r\n"
                         "<property name=\"VISIBLE\" value=\"false\"/>\r\n"
                         "<property name=\"columnid\" value=\"99\"/>\r\n"
                         "<property name=\"Unknown\" value=\"1\"/>\r\n"
                         "<property name=\"onclick\" value=\"buttonclick\"/>\r\n"
                         "<property name=\"Tag\" value=\"12\"/>\r\n"
                         "</propertyset>\r\n",
                         "r"));
  TSampleView view;
  TXMLFiler filer(L"r");
  filer.RegisterObject(&view, L"v");
  filer.LoadFromFile(dir.File(L"p.xml"));
  EXPECT_FALSE(view.Visible);
  EXPECT_EQ(view.VisibleWrites, 1);
  EXPECT_EQ(view.ColumnId, 7);  // read-only: not set
  ASSERT_TRUE(view.OnClick);
  view.OnClick(nullptr);
  EXPECT_EQ(view.Clicks, 1);
  EXPECT_EQ(view.Tag.vt, VT_BSTR);  // a variant keeps the stored text
  EXPECT_EQ(view.Tag.AsBSTRText(), L"12");

  // Booleans: a number, non-zero meaning True; an event naming no method is unbound.
  for (auto [text, expected] : {std::pair{"0", false}, {"2", true}, {"TRUE", true}, {"-1", true}}) {
    WriteTextFile(dir.File(L"p.xml"),
                  RootWith(std::string("<propertyset name=\"v\"><property name=\"Visible\" value=\"") + text +
                               "\"/><property name=\"OnClick\" value=\"NoSuchMethod\"/></propertyset>",
                           "r"));
    filer.LoadFromFile(dir.File(L"p.xml"));
    EXPECT_EQ(view.Visible, expected) << text;
    EXPECT_FALSE(view.OnClick);
  }

  std::vector<std::wstring> names;
  GetPublishedPropertyNames(&view, names);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"Width", L"ColumnId", L"Visible", L"Caption", L"Tag", L"OnClick"}));
}

TEST(XMLFiler, ReadPropertyFindsRequiredAndOptionalValues) {
  TTempDir dir;
  WriteTextFile(dir.File(L"proc.xml"),
                "<propertyset name=\"proc\"><!-- c --><property name=\"URL\" value=\"export://f@m\"/>"
                "<property name=\"Offset\" value=\"4\"/></propertyset>");
  TXMLDocument doc;
  CreatePropertySetDocument(doc);
  LoadDocumentFile(doc.Get(), dir.File(L"proc.xml"));
  TXMLNode node = DocumentElement(doc.Get());
  TOleVariant v;
  ReadProperty(node.Get(), L"Offset", VT_UI4, v, true);
  EXPECT_EQ(v.vt, VT_UI4);
  EXPECT_EQ(v.ulVal, 4u);
  ReadProperty(node.Get(), L"Title", VT_BSTR, v, false);
  EXPECT_TRUE(v.IsEmpty());
  EXPECT_EQ(MessageOf([&] { ReadProperty(node.Get(), L"url", VT_BSTR, v, true); }),
            L"Required property \"url\" not found");
  EXPECT_EQ(MessageOf([&] { ExpectPropertySet(node.Get(), L"param"); }), L"Unknown token - \"proc\"");
  TXMLNode comment = FirstChild(node.Get());
  EXPECT_EQ(MessageOf([&] { CheckPropertyNode(comment.Get()); }), L"\"#comment\" is not a property");
  EXPECT_EQ(MessageOf([&] { RaiseNotSpecified(L"Length"); }), L"\"Length\" isn't specified");
}

TEST(XMLFiler, FailedSaveLeavesTheOldFileAndNoTemporaryFile) {
  TTempDir dir;
  std::wstring file = dir.File(L"settings.xml");
  WriteTextFile(file, "old content");
  int32_t v = 5;
  TXMLFiler filer(L"r");
  filer.RegisterInteger(v, L"v");
  {
    // Another program holds the file open: replacing it fails after the new content is written.
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_THROW(filer.SaveToFile(file), EOSError);
    CloseHandle(h);
  }
  EXPECT_EQ(ReadTextFile(file), "old content");
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW(dir.File(L"*").c_str(), &fd);
  std::vector<std::wstring> files;
  do {
    if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) files.push_back(fd.cFileName);
  } while (FindNextFileW(find, &fd));
  FindClose(find);
  EXPECT_EQ(files, std::vector<std::wstring>{L"settings.xml"});

  filer.SaveToFile(file);
  EXPECT_EQ(ReadTextFile(file), RootWith("\t<property name=\"v\" value=\"5\"/>\r\n", "r"));
}

TEST(XMLFiler, DocumentTypeFileShippedWithTheProgramAcceptsPropertySets) {
  TTempDir dir;
  std::wstring dtdSource = TestSourceDir() + L"\\..\\src\\Tracer\\data\\propertyset.dtd";
  ASSERT_TRUE(CopyFileW(dtdSource.c_str(), dir.File(L"propertyset.dtd").c_str(), FALSE));
  const std::string header = "<?xml version=\"1.0\"?>\r\n<!DOCTYPE propertyset SYSTEM \"propertyset.dtd\">\r\n";
  WriteTextFile(dir.File(L"sym.xml"),
                header + RootWith("<propertyset name=\"proc\">\r\n"
                                  "<property name=\"URL\" value=\"export://f@m\"/>\r\n"
                                  "<propertyset name=\"param\"><property name=\"Name\" value=\"a\"/></propertyset>\r\n"
                                  "<propertyset><property name=\"x\"/></propertyset>\r\n"
                                  "</propertyset>\r\n",
                                  "calderwisp:symbols"));
  TSampleList procs;
  TXMLFiler filer(L"calderwisp:symbols");
  int32_t unused = 0;
  filer.RegisterInteger(unused, L"none");
  EXPECT_NO_THROW(filer.LoadFromFile(dir.File(L"sym.xml")));

  if (RunningUnderWine()) GTEST_SKIP() << "Wine's DOM does not validate: invalid content and a missing document "
                                          "type file are not detected here";
  WriteTextFile(dir.File(L"invalid.xml"), header + RootWith("<item name=\"x\"/>\r\n", "calderwisp:symbols"));
  EXPECT_EQ(MessageOf([&] { filer.LoadFromFile(dir.File(L"invalid.xml")); })
                .rfind(L"Error loading " + dir.File(L"invalid.xml") + L"\r\nError loading XML\r\n(", 0),
            0u);
  DeleteFileW(dir.File(L"propertyset.dtd").c_str());
  EXPECT_EQ(MessageOf([&] { filer.LoadFromFile(dir.File(L"sym.xml")); })
                .rfind(L"Error loading " + dir.File(L"sym.xml") + L"\r\nError loading XML\r\n(", 0),
            0u);
}

TEST(Collection, ItemsKnowTheirCollectionAndNotificationsSeeAdditionsAndDeletions) {
  struct TLimited : TCollectionOf<TSampleRule> {
    std::vector<std::wstring> Log;
    void Notify(TCollectionItem* item, TCollectionNotification action) override {
      Log.push_back((action == TCollectionNotification::cnAdded ? L"+" : L"-") + std::to_wstring(item->GetIndex()));
      // At most two items: the oldest goes.
      if (action == TCollectionNotification::cnAdded && GetCount() > 2) Delete(GetCount() - 1);
    }
  } c;
  TSampleRule* a = c.Add();
  TSampleRule* b = c.Insert(0);
  c.Insert(0);
  EXPECT_EQ(c.GetCount(), 2);
  EXPECT_EQ(b->GetIndex(), 1);
  EXPECT_EQ(c.IndexOf(a), -1);
  EXPECT_EQ(b->GetCollection(), &c);
  c.Clear();
  EXPECT_EQ(c.Log, (std::vector<std::wstring>{L"+0", L"+0", L"+0", L"-2", L"-1", L"-0"}));
  EXPECT_THROW(c.Delete(0), EListError);
}
