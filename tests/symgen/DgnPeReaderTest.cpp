// The PE export reader on the fixture DLL, on damaged copies of it, and on thousands of
// mutated copies run in-process.
#include <gtest/gtest.h>

#include <random>

#include "lib/rtl/SysUtils.h"
#include "support/TestSupport.h"
#include "symgen/DgnPeReader.h"
#include "symgen/SymgenTestSupport.h"
#include "symgen/uZentrel.h"

namespace {

// The message of the error that loading Bytes as a DLL raises, empty when it loads.
std::wstring LoadError(const std::string& bytes) {
  TTempDir dir;
  WriteTextFile(dir.File(L"damaged.dll"), bytes);
  try {
    TDgnPeImage image(false);
    image.SetFileName(dir.File(L"damaged.dll"));
    image.ExportList();
    return L"";
  } catch (const Exception& e) {
    return e.Message();
  }
}

}  // namespace

TEST(DgnPeImage, FixtureListsNamedExportsInNameTableOrderWithHintsOrdinalsAndForwarder) {
  TDgnPeImage image(false);
  image.SetFileName(FixtureDll());
  ASSERT_TRUE(image.StatusOK());
  EXPECT_EQ(image.Target(), taWin32);
  TDgnPeExportFuncList& list = image.ExportList();
  // Six exports, of which one has an ordinal only.
  EXPECT_EQ(list.FunctionsCount(), 6u);
  ASSERT_EQ(list.Count(), 5);
  const wchar_t* names[] = {L"Alpha", L"Beta", L"Fish&Chips<1>", L"Gr\u00F6\u00DFe", L"HeapBorrow"};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(list.Items(i)->Name(), names[i]);
    EXPECT_EQ(list.Items(i)->Hint(), i);
    EXPECT_GE(list.Items(i)->Ordinal(), list.Base());
    EXPECT_NE(list.Items(i)->Ordinal(), 7) << "the ordinal-only export has no item";
  }
  TDgnPeExportFuncItem* forwarded = list.Items(4);
  EXPECT_TRUE(list.AnyForwardedFunction());
  EXPECT_EQ(forwarded->ForwardedName(), L"KERNEL32.HeapAlloc");
  EXPECT_EQ(forwarded->ForwardedFunction(), L"HeapAlloc");
  EXPECT_EQ(list.ForwardedLibs(), std::vector<std::wstring>{L"KERNEL32"});
  EXPECT_EQ(list.Items(0)->ForwardedName(), L"");
  // Sections are known by name.
  bool text = false;
  for (auto& s : image.ImageSectionNames()) text |= s.first == L".text";
  EXPECT_TRUE(text);
}

TEST(DgnPeImage, NameThatIsNoUtf8KeepsItsRawBytes) {
  std::string dll = ReadTextFile(FixtureDll());
  size_t at = dll.find("Gr\xC3\xB6\xC3\x9F" "e");
  ASSERT_NE(at, std::string::npos);
  dll[at + 2] = '\xF6';  // a lead byte without its continuation bytes
  dll[at + 3] = '!';
  TTempDir dir;
  WriteTextFile(dir.File(L"raw.dll"), dll);
  TDgnPeImage image(false);
  image.SetFileName(dir.File(L"raw.dll"));
  // The bytes as the ANSI code page (1252) reads them.
  EXPECT_EQ(image.ExportList().Items(3)->Name(), L"Gr\u00F6!\u00C3\u0178e");
}

TEST(DgnPeImage, ResourceDirectoryIsATreeOfLists) {
  TDgnPeImage image(false);
  image.SetFileName(FixtureDll());
  TDgnPeResourceList* root = image.ResourceList();
  ASSERT_NE(root, nullptr);
  ASSERT_EQ(root->Count(), 2);
  // Named entries come first: the type "TEXT", then the string table's type id 6.
  EXPECT_EQ(root->Items(0)->Name(), L"TEXT");
  EXPECT_EQ(root->Items(1)->Name(), L"#6");
  TDgnPeResourceList* texts = root->Items(0)->List();
  ASSERT_NE(texts, nullptr);
  ASSERT_EQ(texts->Count(), 1);
  EXPECT_EQ(texts->Items(0)->Name(), L"GREETING");
  EXPECT_EQ(texts->Items(0)->Level(), 2);
  TDgnPeResourceItem* language = texts->Items(0)->List()->Items(0);
  EXPECT_EQ(language->Level(), 3);
  EXPECT_FALSE(language->IsDirectory());
  EXPECT_EQ(language->List(), nullptr);
}

TEST(DgnPeImage, StatusesOfFilesThatAreNoUsableImage) {
  TTempDir dir;
  TDgnPeImage quiet(true);
  quiet.SetFileName(dir.File(L"missing.dll"));
  EXPECT_EQ(quiet.Status(), TDgnPeImageStatus::stNotFound);
  WriteTextFile(dir.File(L"text.dll"), "plain text");
  quiet.SetFileName(dir.File(L"text.dll"));
  EXPECT_EQ(quiet.Status(), TDgnPeImageStatus::stNotPE);
  EXPECT_EQ(quiet.ExportList().Count(), 0);

  TDgnPeImage loud(false);
  try {
    loud.SetFileName(dir.File(L"missing.dll"));
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), L"Cannot open file \"" + dir.File(L"missing.dll") + L"\"");
  }
  // The image stays usable after a failure.
  loud.SetFileName(FixtureDll());
  EXPECT_EQ(loud.ExportList().Count(), 5);
}

TEST(DgnPeImage, ImageOfAnotherMachineIsUnmappedLikeAnyOther) {
  TTempDir dir;
  std::string arm = ReadTextFile(FixtureDll());
  PutWord(arm, GetDword(arm, 0x3C) + 4, 0x01C4);
  WriteTextFile(dir.File(L"arm.dll"), arm);
  {
    TDgnPeImage image(true);
    image.SetFileName(dir.File(L"arm.dll"));
    EXPECT_EQ(image.Status(), TDgnPeImageStatus::stUnknownTarget);
  }
  // A file still mapped could not be deleted.
  EXPECT_TRUE(DeleteFileW(dir.File(L"arm.dll").c_str())) << GetLastError();
}

TEST(DgnPeImage, HostileTablesAreRefusedBeforeTheyAreRead) {
  std::string dll = ReadTextFile(FixtureDll());
  size_t nt = GetDword(dll, 0x3C);
  size_t exportDir = ExportDirectoryOffset(FixtureDll()).first;
  const size_t numberOfFunctions = exportDir + 20, numberOfNames = exportDir + 24, addressOfNames = exportDir + 32;

  std::string sections = dll;
  PutWord(sections, nt + 6, 0xFFFF);
  EXPECT_EQ(LoadError(sections), L"This is not a PE format");

  std::string names = dll;
  PutDword(names, numberOfNames, 0x40000000);
  EXPECT_EQ(LoadError(names), L"Damaged export directory");

  std::string functions = dll;
  PutDword(functions, numberOfFunctions, 0xFFFFFFFF);
  EXPECT_EQ(LoadError(functions), L"Damaged export directory");

  // Name-ordinal entries point past a function table of one entry.
  std::string ordinal = dll;
  PutDword(ordinal, numberOfFunctions, 1);
  EXPECT_EQ(LoadError(ordinal), L"Damaged export directory");

  // The file ends inside the first name, before its terminating zero.
  uint32_t dirRva = GetDword(dll, nt + 24 + 96);
  size_t nameTable = GetDword(dll, addressOfNames) - dirRva + exportDir;
  size_t firstName = GetDword(dll, nameTable) - dirRva + exportDir;
  EXPECT_EQ(dll.substr(firstName, 6), std::string("Alpha", 6));
  EXPECT_EQ(LoadError(dll.substr(0, firstName + 3)), L"Damaged export directory");

  EXPECT_EQ(LoadError(dll), L"");
}

TEST(DgnPeImage, ThousandsOfTruncatedAndByteFlippedCopiesNeverCrash) {
  const std::string original = ReadTextFile(FixtureDll());
  auto [exportDir, exportSize] = ExportDirectoryOffset(FixtureDll());
  size_t headers = GetDword(original, 0x3C) + 24 + 224 + 16 * 40;
  std::mt19937 random(20261208);
  auto below = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
  TTempDir dir;
  std::wstring path = dir.File(L"mutant.dll");
  int documents = 0, errors = 0;
  const int runs = 3000;
  for (int i = 0; i < runs; ++i) {
    std::string bytes = original;
    if (i % 3 != 1) {
      // Flips aimed at the headers and the export directory, where the reader looks.
      int flips = 1 + static_cast<int>(below(6));
      for (int f = 0; f < flips; ++f) {
        size_t at = below(3) == 0 ? below(headers) : exportDir + below(exportSize + 64);
        if (at < bytes.size()) bytes[at] = static_cast<char>(below(256));
      }
    }
    if (i % 3 != 0) bytes.resize(below(bytes.size()));
    WriteTextFile(path, bytes);
    std::string written;
    try {
      WriteSymbolFile(path, [&](const std::string& doc) { written = doc; });
      ++documents;
      ASSERT_EQ(written.rfind("</propertyset>\r\n"), written.size() - 16) << "run " << i;
      // Whatever names a mutant has, a sample of the documents must parse.
      if (documents % 25 == 0) {
        WriteTextFile(dir.File(L"mutant.xml"), written);
        ASSERT_NO_THROW(ParseSymbolFile(dir.File(L"mutant.xml"))) << "run " << i;
      }
    } catch (const Exception&) {
      ++errors;
      ASSERT_EQ(written, "") << "run " << i;
    }
  }
  EXPECT_EQ(documents + errors, runs);
  EXPECT_GT(documents, 0);
  EXPECT_GT(errors, 0);
  std::printf("mutation run: %d documents, %d refused\n", documents, errors);
}

TEST(DgnPeImage, SixtyFourBitDllIsReadFromItsPe32PlusHeader) {
  std::wstring dll = TestBinDir() + L"zentrelfix64.dll";
  if (GetFileAttributesW(dll.c_str()) == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "no 64-bit cross compiler";
  TDgnPeImage image(false);
  image.SetFileName(dll);
  EXPECT_EQ(image.Target(), taWin64);
  TDgnPeExportFuncList& list = image.ExportList();
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Items(0)->Name(), L"Narrow64");
  EXPECT_EQ(list.Items(1)->Name(), L"Wide64");
  EXPECT_FALSE(list.AnyForwardedFunction());
}
