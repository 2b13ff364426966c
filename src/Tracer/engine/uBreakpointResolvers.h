// The breakpoint URL protocols: "export" (a DLL's exported function, optionally with a
// "minversion"), "rva" (an offset into a module) and "com" (a method of a COM interface,
// handed on as an "rva" URL of the module that implements it).
#pragma once
#include <windows.h>
#include <unknwn.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Tracer/engine/uProcDefs.h"

// Base of the resolvers that look their module up in the debuggee.
class TDllBreakpointResolver : public TBreakpointResolver {
public:
  using TBreakpointResolver::TBreakpointResolver;
  // The debuggee's module whose name matches this resolver's module name.
  bool FindDebuggeeModule(TDebuggeeModuleInfo& module);
};

// What the export protocol keeps of one image: read from the debuggee's copy, never by
// loading the DLL into this process.
class TPeExportTable;

// "export://Function@dll[?minversion=x.y]"
class TExportBreakpointProtocol : public TBreakpointResolverProtocol {
public:
  TExportBreakpointProtocol() : TBreakpointResolverProtocol(L"export") {}
  // The export table of the debuggee's image at module, read again only when the image
  // differs from the one read before under that file name.
  std::shared_ptr<const TPeExportTable> GetExportTable(const TDebuggeeModuleInfo& module);
  // The file's version text, read once per file (again only when its image changed).
  std::wstring GetVersionText(const TDebuggeeModuleInfo& module, const TPeExportTable& image);

protected:
  TBreakpointResolverModule* CreateModule(const std::wstring& name) override;

private:
  struct TVersionEntry {
    uint32_t ImageStamp = 0;
    uint32_t ImageSize = 0;
    std::wstring Text;
  };
  std::map<std::wstring, std::shared_ptr<const TPeExportTable>> FTables;  // upper-case file name
  std::map<std::wstring, TVersionEntry> FVersions;
};

class TExportResolverModule : public TBreakpointResolverModule {
public:
  using TBreakpointResolverModule::TBreakpointResolverModule;
  // The file whose exports were read last (empty before the first resolve).
  const std::wstring& LocalFileName() const { return FLocalFileName; }
  // The exports of the debuggee's copy of the module, read when the file or image changed.
  std::shared_ptr<const TPeExportTable> GetExports(const TDebuggeeModuleInfo& module);

protected:
  void CreateResolver(const std::wstring& url, TBreakpointResolverPtr& resolver) override;

private:
  std::wstring FLocalFileName;
  std::shared_ptr<const TPeExportTable> FExports;
};

class TExportBreakpointResolver : public TDllBreakpointResolver {
public:
  TExportBreakpointResolver(const std::wstring& url, TBreakpointResolverModule* module);
  uint32_t STDMETHODCALLTYPE Resolve() override;
  const std::wstring& ExportName() const { return FExportName; }

private:
  std::wstring FExportName;
};

// "rva://0x%8.8x@module"
class TRVABreakpointProtocol : public TBreakpointResolverProtocol {
public:
  TRVABreakpointProtocol() : TBreakpointResolverProtocol(L"rva") {}

protected:
  TBreakpointResolverModule* CreateModule(const std::wstring& name) override;
};

class TRVAResolverModule : public TBreakpointResolverModule {
public:
  using TBreakpointResolverModule::TBreakpointResolverModule;

protected:
  void CreateResolver(const std::wstring& url, TBreakpointResolverPtr& resolver) override;
};

class TRVABreakpointResolver : public TDllBreakpointResolver {
public:
  TRVABreakpointResolver(const std::wstring& url, TBreakpointResolverModule* module);
  uint32_t STDMETHODCALLTYPE Resolve() override;
  uint32_t RVAOffset() const { return FRVAOffset; }

private:
  uint32_t FRVAOffset;
};

// "com://offset@{class id}/{interface id}": the offset is a byte offset into the
// interface's method table (12: the first method after those of IUnknown).
class TCOMBreakpointProtocol : public TBreakpointResolverProtocol {
public:
  TCOMBreakpointProtocol() : TBreakpointResolverProtocol(L"com") {}

protected:
  TBreakpointResolverModule* CreateModule(const std::wstring& name) override;
};

class TCOMResolverModule : public TBreakpointResolverModule {
public:
  // Raises for a name that is not "{class id}/{interface id}"; a class that cannot be
  // created leaves ComObject nil.
  TCOMResolverModule(const std::wstring& name, TBreakpointResolverProtocol* protocol);
  IUnknown* ComObject() const { return FComObject.Get(); }

protected:
  // An "rva" resolver for the module of this process that holds the method's code.
  void CreateResolver(const std::wstring& url, TBreakpointResolverPtr& resolver) override;

private:
  TComPtr<IUnknown> FComObject;
};

// "{class id}/{interface id}" split into its two GUIDs.
void SplitComModuleName(const std::wstring& name, GUID& clsId, GUID& iid);
