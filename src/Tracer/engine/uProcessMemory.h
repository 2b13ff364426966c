// Reading and writing the debuggee's memory: access objects over the process handle,
// the memory manager (native interface for the engine, automation interface for scripts
// and plug-ins) and the holder that forwards to the memory manager of the current debuggee.
#pragma once
#include <windows.h>

#include <atomic>
#include <oaidl.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>

#include "Tracer/com/CalderwispTlb.h"
#include "Tracer/com/uAutoObject.h"
#include "Tracer/foundation/uSingletons.h"
#include "lib/rtl/SysUtils.h"

// One kind of access to the debuggee's memory.
class TMemoryAccess : public TObject {
public:
  virtual void Read(uint32_t Address, void* Buffer, int32_t Count) = 0;
  virtual void Write(uint32_t Address, const void* Buffer, int32_t Count) = 0;
  // Returns the previous protection.
  virtual uint32_t Protect(uint32_t Address, int32_t Count, uint32_t NewProtection) = 0;
  virtual void FlushInstructionCache(uint32_t Address, int32_t Count) = 0;
};

// Touches nothing: a read leaves the buffer as it was.
class TDummyMemoryAccess : public TMemoryAccess {
public:
  void Read(uint32_t Address, void* Buffer, int32_t Count) override;
  void Write(uint32_t Address, const void* Buffer, int32_t Count) override;
  uint32_t Protect(uint32_t Address, int32_t Count, uint32_t NewProtection) override;
  void FlushInstructionCache(uint32_t Address, int32_t Count) override;
};

// One system call per operation on the process handle; a failure raises with the call's name.
class TRealMemoryAccess : public TMemoryAccess {
public:
  explicit TRealMemoryAccess(HANDLE ProcessHandle) : FProcessHandle(ProcessHandle) {}
  void Read(uint32_t Address, void* Buffer, int32_t Count) override;
  void Write(uint32_t Address, const void* Buffer, int32_t Count) override;
  uint32_t Protect(uint32_t Address, int32_t Count, uint32_t NewProtection) override;
  void FlushInstructionCache(uint32_t Address, int32_t Count) override;

private:
  HANDLE FProcessHandle;
};

// Chooses on every access: the real access while enabled and the process runs,
// otherwise the dummy, so nothing touches a process that has ended.
class TMemoryAccessController : public TMemoryAccess {
public:
  explicit TMemoryAccessController(HANDLE ProcessHandle);
  void SetEnabled(bool Value) { FEnabled = Value; }
  bool GetEnabled() const { return FEnabled; }
  void Read(uint32_t Address, void* Buffer, int32_t Count) override;
  // A copy of debuggee memory that this thread's reads inside it are served from (the
  // debugging thread's, while the debuggee is stopped in an event); Size 0 ends it.
  void SetReadCache(uint32_t Base, const void* Data, uint32_t Size);
  void Write(uint32_t Address, const void* Buffer, int32_t Count) override;
  uint32_t Protect(uint32_t Address, int32_t Count, uint32_t NewProtection) override;
  void FlushInstructionCache(uint32_t Address, int32_t Count) override;

protected:
  TMemoryAccess& GetAccess();

private:
  template <class TOp>
  auto WithAccess(TOp op) -> decltype(op(std::declval<TMemoryAccess&>()));
  std::atomic<bool> FEnabled{true};
  struct TReadCache {
    DWORD Thread = 0;
    uint32_t Base = 0;
    uint32_t Size = 0;
    uint8_t Data[64];
  } FCache;
  HANDLE FProcessHandle;
  TRealMemoryAccess FReal;
  TDummyMemoryAccess FDummy;
};

// Longest string (in characters) and byte array a read returns.
constexpr int32_t MaxDebuggeeReadLength = 0x8000;

// The engine's side of the memory manager: typed reads and breakpoint bytes. Its methods
// raise exceptions and are called only inside the tracer.
struct IMemoryManager : public IDispatch {
  virtual void Read(uint32_t Address, void* Buffer, int32_t Count) = 0;
  virtual std::string ReadAnsiStringZ(uint32_t Address) = 0;
  virtual std::string ReadAnsiString(uint32_t Address, int32_t Length) = 0;
  virtual std::wstring ReadWideStringZ(uint32_t Address) = 0;
  virtual std::wstring ReadWideString(uint32_t Address, int32_t Length) = 0;
  virtual uint32_t ReadDWord(uint32_t Address) = 0;
  virtual double ReadDouble(uint32_t Address) = 0;
  virtual CY ReadCurrency(uint32_t Address) = 0;
  virtual float ReadSingle(uint32_t Address) = 0;
  virtual int32_t ReadInteger(uint32_t Address) = 0;
  virtual uint16_t ReadWord(uint32_t Address) = 0;
  // Result must hold no resource: it is overwritten with a VT_ARRAY | VT_VARIANT of VT_UI1.
  virtual void ReadBytes(uint32_t Address, int32_t Length, VARIANT& Result) = 0;
  virtual uint8_t ReadByte(uint32_t Address) = 0;
  virtual void WriteByte(uint32_t Address, uint8_t Value) = 0;
  virtual void SetEnabled(bool Value) = 0;
};
__CRT_UUID_DECL(IMemoryManager, 0x7618FE97, 0x11C4, 0x490A, 0xAF, 0x6F, 0xF4, 0x00, 0x59, 0x1A, 0x89, 0xE6)

// Reading algorithms of the memory manager over any access object.
class TMemoryReader {
public:
  explicit TMemoryReader(TMemoryAccess& Access);
  std::string ReadAnsiStringZ(uint32_t Address);
  std::string ReadAnsiString(uint32_t Address, int32_t Length);
  std::wstring ReadWideStringZ(uint32_t Address);
  std::wstring ReadWideString(uint32_t Address, int32_t Length);
  void ReadBytes(uint32_t Address, int32_t Length, VARIANT& Result);
  // Writes one byte of code; writes are serialised per reader.
  void WriteByte(uint32_t Address, uint8_t Value);
  static uint32_t PageSize();

  template <class T>
  T ReadValue(uint32_t Address) {
    T value{};
    FAccess.Read(Address, &value, sizeof(T));
    return value;
  }

private:
  template <class TChar>
  std::basic_string<TChar> ReadStringZ(uint32_t Address);
  template <class TChar>
  std::basic_string<TChar> ReadCountedString(uint32_t Address, int32_t Length);

  TMemoryAccess& FAccess;
  std::mutex FWriteLock;
};

using TMemoryManagerRef = TComPtr<IMemoryManager>;

// One per debuggee process: the engine's native reads and breakpoint bytes
// (IMemoryManager), and the same reads as variants for scripts and plug-ins
// (IDebuggeeMemory: Address 0 answers Null without reading).
class TMemoryManager : public TAutoIntfObject<IDebuggeeMemory>, public IMemoryManager {
public:
  explicit TMemoryManager(HANDLE ProcessHandle);
  ~TMemoryManager() override;
  void* GetInterface(REFIID riid) override;

  // IUnknown and IDispatch, shared by both interfaces.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                          DISPID* rgDispId) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

  // IDebuggeeMemory
  HRESULT STDMETHODCALLTYPE ReadInteger(LONG Address, VARIANT* Value) override;
  HRESULT STDMETHODCALLTYPE ReadWord(LONG Address, VARIANT* Value) override;
  HRESULT STDMETHODCALLTYPE ReadCurrency(LONG Address, VARIANT* Value) override;
  HRESULT STDMETHODCALLTYPE ReadSingle(LONG Address, VARIANT* Value) override;
  HRESULT STDMETHODCALLTYPE ReadDouble(LONG Address, VARIANT* Value) override;
  HRESULT STDMETHODCALLTYPE ReadBytes(LONG Address, LONG Length, VARIANT* Value) override;
  HRESULT STDMETHODCALLTYPE ReadAnsiStringZ(LONG Address, VARIANT* Value) override;
  HRESULT STDMETHODCALLTYPE ReadAnsiString(LONG Address, LONG Length, VARIANT* Value) override;
  HRESULT STDMETHODCALLTYPE ReadWideStringZ(LONG Address, VARIANT* Value) override;
  HRESULT STDMETHODCALLTYPE ReadWideString(LONG Address, LONG Length, VARIANT* Value) override;
  HRESULT STDMETHODCALLTYPE ReadDWord(LONG Address, VARIANT* Value) override;
  HRESULT STDMETHODCALLTYPE ReadByte(LONG Address, VARIANT* Value) override;

  // IMemoryManager
  void Read(uint32_t Address, void* Buffer, int32_t Count) override;
  std::string ReadAnsiStringZ(uint32_t Address) override;
  std::string ReadAnsiString(uint32_t Address, int32_t Length) override;
  std::wstring ReadWideStringZ(uint32_t Address) override;
  std::wstring ReadWideString(uint32_t Address, int32_t Length) override;
  uint32_t ReadDWord(uint32_t Address) override;
  double ReadDouble(uint32_t Address) override;
  CY ReadCurrency(uint32_t Address) override;
  float ReadSingle(uint32_t Address) override;
  int32_t ReadInteger(uint32_t Address) override;
  uint16_t ReadWord(uint32_t Address) override;
  void ReadBytes(uint32_t Address, int32_t Length, VARIANT& Result) override;
  uint8_t ReadByte(uint32_t Address) override;
  void WriteByte(uint32_t Address, uint8_t Value) override;
  void SetEnabled(bool Value) override;
  // Reads of this thread inside [Base, Base + Size) come from Data (at most 64 bytes) until
  // the next call; Size 0 ends it. For the debugging thread while the debuggee is stopped.
  void SetReadCache(uint32_t Base, const void* Data, uint32_t Size);

private:
  TMemoryAccessController FController;
  TMemoryReader FReader;
};

// Holds the memory manager of the process being debugged (the bridge) and forwards every
// IDispatch and QueryInterface call to it; with no process every call fails with
// "Process memory bridge not initialized". Scripts know it as "Memory".
class TProcessMemory : public TInterfacedObject, public IDispatch {
public:
  class TFactory : public TServiceFactory<TProcessMemory, TInterfacedObjectFactory> {};

  TProcessMemory();
  ~TProcessMemory() override;
  void GetBridge(TMemoryManagerRef& Bridge);
  // Set when the debuggee's process object is made, cleared when it goes.
  void SetBridge(IMemoryManager* Bridge);
  // Cleared only while it is still own: a process object that outlives its trace (its thread
  // given up on) leaves the next trace's bridge alone.
  void ClearBridge(IMemoryManager* own);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                          DISPID* rgDispId) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

private:
  // The call on the bridge, or the failure "Process memory bridge not initialized".
  template <class F>
  HRESULT BridgeCall(F call);

  std::mutex FLock;
  TMemoryManagerRef FBridge;
  std::once_flag FNamesBound;
  TAutoDispatch FNames;  // the manager's names, for calls made while there is no bridge
};

TProcessMemory* GetProcessMemory();
// The current memory manager; raises "Process memory bridge not initialized" without one.
void GetProcessMemoryBridge(TMemoryManagerRef& Bridge);
// The same, held for the caller's expression or scope.
TMemoryManagerRef GetProcessMemoryBridge();
// What the debugger core calls when its debuggee process object is made (the new memory
// manager) and destroyed (nullptr).
void SetProcessMemoryBridge(IMemoryManager* Bridge);

// Reads straight from a process, without a memory manager (before one can be reached, or
// where a failure must only give an empty answer): false for address 0 and for a read that
// failed or fell short.
bool TryReadProcessMemory(HANDLE Process, uint32_t Address, void* Buffer, size_t Count);
