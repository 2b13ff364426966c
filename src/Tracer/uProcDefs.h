// Breakpoint URLs to debuggee addresses: the registry of resolvers (protocol by URL scheme,
// module by URL path, resolver by whole URL), and the view of the traced process that the
// resolvers read.
#pragma once
#include <windows.h>
#include <unknwn.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Tracer/uCollections.h"
#include "Tracer/uSingletons.h"
#include "lib/rtl/SysUtils.h"

// Resolve answers one of these two, or the address of the function's first instruction.
constexpr uint32_t ResolveNotLoaded = 0;     // the module is not in the debuggee (yet)
constexpr uint32_t ResolveUnresolvable = 1;  // loaded, but no address can be given

// Turns one URL into an address in the debuggee. Used only inside the program; Resolve
// raises exceptions and runs on the debugging thread.
struct IBreakpointResolver : public IUnknown {
  virtual uint32_t STDMETHODCALLTYPE Resolve() = 0;
};
__CRT_UUID_DECL(IBreakpointResolver, 0x1202E7F2, 0x37DE, 0x4389, 0xA4, 0xCD, 0x30, 0xAB, 0x39, 0x08, 0xDB, 0x39)
using TBreakpointResolverPtr = Microsoft::WRL::ComPtr<IBreakpointResolver>;

// --- The traced process as the resolvers see it --------------------------------------------

struct TDebuggeeModuleInfo {
  uint32_t BaseAddress = 0;
  std::wstring FileName;  // full path
};

// Modules by name and memory of the process being traced.
class TResolverDebuggee {
public:
  virtual ~TResolverDebuggee() = default;
  // The first module whose name matches (DebuggeeModuleNameMatches); false when none.
  virtual bool FindModuleByName(const std::wstring& name, TDebuggeeModuleInfo& module) = 0;
  // Raises when the memory cannot be read.
  virtual void ReadMemory(uint32_t address, void* buffer, int32_t count) = 0;
};

// A name with "\" is compared with the whole path, any other name with the file name, both
// without regard to letter case; a module whose file name is not known yet never matches.
bool DebuggeeModuleNameMatches(const std::wstring& name, const std::wstring& fileName);

// The debugging thread hands its process to the resolvers for the time of a trace (nullptr
// at its end). Resolving asserts that it runs on the thread that set it.
void SetResolverDebuggee(TResolverDebuggee* debuggee);
TResolverDebuggee* GetResolverDebuggee();

// --- Registry ------------------------------------------------------------------------------

class TBreakpointResolverModule;
class TBreakpointResolverProtocol;

// Reference-counted: every definition holds one reference, definitions with the same URL
// share the object. The last release takes it out of its module and frees empty modules.
class TBreakpointResolver : public TInterfacedObject, public IBreakpointResolver {
public:
  TBreakpointResolver(const std::wstring& url, TBreakpointResolverModule* module);
  ~TBreakpointResolver() override;
  CW_IUNKNOWN_COUNTED
  void* GetInterface(REFIID iid) override;

  const std::wstring& URL() const { return FURL; }
  // The query's key=value items, for protocols that read it.
  const std::vector<std::wstring>& Params() const { return FParams; }
  TBreakpointResolverModule* Module() const { return FModule; }
  // Value of the query item key; empty when absent.
  std::wstring ParamValue(const std::wstring& key) const;

protected:
  std::vector<std::wstring> FParams;

private:
  friend class TBreakpointResolverModule;
  std::wstring FURL;
  TBreakpointResolverModule* FModule;
  bool FRegistered = false;
};

// Resolvers of one URL path; they are owned by their references, not by the module.
class TBreakpointResolverModule : public TObject {
public:
  TBreakpointResolverModule(const std::wstring& name, TBreakpointResolverProtocol* protocol);
  // Resolvers that outlive the registry forget it.
  ~TBreakpointResolverModule() override;
  // The resolver registered under url (a further reference), else a new one.
  void GetResolver(const std::wstring& url, TBreakpointResolverPtr& resolver);
  const std::wstring& Name() const { return FName; }
  TBreakpointResolverProtocol* Protocol() const { return FProtocol; }
  bool HasResolvers() { return !FResolvers.IsEmpty(); }

protected:
  // Resolver stays nil when none can be made.
  virtual void CreateResolver(const std::wstring& url, TBreakpointResolverPtr& resolver) = 0;

private:
  friend class TBreakpointResolver;
  void Unregister(TBreakpointResolver* resolver);
  std::wstring FName;
  TBreakpointResolverProtocol* FProtocol;
  TQStringBucketList FResolvers;  // URL -> resolver, not owning
};

class TBreakpointResolverProtocol : public TObject {
public:
  explicit TBreakpointResolverProtocol(std::wstring name) : FName(std::move(name)), FModules(true) {}
  // The module registered under name, else a new one.
  TBreakpointResolverModule* GetModule(const std::wstring& name);
  const std::wstring& Name() const { return FName; }
  // Frees every module without resolvers.
  void PurgeEmptyModules();
  int ModuleCount() { return FModules.GetCount(); }

protected:
  virtual TBreakpointResolverModule* CreateModule(const std::wstring& name) = 0;

private:
  std::wstring FName;
  TQStringBucketList FModules;  // name -> module, owning
};

// Scheme -> protocol, owning; made with the "export", "rva" and "com" protocols.
class TBreakpointResolverProtocols : public TQStringBucketList {
public:
  TBreakpointResolverProtocols();
  void AddProtocol(TBreakpointResolverProtocol* protocol);
  // Raises "Unknown protocol \"%s\"" for a scheme that is not registered.
  TBreakpointResolverProtocol* FindProtocol(const std::wstring& scheme);
  void PurgeEmptyModules();
  using TFactory = TServiceFactory<TBreakpointResolverProtocols, TSimpleObjectFactory>;
};

TBreakpointResolverProtocols* GetBreakpointResolverProtocols();
TBreakpointResolverProtocol* FindProtocol(const std::wstring& scheme);
// Nothing once the registry is gone (at shutdown).
void PurgeEmptyModules();
// The whole chain for a URL: protocol by scheme, module by path, resolver by URL. A URL
// for which no resolver can be made is an assertion failure whose text is the URL.
void GetBreakpointResolver(const std::wstring& url, TBreakpointResolverPtr& resolver);
