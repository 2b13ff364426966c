// The first instruction of a traced function as the debugging thread sees it at an entry hit:
// which ones it carries out on the thread's context itself instead of single-stepping them.
#pragma once
#include <cstdint>

// An entry instruction the debugging thread can carry out. None of them can fault: pushes go
// only inside the stack pointer's page, loads come only from the stack block read at the hit.
// Registers are numbered eax, ecx, edx, ebx, esp, ebp, esi, edi.
struct TEntryInstruction {
  enum TKind {
    None,           // the thread steps over it
    PushRegister,   // push Source
    PushImmediate,  // push Value
    MoveRegister,   // Target := Source
    LoadStack,      // Target := the dword at esp + Value
    LoadImmediate,  // Target := Value
    PushFlags,      // pushfd: the flags as the processor pushes them, never our trap flag
    PopFlags,       // popfd: the flags a program may change from the dword at esp
    OwnBreakpoint   // int3 of the program's own: it goes on after it, as a debugger continues it
  } Kind = None;
  uint32_t Length = 0;
  int Target = 0;
  int Source = 0;
  uint32_t Value = 0;  // the immediate, or the stack offset of LoadStack
};

// op: the instruction's first byte (the one our breakpoint replaces); next: the bytes after
// it, count of them readable.
TEntryInstruction DecodeEntryInstruction(uint8_t op, const uint8_t* next, int count);

// EFlags' bits as pushfd stores them (the resume and virtual-8086 flags read as 0), and those
// popfd changes in a program (carry, parity, adjust, zero, sign, trap, direction, overflow,
// nested task, alignment check, id; the resume flag is cleared).
constexpr uint32_t PushedFlagsMask = 0xFFFCFFFF;
constexpr uint32_t PoppedFlagsMask = 0x00244DD5;
constexpr uint32_t ResumeFlag = 0x10000;

// The flags after popfd popped value, from the flags before.
inline uint32_t FlagsAfterPop(uint32_t flags, uint32_t value) {
  return ((flags & ~PoppedFlagsMask) | (value & PoppedFlagsMask)) & ~ResumeFlag;
}
