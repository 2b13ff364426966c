// Procedure definitions and the loaded set that turns them into breakpoints; breakpoint
// URLs to debuggee addresses: the registry of resolvers (protocol by URL scheme, module by
// URL path, resolver by whole URL), and the view of the traced process that they read.
#pragma once
#include <windows.h>
#include <unknwn.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Tracer/engine/uCallHandlers.h"
#include "Tracer/foundation/uCollections.h"
#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uPersistent.h"
#include "Tracer/foundation/uSingletons.h"
#include "Tracer/engine/uSystemObjects.h"
#include "Tracer/foundation/uXMLFiler.h"
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
using TBreakpointResolverPtr = TComPtr<IBreakpointResolver>;

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

// The resolve pass under way on this thread, numbered from 1; 0 outside a pass. The
// debuggee's modules do not change within a pass, so a resolver may keep what it read of
// them (headers, export tables) until the pass ends, and read it once for all definitions.
uint32_t CurrentResolvePass();
class TResolvePassScope {
public:
  TResolvePassScope();
  ~TResolvePassScope();
  TResolvePassScope(const TResolvePassScope&) = delete;
  TResolvePassScope& operator=(const TResolvePassScope&) = delete;

private:
  uint32_t FOuter;
};

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

// --- Procedure definitions -----------------------------------------------------------------

class TTraceBreakpoint;
class TBreakpointList;
// Breakpoint lists handed over at the end of a trace that was given up on.
using TKeptBreakpoints = std::vector<std::unique_ptr<TBreakpointList>>;

enum class TProcDefBinding { Unbound, Bound, Unresolvable };

// One traced function as its symbol file describes it. Created by the symbol-file loader
// and owned by its file's list; from construction to destruction it is in the loaded set.
// Active and Visible are read under the read lock of TDebugRWSync and written under its
// write lock; switching Active on a bound definition writes or restores its byte at once.
class TProcDef : public TPersistent, public IXMLNodeLoader, public IXMLNodeSaver {
public:
  // Raises "URL cannot be empty", "Unknown protocol ..." or the resolver's error, and the
  // loaded set's duplicate error for a URL that is loaded already.
  explicit TProcDef(const std::wstring& URL);
  ~TProcDef() override;
  TProcDef(const TProcDef&) = delete;
  TProcDef& operator=(const TProcDef&) = delete;

  static const TPropTable& ClassPropTable();
  const TPropTable& GetPropTable() const override { return ClassPropTable(); }

  // The URL up to its first "?": the key of every list of definitions.
  const std::wstring& GetURL() const { return FURL; }
  // The whole URL, query included, as the resolver was made for it.
  const std::wstring& GetFullURL() const { return FFullURL; }
  void SetURL(const std::wstring& Value);
  const std::wstring& GetTitle() const { return FTitle; }
  bool GetActive() const;
  void SetActive(bool Value);
  bool GetVisible() const;
  void SetVisible(bool Value);
  const std::wstring& GetHandlerURL() const { return FHandlerURL; }
  ICallHandler* GetHandler() const { return FHandler.Get(); }
  void SetHandler(const std::wstring& URL);
  IBreakpointResolver* GetResolver() const { return FResolver.Get(); }
  TParamDefs& GetParams() { return FParams; }
  // Unique in the run (NextDefinitionSerial): the key of the definition's share of a call.
  uint32_t GetSerial() const { return FSerial; }

  TProcDefBinding GetBinding() const { return FBinding; }
  TTraceBreakpoint* GetBreakpoint() const { return FBreakpoint; }
  // Binds to the entry breakpoint (nullptr: unbound), leaving the previous one first.
  void SetBreakpoint(TTraceBreakpoint* Breakpoint);
  void MarkUnresolvable();

  // A "proc" property set: "Title", "Active", "Visible", "Handler", then its "param" sets
  // ("URL" and "Result" are read by the symbol-file loader before it creates the definition).
  virtual void LoadFromXML(IXMLDOMNode* Node);
  // Only "URL", "Active" and "Visible": what a per-user override copy keeps.
  void SaveToXML(IXMLDOMNode* Node);
  void LoadFromNode(IXMLDOMNode* Node) override { LoadFromXML(Node); }
  void SaveToNode(IXMLDOMNode* Node) override { SaveToXML(Node); }
  // Reads one "param" property set: type keyword with its "*"s, name, then the parameter's
  // own properties; appended only when all of it loaded.
  void LoadParam(IXMLDOMNode* Node);

  // The call's result from the thread's registers at the return.
  virtual void ReadResult(const CONTEXT& Context, TOleVariant& Value) const = 0;

private:
  friend class TLoadedProcDefs;
  const uint32_t FSerial = NextDefinitionSerial();
  TParamDefs FParams;
  std::wstring FTitle;
  std::wstring FURL;
  std::wstring FFullURL;
  bool FActive = false;
  bool FVisible = true;
  std::wstring FHandlerURL;
  TCallHandlerRef FHandler;
  TBreakpointResolverPtr FResolver;
  TProcDefBinding FBinding = TProcDefBinding::Unbound;
  TTraceBreakpoint* FBreakpoint = nullptr;
  // The resolver error logged last, so a pass that meets it again stays quiet.
  std::wstring FLastResolveError;
};

// Keyword without its trailing "*" characters, and how many there were.
void SplitTypeKeyword(const std::wstring& Text, std::wstring& Keyword, int32_t& Count);

class TEAXProcDef : public TProcDef {
public:
  using TProcDef::TProcDef;
  static std::wstring GetKeyword() { return L"eax"; }
  // VT_UI4: Eax.
  void ReadResult(const CONTEXT& Context, TOleVariant& Value) const override;
};

class TAXProcDef : public TProcDef {
public:
  using TProcDef::TProcDef;
  static std::wstring GetKeyword() { return L"ax"; }
  // VT_I2: the low 16 bits of Eax.
  void ReadResult(const CONTEXT& Context, TOleVariant& Value) const override;
};

class TVOIDProcDef : public TProcDef {
public:
  using TProcDef::TProcDef;
  static std::wstring GetKeyword() { return L"void"; }
  // Empty.
  void ReadResult(const CONTEXT& Context, TOleVariant& Value) const override;
};

// Every loaded definition keyed by URL (not owning), with those not resolved yet in this
// trace, and the trace's entry and return breakpoints. Definitions enter and leave it under
// the write lock of TDebugRWSync; the debugging thread's passes hold its read lock.
class TLoadedProcDefs : public TProcDefs {
public:
  TLoadedProcDefs();
  ~TLoadedProcDefs() override;
  using TFactory = TServiceFactory<TLoadedProcDefs, TSimpleObjectFactory>;

  // Start and end of every trace: every definition unbound, each one with a resolver put on
  // the unresolved list; then every breakpoint freed (its byte restored).
  // kept: the breakpoints are handed over there instead of freed (orphaned, never written).
  void Reset(TKeptBreakpoints* kept = nullptr);
  // Resolves the unresolved definitions and binds each one that got an address to the entry
  // breakpoint there. Run when the debuggee's modules changed and at the start of a trace.
  // While the debuggee is stopped its breakpoint bytes are written a page at a time.
  void ResolvePass(bool debuggeeStopped = false);
  // The resolver's answer; an exception becomes an error event (once while it repeats) and 1.
  uint32_t ResolveDef(TProcDef* Def);
  // A module of the debuggee was unloaded: its memory belongs to nothing of ours any more.
  // The entry breakpoints in [Base, Base + Size) are freed without writing a byte back, and
  // their definitions go back on the unresolved list, so a reload is traced again. The
  // caller drops its own references to those breakpoints first.
  void UnbindRange(uint32_t Base, uint32_t Size);

  TProcDefs& Unresolved() { return FUnresolved; }
  // Entry breakpoints by address, and return breakpoints by address (both owning).
  TBreakpointList& TraceBreakpoints() { return *FTraceBreakpoints; }
  TBreakpointList& ReturnBreakpoints() { return *FReturnBreakpoints; }

protected:
  // A definition leaving the set leaves the unresolved list too.
  void* DeleteItem(int bucket, int index) override;

private:
  TProcDefs FUnresolved;
  std::unique_ptr<TBreakpointList> FTraceBreakpoints;
  std::unique_ptr<TBreakpointList> FReturnBreakpoints;
};

TLoadedProcDefs* GetLoadedProcDefs();
