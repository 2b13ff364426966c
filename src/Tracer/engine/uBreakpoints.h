// Software breakpoints in the debuggee (the byte 0xCC over an instruction's first byte):
// entry breakpoints shared by the definitions at one address, return breakpoints at the
// return addresses of outstanding calls, and the contexts of those calls.
#pragma once
#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Tracer/com/CalderwispTlb.h"
#include "Tracer/com/uAutoObject.h"
#include "Tracer/foundation/uCollections.h"
#include "Tracer/engine/uSystemObjects.h"
#include "Tracer/engine/uTracerEventParams.h"

class TBreakpointList;

// The instruction a breakpoint writes (int3), one byte long: after it ran, the thread's Eip
// is the breakpoint's address + BreakpointInstructionSize.
constexpr uint8_t BreakpointByte = 0xCC;
constexpr uint32_t BreakpointInstructionSize = 1;

// The debuggee whose code the breakpoints patch (set with its process object; nil between
// traces). A breakpoint byte is one write and one flush on it; when that write fails the byte
// goes through the memory manager, which also changes the page's protection and touches no
// ended process.
void SetBreakpointProcess(HANDLE process);
HANDLE GetBreakpointProcess();

// The original code at one address, owned once for every breakpoint there (an entry and a
// return breakpoint may share an address): read again when our byte goes in after every
// breakpoint there was disarmed, so a program's own changes to its code are what we restore
// and carry out; put back only while our byte is still there.
struct TCodeSite {
  uint32_t Address = 0;
  // Code[0]: the byte 0xCC replaces; then the instruction's next bytes. CodeSize: how many
  // were read (0 before the first arming).
  uint8_t Code[8] = {};
  int CodeSize = 0;
  int Armed = 0;     // breakpoints here that want the byte in place
  int Stepping = 0;  // threads stepping over the original instruction (the byte is out)
  bool Written = false;  // our byte is in place
  bool Idle = true;      // every breakpoint here was disarmed since the code was read
  int Users = 0;     // breakpoints at the address
};

class TBreakpoint : public TObject {
public:
  // Shares the code site of its address; nothing is read until the byte goes in.
  explicit TBreakpoint(uint32_t address);
  // A listed breakpoint puts its byte back.
  ~TBreakpoint() override;
  TBreakpoint(const TBreakpoint&) = delete;
  TBreakpoint& operator=(const TBreakpoint&) = delete;
  // Writes 0xCC; never while a thread steps over the instruction (the step puts it back).
  virtual void Insert();
  virtual void Remove();
  // At a hit of ours: the thread just ran our byte and the debuggee is stopped for the event,
  // so it is in place without a check read.
  void RemoveAtHit();
  // The memory is no longer the image we wrote into (its module was unloaded): nothing is
  // written back any more.
  void Forget();
  // Forgotten, and its code site no longer the address's: a thread given up on may still
  // hold it, while breakpoints of a later trace at the address start afresh.
  void Orphan();
  // A thread steps over the original instruction here: the byte is out until the step ends,
  // whichever breakpoints at the address are armed.
  void BeginStepOver();
  void EndStepOver();
  // At a hit of ours: the instruction's bytes after our byte as they are now (the loader's
  // relocations, a hot patch or the program's own writes may have changed them since our byte
  // went in).
  void ReadCurrentCode();
  const TCodeSite& Site() const { return *FSite; }

  TBreakpointList* OwnerList = nullptr;
  uint32_t Address;

private:
  TCodeSite* FSite;  // before SavedByte, which refers into it

public:
  // The byte 0xCC replaces, as read at the last arming.
  const uint8_t& SavedByte;
  bool Inserted = false;
  int Stepping = 0;  // threads single-stepping over the original instruction
};

// An entry breakpoint: armed while any of its definitions is active.
class TTraceBreakpoint : public TBreakpoint {
public:
  using TBreakpoint::TBreakpoint;
  void Insert() override;
  void SetEnabled(bool value);
  bool GetEnabled() const { return Enabled; }
  // Armed while any of its definitions is active (defActive: the added one's flag).
  void AddDef(TProcDef* def, bool defActive);
  void RemoveDef(TProcDef* def);
  bool AnyDefActive() const;

  bool Enabled = false;
  TProcDefs Defs{false};  // not owning, keyed by URL
};

// A return breakpoint: armed while calls of any thread are outstanding through it.
class TReturnBreakpoint : public TBreakpoint {
public:
  using TBreakpoint::TBreakpoint;
  int ContextCount = 0;
  // Inside a loaded image: kept between calls (not armed while no call is outstanding) until
  // the image is unloaded, so the next call through it finds it.
  bool Kept = false;
};

// Breakpoints by address (owning: removing one restores its byte).
class TBreakpointList : public TQObjectBucketList {
public:
  TBreakpointList() : TQObjectBucketList(true) {}
  void AddBreakpoint(TBreakpoint* b);
  void RemoveBreakpoint(TBreakpoint* b);
  bool FindBreakpoint(uint32_t address, TBreakpoint*& b) const;
  // Breakpoints in [base, base + size), for unbinding an unloaded module.
  std::vector<TBreakpoint*> InRange(uint32_t base, uint32_t size);
  std::vector<TBreakpoint*> Items();
};

// One definition's share of one call: parameter addresses and values ("result" first).
class TProcCallContext : public TObject {
public:
  // A new parameter list holding the hidden "result", with room for paramCount more.
  explicit TProcCallContext(const std::wstring& title, size_t paramCount = 0);
  ~TProcCallContext() override;
  TProcCallContext(const TProcCallContext&) = delete;
  TProcCallContext& operator=(const TProcCallContext&) = delete;

  // Appends a logged value; item 0 is always "result".
  void AddParam(const std::wstring& name, const VARIANT& value, bool visible);
  void SetResult(const VARIANT& value);

  std::wstring Name;
  TParamAddresses ParamAddresses;
  // Output parameters behind two or more pointers: the address after the stack slot's read,
  // followed the rest of the way at return.
  std::map<const TParamDef*, uint32_t> PartialAddresses;
  TComPtr<TTracerEventParams> Params;
};

// Call contexts keyed by their definition (owning).
class TProcCallContexts : public TQObjectBucketList {
public:
  TProcCallContexts() : TQObjectBucketList(true) {}
  void AddContext(const TProcDef* def, TProcCallContext* context);
  bool FindContext(const TProcDef* def, TProcCallContext*& context) const;
};

// One outstanding call on one thread: entry stack pointer, stamps, and a call context per
// definition at the function's address when it was entered.
class TBreakpointContext : public TObject {
public:
  explicit TBreakpointContext(TTraceBreakpoint* trace) : Trace(trace) {}

  uint32_t Esp = 0;
  DWORD ThreadId = 0;
  int64_t StartTime = 0;
  int64_t EndTime = 0;
  TProcCallContexts CallContexts;
  TTraceBreakpoint* Trace;            // the function called
  TReturnBreakpoint* Return = nullptr;  // where it returns
};

// The outstanding calls of one thread, outermost first (entry stack pointers falling).
using TThreadContexts = std::vector<std::unique_ptr<TBreakpointContext>>;
