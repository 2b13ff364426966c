// The memory manager against a real second process (the memtarget fixture).
#include <gtest/gtest.h>

#include <windows.h>

#include "EngineTestSupport.h"
#include "MemTarget.h"
#include "Tracer/engine/uProcessMemory.h"
#include "support/TestSupport.h"

namespace {

struct ProcessMemory : testing::Test {
  TMemTarget Target;
  TMemoryAccessController Controller{Target.Process()};
  TMemoryReader Mem{Controller};

  std::wstring ReadError(uint32_t address) {
    return MessageOf([&] { Mem.ReadValue<int32_t>(address); });
  }
};

// VARIANT owner for the tests.
struct TVar {
  VARIANT V;
  TVar() { VariantInit(&V); }
  ~TVar() { VariantClear(&V); }
  LONG Count() const {
    LONG lo = 0, hi = -1;
    SafeArrayGetLBound(V.parray, 1, &lo);
    SafeArrayGetUBound(V.parray, 1, &hi);
    return hi - lo + 1;
  }
  VARIANT Item(LONG i) const {
    VARIANT item;
    VariantInit(&item);
    SafeArrayGetElement(V.parray, &i, &item);
    return item;
  }
};

}  // namespace

TEST_F(ProcessMemory, TypedReadsGiveTheValuesTheProcessHolds) {
  EXPECT_EQ(-123456, Mem.ReadValue<int32_t>(Target.At("int")));
  EXPECT_EQ(65535, Mem.ReadValue<uint16_t>(Target.At("word")));
  EXPECT_EQ(0xFFFFFFFFu, Mem.ReadValue<uint32_t>(Target.At("dword")));
  EXPECT_EQ(3.25, Mem.ReadValue<double>(Target.At("double")));
  EXPECT_EQ(-1.5f, Mem.ReadValue<float>(Target.At("single")));
  EXPECT_EQ(123456, Mem.ReadValue<int64_t>(Target.At("currency")));
  EXPECT_EQ(255, Mem.ReadValue<uint8_t>(Target.At("byte")));
}

TEST_F(ProcessMemory, ZeroTerminatedStringsStopAtTheTerminatorEvenAtAPageEnd) {
  EXPECT_EQ("Hello, world", Mem.ReadAnsiStringZ(Target.At("ansi")));
  EXPECT_EQ(L"Wide text", Mem.ReadWideStringZ(Target.At("wide")));
  EXPECT_EQ("", Mem.ReadAnsiStringZ(Target.At("empty")));
  // The terminator is the last readable byte; the next page does not exist.
  EXPECT_EQ("page end", Mem.ReadAnsiStringZ(Target.At("ansizpageend")));
  EXPECT_EQ(L"page end", Mem.ReadWideStringZ(Target.At("widezpageend")));
  // Without a terminator the read runs into the missing page and says so.
  try {
    Mem.ReadAnsiStringZ(Target.At("ansiunterminated"));
    ADD_FAILURE() << "an unterminated string at a page end was read";
  } catch (Exception& e) {
    EXPECT_NE(std::wstring::npos, e.Message().find(L"ReadProcessMemory")) << WideToUtf8(e.Message());
  }
  // Memory without a zero: at most 32,768 characters.
  EXPECT_EQ(32768u, Mem.ReadAnsiStringZ(Target.At("big")).size());
  EXPECT_EQ(32768u, Mem.ReadWideStringZ(Target.At("bigwide")).size());
}

TEST_F(ProcessMemory, CountedStringsStopAtAZeroOrTheLengthAndSurviveAPageEnd) {
  EXPECT_EQ("abc", Mem.ReadAnsiString(Target.At("abczerode"), 5));
  EXPECT_EQ("abcde", Mem.ReadAnsiString(Target.At("abcdefgh"), 5));
  EXPECT_EQ("", Mem.ReadAnsiString(Target.At("abcdefgh"), -1));
  EXPECT_EQ("", Mem.ReadAnsiString(Target.At("abcdefgh"), 0));
  // The text's last character is the page's last byte: the extra character cannot be read.
  EXPECT_EQ("edge", Mem.ReadAnsiString(Target.At("ansicountedpageend"), 4));
  EXPECT_EQ(L"edge", Mem.ReadWideString(Target.At("widecountedpageend"), 4));
  EXPECT_EQ("edg", Mem.ReadAnsiString(Target.At("ansicountedpageend"), 3));
  EXPECT_THROW(Mem.ReadAnsiString(Target.At("ansicountedpageend"), 5), Exception);
  EXPECT_EQ(32768u, Mem.ReadWideString(Target.At("bigwide"), 100000).size());
  EXPECT_EQ(32767u, Mem.ReadAnsiString(Target.At("big"), 32767).size());
}

TEST_F(ProcessMemory, ByteArraysHoldOneByteVariantPerByte) {
  TVar bytes;
  Mem.ReadBytes(Target.At("bytes"), 4, bytes.V);
  ASSERT_EQ(VT_ARRAY | VT_VARIANT, bytes.V.vt);
  ASSERT_EQ(4, bytes.Count());
  const uint8_t expected[4] = {0x01, 0xAB, 0x10, 0xFF};
  for (LONG i = 0; i < 4; ++i) {
    VARIANT item = bytes.Item(i);
    EXPECT_EQ(VT_UI1, item.vt);
    EXPECT_EQ(expected[i], item.bVal);
  }
  TVar none, negative, big;
  // Nothing is read for an empty array, so even an unreadable address gives one.
  Mem.ReadBytes(Target.At("unreadable"), 0, none.V);
  Mem.ReadBytes(Target.At("unreadable"), -3, negative.V);
  EXPECT_EQ(0, none.Count());
  EXPECT_EQ(0, negative.Count());
  Mem.ReadBytes(Target.At("big"), 40000, big.V);
  ASSERT_EQ(32768, big.Count());
  VARIANT last = big.Item(32767);
  EXPECT_EQ(VT_UI1, last.vt);
  EXPECT_EQ('z', last.bVal);
}

TEST_F(ProcessMemory, AnUnreadableAddressRaisesWithTheSystemCallsName) {
  std::wstring message = ReadError(Target.At("unreadable"));
  EXPECT_EQ(0u, message.find(L"System Error.  Code: ")) << WideToUtf8(message);
  EXPECT_NE(std::wstring::npos, message.find(L"at ReadProcessMemory")) << WideToUtf8(message);
}

TEST_F(ProcessMemory, ABreakpointByteIsWrittenIntoCodeAndRestored) {
  uint32_t code = Target.At("code");
  uint8_t saved = Mem.ReadValue<uint8_t>(code);
  Mem.WriteByte(code, 0xCC);
  EXPECT_EQ(0xCC, Mem.ReadValue<uint8_t>(code));
  Mem.WriteByte(code, saved);
  EXPECT_EQ(saved, Mem.ReadValue<uint8_t>(code));
  // The page keeps its protection: still executable and not writable.
  MEMORY_BASIC_INFORMATION mbi{};
  ASSERT_NE(0u, VirtualQueryEx(Target.Process(), reinterpret_cast<void*>(static_cast<uintptr_t>(code)), &mbi,
                               sizeof mbi));
  EXPECT_EQ(static_cast<DWORD>(PAGE_EXECUTE_READ), mbi.Protect & 0xFF);
}

TEST_F(ProcessMemory, NothingIsTouchedAfterTheProcessEndedOrAccessWasSwitchedOff) {
  uint32_t text = Target.At("ansi");
  Controller.SetEnabled(false);
  EXPECT_EQ(0, Mem.ReadValue<int32_t>(Target.At("int")));
  EXPECT_EQ("", Mem.ReadAnsiString(text, 5));
  Mem.WriteByte(text, 'J');
  Controller.SetEnabled(true);
  EXPECT_EQ("Hello", Mem.ReadAnsiString(text, 5));

  Target.Kill();
  EXPECT_NO_THROW(Mem.WriteByte(text, 'J'));
  EXPECT_EQ("", Mem.ReadAnsiString(text, 5));
  EXPECT_EQ(L"", Mem.ReadWideString(text, 5));
  EXPECT_EQ("", Mem.ReadAnsiStringZ(text));
  EXPECT_EQ(0, Mem.ReadValue<int32_t>(Target.At("int")));
}

namespace {

// Access that refuses the first writes, as a system whose WriteProcessMemory does not
// make code pages writable would; records the calls in order.
class TRefusingAccess : public TMemoryAccess {
public:
  int Refusals = 1;
  std::string Calls;
  uint8_t Byte = 0x55;
  uint32_t Protection = PAGE_EXECUTE_READ;

  void Read(uint32_t, void* Buffer, int32_t) override { *static_cast<uint8_t*>(Buffer) = Byte; }
  void Write(uint32_t, const void* Buffer, int32_t) override {
    Calls += "write ";
    if (Refusals-- > 0) throw EOSError(L"refused", 5);
    Byte = *static_cast<const uint8_t*>(Buffer);
  }
  uint32_t Protect(uint32_t, int32_t, uint32_t NewProtection) override {
    Calls += "protect(" + std::to_string(NewProtection) + ") ";
    uint32_t old = Protection;
    Protection = NewProtection;
    return old;
  }
  void FlushInstructionCache(uint32_t, int32_t) override { Calls += "flush"; }
};

}  // namespace

TEST(BreakpointBytes, ARefusedWriteIsRetriedWithTheProtectionLiftedAndRestored) {
  TRefusingAccess access;
  TMemoryReader mem(access);
  mem.WriteByte(0x401000, 0xCC);
  EXPECT_EQ(0xCC, access.Byte);
  EXPECT_EQ("write protect(64) write protect(32) flush", access.Calls);
  EXPECT_EQ(static_cast<uint32_t>(PAGE_EXECUTE_READ), access.Protection);

  // Refused even then: the protection is restored and the error passes on, nothing is flushed.
  access.Refusals = 2;
  access.Calls.clear();
  EXPECT_THROW(mem.WriteByte(0x401000, 0x90), EOSError);
  EXPECT_EQ("write protect(64) write protect(32) ", access.Calls);
  EXPECT_EQ(0xCC, access.Byte);
}

namespace {

// Counts the reads that reach the process.
class TCountingAccess : public TMemoryAccess {
public:
  explicit TCountingAccess(TMemoryAccess& inner) : FInner(inner) {}
  int Reads = 0;
  void Read(uint32_t Address, void* Buffer, int32_t Count) override {
    ++Reads;
    FInner.Read(Address, Buffer, Count);
  }
  void Write(uint32_t Address, const void* Buffer, int32_t Count) override { FInner.Write(Address, Buffer, Count); }
  uint32_t Protect(uint32_t Address, int32_t Count, uint32_t NewProtection) override {
    return FInner.Protect(Address, Count, NewProtection);
  }
  void FlushInstructionCache(uint32_t Address, int32_t Count) override { FInner.FlushInstructionCache(Address, Count); }

private:
  TMemoryAccess& FInner;
};

}  // namespace

TEST_F(ProcessMemory, ZeroTerminatedStringsAreReadOnePageAtATimeNotPerCharacter) {
  TCountingAccess counting(Controller);
  TMemoryReader reader(counting);
  EXPECT_EQ("Hello, world", reader.ReadAnsiStringZ(Target.At("ansi")));
  EXPECT_EQ(1, counting.Reads);
  counting.Reads = 0;
  uint32_t big = Target.At("big");
  EXPECT_EQ(32768u, reader.ReadAnsiStringZ(big).size());
  // 32,768 bytes from an address inside a page touch nine pages at most.
  uint32_t page = Target.PageSize();
  int pages = static_cast<int>((big + 32768 - 1) / page - big / page + 1);
  EXPECT_EQ(pages, counting.Reads);
}

namespace {
struct TOtherThreadRead {
  TMemoryReader* Mem;
  uint32_t Address;
  int32_t Value = 0;
};

DWORD WINAPI ReadOnOtherThread(void* p) {
  auto* r = static_cast<TOtherThreadRead*>(p);
  try {
    r->Value = r->Mem->ReadValue<int32_t>(r->Address);
  } catch (...) {
  }
  return 0;
}
}  // namespace

TEST_F(ProcessMemory, AStackCopyServesOnlyTheReadsInsideItOnTheThreadThatSetIt) {
  const uint32_t base = Target.At("int");
  const int32_t copy[2] = {7, 8};  // what the debugging thread read at the hit
  Controller.SetReadCache(base, copy, sizeof copy);
  EXPECT_EQ(7, Mem.ReadValue<int32_t>(base));
  EXPECT_EQ(8, Mem.ReadValue<int32_t>(base + 4));
  // Partly outside the copy: the process's own memory.
  EXPECT_EQ(-123456, static_cast<int32_t>(Mem.ReadValue<int64_t>(base - 4) >> 32));
  // Another thread (a plug-in on the main thread) reads the process.
  TOtherThreadRead read{&Mem, base};
  HANDLE thread = CreateThread(nullptr, 0, ReadOnOtherThread, &read, 0, nullptr);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, ScaledMs(10000)));
  CloseHandle(thread);
  EXPECT_EQ(-123456, read.Value);
  Controller.SetReadCache(0, nullptr, 0);
  EXPECT_EQ(-123456, Mem.ReadValue<int32_t>(base));
}
