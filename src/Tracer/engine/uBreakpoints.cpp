#include "Tracer/engine/uBreakpoints.h"

#include "Tracer/foundation/uOleVariant.h"
#include "Tracer/engine/uTracerEventParams.h"
#include "Tracer/engine/uProcessMemory.h"
#include "Tracer/engine/uSystemObjects.h"

namespace {

const wchar_t* const UnitPath = L"src/Tracer/uDebugCore";

HANDLE GBreakpointProcess = nullptr;

void WriteCodeByte(uint32_t address, uint8_t value) {
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
  if (process != nullptr && TryReadProcessMemory(process, address, &value, 1)) return value;
  return GetProcessMemoryBridge()->ReadByte(address);
}

}  // namespace

void SetBreakpointProcess(HANDLE process) { GBreakpointProcess = process; }
HANDLE GetBreakpointProcess() { return GBreakpointProcess; }

TBreakpoint::TBreakpoint(uint32_t address) : Address(address), SavedByte(ReadCodeByte(address)) {}

TBreakpoint::~TBreakpoint() {
  if (OwnerList == nullptr) return;
  try {
    Remove();
  } catch (...) {
    // The process is gone or the page was freed: nothing left to restore.
  }
}

void TBreakpoint::Insert() {
  if (Inserted || Stepping > 0) return;
  WriteCodeByte(Address, BreakpointByte);
  Inserted = true;
}

void TBreakpoint::Remove() {
  if (!Inserted) return;
  WriteCodeByte(Address, SavedByte);
  Inserted = false;
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

void TTraceBreakpoint::AddDef(TProcDef* def, bool defActive) {
  const bool wasEmpty = Defs.IsEmpty();
  Defs.Add(def);
  SetEnabled(wasEmpty ? defActive : true);
}

void TTraceBreakpoint::RemoveDef(TProcDef* def) {
  Defs.Remove(def);
  if (Defs.IsEmpty()) SetEnabled(false);
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

TProcCallContext::TProcCallContext(const std::wstring& title)
    : Name(title), Params(NewTracerEventParams()) {
  TComPtr<ITracerEventParam> result;
  OleCheck(Params->Add(TBStr(L"result").Get(), result.Put()));
  OleCheck(result->put_Visible(VARIANT_FALSE));
}

TProcCallContext::~TProcCallContext() = default;

void TProcCallContext::AddParam(const std::wstring& name, const VARIANT& value, bool visible) {
  TComPtr<ITracerEventParam> item;
  OleCheck(Params->Add(TBStr(name).Get(), item.Put()));
  OleCheck(item->put_Value(value));
  OleCheck(item->put_Visible(visible ? VARIANT_TRUE : VARIANT_FALSE));
}

void TProcCallContext::SetResult(const VARIANT& value) {
  TComPtr<ITracerEventParam> item;
  OleCheck(Params->get_Item(0, item.Put()));
  OleCheck(item->put_Value(value));
}

void TProcCallContexts::AddContext(const TProcDef* def, TProcCallContext* context) {
  Add(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(def)), context);
}

bool TProcCallContexts::FindContext(const TProcDef* def, TProcCallContext*& context) const {
  return FindObject(*this, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(def)), context, UnitPath, 470);
}

