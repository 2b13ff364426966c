#include "Tracer/engine/uSymbolFiles.h"

#include <atomic>
#include <functional>
#include <vector>

#include "Tracer/engine/uProcDefs.h"
#include "Tracer/foundation/uConfig.h"
#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uRaise.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "lib/dgn/windows/DgnHandle.h"

static const wchar_t* const UnitPath = L"src/Tracer/uSymbolFiles";

static const wchar_t* const SSymbolsRoot = L"calderwisp:symbols";
static const wchar_t* const SPlugin = L"plugin";
static const wchar_t* const SProc = L"proc";
static const wchar_t* const SConflict = L"conflict";
static const wchar_t* const SSymbolFile = L"symbolfile";
static const wchar_t* const SURL = L"URL";
static const wchar_t* const SResult = L"Result";

namespace {


bool SameFileName(const std::wstring& a, const std::wstring& b) {
  return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), static_cast<int>(a.size()), b.c_str(),
                        static_cast<int>(b.size())) == CSTR_EQUAL;
}


std::atomic<TSymbolFilePluginHost*> PluginHost{nullptr};

}  // namespace

TSymbolFilePluginHost* SetSymbolFilePluginHost(TSymbolFilePluginHost* Host) { return PluginHost.exchange(Host); }

TSymbolFilePluginHost* GetSymbolFilePluginHost() { return PluginHost.load(); }

// --- Plug-ins of one file --------------------------------------------------------------------

TFilePlugins::~TFilePlugins() {
  // Last loaded first. A host that is gone (shutdown) released its references already.
  for (int i = FItems.Count() - 1; i >= 0; --i) {
    try {
      TComPtr<IAppPlugin> plugin = FItems.Get(i);
      if (TSymbolFilePluginHost* host = GetSymbolFilePluginHost()) host->UnloadPlugin(plugin.Get());
      FItems.RemoveLast(plugin.Get());
    } catch (...) {
      // A destructor lets nothing out; the list's own reference goes with it below.
    }
  }
  FItems.Clear();
}

// --- Loaders ---------------------------------------------------------------------------------

void TSymbolFilePluginLoader::LoadFromNode(IXMLDOMNode* Node) {
  ExpectPropertyNode(Node, SPlugin);
  TOleVariant value;
  ReadPropertyValue(Node, VT_BSTR, value);
  FFile->AddPendingPlugin(value.AsBSTRText());
}

void TSymbolFileProcLoader::LoadFromNode(IXMLDOMNode* Node) {
  TOleVariant value;
  ReadProperty(Node, SURL, VT_BSTR, value, true);
  const std::wstring url = value.AsBSTRText();
  std::wstring key, query;
  SplitAtQuery(url, key, query);
  TProcDefs* procs = FFile->GetProcs();
  TProcDef* def = nullptr;
  // A key with the hash of another is not that function: adding it raises the duplicate error.
  if (procs->Find(key, def) && def->GetURL() == key) {
    def->LoadFromXML(Node);
    return;
  }
  if (UpdateOnly) return;
  ReadProperty(Node, SResult, VT_BSTR, value, false);
  const std::wstring kind = value.IsEmpty() ? std::wstring() : value.AsBSTRText();
  const TDefClass* found = nullptr;
  const TProcDefClass* cls = nullptr;
  if (GetProcTypeDefs()->FindType(kind, found)) cls = dynamic_cast<const TProcDefClass*>(found);
  if (cls == nullptr) RaiseUnknownToken(kind);
  std::unique_ptr<TProcDef> created = cls->Create(url);
  created->LoadFromXML(Node);
  procs->Add(created.get());
  created.release();
}

void TSymbolFilesConflictLoader::LoadFromNode(IXMLDOMNode* Node) {
  CheckPropertyNode(Node);
  TOleVariant value;
  ReadPropertyValue(Node, VT_BSTR, value);
  const std::wstring name = value.AsBSTRText();
  std::vector<TSymbolFile*> conflicting;
  TSymbolFilesEnumerator e(FFiles, UnitPath, __LINE__);
  while (e.MoveNext()) {
    TSymbolFile* file = e.GetCurrent();
    // The file being read cannot conflict with itself.
    if (file != FFiles->GetLoadingFile() && SameFileName(WideExtractFileName(file->GetFileName()), name))
      conflicting.push_back(file);
  }
  for (TSymbolFile* file : conflicting) file->Unload(true);
}

void TSymbolFileLocalSaver::SaveToNode(IXMLDOMNode* Node) {
  TXMLNode parent;
  if (FAILED(Node->get_parentNode(parent.Put())) || !parent)
    throw EFilerException(L"Error writing XML");
  TXMLNode current(Node);
  bool first = true;
  TProcDefsEnumerator e(FProcs, UnitPath, __LINE__);
  while (e.MoveNext()) {
    if (!first) {
      TXMLNode next;
      AddPropertySet(parent.Get(), SProc, next);
      current = next;
    }
    e.GetCurrent()->SaveToXML(current.Get());
    first = false;
  }
}

// --- One file --------------------------------------------------------------------------------

TSymbolFile::TSymbolFile(TSymbolFiles* Owner, const std::wstring& FileName) : FOwner(Owner), FFileName(FileName) {}

TSymbolFile::~TSymbolFile() {
  try {
    Unload(true);
  } catch (...) {
    // The override copy could not be written: the functions and plug-ins go all the same.
    try {
      Unload(false);
    } catch (...) {
    }
  }
}

std::wstring TSymbolFile::GetName() const { return WideChangeFileExt(WideExtractFileName(FFileName), L""); }

std::wstring TSymbolFile::GetLocalFileName() const {
  const std::wstring name = WideExtractFileName(FFileName);
  CW_ASSERT(!name.empty(), UnitPath, __LINE__);
  // The per-user folder holds the settings file too: a symbol file of that name must not
  // overwrite it, nor read it as its override.
  if (SameFileName(name, WideExtractFileName(GetConfigFileName()))) return std::wstring();
  return GetUserDataFolder() + L"\\" + name;
}

void TSymbolFile::AddPendingPlugin(const std::wstring& ClassId) { FPendingPlugins.push_back({ClassId, FReading}); }

void TSymbolFile::Load() {
  if (FBusy) {
    FRequest = TRequest::Load;
    return;
  }
  CW_ASSERT(FProcs == nullptr, UnitPath, __LINE__);
  CW_ASSERT(FPlugins == nullptr, UnitPath, __LINE__);
  WhileBusy([this] { DoLoad(); });
}

void TSymbolFile::Unload(bool SaveLocalCopy) {
  if (FBusy) {
    FRequest = SaveLocalCopy ? TRequest::UnloadAndSave : TRequest::Unload;
    return;
  }
  if (FProcs == nullptr) return;
  WhileBusy([this, SaveLocalCopy] { DoUnload(SaveLocalCopy); });
}

void TSymbolFile::WhileBusy(const std::function<void()>& Step) {
  FBusy = true;
  try {
    Step();
  } catch (...) {
    FBusy = false;
    FRequest = TRequest::None;
    throw;
  }
  FBusy = false;
  FinishRequests();
}

void TSymbolFile::FinishRequests() {
  const TRequest request = FRequest;
  FRequest = TRequest::None;
  if (request == TRequest::Load && !IsLoaded()) Load();
  if ((request == TRequest::Unload || request == TRequest::UnloadAndSave) && IsLoaded())
    Unload(request == TRequest::UnloadAndSave);
}

void TSymbolFile::DoLoad() {
  try {
    {
      // The debugging thread reads the loaded set: it sees the file whole or not at all.
      TWriteLock lock(*GetDebugRWSync());
      if (FProcs != nullptr) return;  // looked at after the wait
      TScopeExit mark([owner = FOwner, previous = FOwner->FLoadingFile] { owner->FLoadingFile = previous; });
      FOwner->FLoadingFile = this;
      FPendingPlugins.clear();
      try {
        FProcs = std::make_unique<TProcDefs>(true);
        FPlugins = std::make_unique<TFilePlugins>();
        TXMLFiler filer(SSymbolsRoot);
        TSymbolFilePluginLoader pluginLoader(this);
        TSymbolFileProcLoader procLoader(this);
        filer.RegisterObject(FOwner->GetConflictLoader(), SConflict);
        filer.RegisterObject(&pluginLoader, SPlugin);
        filer.RegisterObject(&procLoader, SProc);
        FReading = FFileName;
        filer.LoadFromFile(FFileName);
        const std::wstring local = GetLocalFileName();
        if (!local.empty() && WideFileExists(local)) {
          procLoader.UpdateOnly = true;
          FReading = local;
          filer.LoadFromFile(local);
        }
      } catch (...) {
        DoUnload(false);  // still under the lock
        throw;
      }
    }
    LoadPendingPlugins();
    FKeptListed = false;
  } catch (...) {
    FPendingPlugins.clear();
    DoUnload(false);
    try {
      throw;
    } catch (Exception& e) {
      PrependExceptionLine(e, L"Error loading symbols from \"" + FFileName);
      throw;
    }
  }
}

void TSymbolFile::LoadPendingPlugins() {
  const std::vector<TPendingPlugin> pending = std::move(FPendingPlugins);
  FPendingPlugins.clear();
  // As the filer does for entries: every plug-in is tried, the failures are raised together.
  std::wstring readFrom, failures;
  for (const TPendingPlugin& p : pending) {
    try {
      TSymbolFilePluginHost* host = GetSymbolFilePluginHost();
      if (host == nullptr) throw Exception(L"Error loading plugin " + p.ClassId + L"\r\nNo plug-in host");
      TComPtr<IAppPlugin> plugin;
      host->LoadPlugin(p.ClassId, plugin);
      try {
        FPlugins->Add(plugin.Get());
      } catch (...) {
        host->UnloadPlugin(plugin.Get());
        throw;
      }
    } catch (const Exception& e) {
      if (failures.empty()) readFrom = p.ReadFrom;
      failures += L"\r\n" + e.Message();
    }
  }
  if (!failures.empty()) throw EFilerException(L"Error loading " + readFrom + failures);
}

void TSymbolFile::DoUnload(bool SaveLocalCopy) {
  std::unique_ptr<TFilePlugins> plugins;
  {
    TWriteLock lock(*GetDebugRWSync());
    // Looked at after the wait: the file may have gone meanwhile.
    if (FProcs != nullptr) {
      if (SaveLocalCopy && FProcs->GetCount() > 0) SaveLocal();
      FProcs.reset();
    }
    plugins = std::move(FPlugins);
  }
  // Plug-in code runs outside the lock.
  plugins.reset();
}

void TSymbolFile::SaveLocal() {
  const std::wstring local = GetLocalFileName();
  if (local.empty()) return;
  TXMLFiler filer(SSymbolsRoot);
  TSymbolFileLocalSaver saver(FProcs.get());
  filer.RegisterObject(&saver, SProc);
  filer.SaveToFile(local);
}

// --- The registry ----------------------------------------------------------------------------

TSymbolFiles::TSymbolFiles() : TSymbolFiles(ProgramFolder() + L"\\symbols\\") {}

TSymbolFiles::TSymbolFiles(const std::wstring& Folder) : TQStringBucketList(true), FFolder(Folder) { Scan(); }

TSymbolFiles::~TSymbolFiles() {
  // Files go while the registry is still whole: unloading one may look at the others.
  std::vector<uint32_t> keys;
  {
    TSymbolFilesEnumerator e(this, UnitPath, __LINE__);
    while (e.MoveNext()) keys.push_back(WideStringHash(e.GetCurrent()->GetFileName()));
  }
  for (uint32_t key : keys) Remove(key);
}

void TSymbolFiles::Scan() {
  WIN32_FIND_DATAW data;
  TDgnFindHandle find(FindFirstFileW((FFolder + L"*.xml").c_str(), &data));
  if (!find) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NO_MORE_FILES) return;
    Win32CheckApi(false, "FindFirstFileW");
  }
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const std::wstring path = FFolder + data.cFileName;
    // Two paths of one hash: the first found is listed.
    if (StringExists(path)) continue;
    auto file = std::make_unique<TSymbolFile>(this, path);
    AddString(path, file.get());
    file.release();
  } while (FindNextFileW(find.Get(), &data));
}

bool TSymbolFiles::FindFile(const std::wstring& Path, TSymbolFile*& File) const {
  TObject* found = nullptr;
  if (!FindString(Path, found)) return false;
  CW_ASSERT(found != nullptr, UnitPath, __LINE__);
  auto* file = static_cast<TSymbolFile*>(found);
  if (file->GetFileName() != Path) return false;
  File = file;
  return true;
}

void TSymbolFiles::LoadFromNode(IXMLDOMNode* Node) {
  CheckPropertySetNode(Node);
  // Every listed file is tried; the failures are raised together, and a file that failed is
  // saved as listed again, so the user's list outlives a plug-in or library that is missing
  // for a while.
  std::wstring failures;
  for (TXMLNode child = FirstChild(Node); child; child = NextSibling(child.Get())) {
    if (!IsPropertyNode(child.Get())) continue;
    std::wstring name;
    ReadPropertyName(child.Get(), name);
    if (name != SSymbolFile) continue;
    TOleVariant value;
    ReadPropertyValue(child.Get(), VT_BSTR, value);
    TSymbolFile* file = nullptr;
    // A path listed twice, or loaded meanwhile, is loaded once.
    if (!FindFile(value.AsBSTRText(), file) || file->IsLoaded()) continue;
    try {
      file->Load();
    } catch (Exception& e) {
      file->FKeptListed = true;
      failures += (failures.empty() ? L"" : L"\r\n") + e.Message();
    }
  }
  // Not a filer error: the settings file itself is sound.
  if (!failures.empty()) throw Exception(failures);
}

void TSymbolFiles::SaveToNode(IXMLDOMNode* Node) {
  ForEach(
      [](void* info, uint32_t, void* data, bool&) {
        auto* file = static_cast<TSymbolFile*>(static_cast<TObject*>(data));
        if (file->IsLoaded() || file->IsKeptListed())
          WriteStringProperty(static_cast<IXMLDOMNode*>(info), SSymbolFile, file->GetFileName());
      },
      Node);
}

static TObject* SymbolFilesInstance = nullptr;

TSymbolFiles* GetSymbolFiles() {
  static const TSymbolFiles::TFactory factory;
  return GetServiceInstance<TSymbolFiles>(factory, SymbolFilesInstance);
}
