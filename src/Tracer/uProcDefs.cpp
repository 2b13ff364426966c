#include "Tracer/uProcDefs.h"

#include <atomic>

#include "Tracer/uBreakpointResolvers.h"
#include "Tracer/uUtils.h"
#include "Tracer/uWideStrUtils.h"

static const wchar_t* const UnitPath = L"src/Tracer/uProcDefs";

// --- The traced process ----------------------------------------------------------------------

bool DebuggeeModuleNameMatches(const std::wstring& name, const std::wstring& fileName) {
  if (fileName.empty()) return false;
  const std::wstring& candidate =
      name.find(L'\\') != std::wstring::npos ? fileName : WideExtractFileName(fileName);
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, name.c_str(), static_cast<int>(name.size()),
                        candidate.c_str(), static_cast<int>(candidate.size())) == CSTR_EQUAL;
}

static std::atomic<TResolverDebuggee*> ResolverDebuggee{nullptr};
static std::atomic<DWORD> ResolverDebuggeeThread{0};

void SetResolverDebuggee(TResolverDebuggee* debuggee) {
  ResolverDebuggeeThread = debuggee ? GetCurrentThreadId() : 0;
  ResolverDebuggee = debuggee;
}

TResolverDebuggee* GetResolverDebuggee() {
  TResolverDebuggee* debuggee = ResolverDebuggee;
  CW_ASSERT(debuggee != nullptr, UnitPath, __LINE__);
  CW_ASSERT(ResolverDebuggeeThread == GetCurrentThreadId(), UnitPath, __LINE__);
  return debuggee;
}

// --- Resolvers -----------------------------------------------------------------------------

TBreakpointResolver::TBreakpointResolver(const std::wstring& url, TBreakpointResolverModule* module)
    : FURL(url), FModule(module) {}

TBreakpointResolver::~TBreakpointResolver() {
  if (FModule && FRegistered) {
    FModule->Unregister(this);
    try {
      ::PurgeEmptyModules();
    } catch (...) {
      // Modules left over are purged with the next resolver.
    }
  }
}

void* TBreakpointResolver::GetInterface(REFIID iid) {
  if (IsEqualIID(iid, __uuidof(IBreakpointResolver))) return static_cast<IBreakpointResolver*>(this);
  if (IsEqualIID(iid, IID_IUnknown)) return static_cast<IBreakpointResolver*>(this);
  return TInterfacedObject::GetInterface(iid);
}

std::wstring TBreakpointResolver::ParamValue(const std::wstring& key) const {
  for (const std::wstring& item : FParams) {
    const size_t eq = item.find(L'=');
    if (eq != std::wstring::npos && item.compare(0, eq, key) == 0) return item.substr(eq + 1);
  }
  return std::wstring();
}

TBreakpointResolverModule::TBreakpointResolverModule(const std::wstring& name, TBreakpointResolverProtocol* protocol)
    : FName(name), FProtocol(protocol) {}

TBreakpointResolverModule::~TBreakpointResolverModule() {
  auto e = FResolvers.GetEnumerator();
  while (e->MoveNext()) static_cast<TBreakpointResolver*>(static_cast<TObject*>(e->GetCurrent()))->FModule = nullptr;
}

void TBreakpointResolverModule::GetResolver(const std::wstring& url, TBreakpointResolverPtr& resolver) {
  resolver.Reset();
  TObject* found = nullptr;
  if (FResolvers.FindString(url, found)) {
    auto* r = static_cast<TBreakpointResolver*>(found);
    // The list keeps only the text's hash: two URLs with one hash must not share an address.
    if (r->URL() != url)
      throw Exception(WideFormat(L"Breakpoint URLs \"%ls\" and \"%ls\" cannot be told apart", url.c_str(),
                                 r->URL().c_str()));
    resolver = static_cast<IBreakpointResolver*>(r);
    return;
  }
  CreateResolver(url, resolver);
  if (!resolver) throw EAssertionFailed(url);
  // A module may hand out a resolver of another module (com URLs become rva URLs), which
  // that module has registered already.
  auto* r = static_cast<TBreakpointResolver*>(resolver.Get());
  if (r->FModule == this && !r->FRegistered) {
    FResolvers.AddString(url, r);
    r->FRegistered = true;
  }
}

void TBreakpointResolverModule::Unregister(TBreakpointResolver* resolver) {
  TObject* found = nullptr;
  if (FResolvers.FindString(resolver->URL(), found) && found == resolver) FResolvers.RemoveString(resolver->URL());
}

TBreakpointResolverModule* TBreakpointResolverProtocol::GetModule(const std::wstring& name) {
  TObject* found = nullptr;
  if (FModules.FindString(name, found)) {
    auto* m = static_cast<TBreakpointResolverModule*>(found);
    if (m->Name() != name)
      throw Exception(WideFormat(L"Module names \"%ls\" and \"%ls\" cannot be told apart", name.c_str(),
                                 m->Name().c_str()));
    return m;
  }
  TBreakpointResolverModule* m = CreateModule(name);
  FModules.AddString(name, m);
  return m;
}

void TBreakpointResolverProtocol::PurgeEmptyModules() {
  std::vector<uint32_t> empty;
  {
    auto e = FModules.GetEnumerator();
    while (e->MoveNext()) {
      auto* m = static_cast<TBreakpointResolverModule*>(static_cast<TObject*>(e->GetCurrent()));
      if (!m->HasResolvers()) empty.push_back(WideStringHash(m->Name()));
    }
  }
  for (uint32_t key : empty) FModules.Remove(key);
}

// --- Protocols -----------------------------------------------------------------------------

TBreakpointResolverProtocols::TBreakpointResolverProtocols() : TQStringBucketList(true) {
  AddProtocol(new TExportBreakpointProtocol());
  AddProtocol(new TRVABreakpointProtocol());
  AddProtocol(new TCOMBreakpointProtocol());
}

void TBreakpointResolverProtocols::AddProtocol(TBreakpointResolverProtocol* protocol) {
  try {
    AddString(protocol->Name(), protocol);
  } catch (...) {
    delete protocol;
    throw;
  }
}

TBreakpointResolverProtocol* TBreakpointResolverProtocols::FindProtocol(const std::wstring& scheme) {
  TObject* found = nullptr;
  if (!FindString(scheme, found) || static_cast<TBreakpointResolverProtocol*>(found)->Name() != scheme)
    throw Exception(WideFormat(L"Unknown protocol \"%ls\"", scheme.c_str()));
  return static_cast<TBreakpointResolverProtocol*>(found);
}

void TBreakpointResolverProtocols::PurgeEmptyModules() {
  // A module's destructor may release resolvers of other modules (a com module its object):
  // purge until nothing changes.
  for (;;) {
    int before = 0, after = 0;
    std::vector<TBreakpointResolverProtocol*> protocols;
    auto e = GetEnumerator();
    while (e->MoveNext()) protocols.push_back(static_cast<TBreakpointResolverProtocol*>(static_cast<TObject*>(e->GetCurrent())));
    e.reset();
    for (auto* p : protocols) before += p->ModuleCount();
    for (auto* p : protocols) p->PurgeEmptyModules();
    for (auto* p : protocols) after += p->ModuleCount();
    if (after == before) break;
  }
}

static TObject* ProtocolsInstance = nullptr;
static bool PurgeRunning = false;

TBreakpointResolverProtocols* GetBreakpointResolverProtocols() {
  static const TBreakpointResolverProtocols::TFactory factory;
  return GetServiceInstance<TBreakpointResolverProtocols>(factory, ProtocolsInstance);
}

TBreakpointResolverProtocol* FindProtocol(const std::wstring& scheme) {
  return GetBreakpointResolverProtocols()->FindProtocol(scheme);
}

void PurgeEmptyModules() {
  // Freeing a module can release the last reference of a resolver, whose destructor purges
  // again: the outer purge finishes the work.
  if (ProtocolsInstance == nullptr || PurgeRunning) return;
  PurgeRunning = true;
  try {
    static_cast<TBreakpointResolverProtocols*>(ProtocolsInstance)->PurgeEmptyModules();
  } catch (...) {
    PurgeRunning = false;
    throw;
  }
  PurgeRunning = false;
}

void GetBreakpointResolver(const std::wstring& url, TBreakpointResolverPtr& resolver) {
  std::wstring scheme, path, query, userPart;
  ParseURL(url, scheme, path, query, userPart);
  try {
    FindProtocol(scheme)->GetModule(path)->GetResolver(url, resolver);
  } catch (...) {
    // The module made for a URL that failed holds nothing.
    PurgeEmptyModules();
    throw;
  }
}
