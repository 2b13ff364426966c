// Which addresses are our own code, where they are in the sources (from the packed debug
// information a module carries in its "DGNDEBUG" section or in a ".ddbg" file beside it), and
// the one-line location text of a stack entry.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lib/dgn/common/DgnBinDebugScanner.h"
#include "lib/dgn/common/DgnMemoryStream.h"
#include "lib/rtl/SysUtils.h"

// One module whose addresses count as code.
class TDgnModuleInfo : public TObject {
public:
  uint32_t Size = 0;
  uintptr_t EndAddr = 0;    // last byte of the image
  uintptr_t StartAddr = 0;  // the module handle
};

// The modules of our own module registry, built at once (one per registered module).
class TDgnModuleInfoList : public TObject {
public:
  TDgnModuleInfoList();
  int Count() const { return static_cast<int>(FItems.size()); }
  TDgnModuleInfo* Items(int index) const { return FItems[index].get(); }
  TDgnModuleInfo* FindModule(const void* addr) const;
  bool IsOwnModuleAddress(const void* addr) const { return FindModule(addr) != nullptr; }

private:
  std::vector<std::unique_ptr<TDgnModuleInfo>> FItems;
};

// The modules that registered themselves: the one that holds this library's code (each module
// links its own copy, so a program and a plug-in library each list themselves).
std::vector<HMODULE> DgnRegisteredModules();

class TDgnDebugInfoSource;

struct TDgnLocationInfo {
  const void* Address = nullptr;
  std::wstring UnitName;
  std::wstring ProcedureName;
  uint32_t OffsetFromProcName = 0;
  uint32_t LineNumber = 0;
  int32_t OffsetFromLineNumber = 0;
  std::wstring SourceName;
  TDgnDebugInfoSource* DebugInfo = nullptr;
  std::wstring BinaryFileName;
};

// Debug information of one module.
class TDgnDebugInfoSource : public TObject {
public:
  explicit TDgnDebugInfoSource(HMODULE module);
  // Offset from the start of the first section, as the tables count addresses.
  virtual uint32_t RelativeAddress(const void* addr) const;
  virtual bool Open() = 0;
  virtual bool LocationOf(const void* addr, TDgnLocationInfo& info) = 0;
  HMODULE Module() const { return FModule; }
  const std::wstring& FileName() const { return FFileName; }
  // False once the module was unloaded and another image took its place.
  bool StillLoaded() const;

protected:
  HMODULE FModule;

private:
  std::wstring FFileName;
  uint32_t FImageSize;
  uint32_t FTimeStamp;
};

// Packed tables from the module's "DGNDEBUG" section or from "<module>.ddbg".
class TDgnDebugInfoBinary : public TDgnDebugInfoSource {
public:
  using TDgnDebugInfoSource::TDgnDebugInfoSource;
  bool Open() override;
  bool LocationOf(const void* addr, TDgnLocationInfo& info) override;

private:
  std::unique_ptr<TCustomMemoryStream> FStream;  // declared first: freed after the scanner
  std::unique_ptr<TDgnBinDebugScanner> FScanner;
};

using TDgnDebugInfoSourceFactory = TDgnDebugInfoSource* (*)(HMODULE module);

// One source per module that has debug information, in order of first lookup; lives as long
// as the process (until the library's shutdown).
class TDgnDebugInfoList : public TObject {
public:
  TDgnDebugInfoSource* SourceForModule(HMODULE module);

private:
  TDgnDebugInfoSource* CreateSource(HMODULE module);
  std::vector<std::unique_ptr<TDgnDebugInfoSource>> FItems;
};

// Allocation base of the committed region that holds the address; nullptr when not committed.
HMODULE ModuleBaseOfAddress(const void* addr);

bool LookupLocationInfo(const void* addr, TDgnLocationInfo& info);

// "[%p] unit.procedure (Line %u, "source" + n) + $offset", or "[%p]" with the relative address
// for an address without debug information.
std::wstring FormatLocationInfo(const void* addr, bool includeModuleName = false,
                                bool includeAddressOffset = false,
                                bool includeProcLineOffset = false,
                                bool includeRelativeAddress = false);

// Frees the debug-information list (at the library's shutdown; a later lookup builds it anew).
void DgnDebugInfoShutdown();
