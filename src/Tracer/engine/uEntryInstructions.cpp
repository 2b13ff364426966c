#include "Tracer/engine/uEntryInstructions.h"

TEntryInstruction DecodeEntryInstruction(uint8_t op, const uint8_t* next, int count) {
  TEntryInstruction in;
  auto imm32 = [next] { return static_cast<uint32_t>(next[0] | next[1] << 8 | next[2] << 16 | next[3] << 24); };
  if (op >= 0x50 && op <= 0x57) {  // push r32
    in = {TEntryInstruction::PushRegister, 1, 0, op - 0x50, 0};
  } else if (op == 0x9C) {
    in = {TEntryInstruction::PushFlags, 1, 0, 0, 0};
  } else if (op == 0x9D) {
    in = {TEntryInstruction::PopFlags, 1, 0, 0, 0};
  } else if (op == 0xCC) {
    in = {TEntryInstruction::OwnBreakpoint, 1, 0, 0, 0};
  } else if (op == 0x6A && count >= 1) {  // push imm8, sign-extended
    in = {TEntryInstruction::PushImmediate, 2, 0, 0, static_cast<uint32_t>(static_cast<int8_t>(next[0]))};
  } else if (op == 0x68 && count >= 4) {  // push imm32
    in = {TEntryInstruction::PushImmediate, 5, 0, 0, imm32()};
  } else if (op >= 0xB8 && op <= 0xBF && count >= 4) {  // mov r32, imm32
    in = {TEntryInstruction::LoadImmediate, 5, op - 0xB8, 0, imm32()};
  } else if ((op == 0x8B || op == 0x89) && count >= 1) {
    const int mod = next[0] >> 6, reg = (next[0] >> 3) & 7, rm = next[0] & 7;
    if (mod == 3) {  // mov r32, r32 (mov edi, edi: the hot-patch no-op)
      in = {TEntryInstruction::MoveRegister, 2, op == 0x8B ? reg : rm, op == 0x8B ? rm : reg, 0};
    } else if (op == 0x8B && rm == 4 && count >= 2 && next[1] == 0x24) {  // mov r32, [esp + disp]
      if (mod == 0) in = {TEntryInstruction::LoadStack, 3, reg, 0, 0};
      if (mod == 1 && count >= 3 && next[2] < 0x80) in = {TEntryInstruction::LoadStack, 4, reg, 0, next[2]};
    }
  }
  return in;
}
