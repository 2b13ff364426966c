#include "Tracer/engine/uBreakpoints.h"

#include <atomic>
#include <map>
#include <mutex>

#include "Tracer/engine/uCodePages.h"
#include "Tracer/foundation/uOleVariant.h"
#include "Tracer/engine/uTracerEventParams.h"
#include "Tracer/engine/uProcessMemory.h"
#include "Tracer/engine/uSystemObjects.h"

namespace {

const wchar_t* const UnitPath = L"src/Tracer/uDebugCore";

// Set and cleared by the debugging thread, read by whichever thread writes a byte.
std::atomic<HANDLE> GBreakpointProcess{nullptr};

void WriteCodeByte(uint32_t address, uint8_t value) {
  if (TCodePageBatch* batch = TCodePageBatch::Active(); batch != nullptr && batch->WriteByte(address, value)) return;
  HANDLE process = GBreakpointProcess;
  void* p = reinterpret_cast<void*>(static_cast<uintptr_t>(address));
  SIZE_T done = 0;
  if (process != nullptr && WriteProcessMemory(process, p, &value, 1, &done) && done == 1) {
    FlushInstructionCache(process, p, 1);
    return;
  }
  GetProcessMemoryBridge()->WriteByte(address, value);
}

uint8_t ReadCodeByte(uint32_t address) {
  HANDLE process = GBreakpointProcess;
  uint8_t value = 0;
  if (TCodePageBatch* batch = TCodePageBatch::Active(); batch != nullptr && batch->ReadByte(address, value)) return value;
  if (process != nullptr && TryReadProcessMemory(process, address, &value, 1)) return value;
  return GetProcessMemoryBridge()->ReadByte(address);
}

// The code sites by address, one for all breakpoints at an address. Breakpoints are made and
// freed on the debugging thread, and by tests on their own.
std::mutex GSitesLock;
std::map<uint32_t, TCodeSite*> GSites;

TCodeSite* AcquireSite(uint32_t address) {
  std::lock_guard<std::mutex> lock(GSitesLock);
  TCodeSite*& site = GSites[address];
  if (site == nullptr) {
    site = new TCodeSite;
    site->Address = address;
  }
  ++site->Users;
  return site;
}

void ReleaseSite(TCodeSite* site) {
  std::lock_guard<std::mutex> lock(GSitesLock);
  if (--site->Users > 0) return;
  // An orphaned site is no longer the address's: a newer one may be.
  auto it = GSites.find(site->Address);
  if (it != GSites.end() && it->second == site) GSites.erase(it);
  delete site;
}

// The code at the site as the program has it now: one read of the instruction's bytes, with
// the original bytes of our other breakpoints inside them.
void ReadSiteCode(TCodeSite& site) {
  HANDLE process = GBreakpointProcess;
  site.CodeSize = 0;
  // Inside a page batch the bytes come from its copy: one read a page, not one a breakpoint.
  if (TCodePageBatch* batch = TCodePageBatch::Active(); batch != nullptr) {
    while (site.CodeSize < static_cast<int>(sizeof site.Code) &&
           batch->ReadByte(site.Address + site.CodeSize, site.Code[site.CodeSize]))
      ++site.CodeSize;
  }
  if (site.CodeSize == 0 && process != nullptr && TryReadProcessMemory(process, site.Address, site.Code, sizeof site.Code))
    site.CodeSize = static_cast<int>(sizeof site.Code);
  if (site.CodeSize == 0) {
    site.Code[0] = ReadCodeByte(site.Address);
    site.CodeSize = 1;
    return;
  }
  std::lock_guard<std::mutex> lock(GSitesLock);
  for (auto it = GSites.upper_bound(site.Address); it != GSites.end() && it->first < site.Address + site.CodeSize; ++it)
    if (it->second->Written) site.Code[it->first - site.Address] = it->second->Code[0];
}

// Our byte is in place exactly while a breakpoint at the site is armed and no thread steps
// over its instruction.
void UpdateSite(TCodeSite& site, bool ourByteThere = false) {
  if (site.Armed == 0) site.Idle = true;
  const bool wanted = site.Armed > 0 && site.Stepping == 0;
  if (wanted && !site.Written) {
    // Out only for a thread's step over the instruction, the code is as it was.
    if (site.Idle) ReadSiteCode(site);
    WriteCodeByte(site.Address, BreakpointByte);
    site.Written = true;
    site.Idle = false;
  } else if (!wanted && site.Written) {
    site.Written = false;
    // A program that wrote over our byte keeps what it wrote.
    if (ourByteThere || ReadCodeByte(site.Address) == BreakpointByte) WriteCodeByte(site.Address, site.Code[0]);
  }
}

}  // namespace

void SetBreakpointProcess(HANDLE process) { GBreakpointProcess = process; }
HANDLE GetBreakpointProcess() { return GBreakpointProcess; }

TBreakpoint::TBreakpoint(uint32_t address) : Address(address), FSite(AcquireSite(address)), SavedByte(FSite->Code[0]) {}

TBreakpoint::~TBreakpoint() {
  if (OwnerList != nullptr) {
    try {
      Remove();
    } catch (...) {
      // The process is gone or the page was freed: nothing left to restore.
    }
  }
  ReleaseSite(FSite);
}

void TBreakpoint::Insert() {
  if (Inserted || Stepping > 0) return;
  ++FSite->Armed;
  try {
    UpdateSite(*FSite);
  } catch (...) {
    --FSite->Armed;
    throw;
  }
  Inserted = true;
}

void TBreakpoint::Remove() {
  if (!Inserted) return;
  Inserted = false;
  --FSite->Armed;
  UpdateSite(*FSite);
}

void TBreakpoint::RemoveAtHit() {
  if (!Inserted) return;
  Inserted = false;
  --FSite->Armed;
  UpdateSite(*FSite, true);
}

void TBreakpoint::Forget() {
  if (Inserted) --FSite->Armed;
  Inserted = false;
  FSite->Written = false;
  FSite->Idle = true;
}

void TBreakpoint::Orphan() {
  Forget();
  OwnerList = nullptr;
  std::lock_guard<std::mutex> lock(GSitesLock);
  auto it = GSites.find(Address);
  if (it != GSites.end() && it->second == FSite) GSites.erase(it);
}

void TBreakpoint::ReadCurrentCode() {
  // Our byte is what lies at the address: the program's first byte is the one we keep.
  const uint8_t first = FSite->Code[0];
  ReadSiteCode(*FSite);
  FSite->Code[0] = first;
}

void TBreakpoint::BeginStepOver() {
  ++Stepping;
  ++FSite->Stepping;
  UpdateSite(*FSite);
}

void TBreakpoint::EndStepOver() {
  --Stepping;
  if (FSite->Stepping > 0) --FSite->Stepping;
  UpdateSite(*FSite);
}

void TTraceBreakpoint::Insert() {
  if (Enabled) TBreakpoint::Insert();
}

void TTraceBreakpoint::SetEnabled(bool value) {
  if (value == Enabled) return;
  Enabled = value;
  if (value)
    Insert();
  else
    Remove();
}

bool TTraceBreakpoint::AnyDefActive() const {
  TProcDefsEnumerator e(const_cast<TProcDefs*>(&Defs), UnitPath, 410);
  while (e.MoveNext())
    if (e.GetCurrent()->GetActive()) return true;
  return false;
}

void TTraceBreakpoint::AddDef(TProcDef* def, bool defActive) {
  Defs.Add(def);
  SetEnabled(defActive || AnyDefActive());
}

void TTraceBreakpoint::RemoveDef(TProcDef* def) {
  Defs.Remove(def);
  SetEnabled(AnyDefActive());
}

void TBreakpointList::AddBreakpoint(TBreakpoint* b) {
  b->OwnerList = this;
  Add(b->Address, b);
}

void TBreakpointList::RemoveBreakpoint(TBreakpoint* b) { Remove(b->Address); }

bool TBreakpointList::FindBreakpoint(uint32_t address, TBreakpoint*& b) const {
  return FindObject(*this, address, b, UnitPath, 420);
}

std::vector<TBreakpoint*> TBreakpointList::Items() { return ObjectsOf<TBreakpoint>(this, UnitPath, 427); }

std::vector<TBreakpoint*> TBreakpointList::InRange(uint32_t base, uint32_t size) {
  std::vector<TBreakpoint*> items;
  for (TBreakpoint* b : Items())
    if (b->Address >= base && b->Address - base < size) items.push_back(b);
  return items;
}

TProcCallContext::TProcCallContext(const std::wstring& title, size_t paramCount)
    : Name(title), Params(NewTracerEventParamList()) {
  static const TSharedText result = InternText(L"result");
  Params->Reserve(paramCount + 1);
  Params->AppendParam(result, TOleVariant(), false);
}

TProcCallContext::~TProcCallContext() = default;

void TProcCallContext::AddParam(const std::wstring& name, const VARIANT& value, bool visible) {
  Params->AppendParam(InternText(name), value, visible);
}

void TProcCallContext::SetResult(const VARIANT& value) { Params->SetValue(0, value); }

void TProcCallContexts::AddContext(const TProcDef* def, TProcCallContext* context) {
  Add(def->GetSerial(), context);
}

bool TProcCallContexts::FindContext(const TProcDef* def, TProcCallContext*& context) const {
  return FindObject(*this, def->GetSerial(), context, UnitPath, 470);
}

