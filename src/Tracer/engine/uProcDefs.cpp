#include "Tracer/engine/uProcDefs.h"

#include <utility>

#include <atomic>
#include <optional>

#include "Tracer/engine/uBreakpointResolvers.h"
#include "Tracer/engine/uBreakpoints.h"
#include "Tracer/engine/uCodePages.h"
#include "Tracer/foundation/uClasses.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uVariants.h"
#include "Tracer/foundation/uWideStrUtils.h"

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

static thread_local uint32_t CurrentPass = 0;
static std::atomic<uint32_t> LastPass{0};

uint32_t CurrentResolvePass() { return CurrentPass; }

TResolvePassScope::TResolvePassScope() : FOuter(CurrentPass) {
  uint32_t next = ++LastPass;
  if (next == 0) next = ++LastPass;
  CurrentPass = next;
}

TResolvePassScope::~TResolvePassScope() { CurrentPass = FOuter; }

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
    resolver = TBreakpointResolverPtr(static_cast<IBreakpointResolver*>(r));
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

// --- Procedure definitions -----------------------------------------------------------------

TProcDef::TProcDef(const std::wstring& URL) {
  SetActive(true);
  SetURL(URL);
  TWriteLock lock(*GetDebugRWSync());
  GetLoadedProcDefs()->Add(this);
}

TProcDef::~TProcDef() {
  try {
    TWriteLock lock(*GetDebugRWSync());
    SetBreakpoint(nullptr);
    TLoadedProcDefs* loaded = GetLoadedProcDefs();
    // A definition whose creation failed on a duplicate URL leaves the other one's entry.
    TProcDef* entry = nullptr;
    if (loaded->Find(FURL, entry) && entry == this) loaded->Remove(this);
  } catch (...) {
    // The set is gone at shutdown; nothing may escape a destructor.
  }
  FResolver.Reset();
  FHandler.Reset();
}

const TPropTable& TProcDef::ClassPropTable() {
  static const TPropTable table(&TPersistent::ClassPropTable(),
                                {StringProperty<TProcDef>(L"URL", &TProcDef::GetURL, &TProcDef::SetURL),
                                 BooleanProperty<TProcDef>(L"Active", &TProcDef::GetActive, &TProcDef::SetActive),
                                 BooleanProperty<TProcDef>(L"Visible", &TProcDef::GetVisible, &TProcDef::SetVisible)});
  return table;
}

void TProcDef::SetURL(const std::wstring& Value) {
  if (Value.empty()) throw Exception(L"URL cannot be empty");
  if (Value == FFullURL) return;
  std::wstring key, query;
  SplitAtQuery(Value, key, query);
  std::wstring scheme, path, userPart;
  ParseURL(Value, scheme, path, query, userPart);
  TBreakpointResolverPtr resolver;
  GetBreakpointResolver(Value, resolver);

  TWriteLock lock(*GetDebugRWSync());
  // A loaded definition moves to its new key; its binding belonged to the old address.
  TLoadedProcDefs* loaded = nullptr;
  TProcDef* entry = nullptr;
  if (!FURL.empty()) {
    loaded = GetLoadedProcDefs();
    if (!(loaded->Find(FURL, entry) && entry == this)) loaded = nullptr;
  }
  if (loaded) {
    TProcDef* other = nullptr;
    if (key != FURL && loaded->Find(key, other)) loaded->Add(this);  // raises the duplicate error
    SetBreakpoint(nullptr);
    loaded->Remove(this);
  }
  FURL = key;
  FFullURL = Value;
  FTitle = userPart;
  FResolver = resolver;
  if (loaded) loaded->Add(this);
}

bool TProcDef::GetActive() const {
  TReadLock lock(*GetDebugRWSync());
  return FActive;
}

void TProcDef::SetActive(bool Value) {
  TWriteLock lock(*GetDebugRWSync());
  if (Value == FActive) return;
  const bool old = FActive;
  FActive = Value;
  if (FBinding != TProcDefBinding::Bound) return;
  // The byte is shared by every definition at the address: it stays while any of them is on,
  // so switching one off never stops another one's tracing.
  try {
    FBreakpoint->SetEnabled(FBreakpoint->AnyDefActive());
  } catch (...) {
    FActive = old;
    throw;
  }
}

bool TProcDef::GetVisible() const {
  TReadLock lock(*GetDebugRWSync());
  return FVisible;
}

void TProcDef::SetVisible(bool Value) {
  TWriteLock lock(*GetDebugRWSync());
  FVisible = Value;
}

void TProcDef::SetHandler(const std::wstring& URL) {
  if (URL == FHandlerURL) return;
  TCallHandlerRef handler;
  if (!URL.empty()) handler = GetCallHandlerEngine()->GetHandler(URL);
  FHandlerURL = URL;
  FHandler = handler;
}

void TProcDef::SetBreakpoint(TTraceBreakpoint* Breakpoint) {
  if (FBinding == TProcDefBinding::Bound && FBreakpoint) FBreakpoint->RemoveDef(this);
  FBreakpoint = Breakpoint;
  FBinding = Breakpoint ? TProcDefBinding::Bound : TProcDefBinding::Unbound;
  if (Breakpoint) Breakpoint->AddDef(this, GetActive());
}

void TProcDef::MarkUnresolvable() {
  SetBreakpoint(nullptr);
  FBinding = TProcDefBinding::Unresolvable;
}

void TProcDef::LoadFromXML(IXMLDOMNode* Node) {
  ExpectPropertySet(Node, L"proc");
  TOleVariant value;
  ReadProperty(Node, L"Title", VT_BSTR, value, false);
  if (!value.IsEmpty() && !value.AsBSTRText().empty()) FTitle = value.AsBSTRText();
  ReadProperty(Node, L"Active", VT_BOOL, value, false);
  if (!value.IsEmpty()) SetActive(value.boolVal != VARIANT_FALSE);
  ReadProperty(Node, L"Visible", VT_BOOL, value, false);
  if (!value.IsEmpty()) SetVisible(value.boolVal != VARIANT_FALSE);
  ReadProperty(Node, L"Handler", VT_BSTR, value, false);
  if (!value.IsEmpty() && !value.AsBSTRText().empty()) SetHandler(value.AsBSTRText());
  for (TXMLNode child = FirstChild(Node); child; child = NextSibling(child.Get())) {
    if (!IsPropertySetNode(child.Get())) continue;
    std::wstring name;
    ReadPropertySetName(child.Get(), name);
    if (name == L"param") LoadParam(child.Get());
  }
}

void TProcDef::SaveToXML(IXMLDOMNode* Node) { SaveObjectPropertyList(Node, this, {L"URL", L"Active", L"Visible"}); }

void SplitTypeKeyword(const std::wstring& Text, std::wstring& Keyword, int32_t& Count) {
  Keyword = Text;
  Count = 0;
  while (!Keyword.empty() && Keyword.back() == L'*') {
    Keyword.pop_back();
    ++Count;
  }
}

void TProcDef::LoadParam(IXMLDOMNode* Node) {
  TOleVariant value;
  ReadProperty(Node, L"Type", VT_BSTR, value, true);
  std::wstring type = value.AsBSTRText();
  if (type.empty()) RaiseNotSpecified(L"Parameter type");
  std::wstring keyword;
  int32_t indirection = 0;
  SplitTypeKeyword(type, keyword, indirection);
  const TDefClass* found = nullptr;
  const TParamDefClass* cls = nullptr;
  if (GetParamTypeDefs()->FindType(keyword, found)) cls = dynamic_cast<const TParamDefClass*>(found);
  if (cls == nullptr) RaiseUnknownToken(keyword);
  ReadProperty(Node, L"Name", VT_BSTR, value, true);
  std::unique_ptr<TParamDef> def = cls->Create(this, value.AsBSTRText());
  def->SetIndirectionCount(indirection);
  LoadObjectFromNode(Node, def.get());
  FParams.Add(std::move(def));
}

void TEAXProcDef::ReadResult(const CONTEXT& Context, TOleVariant& Value) const {
  Value.Clear();
  LongWordToVariant(Context.Eax, Value);
}

void TAXProcDef::ReadResult(const CONTEXT& Context, TOleVariant& Value) const {
  Value.Clear();
  SmallIntToVariant(static_cast<int16_t>(Context.Eax & 0xFFFF), Value);
}

void TVOIDProcDef::ReadResult(const CONTEXT&, TOleVariant& Value) const { Value.Clear(); }

// --- The loaded set --------------------------------------------------------------------------

TLoadedProcDefs::TLoadedProcDefs()
    : TProcDefs(false),
      FUnresolved(false),
      FTraceBreakpoints(std::make_unique<TBreakpointList>()),
      FReturnBreakpoints(std::make_unique<TBreakpointList>()) {}

TLoadedProcDefs::~TLoadedProcDefs() = default;

void* TLoadedProcDefs::DeleteItem(int bucket, int index) {
  void* data = TProcDefs::DeleteItem(bucket, index);
  if (data && !IsClearing()) {
    auto* def = static_cast<TProcDef*>(static_cast<TObject*>(data));
    TProcDef* entry = nullptr;
    if (FUnresolved.Find(def->GetURL(), entry) && entry == def) FUnresolved.Remove(def);
  }
  return data;
}

namespace {
// A debugging thread given up on changes nothing here any more: the main thread ended its
// trace, and these lists may be another trace's by now.
bool CallerGivenUp() { return GetDebugRWSync()->Forfeited(GetCurrentThreadId()); }
}  // namespace

void TLoadedProcDefs::Reset(TKeptBreakpoints* kept) {
  TWriteLock lock(*GetDebugRWSync());
  if (CallerGivenUp()) return;
  FUnresolved.Clear();
  auto e = std::make_unique<TProcDefsEnumerator>(this, UnitPath, __LINE__);
  while (e->MoveNext()) {
    TProcDef* def = e->GetCurrent();
    def->SetBreakpoint(nullptr);
    def->FLastResolveError.clear();
    CW_ASSERT(!FUnresolved.StringExists(def->GetURL()), UnitPath, __LINE__);
    if (def->GetResolver()) FUnresolved.Add(def);
  }
  e.reset();
  if (kept != nullptr) {
    // Handed over unfreed and writing nothing: a thread given up on may still use them.
    for (TBreakpoint* b : FTraceBreakpoints->Items()) b->Orphan();
    for (TBreakpoint* b : FReturnBreakpoints->Items()) b->Orphan();
    kept->push_back(std::exchange(FTraceBreakpoints, std::make_unique<TBreakpointList>()));
    kept->push_back(std::exchange(FReturnBreakpoints, std::make_unique<TBreakpointList>()));
    return;
  }
  // Freeing a breakpoint restores its byte when it is still in place.
  FTraceBreakpoints->Clear();
  FReturnBreakpoints->Clear();
}

uint32_t TLoadedProcDefs::ResolveDef(TProcDef* Def) {
  CW_ASSERT(Def->GetResolver() != nullptr, UnitPath, __LINE__);
  std::wstring error;
  try {
    const uint32_t address = Def->GetResolver()->Resolve();
    Def->FLastResolveError.clear();
    return address;
  } catch (const Exception& e) {
    error = e.Message();
  } catch (const std::exception& e) {
    error = Utf8ToWide(e.what());
  }
  // Passes run again at every change of the debuggee's modules: the same failure is told once.
  if (error != Def->FLastResolveError) {
    Def->FLastResolveError = error;
    GetTracerEventQueue()->AddError(WideFormat(L"\"%ls\":\r\n%ls", Def->GetTitle().c_str(), error.c_str()));
  }
  return ResolveUnresolvable;
}

void TLoadedProcDefs::ResolvePass(bool debuggeeStopped) {
  TWriteLock lock(*GetDebugRWSync());
  if (FUnresolved.IsEmpty() || CallerGivenUp()) return;
  TResolvePassScope pass;
  // Written back before the lock goes: a definition switched meanwhile meets its byte.
  std::optional<TCodePageBatch> pages;
  if (debuggeeStopped && GetBreakpointProcess() != nullptr) pages.emplace(GetBreakpointProcess());
  std::vector<TProcDef*> resolved;
  auto e = std::make_unique<TProcDefsEnumerator>(&FUnresolved, UnitPath, __LINE__);
  while (e->MoveNext()) {
    TProcDef* def = e->GetCurrent();
    const uint32_t address = ResolveDef(def);
    if (address == ResolveNotLoaded) {
      def->SetBreakpoint(nullptr);
    } else if (address == ResolveUnresolvable) {
      def->MarkUnresolvable();
    } else {
      TBreakpoint* found = nullptr;
      TTraceBreakpoint* trace = nullptr;
      if (FTraceBreakpoints->FindBreakpoint(address, found)) {
        trace = dynamic_cast<TTraceBreakpoint*>(found);
        CW_ASSERT(trace != nullptr, UnitPath, __LINE__);
      } else {
        auto created = std::make_unique<TTraceBreakpoint>(address);
        trace = created.get();
        FTraceBreakpoints->AddBreakpoint(created.release());
      }
      def->SetBreakpoint(trace);
      resolved.push_back(def);
    }
  }
  e.reset();
  if (pages) pages->Flush();
  for (TProcDef* def : resolved) {
    FUnresolved.Remove(def);
    CW_ASSERT(!FUnresolved.StringExists(def->GetURL()), UnitPath, __LINE__);
  }
}

void TLoadedProcDefs::UnbindRange(uint32_t Base, uint32_t Size) {
  TWriteLock lock(*GetDebugRWSync());
  if (CallerGivenUp()) return;
  for (TBreakpoint* b : FTraceBreakpoints->InRange(Base, Size)) {
    auto* trace = dynamic_cast<TTraceBreakpoint*>(b);
    CW_ASSERT(trace != nullptr, UnitPath, __LINE__);
    trace->Forget();
    std::vector<TProcDef*> defs;
    auto e = std::make_unique<TProcDefsEnumerator>(&trace->Defs, UnitPath, __LINE__);
    while (e->MoveNext()) defs.push_back(e->GetCurrent());
    e.reset();
    for (TProcDef* def : defs) {
      def->SetBreakpoint(nullptr);
      if (!FUnresolved.StringExists(def->GetURL())) FUnresolved.Add(def);
    }
    FTraceBreakpoints->RemoveBreakpoint(trace);
  }
}

static TObject* LoadedProcDefsInstance = nullptr;

TLoadedProcDefs* GetLoadedProcDefs() {
  static const TLoadedProcDefs::TFactory factory;
  return GetServiceInstance<TLoadedProcDefs>(factory, LoadedProcDefsInstance);
}
