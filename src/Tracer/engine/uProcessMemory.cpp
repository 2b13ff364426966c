#include "Tracer/engine/uProcessMemory.h"

#include "Tracer/foundation/uClasses.h"

#include <algorithm>
#include <cstring>
#include "Tracer/foundation/uWideStrUtils.h"

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include "Tracer/foundation/uRaise.h"

// ---- access objects ----

void TDummyMemoryAccess::Read(uint32_t, void*, int32_t) {}
void TDummyMemoryAccess::Write(uint32_t, const void*, int32_t) {}
uint32_t TDummyMemoryAccess::Protect(uint32_t, int32_t, uint32_t) { return 0; }
void TDummyMemoryAccess::FlushInstructionCache(uint32_t, int32_t) {}

void TRealMemoryAccess::Read(uint32_t Address, void* Buffer, int32_t Count) {
  if (Count <= 0) return;
  // Into a block of our own first: a partial read must not change the caller's buffer. The
  // reads of a traced call's values are small: their block is on the stack.
  constexpr int32_t StackBlock = 64;
  uint8_t small[StackBlock];
  std::vector<uint8_t> large;
  uint8_t* block = small;
  if (Count > StackBlock) {
    large.resize(static_cast<size_t>(Count));
    block = large.data();
  }
  SIZE_T done = 0;
  Win32CheckApi(::ReadProcessMemory(FProcessHandle, reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(Address)),
                                    block, static_cast<SIZE_T>(Count), &done) != FALSE,
                "ReadProcessMemory");
  std::copy(block, block + Count, static_cast<uint8_t*>(Buffer));
}

void TRealMemoryAccess::Write(uint32_t Address, const void* Buffer, int32_t Count) {
  if (Count <= 0) return;
  SIZE_T done = 0;
  Win32CheckApi(::WriteProcessMemory(FProcessHandle, reinterpret_cast<LPVOID>(static_cast<uintptr_t>(Address)),
                                     Buffer, static_cast<SIZE_T>(Count), &done) != FALSE,
                "WriteProcessMemory");
}

uint32_t TRealMemoryAccess::Protect(uint32_t Address, int32_t Count, uint32_t NewProtection) {
  DWORD old = 0;
  Win32CheckApi(::VirtualProtectEx(FProcessHandle, reinterpret_cast<LPVOID>(static_cast<uintptr_t>(Address)),
                                   static_cast<SIZE_T>(Count), NewProtection, &old) != FALSE,
                "VirtualProtectEx");
  return old;
}

void TRealMemoryAccess::FlushInstructionCache(uint32_t Address, int32_t Count) {
  Win32CheckApi(::FlushInstructionCache(FProcessHandle, reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(Address)),
                                        static_cast<SIZE_T>(Count)) != FALSE,
                "FlushInstructionCache");
}

TMemoryAccessController::TMemoryAccessController(HANDLE ProcessHandle)
    : FProcessHandle(ProcessHandle), FReal(ProcessHandle) {}

TMemoryAccess& TMemoryAccessController::GetAccess() {
  if (!FEnabled) return FDummy;
  DWORD state = ::WaitForSingleObject(FProcessHandle, 0);
  Win32CheckApi(state != WAIT_FAILED, "WaitForSingleObject");
  if (state == WAIT_TIMEOUT) return FReal;
  return FDummy;  // the process has ended
}

// The real access is tried first and the process's state asked only when it fails: asking
// before every access cost a server round trip per read on the traced call's path. A process
// that has ended cannot be read or written, so the outcome is the same: the dummy's.
template <class TOp>
auto TMemoryAccessController::WithAccess(TOp op) -> decltype(op(std::declval<TMemoryAccess&>())) {
  if (!FEnabled) return op(static_cast<TMemoryAccess&>(FDummy));
  try {
    return op(static_cast<TMemoryAccess&>(FReal));
  } catch (const EOSError&) {
    if (&GetAccess() == &FReal) throw;  // still running: the failure is the caller's
  }
  return op(static_cast<TMemoryAccess&>(FDummy));
}

void TMemoryAccessController::Read(uint32_t Address, void* Buffer, int32_t Count) {
  if (FCache.Size != 0 && Count > 0 && FCache.Thread == GetCurrentThreadId() && Address >= FCache.Base &&
      Address - FCache.Base <= FCache.Size && static_cast<uint32_t>(Count) <= FCache.Size - (Address - FCache.Base)) {
    std::memcpy(Buffer, FCache.Data + (Address - FCache.Base), static_cast<size_t>(Count));
    return;
  }
  WithAccess([&](TMemoryAccess& a) { a.Read(Address, Buffer, Count); });
}

void TMemoryAccessController::SetReadCache(uint32_t Base, const void* Data, uint32_t Size) {
  FCache.Size = 0;
  if (Size == 0) return;
  Size = std::min<uint32_t>(Size, sizeof FCache.Data);
  std::memcpy(FCache.Data, Data, Size);
  FCache.Base = Base;
  FCache.Thread = GetCurrentThreadId();
  FCache.Size = Size;
}

void TMemoryAccessController::Write(uint32_t Address, const void* Buffer, int32_t Count) {
  WithAccess([&](TMemoryAccess& a) { a.Write(Address, Buffer, Count); });
}

uint32_t TMemoryAccessController::Protect(uint32_t Address, int32_t Count, uint32_t NewProtection) {
  return WithAccess([&](TMemoryAccess& a) { return a.Protect(Address, Count, NewProtection); });
}

void TMemoryAccessController::FlushInstructionCache(uint32_t Address, int32_t Count) {
  WithAccess([&](TMemoryAccess& a) { a.FlushInstructionCache(Address, Count); });
}

// ---- reading algorithms ----

TMemoryReader::TMemoryReader(TMemoryAccess& Access) : FAccess(Access) {}

uint32_t TMemoryReader::PageSize() {
  static const uint32_t size = [] {
    SYSTEM_INFO si;
    ::GetSystemInfo(&si);
    return static_cast<uint32_t>(si.dwPageSize);
  }();
  return size;
}

// Reads in chunks that end at a page end, one read per chunk: the string's terminator
// may be the last readable byte, and the page after it may not exist.
template <class TChar>
std::basic_string<TChar> TMemoryReader::ReadStringZ(uint32_t Address) {
  std::basic_string<TChar> result;
  const uint32_t page = PageSize();
  std::vector<TChar> chunk;
  uint32_t address = Address;
  while (result.size() < static_cast<size_t>(MaxDebuggeeReadLength)) {
    uint32_t toPageEnd = page - address % page;
    size_t count = toPageEnd / sizeof(TChar);
    if (count == 0) count = 1;  // one character across the page boundary
    count = std::min(count, static_cast<size_t>(MaxDebuggeeReadLength) - result.size());
    chunk.assign(count, TChar(0));
    FAccess.Read(address, chunk.data(), static_cast<int32_t>(count * sizeof(TChar)));
    auto zero = std::find(chunk.begin(), chunk.end(), TChar(0));
    result.append(chunk.begin(), zero);
    if (zero != chunk.end()) break;
    address += static_cast<uint32_t>(count * sizeof(TChar));
  }
  return result;
}

template <class TChar>
std::basic_string<TChar> TMemoryReader::ReadCountedString(uint32_t Address, int32_t Length) {
  if (Length < 0) return {};
  if (Length > MaxDebuggeeReadLength - 1) Length = MaxDebuggeeReadLength;
  // One character more than asked, so a terminator right after the text is seen.
  std::vector<TChar> buffer(static_cast<size_t>(Length) + 1, TChar(0));
  const uint32_t bytes = static_cast<uint32_t>(Length) * sizeof(TChar);
  try {
    FAccess.Read(Address, buffer.data(), static_cast<int32_t>(bytes + sizeof(TChar)));
  } catch (Exception&) {
    // The extra character may lie on a page that does not exist: when it starts a page
    // of its own, read exactly the asked length instead.
    const uint32_t page = PageSize();
    bool extraOnNewPage = Length == 0 || (Address + bytes) / page != (Address + bytes - 1) / page;
    if (!extraOnNewPage) throw;
    std::fill(buffer.begin(), buffer.end(), TChar(0));
    FAccess.Read(Address, buffer.data(), static_cast<int32_t>(bytes));
  }
  auto end = std::find(buffer.begin(), buffer.begin() + Length, TChar(0));
  return std::basic_string<TChar>(buffer.begin(), end);
}

std::string TMemoryReader::ReadAnsiStringZ(uint32_t Address) { return ReadStringZ<char>(Address); }

std::string TMemoryReader::ReadAnsiString(uint32_t Address, int32_t Length) {
  return ReadCountedString<char>(Address, Length);
}

std::wstring TMemoryReader::ReadWideStringZ(uint32_t Address) { return ReadStringZ<wchar_t>(Address); }

std::wstring TMemoryReader::ReadWideString(uint32_t Address, int32_t Length) {
  return ReadCountedString<wchar_t>(Address, Length);
}

void TMemoryReader::ReadBytes(uint32_t Address, int32_t Length, VARIANT& Result) {
  if (Length < 0) Length = 0;
  if (Length > MaxDebuggeeReadLength - 1) Length = MaxDebuggeeReadLength;
  std::vector<uint8_t> bytes(static_cast<size_t>(Length), 0);
  if (Length > 0) FAccess.Read(Address, bytes.data(), Length);
  SAFEARRAY* array = ::SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(Length));
  if (array == nullptr) throw Exception(L"Out of memory");
  VARIANT* items = nullptr;
  ::SafeArrayAccessData(array, reinterpret_cast<void**>(&items));
  for (int32_t i = 0; i < Length; ++i) {
    items[i].vt = VT_UI1;
    items[i].bVal = bytes[static_cast<size_t>(i)];
  }
  ::SafeArrayUnaccessData(array);
  Result.vt = VT_ARRAY | VT_VARIANT;
  Result.parray = array;
}

// WriteProcessMemory makes a code page writable for the write itself; changing the
// protection is only the fallback when a write is refused.
void TMemoryReader::WriteByte(uint32_t Address, uint8_t Value) {
  std::lock_guard<std::mutex> lock(FWriteLock);
  std::exception_ptr refused;
  try {
    FAccess.Write(Address, &Value, 1);
  } catch (Exception&) {
    refused = std::current_exception();
  }
  if (refused) {
    uint32_t old = 0;
    try {
      old = FAccess.Protect(Address, 1, PAGE_EXECUTE_READWRITE);
    } catch (Exception&) {
      std::rethrow_exception(refused);  // the write's own error says more
    }
    try {
      FAccess.Write(Address, &Value, 1);
    } catch (Exception&) {
      FAccess.Protect(Address, 1, old);
      throw;
    }
    FAccess.Protect(Address, 1, old);
  }
  FAccess.FlushInstructionCache(Address, 1);
}

// ---- the memory manager ----

TMemoryManager::TMemoryManager(HANDLE ProcessHandle)
    : TAutoIntfObject<IDebuggeeMemory>(__uuidof(IDebuggeeMemory)), FController(ProcessHandle), FReader(FController) {}

TMemoryManager::~TMemoryManager() = default;

void* TMemoryManager::GetInterface(REFIID riid) {
  if (IsEqualIID(riid, __uuidof(IMemoryManager))) return static_cast<IMemoryManager*>(this);
  return TAutoIntfObject<IDebuggeeMemory>::GetInterface(riid);
}

// IUnknown and IDispatch serve both interfaces; late binding is that of IDebuggeeMemory.
HRESULT TMemoryManager::QueryInterface(REFIID riid, void** ppv) {
  return TAutoIntfObject<IDebuggeeMemory>::QueryInterface(riid, ppv);
}
ULONG TMemoryManager::AddRef() { return TAutoIntfObject<IDebuggeeMemory>::AddRef(); }
ULONG TMemoryManager::Release() { return TAutoIntfObject<IDebuggeeMemory>::Release(); }
HRESULT TMemoryManager::GetTypeInfoCount(UINT* pctinfo) {
  return TAutoIntfObject<IDebuggeeMemory>::GetTypeInfoCount(pctinfo);
}
HRESULT TMemoryManager::GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) {
  return TAutoIntfObject<IDebuggeeMemory>::GetTypeInfo(iTInfo, lcid, ppTInfo);
}
HRESULT TMemoryManager::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) {
  return TAutoIntfObject<IDebuggeeMemory>::GetIDsOfNames(riid, rgszNames, cNames, lcid, rgDispId);
}
HRESULT TMemoryManager::Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                               VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  return TAutoIntfObject<IDebuggeeMemory>::Invoke(dispIdMember, riid, lcid, wFlags, pDispParams, pVarResult,
                                                  pExcepInfo, puArgErr);
}

void TMemoryManager::Read(uint32_t Address, void* Buffer, int32_t Count) { FController.Read(Address, Buffer, Count); }
std::string TMemoryManager::ReadAnsiStringZ(uint32_t Address) { return FReader.ReadAnsiStringZ(Address); }
std::string TMemoryManager::ReadAnsiString(uint32_t Address, int32_t Length) {
  return FReader.ReadAnsiString(Address, Length);
}
std::wstring TMemoryManager::ReadWideStringZ(uint32_t Address) { return FReader.ReadWideStringZ(Address); }
std::wstring TMemoryManager::ReadWideString(uint32_t Address, int32_t Length) {
  return FReader.ReadWideString(Address, Length);
}

uint32_t TMemoryManager::ReadDWord(uint32_t Address) {
  if (Address == 0) throw Exception(L"0");
  return FReader.ReadValue<uint32_t>(Address);
}

double TMemoryManager::ReadDouble(uint32_t Address) { return FReader.ReadValue<double>(Address); }
CY TMemoryManager::ReadCurrency(uint32_t Address) {
  CY value;
  value.int64 = FReader.ReadValue<int64_t>(Address);
  return value;
}
float TMemoryManager::ReadSingle(uint32_t Address) { return FReader.ReadValue<float>(Address); }
int32_t TMemoryManager::ReadInteger(uint32_t Address) { return FReader.ReadValue<int32_t>(Address); }
uint16_t TMemoryManager::ReadWord(uint32_t Address) { return FReader.ReadValue<uint16_t>(Address); }
void TMemoryManager::ReadBytes(uint32_t Address, int32_t Length, VARIANT& Result) {
  FReader.ReadBytes(Address, Length, Result);
}
uint8_t TMemoryManager::ReadByte(uint32_t Address) { return FReader.ReadValue<uint8_t>(Address); }
void TMemoryManager::WriteByte(uint32_t Address, uint8_t Value) { FReader.WriteByte(Address, Value); }
void TMemoryManager::SetEnabled(bool Value) { FController.SetEnabled(Value); }

void TMemoryManager::SetReadCache(uint32_t Base, const void* Data, uint32_t Size) {
  FController.SetReadCache(Base, Data, Size);
}

namespace {

// Answers Null for address 0; otherwise the value that read() puts into the variant.
template <class F>
void ReadVariant(LONG Address, VARIANT* Value, F read) {
  if (Value == nullptr) throw Exception(L"Null out-parameter");
  VariantInit(Value);
  if (Address == 0) {
    Value->vt = VT_NULL;
    return;
  }
  VARIANT result;
  VariantInit(&result);
  read(static_cast<uint32_t>(Address), result);
  *Value = result;
}

BSTR AllocText(const std::wstring& text) {
  BSTR b = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (b == nullptr) throw Exception(L"Out of memory");
  return b;
}

}  // namespace

HRESULT TMemoryManager::ReadInteger(LONG Address, VARIANT* Value) {
  return ComMethodGuard([&] {
    ReadVariant(Address, Value, [&](uint32_t a, VARIANT& v) {
      v.lVal = ReadInteger(a);
      v.vt = VT_I4;
    });
  });
}

HRESULT TMemoryManager::ReadWord(LONG Address, VARIANT* Value) {
  return ComMethodGuard([&] {
    ReadVariant(Address, Value, [&](uint32_t a, VARIANT& v) {
      v.lVal = static_cast<int16_t>(ReadWord(a));
      v.vt = VT_I4;
    });
  });
}

HRESULT TMemoryManager::ReadCurrency(LONG Address, VARIANT* Value) {
  return ComMethodGuard([&] {
    ReadVariant(Address, Value, [&](uint32_t a, VARIANT& v) {
      v.cyVal = ReadCurrency(a);
      v.vt = VT_CY;
    });
  });
}

HRESULT TMemoryManager::ReadSingle(LONG Address, VARIANT* Value) {
  return ComMethodGuard([&] {
    ReadVariant(Address, Value, [&](uint32_t a, VARIANT& v) {
      v.fltVal = ReadSingle(a);
      v.vt = VT_R4;
    });
  });
}

HRESULT TMemoryManager::ReadDouble(LONG Address, VARIANT* Value) {
  return ComMethodGuard([&] {
    ReadVariant(Address, Value, [&](uint32_t a, VARIANT& v) {
      v.dblVal = ReadDouble(a);
      v.vt = VT_R8;
    });
  });
}

HRESULT TMemoryManager::ReadBytes(LONG Address, LONG Length, VARIANT* Value) {
  return ComMethodGuard([&] {
    ReadVariant(Address, Value, [&](uint32_t a, VARIANT& v) { ReadBytes(a, Length, v); });
  });
}

HRESULT TMemoryManager::ReadAnsiStringZ(LONG Address, VARIANT* Value) {
  return ComMethodGuard([&] {
    ReadVariant(Address, Value, [&](uint32_t a, VARIANT& v) {
      v.bstrVal = AllocText(AnsiToWide(ReadAnsiStringZ(a)));
      v.vt = VT_BSTR;
    });
  });
}

HRESULT TMemoryManager::ReadAnsiString(LONG Address, LONG Length, VARIANT* Value) {
  return ComMethodGuard([&] {
    ReadVariant(Address, Value, [&](uint32_t a, VARIANT& v) {
      v.bstrVal = AllocText(AnsiToWide(ReadAnsiString(a, Length)));
      v.vt = VT_BSTR;
    });
  });
}

HRESULT TMemoryManager::ReadWideStringZ(LONG Address, VARIANT* Value) {
  return ComMethodGuard([&] {
    ReadVariant(Address, Value, [&](uint32_t a, VARIANT& v) {
      v.bstrVal = AllocText(ReadWideStringZ(a));
      v.vt = VT_BSTR;
    });
  });
}

HRESULT TMemoryManager::ReadWideString(LONG Address, LONG Length, VARIANT* Value) {
  return ComMethodGuard([&] {
    ReadVariant(Address, Value, [&](uint32_t a, VARIANT& v) {
      v.bstrVal = AllocText(ReadWideString(a, Length));
      v.vt = VT_BSTR;
    });
  });
}

HRESULT TMemoryManager::ReadDWord(LONG Address, VARIANT* Value) {
  return ComMethodGuard([&] {
    ReadVariant(Address, Value, [&](uint32_t a, VARIANT& v) {
      v.lVal = static_cast<LONG>(ReadDWord(a));
      v.vt = VT_I4;
    });
  });
}

HRESULT TMemoryManager::ReadByte(LONG Address, VARIANT* Value) {
  return ComMethodGuard([&] {
    ReadVariant(Address, Value, [&](uint32_t a, VARIANT& v) {
      v.lVal = ReadByte(a);
      v.vt = VT_I4;
    });
  });
}

// ---- the process-memory holder ----

namespace {

const wchar_t* const SBridgeNotInitialized = L"Process memory bridge not initialized";

}  // namespace

TProcessMemory::TProcessMemory() = default;
TProcessMemory::~TProcessMemory() = default;

void TProcessMemory::GetBridge(TMemoryManagerRef& Bridge) {
  {
    std::lock_guard<std::mutex> lock(FLock);
    Bridge = FBridge;
  }
  // A thread given up on (a script handler that returned late) reads nothing more: the
  // bridge may be another trace's program by now.
  if (!Bridge || GetDebugRWSync()->Forfeited(GetCurrentThreadId())) throw Exception(SBridgeNotInitialized);
}

void TProcessMemory::SetBridge(IMemoryManager* Bridge) {
  TMemoryManagerRef old;
  std::lock_guard<std::mutex> lock(FLock);
  old = FBridge;  // released after the lock
  FBridge = TMemoryManagerRef(Bridge);
}

void TProcessMemory::ClearBridge(IMemoryManager* own) {
  TMemoryManagerRef old;
  std::lock_guard<std::mutex> lock(FLock);
  if (FBridge.Get() != own) return;
  old = FBridge;  // released after the lock
  FBridge = TMemoryManagerRef();
}

ULONG TProcessMemory::AddRef() { return ObjAddRef(); }
ULONG TProcessMemory::Release() { return ObjRelease(); }

template <class F>
HRESULT TProcessMemory::BridgeCall(F call) {
  TMemoryManagerRef bridge;
  try {
    GetBridge(bridge);
  } catch (...) {
    return HandleComException(IID_IDispatch);
  }
  return call(bridge.Get());
}

// IUnknown and IDispatch are the holder's own, so a script engine or plug-in that keeps it
// reaches the memory manager of whichever process is debugged at the time of each call
// (and gets the bridge error between traces); every other interface is the current
// manager's.
HRESULT TProcessMemory::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
    *ppv = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  return BridgeCall([&](IMemoryManager* bridge) { return bridge->QueryInterface(riid, ppv); });
}

HRESULT TProcessMemory::GetTypeInfoCount(UINT* pctinfo) {
  return BridgeCall([&](IMemoryManager* bridge) { return bridge->GetTypeInfoCount(pctinfo); });
}

HRESULT TProcessMemory::GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) {
  if (ppTInfo) *ppTInfo = nullptr;
  return BridgeCall([&](IMemoryManager* bridge) { return bridge->GetTypeInfo(iTInfo, lcid, ppTInfo); });
}

// Names are those of the type library, also between traces, so that a late-bound call
// is made and fails with the bridge's message rather than as an unknown name.
HRESULT TProcessMemory::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) {
  TMemoryManagerRef bridge;
  {
    std::lock_guard<std::mutex> lock(FLock);
    bridge = FBridge;
  }
  if (bridge) return bridge->GetIDsOfNames(riid, rgszNames, cNames, lcid, rgDispId);
  try {
    std::call_once(FNamesBound, [this] { FNames.Bind(__uuidof(IDebuggeeMemory)); });
  } catch (...) {
    return HandleComException(IID_IDispatch);
  }
  return FNames.GetIDsOfNames(riid, rgszNames, cNames, lcid, rgDispId);
}

HRESULT TProcessMemory::Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                               VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  TMemoryManagerRef bridge;
  try {
    GetBridge(bridge);
  } catch (Exception& e) {
    // A late-bound caller (a script) reads the message from the exception record.
    HRESULT hr = HandleComException(IID_IDispatch);
    if (pExcepInfo == nullptr) return hr;
    *pExcepInfo = EXCEPINFO{};
    pExcepInfo->bstrDescription = ::SysAllocString(e.Message().c_str());
    pExcepInfo->scode = hr;
    return DISP_E_EXCEPTION;
  } catch (...) {
    return HandleComException(IID_IDispatch);
  }
  return bridge->Invoke(dispIdMember, riid, lcid, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
}

namespace {
TObject* ProcessMemoryInstance = nullptr;
}  // namespace

TProcessMemory* GetProcessMemory() {
  static const TProcessMemory::TFactory factory;
  return GetServiceInstance<TProcessMemory>(factory, ProcessMemoryInstance);
}

void GetProcessMemoryBridge(TMemoryManagerRef& Bridge) { GetProcessMemory()->GetBridge(Bridge); }

TMemoryManagerRef GetProcessMemoryBridge() {
  TMemoryManagerRef bridge;
  GetProcessMemory()->GetBridge(bridge);
  return bridge;
}

void SetProcessMemoryBridge(IMemoryManager* Bridge) { GetProcessMemory()->SetBridge(Bridge); }

bool TryReadProcessMemory(HANDLE Process, uint32_t Address, void* Buffer, size_t Count) {
  SIZE_T done = 0;
  return Address != 0 &&
         ::ReadProcessMemory(Process, reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(Address)), Buffer, Count,
                             &done) &&
         done == Count;
}
