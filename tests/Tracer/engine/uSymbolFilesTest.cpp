// Symbol files: the folder's registry, loading with every failure listed, the per-user
// override copies, "conflict" entries, the settings entry and the plug-ins a file loads.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "EngineTestSupport.h"
#include "Tracer/engine/uProcDefs.h"
#include "Tracer/engine/uSymbolFiles.h"
#include "Tracer/foundation/uConfig.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "support/MessageWindow.h"
#include "support/TestSupport.h"

namespace {

// File names unique across the test programs that share the per-user folder.
std::wstring UniqueName(const std::wstring& base) {
  static LONG counter = 0;
  return base + WideFormat(L"-%lu-%ld.xml", GetCurrentProcessId(), InterlockedIncrement(&counter));
}

std::wstring Proc(const std::wstring& url, const std::wstring& more = L"") {
  return L"<propertyset name=\"proc\">" + XmlProperty(L"URL", url) + more + L"</propertyset>";
}

std::wstring Param(const std::wstring& name, const std::wstring& type) {
  return L"<propertyset name=\"param\">" + XmlProperty(L"Name", name) + XmlProperty(L"Type", type) +
         XmlProperty(L"Offset", L"4") + L"</propertyset>";
}

std::string SymbolsDocument(const std::wstring& body, const std::wstring& root = L"calderwisp:symbols") {
  return WideToUtf8(L"<?xml version=\"1.0\"?>\r\n<propertyset name=\"" + root + L"\">" + body + L"</propertyset>\r\n");
}

TProcDef* FindProc(TSymbolFile* file, const std::wstring& url) {
  TProcDef* def = nullptr;
  if (!file->GetProcs() || !file->GetProcs()->Find(url, def)) return nullptr;
  return def;
}

bool InLoadedSet(const std::wstring& url, TProcDef* def) {
  TProcDef* found = nullptr;
  return GetLoadedProcDefs()->Find(url, found) && found == def;
}

// A symbols folder of the test's own, with its files and their override copies removed after.
class SymbolFolder {
public:
  std::wstring Add(const std::wstring& base, const std::wstring& body) {
    const std::wstring name = UniqueName(base);
    AddNamed(name, body);
    return FDir.File(name);
  }
  void AddNamed(const std::wstring& name, const std::wstring& body) {
    WriteTextFile(FDir.File(name), SymbolsDocument(body));
    FNames.push_back(name);
  }
  std::wstring Folder() const { return FDir.Path() + L"\\"; }
  ~SymbolFolder() {
    for (const std::wstring& name : FNames) DeleteFileW((GetUserDataFolder() + L"\\" + name).c_str());
  }

private:
  TTempDir FDir;
  std::vector<std::wstring> FNames;
};

TSymbolFile* FileOf(TSymbolFiles& files, const std::wstring& path) {
  TSymbolFile* file = nullptr;
  EXPECT_TRUE(files.FindFile(path, file)) << WideToUtf8(path);
  return file;
}

std::wstring LocalCopy(const std::wstring& path) { return GetUserDataFolder() + L"\\" + WideExtractFileName(path); }

TEST(SymbolFiles, AGeneratedFileLoadsEveryFunctionActiveVisibleWithoutResultOrParameters) {
  SymbolFolder folder;
  const std::wstring path =
      folder.Add(L"gen", Proc(L"export://SfGenA@sfgen.dll", XmlProperty(L"Title", L"SfGenA")) +
                              Proc(L"export://SfGenB@sfgen.dll", XmlProperty(L"Title", L"SfGenB")));
  TSymbolFiles files(folder.Folder());
  TSymbolFile* file = FileOf(files, path);
  ASSERT_NE(nullptr, file);
  EXPECT_FALSE(file->IsLoaded());
  file->Load();
  ASSERT_TRUE(file->IsLoaded());
  EXPECT_EQ(2, file->GetProcs()->GetCount());
  for (const wchar_t* name : {L"SfGenA", L"SfGenB"}) {
    TProcDef* def = FindProc(file, std::wstring(L"export://") + name + L"@sfgen.dll");
    ASSERT_NE(nullptr, def);
    EXPECT_TRUE(def->GetActive());
    EXPECT_TRUE(def->GetVisible());
    EXPECT_NE(nullptr, dynamic_cast<TVOIDProcDef*>(def));
    EXPECT_EQ(0, def->GetParams().GetCount());
    EXPECT_EQ(name, def->GetTitle());
    EXPECT_TRUE(InLoadedSet(def->GetURL(), def));
  }
  EXPECT_EQ(0, file->GetPlugins()->Count());
  file->Unload(false);
  EXPECT_FALSE(file->IsLoaded());
  EXPECT_FALSE(WideFileExists(LocalCopy(path)));
}

TEST(SymbolFiles, ResultKindsParametersAndAQueryKeepTheirMeaning) {
  SymbolFolder folder;
  const std::wstring path = folder.Add(
      L"kinds", Proc(L"export://SfEax@sfkinds.dll?minversion=5.1",
                     XmlProperty(L"Result", L"eax") + XmlProperty(L"Active", L"False") +
                         XmlProperty(L"Visible", L"False") + Param(L"a", L"dword") + Param(L"b", L"str*")) +
                    Proc(L"export://SfAx@sfkinds.dll", XmlProperty(L"Result", L"ax")) +
                    // A second "proc" of one key is loaded onto the first: its parameters follow.
                    Proc(L"export://SfEax@sfkinds.dll", Param(L"c", L"int")));
  TSymbolFiles files(folder.Folder());
  TSymbolFile* file = FileOf(files, path);
  file->Load();
  TProcDef* eax = FindProc(file, L"export://SfEax@sfkinds.dll");
  ASSERT_NE(nullptr, eax);
  EXPECT_NE(nullptr, dynamic_cast<TEAXProcDef*>(eax));
  EXPECT_EQ(L"export://SfEax@sfkinds.dll?minversion=5.1", eax->GetFullURL());
  EXPECT_FALSE(eax->GetActive());
  EXPECT_FALSE(eax->GetVisible());
  ASSERT_EQ(3, eax->GetParams().GetCount());
  EXPECT_EQ(L"c", eax->GetParams().GetItem(2)->GetName());
  EXPECT_EQ(1, eax->GetParams().GetItem(1)->GetIndirectionCount());
  EXPECT_NE(nullptr, dynamic_cast<TAXProcDef*>(FindProc(file, L"export://SfAx@sfkinds.dll")));
  EXPECT_EQ(2, file->GetProcs()->GetCount());
  file->Unload(false);
}

TEST(SymbolFiles, AFileWithBadEntriesStaysUnloadedAndListsEveryFailure) {
  struct Case {
    std::wstring Entry;
    const wchar_t* Failure;
  };
  const Case cases[] = {
      {L"<propertyset name=\"proc\">" + XmlProperty(L"Title", L"x") + L"</propertyset>",
       L"Required property \"URL\" not found"},
      {Proc(L"export://SfBad1@sfbad.dll", XmlProperty(L"Result", L"EAX")), L"Unknown token - \"EAX\""},
      {Proc(L"nope://SfBad2@sfbad.dll"), L"Unknown protocol \"nope\""},
      {Proc(L"export://SfBad3@sfbad.dll", Param(L"a", L"qword")), L"Unknown token - \"qword\""},
      {Proc(L"export://SfBad4@sfbad.dll", Param(L"a", L"int") + Param(L"a", L"int")), nullptr},
  };
  SymbolFolder folder;
  std::wstring body = Proc(L"export://SfGood@sfbad.dll");
  for (const Case& c : cases) body += c.Entry;
  const std::wstring path = folder.Add(L"bad", body);
  TSymbolFiles files(folder.Folder());
  TSymbolFile* file = FileOf(files, path);
  const std::wstring message = MessageOf([&] { file->Load(); });
  const std::vector<std::wstring> lines = SplitLines(message);
  ASSERT_EQ(2u + std::size(cases), lines.size()) << WideToUtf8(message);
  EXPECT_EQ(L"Error loading symbols from \"" + path, lines[0]);
  EXPECT_EQ(L"Error loading " + path, lines[1]);
  for (size_t i = 0; i < std::size(cases); ++i)
    if (cases[i].Failure) {
      EXPECT_EQ(cases[i].Failure, lines[2 + i]) << i;
    }
  EXPECT_FALSE(file->IsLoaded());
  TProcDef* found = nullptr;
  EXPECT_FALSE(GetLoadedProcDefs()->Find(L"export://SfGood@sfbad.dll", found));
  // A failed load writes no override copy.
  EXPECT_FALSE(WideFileExists(LocalCopy(path)));
}

TEST(SymbolFiles, ARootOfAnotherNameLoadsNoFunctionsAndABrokenDocumentFails) {
  TTempDir dir;
  const std::wstring other = dir.File(UniqueName(L"root"));
  WriteTextFile(other, SymbolsDocument(Proc(L"export://SfRoot@sfroot.dll"), L"calderwisp:properties"));
  const std::wstring broken = dir.File(UniqueName(L"broken"));
  WriteTextFile(broken, "<propertyset name=\"calderwisp:symbols\"><property");
  TSymbolFiles files(dir.Path() + L"\\");
  TSymbolFile* file = FileOf(files, other);
  file->Load();
  EXPECT_TRUE(file->IsLoaded());
  EXPECT_EQ(0, file->GetProcs()->GetCount());
  file->Unload(true);
  EXPECT_FALSE(WideFileExists(LocalCopy(other)));  // no function, no copy
  const std::vector<std::wstring> lines = SplitLines(MessageOf([&] { FileOf(files, broken)->Load(); }));
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(L"Error loading symbols from \"" + broken, lines[0]);
  EXPECT_EQ(L"Error loading " + broken, lines[1]);
  EXPECT_EQ(L"Error loading XML", lines[2]);
  EXPECT_FALSE(FileOf(files, broken)->IsLoaded());
}

TEST(SymbolFiles, AMissingOrEmptyFolderIsAnEmptyRegistry) {
  TTempDir dir;
  EXPECT_EQ(0, TSymbolFiles(dir.Path() + L"\\").GetCount());
  EXPECT_EQ(0, TSymbolFiles(dir.Path() + L"\\missing\\").GetCount());
  // Folders named like symbol files and other files are not listed.
  CreateDirectoryW(dir.File(L"sub.xml").c_str(), nullptr);
  WriteTextFile(dir.File(L"notes.txt"), "x");
  WriteTextFile(dir.File(L"one.xml"), SymbolsDocument(L""));
  TSymbolFiles files(dir.Path() + L"\\");
  EXPECT_EQ(1, files.GetCount());
  TSymbolFile* file = nullptr;
  EXPECT_TRUE(files.FindFile(dir.File(L"one.xml"), file));
  EXPECT_EQ(L"one", file->GetName());
  // Keys are exact texts.
  EXPECT_FALSE(files.FindFile(dir.File(L"ONE.xml"), file));
  EXPECT_FALSE(files.FindFile(dir.File(L"sub.xml"), file));
}

TEST(SymbolFiles, TheProgramsRegistryIsTheSymbolsFolderBesideIt) {
  EXPECT_EQ(TSymbolFiles().GetFolder(), TestBinDir() + L"symbols\\");
}

TEST(SymbolFiles, AFunctionAnotherLoadedFileHasFailsTheFileAndStaysWithTheOther) {
  SymbolFolder folder;
  const std::wstring first = folder.Add(L"dupa", Proc(L"export://SfDup@sfdup.dll"));
  const std::wstring second =
      folder.Add(L"dupb", Proc(L"export://SfOnlyB@sfdup.dll") + Proc(L"export://SfDup@sfdup.dll?x=1"));
  TSymbolFiles files(folder.Folder());
  FileOf(files, first)->Load();
  TProcDef* def = FindProc(FileOf(files, first), L"export://SfDup@sfdup.dll");
  const std::vector<std::wstring> lines = SplitLines(MessageOf([&] { FileOf(files, second)->Load(); }));
  EXPECT_EQ(3u, lines.size());
  EXPECT_FALSE(FileOf(files, second)->IsLoaded());
  EXPECT_TRUE(InLoadedSet(L"export://SfDup@sfdup.dll", def));
  TProcDef* found = nullptr;
  EXPECT_FALSE(GetLoadedProcDefs()->Find(L"export://SfOnlyB@sfdup.dll", found));
  FileOf(files, first)->Unload(false);
  EXPECT_FALSE(GetLoadedProcDefs()->Find(L"export://SfDup@sfdup.dll", found));
}

TEST(SymbolFileOverrides, ActiveFalseIsKeptAcrossUnloadAndReload) {
  SymbolFolder folder;
  const std::wstring path = folder.Add(
      L"ovr", Proc(L"export://SfOvrA@sfovr.dll?q=1", XmlProperty(L"Title", L"Shown")) + Proc(L"export://SfOvrB@sfovr.dll"));
  TSymbolFiles files(folder.Folder());
  TSymbolFile* file = FileOf(files, path);
  file->Load();
  FindProc(file, L"export://SfOvrA@sfovr.dll")->SetActive(false);
  FindProc(file, L"export://SfOvrB@sfovr.dll")->SetVisible(false);
  file->Unload(true);

  // One "proc" per function, with the URL's key, Active and Visible only.
  TXMLDocument doc;
  CreatePropertySetDocument(doc);
  LoadDocumentFile(doc.Get(), LocalCopy(path));
  TXMLNode root = DocumentElement(doc.Get());
  std::wstring rootName;
  ReadPropertySetName(root.Get(), rootName);
  EXPECT_EQ(L"calderwisp:symbols", rootName);
  int procs = 0;
  for (TXMLNode child = FirstChild(root.Get()); child; child = NextSibling(child.Get())) {
    if (!IsPropertySetNode(child.Get())) continue;
    ++procs;
    TOleVariant url, active, visible, title;
    ReadProperty(child.Get(), L"URL", VT_BSTR, url, true);
    ReadProperty(child.Get(), L"Active", VT_BSTR, active, true);
    ReadProperty(child.Get(), L"Visible", VT_BSTR, visible, true);
    ReadProperty(child.Get(), L"Title", VT_BSTR, title, false);
    EXPECT_TRUE(title.IsEmpty());
    const bool isA = url.AsBSTRText() == L"export://SfOvrA@sfovr.dll";
    EXPECT_TRUE(isA || url.AsBSTRText() == L"export://SfOvrB@sfovr.dll") << WideToUtf8(url.AsBSTRText());
    EXPECT_EQ(isA ? L"False" : L"True", active.AsBSTRText());
    EXPECT_EQ(isA ? L"True" : L"False", visible.AsBSTRText());
  }
  EXPECT_EQ(2, procs);

  file->Load();
  EXPECT_FALSE(FindProc(file, L"export://SfOvrA@sfovr.dll")->GetActive());
  EXPECT_TRUE(FindProc(file, L"export://SfOvrA@sfovr.dll")->GetVisible());
  EXPECT_EQ(L"Shown", FindProc(file, L"export://SfOvrA@sfovr.dll")->GetTitle());
  EXPECT_TRUE(FindProc(file, L"export://SfOvrB@sfovr.dll")->GetActive());
  EXPECT_FALSE(FindProc(file, L"export://SfOvrB@sfovr.dll")->GetVisible());
  file->Unload(false);
}

TEST(SymbolFileOverrides, ACopyNeverAddsFunctionsAndItsErrorsFailTheLoad) {
  SymbolFolder folder;
  const std::wstring path = folder.Add(L"upd", Proc(L"export://SfUpd@sfupd.dll"));
  WriteTextFile(LocalCopy(path), SymbolsDocument(Proc(L"export://SfUpd@sfupd.dll", XmlProperty(L"Active", L"False")) +
                                                 Proc(L"export://SfExtra@sfupd.dll")));
  TSymbolFiles files(folder.Folder());
  TSymbolFile* file = FileOf(files, path);
  file->Load();
  EXPECT_EQ(1, file->GetProcs()->GetCount());
  EXPECT_FALSE(FindProc(file, L"export://SfUpd@sfupd.dll")->GetActive());
  TProcDef* found = nullptr;
  EXPECT_FALSE(GetLoadedProcDefs()->Find(L"export://SfExtra@sfupd.dll", found));
  file->Unload(false);

  WriteTextFile(LocalCopy(path), SymbolsDocument(Proc(L"export://SfUpd@sfupd.dll", XmlProperty(L"Active", L"maybe"))));
  const std::vector<std::wstring> lines = SplitLines(MessageOf([&] { file->Load(); }));
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(L"Error loading symbols from \"" + path, lines[0]);
  EXPECT_EQ(L"Error loading " + LocalCopy(path), lines[1]);
  EXPECT_FALSE(file->IsLoaded());
}

TEST(SymbolFileOverrides, AFileNamedLikeTheSettingsFileHasNoOverrideCopy) {
  TTempDir dir;
  const std::wstring settingsName = WideExtractFileName(GetConfigFileName());
  for (const std::wstring& name : {settingsName, std::wstring(L"CalderWisp.XML")}) {
    WriteTextFile(dir.File(name), SymbolsDocument(Proc(L"export://SfCfg@sfcfg.dll", XmlProperty(L"Active", L"False"))));
    TSymbolFiles files(dir.Path() + L"\\");
    TSymbolFile* file = FileOf(files, dir.File(name));
    EXPECT_EQ(L"", file->GetLocalFileName());
    file->Load();
    EXPECT_FALSE(FindProc(file, L"export://SfCfg@sfcfg.dll")->GetActive());
    file->Unload(true);
    DeleteFileW(dir.File(name).c_str());
  }
}

TEST(SymbolFiles, AConflictUnloadsTheNamedFileInAnyCaseButNeverItself) {
  SymbolFolder folder;
  const std::wstring a = folder.Add(L"cfa", Proc(L"export://SfCfa@sfcf.dll"));
  std::wstring upperA = WideExtractFileName(a);
  for (wchar_t& c : upperA) c = towupper(c);
  const std::wstring bName = UniqueName(L"cfb");
  folder.AddNamed(bName, L"<property name=\"conflict\" value=\"" + upperA + L"\"/>" +
                             L"<property name=\"conflict\" value=\"" + bName + L"\"/>" + Proc(L"export://SfCfb@sfcf.dll"));
  const std::wstring b = folder.Folder() + bName;
  TSymbolFiles files(folder.Folder());
  FileOf(files, a)->Load();
  FileOf(files, b)->Load();
  EXPECT_FALSE(FileOf(files, a)->IsLoaded());
  EXPECT_TRUE(FileOf(files, b)->IsLoaded());
  EXPECT_TRUE(WideFileExists(LocalCopy(a)));  // unloaded with saving
  // Unloading B does not bring A back.
  FileOf(files, b)->Unload(false);
  EXPECT_FALSE(FileOf(files, a)->IsLoaded());
}

TEST(SymbolFileSettings, LoadedFilesAreSavedByPathAndLoadedAgain) {
  SymbolFolder folder;
  const std::wstring a = folder.Add(L"sta", Proc(L"export://SfStA@sfst.dll"));
  const std::wstring b = folder.Add(L"stb", Proc(L"export://SfStB@sfst.dll"));
  const std::wstring c = folder.Add(L"stc", Proc(L"export://SfStC@sfst.dll"));
  const std::wstring bad = folder.Add(L"stx", Proc(L"nope://SfStX@sfst.dll"));
  TTempDir dir;
  const std::wstring settings = dir.File(L"settings.xml");
  {
    TSymbolFiles files(folder.Folder());
    FileOf(files, a)->Load();
    FileOf(files, c)->Load();
    TXMLFiler filer(L"calderwisp:properties");
    filer.RegisterObject(&files, L"symbolfiles");
    filer.SaveToFile(settings);
    for (const std::wstring& p : {a, c}) FileOf(files, p)->Unload(false);
  }
  const std::string saved = ReadTextFile(settings);
  EXPECT_NE(std::string::npos, saved.find(WideToUtf8(a)));
  EXPECT_EQ(std::string::npos, saved.find(WideToUtf8(b)));

  // A path no longer in the folder is skipped; one listed twice is loaded once; one that fails
  // is reported, the files after it load, and it stays listed.
  std::string edited = saved;
  const std::string extra = "<property name=\"symbolfile\" value=\"" + WideToUtf8(folder.Folder()) + "gone.xml\"/>" +
                            "<property name=\"symbolfile\" value=\"" + WideToUtf8(bad) + "\"/>" +
                            "<property name=\"symbolfile\" value=\"" + WideToUtf8(a) + "\"/>";
  edited.insert(edited.find("<property name=\"symbolfile\""), extra);
  WriteTextFile(settings, edited);
  TSymbolFiles files(folder.Folder());
  TXMLFiler filer(L"calderwisp:properties");
  filer.RegisterObject(&files, L"symbolfiles");
  const std::vector<std::wstring> lines = SplitLines(MessageOf([&] { filer.LoadFromFile(settings); }));
  ASSERT_LE(2u, lines.size());
  EXPECT_EQ(L"Error loading symbols from \"" + bad, lines[1]);
  EXPECT_TRUE(FileOf(files, a)->IsLoaded());
  EXPECT_FALSE(FileOf(files, b)->IsLoaded());
  EXPECT_TRUE(FileOf(files, c)->IsLoaded());
  filer.SaveToFile(settings);
  EXPECT_NE(std::string::npos, ReadTextFile(settings).find(WideToUtf8(bad)));
  for (const std::wstring& p : {a, c}) FileOf(files, p)->Unload(false);

  WriteTextFile(settings, SymbolsDocument(L"<property name=\"symbolfiles\" value=\"x\"/>", L"calderwisp:properties"));
  EXPECT_NE(std::wstring::npos, MessageOf([&] { filer.LoadFromFile(settings); }).find(L"\"symbolfiles\" is not a property set"));
}

TEST(SymbolFiles, LoadingWaitsForTheDebuggingThreadsReadLock) {
  SymbolFolder folder;
  const std::wstring path = folder.Add(L"lock", L"");
  TSymbolFiles files(folder.Folder());
  // Runs action while another thread holds the read lock for a while; true when the
  // action could finish only after the lock was let go.
  auto waitsForReader = [](const std::function<void()>& action) {
    std::atomic<bool> holding{false}, released{false};
    std::thread reader([&] {
      TReadLock lock(*GetDebugRWSync());
      holding = true;
      ScaledSleep(300);
      released = true;
    });
    EXPECT_TRUE(PollUntil([&] { return holding.load(); }, 5000, 1));
    action();
    const bool waited = released;
    JoinWithin(reader, 5000, "the reader");
    return waited;
  };
  EXPECT_TRUE(waitsForReader([&] { FileOf(files, path)->Load(); }));
  EXPECT_TRUE(waitsForReader([&] { FileOf(files, path)->Unload(true); }));
}

// What a message handled while the first request waits for the lock asks for (a click on the
// Symbols tab's box, a timer): true = Load, false = Unload.
std::vector<bool> GAskedDuringWait;
TSymbolFile* GAskedFile = nullptr;
std::vector<std::wstring> GAskedErrors;

LRESULT CALLBACK AskingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_APP) return DefWindowProcW(window, message, wParam, lParam);
  for (bool load : GAskedDuringWait) {
    try {
      if (load)
        GAskedFile->Load();
      else
        GAskedFile->Unload(true);
    } catch (const Exception& e) {
      GAskedErrors.push_back(e.Message());
    }
  }
  return 0;
}

TEST(SymbolFiles, RequestsMadeWhileALoadOrUnloadWaitsForTheLockEndAsTheLastOneAsked) {
  SymbolFolder folder;
  const std::wstring path = folder.Add(L"ask", Proc(L"export://SfAsk@sfask.dll"));
  TSymbolFiles files(folder.Folder());
  TSymbolFile* file = FileOf(files, path);
  HWND window = MessageOnlyWindow(L"CwSymbolFileAsking", &AskingProc);
  ASSERT_NE(window, nullptr);
  struct TCase {
    bool FirstLoads;
    std::vector<bool> Asked;
    bool EndsLoaded;
  };
  const TCase cases[] = {
      {false, {true, false}, false},         // uncheck; check, uncheck
      {false, {true}, true},                 // uncheck; check
      {true, {false, true, false}, false},   // check; uncheck, check, uncheck
      {true, {false, true}, true},           // check; uncheck, check
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "first " << (c.FirstLoads ? "Load" : "Unload") << ", then " << c.Asked.size());
    if (c.FirstLoads == file->IsLoaded()) {
      if (file->IsLoaded()) file->Unload(false); else file->Load();
    }
    GAskedFile = file;
    GAskedDuringWait = c.Asked;
    GAskedErrors.clear();
    std::atomic<bool> holding{false};
    std::thread reader([&] {
      TReadLock lock(*GetDebugRWSync());  // a slow call handler of the debugging thread
      holding = true;
      ScaledSleep(300);
    });
    ASSERT_TRUE(PollUntil([&] { return holding.load(); }, 5000, 1));
    PostMessageW(window, WM_APP, 0, 0);
    if (c.FirstLoads) file->Load(); else file->Unload(true);
    EXPECT_TRUE(JoinWithin(reader, 5000, "the reader"));
    EXPECT_TRUE(GAskedErrors.empty()) << WideToUtf8(GAskedErrors.empty() ? L"" : GAskedErrors[0]);
    EXPECT_EQ(c.EndsLoaded, file->IsLoaded());
    EXPECT_EQ(c.EndsLoaded, FindProc(file, L"export://SfAsk@sfask.dll") != nullptr);
    TProcDef* inSet = nullptr;
    EXPECT_EQ(c.EndsLoaded, GetLoadedProcDefs()->Find(L"export://SfAsk@sfask.dll", inSet));
  }
  GAskedDuringWait.clear();
  if (file->IsLoaded()) file->Unload(false);
  DestroyWindow(window);
}

// --- Plug-ins, through a host of the test's own ---------------------------------------------

class TTestPlugin : public TInterfacedObject, public IAppPlugin {
public:
  explicit TTestPlugin(std::vector<std::wstring>& log, std::wstring name) : FLog(log), FName(std::move(name)) {}
  ~TTestPlugin() override { FLog.push_back(L"free " + FName); }
  CW_IUNKNOWN_COUNTED
  void* GetInterface(REFIID iid) override {
    if (IsEqualIID(iid, __uuidof(IAppPlugin)) || IsEqualIID(iid, IID_IUnknown)) return static_cast<IAppPlugin*>(this);
    return TInterfacedObject::GetInterface(iid);
  }
  void STDMETHODCALLTYPE Connect(IAppObject*) override {}

private:
  std::vector<std::wstring>& FLog;
  std::wstring FName;
};

// Class id texts "good-<name>" load, anything else fails; records loads and unloads.
class TTestHost : public TSymbolFilePluginHost {
public:
  TTestHost() { FPrevious = SetSymbolFilePluginHost(this); }
  ~TTestHost() { SetSymbolFilePluginHost(FPrevious); }
  void LoadPlugin(const std::wstring& id, TComPtr<IAppPlugin>& plugin) override {
    if (OnLoad) OnLoad();
    if (id.rfind(L"good-", 0) != 0) throw Exception(L"Error loading plugin " + id + L"\r\nrefused");
    Log.push_back(L"load " + id);
    plugin = TComPtr<IAppPlugin>(new TTestPlugin(Log, id));
    Held.push_back(plugin);
  }
  void UnloadPlugin(IAppPlugin* plugin) override {
    for (auto it = Held.begin(); it != Held.end(); ++it)
      if (it->Get() == plugin) {
        Log.push_back(L"unload");
        Held.erase(it);
        return;
      }
  }
  std::vector<std::wstring> Log;
  std::vector<TComPtr<IAppPlugin>> Held;
  std::function<void()> OnLoad;  // runs where the plug-in would be created and connected

private:
  TSymbolFilePluginHost* FPrevious;
};

std::wstring Plugin(const std::wstring& id) { return L"<property name=\"plugin\" value=\"" + id + L"\"/>"; }

TEST(SymbolFilePlugins, PluginsLoadInDocumentOrderAndGoInReverse) {
  TTestHost host;
  SymbolFolder folder;
  const std::wstring path = folder.Add(L"plg", Plugin(L"good-1") + Proc(L"export://SfPlg@sfplg.dll") + Plugin(L"good-2"));
  TSymbolFiles files(folder.Folder());
  TSymbolFile* file = FileOf(files, path);
  file->Load();
  EXPECT_EQ(2, file->GetPlugins()->Count());
  file->Unload(false);
  const std::vector<std::wstring> expected = {L"load good-1", L"load good-2", L"unload", L"free good-2",
                                              L"unload", L"free good-1"};
  EXPECT_EQ(expected, host.Log);
}

// Creating and connecting a plug-in is foreign code: the debugging thread must not wait for it.
TEST(SymbolFilePlugins, APluginIsMadeAndConnectedWithoutTheEnginesLock) {
  TTestHost host;
  std::vector<bool> readerGotIn;
  host.OnLoad = [&] {
    std::thread reader([] { TReadLock lock(*GetDebugRWSync()); });
    readerGotIn.push_back(JoinWithin(reader, 2000, "a reader of the engine's lock"));
  };
  SymbolFolder folder;
  const std::wstring path = folder.Add(L"pll", Plugin(L"good-1") + Proc(L"export://SfPll@sfpll.dll"));
  TSymbolFiles files(folder.Folder());
  TSymbolFile* file = FileOf(files, path);
  file->Load();
  EXPECT_TRUE(file->IsLoaded());
  EXPECT_EQ(std::vector<bool>{true}, readerGotIn);
  file->Unload(false);
}

TEST(SymbolFilePlugins, AFailingPluginUnloadsTheFileAndReleasesThoseLoadedBefore) {
  TTestHost host;
  SymbolFolder folder;
  const std::wstring path =
      folder.Add(L"plf", Plugin(L"good-1") + Plugin(L"{bad}") + Proc(L"export://SfPlf@sfplf.dll") + Plugin(L"good-3"));
  TSymbolFiles files(folder.Folder());
  TSymbolFile* file = FileOf(files, path);
  const std::vector<std::wstring> lines = SplitLines(MessageOf([&] { file->Load(); }));
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ(L"Error loading plugin {bad}", lines[2]);
  EXPECT_EQ(L"refused", lines[3]);
  EXPECT_FALSE(file->IsLoaded());
  EXPECT_TRUE(host.Held.empty());
  const std::vector<std::wstring> expected = {L"load good-1", L"load good-3", L"unload", L"free good-3",
                                              L"unload", L"free good-1"};
  EXPECT_EQ(expected, host.Log);
}

TEST(SymbolFilePlugins, TheRegistrysEndUnloadsWithSavingAndReleasesThePluginsEvenWithoutAHost) {
  SymbolFolder folder;
  const std::wstring path = folder.Add(L"end", Plugin(L"good-1") + Proc(L"export://SfEnd@sfend.dll"));
  std::vector<std::wstring> log;
  {
    TTestHost host;
    {
      TSymbolFiles files(folder.Folder());
      FileOf(files, path)->Load();
      FindProc(FileOf(files, path), L"export://SfEnd@sfend.dll")->SetActive(false);
    }
    log = host.Log;
    EXPECT_TRUE(host.Held.empty());
  }
  const std::vector<std::wstring> expected = {L"load good-1", L"unload", L"free good-1"};
  EXPECT_EQ(expected, log);
  EXPECT_NE(std::string::npos, ReadTextFile(LocalCopy(path)).find("\"False\""));

  // At shutdown the host may be gone first: the file still lets its plug-in go.
  TTestHost host;
  auto files = std::make_unique<TSymbolFiles>(folder.Folder());
  FileOf(*files, path)->Load();
  host.Held.clear();  // the host's own references are gone, as its destructor drops them
  TSymbolFilePluginHost* previous = SetSymbolFilePluginHost(nullptr);
  files.reset();
  SetSymbolFilePluginHost(previous);
  EXPECT_EQ(L"free good-1", host.Log.back());
}

TEST(SymbolFilePlugins, WithoutAHostAPluginEntryFails) {
  TSymbolFilePluginHost* previous = SetSymbolFilePluginHost(nullptr);
  SymbolFolder folder;
  const std::wstring path = folder.Add(L"plh", Plugin(L"{00000000-0000-0000-0000-000000000001}"));
  TSymbolFiles files(folder.Folder());
  const std::vector<std::wstring> lines = SplitLines(MessageOf([&] { FileOf(files, path)->Load(); }));
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ(L"Error loading plugin {00000000-0000-0000-0000-000000000001}", lines[2]);
  EXPECT_FALSE(FileOf(files, path)->IsLoaded());
  SetSymbolFilePluginHost(previous);
}

}  // namespace
