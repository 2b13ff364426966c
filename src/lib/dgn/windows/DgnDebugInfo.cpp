#include "lib/dgn/windows/DgnDebugInfo.h"

#include "lib/dgn/windows/DgnCriticalSection.h"
#include "lib/dgn/windows/DgnFileMapping.h"
#include "lib/dgn/windows/DgnPeImage.h"
#include "lib/dgn/windows/DgnSysUtils.h"

namespace {

constexpr uint32_t FirstSectionOffset = 0x1000;
const wchar_t DebugSectionName[] = L"DGNDEBUG";
const wchar_t DebugFileExtension[] = L".ddbg";

TDgnDebugInfoList* GDebugInfoList = nullptr;

// Serialises every lookup: the list, the scanners' caches and the creation of sources.
TDgnCriticalSection& LookupLock() {
  static TDgnCriticalSection lock;
  return lock;
}

TDgnDebugInfoSource* NewBinarySource(HMODULE module) { return new TDgnDebugInfoBinary(module); }

// The kinds of sources tried for a module, in order.
const std::vector<TDgnDebugInfoSourceFactory>& SourceKinds() {
  static const std::vector<TDgnDebugInfoSourceFactory> kinds{&NewBinarySource};
  return kinds;
}

// Only a mapped image with a file name is asked for debug information: any other allocation
// base (heap, stack) has no headers to trust and no file to look beside.
bool IsImageWithPath(HMODULE module) {
  MEMORY_BASIC_INFORMATION mbi;
  if (!module || VirtualQuery(module, &mbi, sizeof(mbi)) != sizeof(mbi) || mbi.Type != MEM_IMAGE)
    return false;
  return !ModuleFilePath(module).empty();
}

uint32_t ImageTimeStamp(HMODULE module) {
  IMAGE_NT_HEADERS32* headers = PeNtHeaders32(module);
  return headers ? headers->FileHeader.TimeDateStamp : 0;
}

std::wstring FileNameOnly(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/:");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

class TLookupLock : public TDgnLock {
public:
  TLookupLock() : TDgnLock(LookupLock()) {}
};

}  // namespace

// ---- modules ----------------------------------------------------------------------------

std::vector<HMODULE> DgnRegisteredModules() {
  return {RuntimeModuleHandle()};
}

TDgnModuleInfoList::TDgnModuleInfoList() {
  for (HMODULE module : DgnRegisteredModules()) {
    uint32_t size = module ? PeImageSize(module) : 0;
    if (size == 0)
      continue;
    auto info = std::make_unique<TDgnModuleInfo>();
    info->Size = size;
    info->StartAddr = reinterpret_cast<uintptr_t>(module);
    info->EndAddr = info->StartAddr + size - 1;
    FItems.push_back(std::move(info));
  }
}

TDgnModuleInfo* TDgnModuleInfoList::FindModule(const void* addr) const {
  uintptr_t a = reinterpret_cast<uintptr_t>(addr);
  for (const auto& m : FItems)
    if (a >= m->StartAddr && a <= m->EndAddr)
      return m.get();
  return nullptr;
}

HMODULE ModuleBaseOfAddress(const void* addr) {
  MEMORY_BASIC_INFORMATION mbi;
  if (VirtualQuery(addr, &mbi, sizeof(mbi)) != sizeof(mbi) || mbi.State != MEM_COMMIT)
    return nullptr;
  return static_cast<HMODULE>(mbi.AllocationBase);
}

// ---- sources ----------------------------------------------------------------------------

uint32_t TDgnDebugInfoSource::RelativeAddress(const void* addr) const {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(addr) -
                               reinterpret_cast<uintptr_t>(FModule) - FirstSectionOffset);
}

TDgnDebugInfoSource::TDgnDebugInfoSource(HMODULE module)
    : FModule(module), FFileName(ModuleFilePath(module)), FImageSize(PeImageSize(module)),
      FTimeStamp(ImageTimeStamp(module)) {}

bool TDgnDebugInfoSource::StillLoaded() const {
  // Another image at the same address differs in its headers or at least in its path (a copy
  // of the same file elsewhere may have other debug information beside it, or none).
  MEMORY_BASIC_INFORMATION mbi;
  return VirtualQuery(FModule, &mbi, sizeof(mbi)) == sizeof(mbi) && mbi.Type == MEM_IMAGE &&
         mbi.AllocationBase == FModule && PeImageSize(FModule) == FImageSize &&
         ImageTimeStamp(FModule) == FTimeStamp && ModuleFilePath(FModule) == FFileName;
}

bool TDgnDebugInfoBinary::Open() {
  bool fromFile = false;
  if (PeFindSection(FModule, DebugSectionName)) {
    FStream = std::make_unique<TDgnPeSectionStream>(FModule, DebugSectionName);
  } else {
    std::wstring file = RemoveExtension(FileName()) + DebugFileExtension;
    if (!FileIsPresent(file))
      return false;
    FStream = std::make_unique<TDgnFileMappingStream>(file, dgnOpenRead | dgnShareDenyWrite);
    fromFile = true;
  }
  FScanner = std::make_unique<TDgnBinDebugScanner>(FStream->Memory(),
                                                   static_cast<uint32_t>(FStream->GetSize()));
  if (!FScanner->ValidFormat())
    return false;
  if (!fromFile)
    return true;
  // A file left beside a module of another name (a renamed copy) describes other code.
  std::wstring expected = FileNameWithoutExtension(FileName());
  std::wstring stored = FScanner->ModuleName();
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, stored.c_str(),
                        static_cast<int>(stored.size()), expected.c_str(),
                        static_cast<int>(expected.size())) == CSTR_EQUAL;
}

bool TDgnDebugInfoBinary::LocationOf(const void* addr, TDgnLocationInfo& info) {
  uint32_t r = RelativeAddress(addr);
  info.UnitName = FScanner->UnitNameFromAddr(r);
  if (info.UnitName.empty())
    return false;
  info.Address = addr;
  info.ProcedureName = FScanner->ProcNameFromAddr(r, info.OffsetFromProcName);
  uint32_t lineOffset;
  info.LineNumber = FScanner->LineNumberFromAddr(r, lineOffset);
  info.OffsetFromLineNumber = static_cast<int32_t>(lineOffset);
  info.SourceName = FScanner->SourceNameFromAddr(r);
  info.DebugInfo = this;
  info.BinaryFileName = FileName();
  return true;
}

TDgnDebugInfoSource* TDgnDebugInfoList::SourceForModule(HMODULE module) {
  if (!module)
    return nullptr;
  for (auto it = FItems.begin(); it != FItems.end(); ++it) {
    if ((*it)->Module() != module)
      continue;
    if ((*it)->StillLoaded())
      return it->get();
    // The module was unloaded and another image loaded at its address: the old source would
    // read the old image's section (now unmapped) or describe other code.
    FItems.erase(it);
    break;
  }
  TDgnDebugInfoSource* source = CreateSource(module);
  if (source)
    FItems.emplace_back(source);
  return source;
}

TDgnDebugInfoSource* TDgnDebugInfoList::CreateSource(HMODULE module) {
  if (!IsImageWithPath(module))
    return nullptr;
  for (TDgnDebugInfoSourceFactory kind : SourceKinds()) {
    std::unique_ptr<TDgnDebugInfoSource> source(kind(module));
    if (source->Open())
      return source.release();
  }
  return nullptr;
}

// ---- lookup and text ----------------------------------------------------------------------

bool LookupLocationInfo(const void* addr, TDgnLocationInfo& info) {
  info = TDgnLocationInfo();
  try {
    TLookupLock lock;
    if (!GDebugInfoList)
      GDebugInfoList = new TDgnDebugInfoList;
    TDgnDebugInfoSource* source = GDebugInfoList->SourceForModule(ModuleBaseOfAddress(addr));
    return source && source->LocationOf(addr, info);
  } catch (...) {
    info = TDgnLocationInfo();
    return false;
  }
}

std::wstring FormatLocationInfo(const void* addr, bool includeModuleName,
                                bool includeAddressOffset, bool includeProcLineOffset,
                                bool includeRelativeAddress) {
  uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(addr));
  TDgnLocationInfo info;
  std::wstring text;
  if (LookupLocationInfo(addr, info)) {
    std::wstring proc = info.ProcedureName;
    std::wstring unitPrefix = info.UnitName + L".";
    if (proc.compare(0, unitPrefix.size(), unitPrefix) == 0)
      proc.erase(0, unitPrefix.size());
    if (info.LineNumber > 0) {
      std::wstring procLine, offset;
      if (includeProcLineOffset) {
        TDgnLocationInfo start;
        const void* procStart = static_cast<const uint8_t*>(addr) - info.OffsetFromProcName;
        if (LookupLocationInfo(procStart, start) && start.LineNumber > 0)
          procLine = WideFormat(L" + %d", static_cast<int>(info.LineNumber - start.LineNumber));
      }
      if (includeAddressOffset) {
        if (info.OffsetFromLineNumber < 0)
          offset = WideFormat(L" - $%X", static_cast<unsigned>(-info.OffsetFromLineNumber));
        else
          offset = WideFormat(L" + $%X", static_cast<unsigned>(info.OffsetFromLineNumber));
      }
      text = WideFormat(L"[%08X] %ls.%ls (Line %u, \"%ls\"%ls)%ls", address,
                        info.UnitName.c_str(), proc.c_str(), info.LineNumber,
                        info.SourceName.c_str(), procLine.c_str(), offset.c_str());
    } else {
      std::wstring offset;
      if (includeAddressOffset)
        offset = WideFormat(L" + $%X", info.OffsetFromProcName);
      text = WideFormat(L"[%08X] %ls.%ls%ls", address, info.UnitName.c_str(), proc.c_str(),
                        offset.c_str());
    }
  } else {
    text = WideFormat(L"[%08X]", address);
    includeRelativeAddress = true;
  }
  HMODULE module = ModuleBaseOfAddress(addr);
  if (includeRelativeAddress) {
    uint32_t rel = address - static_cast<uint32_t>(reinterpret_cast<uintptr_t>(module)) -
                   FirstSectionOffset;
    text = WideFormat(L"(%08X) ", rel) + text;
  }
  if (includeModuleName) {
    std::wstring name = info.BinaryFileName;
    if (name.empty() && IsImageWithPath(module))
      name = ModuleFilePath(module);
    std::wstring inserted = WideFormat(L"{%-12ls}", FileNameOnly(name).c_str());
    text.insert(std::min<size_t>(10, text.size()), inserted);
  }
  return text;
}

// ---- shutdown ---------------------------------------------------------------------------

void DgnDebugInfoShutdown() {
  TLookupLock lock;
  delete GDebugInfoList;
  GDebugInfoList = nullptr;
}
