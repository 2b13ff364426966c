#include "Tracer/uProcessMemory.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "Tracer/uRaise.h"

// ---- access objects ----

void TDummyMemoryAccess::Read(uint32_t, void*, int32_t) {}
void TDummyMemoryAccess::Write(uint32_t, const void*, int32_t) {}
uint32_t TDummyMemoryAccess::Protect(uint32_t, int32_t, uint32_t) { return 0; }
void TDummyMemoryAccess::FlushInstructionCache(uint32_t, int32_t) {}

void TRealMemoryAccess::Read(uint32_t Address, void* Buffer, int32_t Count) {
  if (Count <= 0) return;
  // Into a block of our own first: a partial read must not change the caller's buffer.
  std::vector<uint8_t> block(static_cast<size_t>(Count));
  SIZE_T done = 0;
  Win32CheckApi(::ReadProcessMemory(FProcessHandle, reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(Address)),
                                    block.data(), block.size(), &done) != FALSE,
                "ReadProcessMemory");
  std::copy(block.begin(), block.end(), static_cast<uint8_t*>(Buffer));
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

void TMemoryAccessController::Read(uint32_t Address, void* Buffer, int32_t Count) {
  GetAccess().Read(Address, Buffer, Count);
}

void TMemoryAccessController::Write(uint32_t Address, const void* Buffer, int32_t Count) {
  GetAccess().Write(Address, Buffer, Count);
}

uint32_t TMemoryAccessController::Protect(uint32_t Address, int32_t Count, uint32_t NewProtection) {
  return GetAccess().Protect(Address, Count, NewProtection);
}

void TMemoryAccessController::FlushInstructionCache(uint32_t Address, int32_t Count) {
  GetAccess().FlushInstructionCache(Address, Count);
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
