#include "Tracer/engine/uBreakpointResolvers.h"

#include <psapi.h>

#include <algorithm>
#include <cstring>

#include "Tracer/foundation/uConfig.h"
#include "Tracer/foundation/uRaise.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"

static const wchar_t* const UnitPath = L"src/Tracer/uBreakpointResolvers";
static const std::wstring MinVersionKey = L"minversion";

// --- Export tables of images in the debuggee -------------------------------------------------

// Headers, sections and exports of one 32-bit image, read from the debuggee's memory (so the
// traced DLL's start-up code never runs here, and what is read is what the debuggee runs).
class TPeExportTable {
public:
  struct TStamp {
    uint32_t TimeDateStamp = 0;
    uint32_t SizeOfImage = 0;
    uint32_t CheckSum = 0;
    uint32_t ExportRVA = 0;
    uint32_t ExportSize = 0;
    bool operator==(const TStamp&) const = default;
  };
  enum class TFound { NotFound, Code, NotCode, Forward };

  // False when the memory at base does not hold the headers of a 32-bit image.
  static bool ReadStamp(TResolverDebuggee& debuggee, uint32_t base, TStamp& stamp);
  // nullptr when the memory at base does not hold a 32-bit image; raises when it cannot be read.
  static std::shared_ptr<TPeExportTable> Read(TResolverDebuggee& debuggee, uint32_t base);

  const TStamp& Stamp() const { return FStamp; }
  TFound FindName(const std::string& name, uint32_t& rva, std::string& forward) const;
  TFound FindOrdinal(uint32_t ordinal, uint32_t& rva, std::string& forward) const;

private:
  TFound Classify(uint32_t index, uint32_t& rva, std::string& forward) const;
  bool IsCode(uint32_t rva) const;

  struct TSection {
    uint32_t VirtualAddress;
    uint32_t Size;
    uint32_t Characteristics;
  };
  TStamp FStamp;
  std::vector<TSection> FSections;
  uint32_t FOrdinalBase = 0;
  std::vector<uint32_t> FFunctions;           // by ordinal - base
  std::map<std::string, uint32_t> FNames;     // name -> index into FFunctions
  std::map<uint32_t, std::string> FForwards;  // index -> "module.name"
};

namespace {

struct THeaders {
  uint32_t NtOffset = 0;
  IMAGE_NT_HEADERS32 Nt{};
};

bool ReadHeaders(TResolverDebuggee& debuggee, uint32_t base, THeaders& h) {
  IMAGE_DOS_HEADER dos{};
  debuggee.ReadMemory(base, &dos, sizeof(dos));
  if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0 || dos.e_lfanew > 0x100000) return false;
  h.NtOffset = static_cast<uint32_t>(dos.e_lfanew);
  debuggee.ReadMemory(base + h.NtOffset, &h.Nt, sizeof(h.Nt));
  return h.Nt.Signature == IMAGE_NT_SIGNATURE && h.Nt.OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC &&
         h.Nt.OptionalHeader.SizeOfImage != 0;
}

TPeExportTable::TStamp StampOf(const THeaders& h) {
  TPeExportTable::TStamp s;
  s.TimeDateStamp = h.Nt.FileHeader.TimeDateStamp;
  s.SizeOfImage = h.Nt.OptionalHeader.SizeOfImage;
  s.CheckSum = h.Nt.OptionalHeader.CheckSum;
  if (h.Nt.OptionalHeader.NumberOfRvaAndSizes > IMAGE_DIRECTORY_ENTRY_EXPORT) {
    s.ExportRVA = h.Nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress;
    s.ExportSize = h.Nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].Size;
  }
  return s;
}

// Reads ranges of one image, from a block read at once where it covers them.
class TImageReader {
public:
  TImageReader(TResolverDebuggee& debuggee, uint32_t base, uint32_t sizeOfImage)
      : FDebuggee(debuggee), FBase(base), FSize(sizeOfImage) {}

  bool InImage(uint32_t rva, uint32_t count) const { return rva < FSize && count <= FSize - rva; }

  void LoadBlock(uint32_t rva, uint32_t count) {
    if (!InImage(rva, count) || count == 0) return;
    FBlock.resize(count);
    FDebuggee.ReadMemory(FBase + rva, FBlock.data(), static_cast<int32_t>(count));
    FBlockRVA = rva;
  }

  // False when the range lies outside the image.
  bool Read(uint32_t rva, void* buffer, uint32_t count) {
    if (!InImage(rva, count)) return false;
    if (rva >= FBlockRVA && rva - FBlockRVA <= FBlock.size() && count <= FBlock.size() - (rva - FBlockRVA)) {
      std::memcpy(buffer, FBlock.data() + (rva - FBlockRVA), count);
    } else if (count != 0) {
      FDebuggee.ReadMemory(FBase + rva, buffer, static_cast<int32_t>(count));
    }
    return true;
  }

  // A zero-terminated 8-bit string of at most 4096 characters; false when it does not end
  // inside the image.
  bool ReadString(uint32_t rva, std::string& s) {
    s.clear();
    char chunk[256];
    while (s.size() < 4096) {
      uint32_t n = sizeof(chunk);
      if (rva >= FSize) return false;
      n = std::min(n, FSize - rva);
      if (!Read(rva, chunk, n)) return false;
      const void* zero = std::memchr(chunk, 0, n);
      if (zero) {
        s.append(chunk, static_cast<const char*>(zero) - chunk);
        return true;
      }
      s.append(chunk, n);
      rva += n;
    }
    return false;
  }

private:
  TResolverDebuggee& FDebuggee;
  uint32_t FBase;
  uint32_t FSize;
  std::vector<uint8_t> FBlock;
  uint32_t FBlockRVA = 0;
};

}  // namespace

bool TPeExportTable::ReadStamp(TResolverDebuggee& debuggee, uint32_t base, TStamp& stamp) {
  THeaders h;
  if (!ReadHeaders(debuggee, base, h)) return false;
  stamp = StampOf(h);
  return true;
}

std::shared_ptr<TPeExportTable> TPeExportTable::Read(TResolverDebuggee& debuggee, uint32_t base) {
  THeaders h;
  if (!ReadHeaders(debuggee, base, h)) return nullptr;
  auto table = std::make_shared<TPeExportTable>();
  table->FStamp = StampOf(h);
  TImageReader image(debuggee, base, table->FStamp.SizeOfImage);

  const uint32_t sectionCount = std::min<uint32_t>(h.Nt.FileHeader.NumberOfSections, 96);
  std::vector<IMAGE_SECTION_HEADER> sections(sectionCount);
  const uint32_t sectionRVA = h.NtOffset + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) + h.Nt.FileHeader.SizeOfOptionalHeader;
  if (sectionCount && !image.Read(sectionRVA, sections.data(), sectionCount * sizeof(IMAGE_SECTION_HEADER))) return nullptr;
  for (const auto& s : sections)
    table->FSections.push_back({s.VirtualAddress, std::max<uint32_t>(s.Misc.VirtualSize, s.SizeOfRawData), s.Characteristics});

  const TStamp& st = table->FStamp;
  if (st.ExportRVA == 0 || st.ExportSize < sizeof(IMAGE_EXPORT_DIRECTORY)) return table;  // exports nothing
  // Directory, tables, names and forwarder texts usually lie in this one range.
  image.LoadBlock(st.ExportRVA, std::min<uint32_t>(st.ExportSize, 16 * 1024 * 1024));
  IMAGE_EXPORT_DIRECTORY dir{};
  if (!image.Read(st.ExportRVA, &dir, sizeof(dir))) return nullptr;
  const uint32_t functionCount = std::min<uint32_t>(dir.NumberOfFunctions, 0x10000);
  const uint32_t nameCount = std::min<uint32_t>(dir.NumberOfNames, functionCount);
  table->FOrdinalBase = dir.Base;
  table->FFunctions.resize(functionCount);
  if (functionCount && !image.Read(dir.AddressOfFunctions, table->FFunctions.data(), functionCount * 4)) return nullptr;
  std::vector<uint32_t> names(nameCount);
  std::vector<uint16_t> ordinals(nameCount);
  if (nameCount && (!image.Read(dir.AddressOfNames, names.data(), nameCount * 4) ||
                    !image.Read(dir.AddressOfNameOrdinals, ordinals.data(), nameCount * 2)))
    return nullptr;
  std::string name;
  for (uint32_t i = 0; i < nameCount; ++i)
    if (ordinals[i] < functionCount && image.ReadString(names[i], name)) table->FNames.emplace(name, ordinals[i]);
  for (uint32_t i = 0; i < functionCount; ++i) {
    const uint32_t rva = table->FFunctions[i];
    if (rva >= st.ExportRVA && rva - st.ExportRVA < st.ExportSize && image.ReadString(rva, name))
      table->FForwards.emplace(i, name);
  }
  return table;
}

bool TPeExportTable::IsCode(uint32_t rva) const {
  for (const TSection& s : FSections)
    if (rva >= s.VirtualAddress && rva - s.VirtualAddress < s.Size)
      return (s.Characteristics & (IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_CNT_CODE)) != 0;
  return false;
}

TPeExportTable::TFound TPeExportTable::Classify(uint32_t index, uint32_t& rva, std::string& forward) const {
  rva = FFunctions[index];
  if (rva == 0) return TFound::NotFound;
  auto f = FForwards.find(index);
  if (f != FForwards.end()) {
    forward = f->second;
    return TFound::Forward;
  }
  // A breakpoint byte is only ever written into code of this very image.
  return rva < FStamp.SizeOfImage && IsCode(rva) ? TFound::Code : TFound::NotCode;
}

TPeExportTable::TFound TPeExportTable::FindName(const std::string& name, uint32_t& rva, std::string& forward) const {
  auto it = FNames.find(name);
  if (it == FNames.end()) return TFound::NotFound;
  return Classify(it->second, rva, forward);
}

TPeExportTable::TFound TPeExportTable::FindOrdinal(uint32_t ordinal, uint32_t& rva, std::string& forward) const {
  if (ordinal < FOrdinalBase || ordinal - FOrdinalBase >= FFunctions.size()) return TFound::NotFound;
  return Classify(ordinal - FOrdinalBase, rva, forward);
}

// --- Resolvers of debuggee modules ------------------------------------------------------------

namespace {

// What a resolve pass has found out about the debuggee, for every definition of the pass: a
// whole library's definitions then cost one look-up of their module and one read of its
// headers, not one each.
struct TPassCache {
  uint32_t Pass = 0;
  std::map<std::wstring, std::pair<bool, TDebuggeeModuleInfo>> Modules;  // by name as asked
  std::map<uint32_t, std::pair<bool, TPeExportTable::TStamp>> Stamps;    // by image base

  static TPassCache* ForThisPass() {
    thread_local TPassCache cache;
    const uint32_t pass = CurrentResolvePass();
    if (pass == 0) return nullptr;
    if (cache.Pass != pass) {
      cache.Modules.clear();
      cache.Stamps.clear();
      cache.Pass = pass;
    }
    return &cache;
  }
};

bool FindModule(const std::wstring& name, TDebuggeeModuleInfo& module) {
  TPassCache* cache = TPassCache::ForThisPass();
  if (cache == nullptr) return GetResolverDebuggee()->FindModuleByName(name, module);
  auto it = cache->Modules.find(name);
  if (it == cache->Modules.end()) {
    TDebuggeeModuleInfo found;
    const bool ok = GetResolverDebuggee()->FindModuleByName(name, found);
    it = cache->Modules.emplace(name, std::make_pair(ok, found)).first;
  }
  if (it->second.first) module = it->second.second;
  return it->second.first;
}

bool ReadStamp(uint32_t base, TPeExportTable::TStamp& stamp) {
  TPassCache* cache = TPassCache::ForThisPass();
  if (cache == nullptr) return TPeExportTable::ReadStamp(*GetResolverDebuggee(), base, stamp);
  auto it = cache->Stamps.find(base);
  if (it == cache->Stamps.end()) {
    TPeExportTable::TStamp read;
    const bool ok = TPeExportTable::ReadStamp(*GetResolverDebuggee(), base, read);
    it = cache->Stamps.emplace(base, std::make_pair(ok, read)).first;
  }
  if (it->second.first) stamp = it->second.second;
  return it->second.first;
}

}  // namespace

bool TDllBreakpointResolver::FindDebuggeeModule(TDebuggeeModuleInfo& module) {
  CW_ASSERT(Module() != nullptr, UnitPath, __LINE__);
  return FindModule(Module()->Name(), module);
}

static std::wstring UpperFileName(const std::wstring& fileName) {
  std::wstring s = fileName;
  if (!s.empty()) CharUpperBuffW(s.data(), static_cast<DWORD>(s.size()));
  return s;
}

std::shared_ptr<const TPeExportTable> TExportBreakpointProtocol::GetExportTable(const TDebuggeeModuleInfo& module) {
  TResolverDebuggee* debuggee = GetResolverDebuggee();
  TPeExportTable::TStamp stamp;
  if (!ReadStamp(module.BaseAddress, stamp)) return nullptr;
  const std::wstring key = UpperFileName(module.FileName);
  auto it = FTables.find(key);
  if (it != FTables.end() && it->second->Stamp() == stamp) return it->second;
  std::shared_ptr<const TPeExportTable> table = TPeExportTable::Read(*debuggee, module.BaseAddress);
  if (table) FTables[key] = table;
  return table;
}

std::wstring TExportBreakpointProtocol::GetVersionText(const TDebuggeeModuleInfo& module, const TPeExportTable& image) {
  const std::wstring key = UpperFileName(module.FileName);
  auto it = FVersions.find(key);
  if (it != FVersions.end() && it->second.ImageStamp == image.Stamp().TimeDateStamp &&
      it->second.ImageSize == image.Stamp().SizeOfImage)
    return it->second.Text;
  TVersionEntry entry;
  entry.ImageStamp = image.Stamp().TimeDateStamp;
  entry.ImageSize = image.Stamp().SizeOfImage;
  entry.Text = GetFileVersionText(module.FileName);
  FVersions[key] = entry;
  return entry.Text;
}

TBreakpointResolverModule* TExportBreakpointProtocol::CreateModule(const std::wstring& name) {
  return new TExportResolverModule(name, this);
}

std::shared_ptr<const TPeExportTable> TExportResolverModule::GetExports(const TDebuggeeModuleInfo& module) {
  auto* protocol = static_cast<TExportBreakpointProtocol*>(Protocol());
  std::shared_ptr<const TPeExportTable> table = protocol->GetExportTable(module);
  FExports = table;
  if (table) FLocalFileName = module.FileName;
  return table;
}

void TExportResolverModule::CreateResolver(const std::wstring& url, TBreakpointResolverPtr& resolver) {
  resolver = TBreakpointResolverPtr(new TExportBreakpointResolver(url, this));
}

TExportBreakpointResolver::TExportBreakpointResolver(const std::wstring& url, TBreakpointResolverModule* module)
    : TDllBreakpointResolver(url, module) {
  std::wstring scheme, path;
  ParseURLParams(url, scheme, path, FParams, FExportName);
}

[[noreturn]] static void RaiseExportNotFound() {
  // The same report as the system's lookup of a missing export.
  SetLastError(ERROR_PROC_NOT_FOUND);
  Win32CheckApi(false, "GetProcAddress");
  throw Exception(L"GetProcAddress");  // not reached
}

uint32_t STDMETHODCALLTYPE TExportBreakpointResolver::Resolve() {
  TDebuggeeModuleInfo module;
  if (!FindDebuggeeModule(module)) return ResolveNotLoaded;
  auto* exportModule = static_cast<TExportResolverModule*>(Module());
  std::shared_ptr<const TPeExportTable> table = exportModule->GetExports(module);
  if (!table) return ResolveUnresolvable;

  const std::wstring minVersion = ParamValue(MinVersionKey);
  if (!minVersion.empty()) {
    auto* protocol = static_cast<TExportBreakpointProtocol*>(exportModule->Protocol());
    if (CompareVersionStrings(protocol->GetVersionText(module, *table), minVersion) < 0) return ResolveUnresolvable;
  }

  uint32_t rva = 0;
  std::string forward;
  TPeExportTable::TFound found = table->FindName(WideToAnsi(FExportName), rva, forward);
  if (found == TPeExportTable::TFound::NotFound) RaiseExportNotFound();
  // A forwarded export lives in the module it names: the breakpoint goes there, or nowhere.
  auto* protocol = static_cast<TExportBreakpointProtocol*>(exportModule->Protocol());
  for (int hops = 0; found == TPeExportTable::TFound::Forward; ++hops) {
    const size_t dot = forward.rfind('.');
    if (hops >= 8 || dot == std::string::npos || dot == 0 || dot + 1 == forward.size()) return ResolveUnresolvable;
    std::wstring targetName = Utf8ToWide(forward.substr(0, dot));
    if (targetName.find(L'.') == std::wstring::npos) targetName += L".dll";
    if (!FindModule(targetName, module)) return ResolveNotLoaded;
    table = protocol->GetExportTable(module);
    if (!table) return ResolveUnresolvable;
    const std::string target = forward.substr(dot + 1);
    if (target[0] == '#') {
      int32_t ordinal = 0;
      if (!WideTryStrToInt(Utf8ToWide(target.substr(1)), ordinal) || ordinal < 0) return ResolveUnresolvable;
      found = table->FindOrdinal(static_cast<uint32_t>(ordinal), rva, forward);
    } else {
      found = table->FindName(target, rva, forward);
    }
  }
  if (found != TPeExportTable::TFound::Code) return ResolveUnresolvable;
  return module.BaseAddress + rva;
}

// --- rva ---------------------------------------------------------------------------------------

TBreakpointResolverModule* TRVABreakpointProtocol::CreateModule(const std::wstring& name) {
  return new TRVAResolverModule(name, this);
}

void TRVAResolverModule::CreateResolver(const std::wstring& url, TBreakpointResolverPtr& resolver) {
  resolver = TBreakpointResolverPtr(new TRVABreakpointResolver(url, this));
}

TRVABreakpointResolver::TRVABreakpointResolver(const std::wstring& url, TBreakpointResolverModule* module)
    : TDllBreakpointResolver(url, module) {
  std::wstring scheme, path, query, userPart;
  ParseURL(url, scheme, path, query, userPart);
  FRVAOffset = static_cast<uint32_t>(WideStrToInt(userPart));
}

uint32_t STDMETHODCALLTYPE TRVABreakpointResolver::Resolve() {
  TDebuggeeModuleInfo module;
  if (!FindDebuggeeModule(module)) return ResolveNotLoaded;
  // An offset past the image would put a breakpoint byte into whatever lies beyond it.
  TPeExportTable::TStamp stamp;
  if (ReadStamp(module.BaseAddress, stamp) && FRVAOffset >= stamp.SizeOfImage)
    return ResolveUnresolvable;
  return module.BaseAddress + FRVAOffset;
}

// --- com ---------------------------------------------------------------------------------------

TBreakpointResolverModule* TCOMBreakpointProtocol::CreateModule(const std::wstring& name) {
  return new TCOMResolverModule(name, this);
}

void SplitComModuleName(const std::wstring& name, GUID& clsId, GUID& iid) {
  const size_t slash = name.find(L'/');
  if (slash == std::wstring::npos) throw Exception(WideFormat(L"\"%ls\" is not in ClsId/IId format", name.c_str()));
  clsId = WideStringToGUID(name.substr(0, slash));
  iid = WideStringToGUID(name.substr(slash + 1));
}

TCOMResolverModule::TCOMResolverModule(const std::wstring& name, TBreakpointResolverProtocol* protocol)
    : TBreakpointResolverModule(name, protocol) {
  GUID clsId, iid;
  SplitComModuleName(name, clsId, iid);
  // A class that cannot be created is not reported here: no resolver can be made for it.
  if (FAILED(CoCreateInstance(clsId, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IUnknown,
                              reinterpret_cast<void**>(FComObject.Put()))))
    FComObject.Reset();
}

[[noreturn]] static void RaiseOleError(HRESULT hr) {
  std::wstring text = SysErrorMessage(static_cast<uint32_t>(hr));
  if (text.empty()) text = WideFormat(L"OLE error %08X", static_cast<unsigned>(hr));
  throw EOSError(text, static_cast<uint32_t>(hr));
}

void TCOMResolverModule::CreateResolver(const std::wstring& url, TBreakpointResolverPtr& resolver) {
  resolver.Reset();
  if (!FComObject) return;
  std::wstring scheme, path, query, userPart;
  ParseURL(url, scheme, path, query, userPart);
  GUID clsId, iid;
  SplitComModuleName(path, clsId, iid);
  TComPtr<IUnknown> intf;
  const HRESULT hr = FComObject->QueryInterface(iid, reinterpret_cast<void**>(intf.Put()));
  if (FAILED(hr)) RaiseOleError(hr);

  const int32_t offset = WideStrToInt(userPart);
  // Read through the system, so a wrong offset raises instead of faulting.
  uint32_t table = 0, entry = 0;
  SIZE_T done = 0;
  Win32CheckApi(ReadProcessMemory(GetCurrentProcess(), intf.Get(), &table, sizeof(table), &done) != 0, "ReadProcessMemory");
  Win32CheckApi(ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(table + offset), &entry,
                                  sizeof(entry), &done) != 0,
                "ReadProcessMemory");

  HMODULE modules[1000];
  DWORD needed = 0;
  Win32CheckApi(K32EnumProcessModules(GetCurrentProcess(), modules, sizeof(modules), &needed) != 0, "EnumProcessModules");
  const DWORD count = std::min<DWORD>(needed / sizeof(HMODULE), 1000);
  HMODULE found = nullptr;
  uint32_t base = 0;
  for (DWORD i = 0; i < count && !found; ++i) {
    MODULEINFO info{};
    if (!K32GetModuleInformation(GetCurrentProcess(), modules[i], &info, sizeof(info))) continue;
    const uint32_t b = reinterpret_cast<uint32_t>(info.lpBaseOfDll);
    if (b < entry && entry < b + info.SizeOfImage) {
      found = modules[i];
      base = b;
    }
  }
  CW_ASSERT(found != nullptr, UnitPath, __LINE__);
  wchar_t fileName[261];
  const DWORD n = GetModuleFileNameW(found, fileName, 261);
  Win32CheckApi(n != 0, "GetModuleFileNameW");
  const std::wstring file(fileName, n);
  const std::wstring rvaURL = WideFormat(L"rva://0x%08X@%ls", entry - base, file.c_str());
  FindProtocol(L"rva")->GetModule(file)->GetResolver(rvaURL, resolver);
}
