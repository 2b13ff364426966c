// Reading and writing the debuggee's memory: access objects over the process handle,
// the memory manager (native interface for the engine, automation interface for scripts
// and plug-ins) and the holder that forwards to the memory manager of the current debuggee.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <mutex>
#include <string>

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

// Chooses before every access: the real access while enabled and the process runs,
// otherwise the dummy, so nothing touches a process that has ended.
class TMemoryAccessController : public TMemoryAccess {
public:
  explicit TMemoryAccessController(HANDLE ProcessHandle);
  void SetEnabled(bool Value) { FEnabled = Value; }
  bool GetEnabled() const { return FEnabled; }
  void Read(uint32_t Address, void* Buffer, int32_t Count) override;
  void Write(uint32_t Address, const void* Buffer, int32_t Count) override;
  uint32_t Protect(uint32_t Address, int32_t Count, uint32_t NewProtection) override;
  void FlushInstructionCache(uint32_t Address, int32_t Count) override;

protected:
  TMemoryAccess& GetAccess();

private:
  volatile bool FEnabled = true;
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
