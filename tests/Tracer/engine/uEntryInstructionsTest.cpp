// The entry decoder: bytes in, what the debugging thread carries out (or steps over) out.
#include <gtest/gtest.h>

#include <vector>

#include "Tracer/engine/uEntryInstructions.h"

TEST(EntryInstructions, EachFirstInstructionDecodesToItsKindAndEffect) {
  using K = TEntryInstruction;
  const struct {
    std::vector<uint8_t> Bytes;  // the first byte, then those readable after it
    K::TKind Kind;
    uint32_t Length;
    int Target, Source;
    uint32_t Value;
  } rows[] = {
      {{0x55}, K::PushRegister, 1, 0, 5, 0},                             // push ebp
      {{0x6A, 0xFE}, K::PushImmediate, 2, 0, 0, 0xFFFFFFFE},             // push -2
      {{0x68, 0x78, 0x56, 0x34, 0x12}, K::PushImmediate, 5, 0, 0, 0x12345678},
      {{0x68, 0x78, 0x56}, K::None, 0, 0, 0, 0},                         // cut short: stepped
      {{0xBA, 6, 0, 0, 0}, K::LoadImmediate, 5, 2, 0, 6},                // mov edx, 6
      {{0x8B, 0xFF}, K::MoveRegister, 2, 7, 7, 0},                       // mov edi, edi
      {{0x89, 0xE1}, K::MoveRegister, 2, 1, 4, 0},                       // mov ecx, esp
      {{0x8B, 0x04, 0x24}, K::LoadStack, 3, 0, 0, 0},                    // mov eax, [esp]
      {{0x8B, 0x44, 0x24, 0x7C}, K::LoadStack, 4, 0, 0, 0x7C},           // mov eax, [esp+0x7c]
      {{0x8B, 0x44, 0x24, 0x80}, K::None, 0, 0, 0, 0},                   // negative offset
      {{0x8B, 0x45, 0x08}, K::None, 0, 0, 0, 0},                         // mov eax, [ebp+8]
      {{0x9C}, K::PushFlags, 1, 0, 0, 0},                                // pushfd
      {{0x9D}, K::PopFlags, 1, 0, 0, 0},                                 // popfd
      {{0xCC}, K::OwnBreakpoint, 1, 0, 0, 0},                            // int3 of the program's
      {{0xCF}, K::None, 0, 0, 0, 0},                                     // iretd
      {{0xCD, 0x2D}, K::None, 0, 0, 0, 0},                               // int 0x2d
      {{0xEB, 0xF9}, K::None, 0, 0, 0, 0},                               // a hot patch's jump
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(::testing::Message() << "first byte " << std::hex << int(r.Bytes[0]));
    const TEntryInstruction in =
        DecodeEntryInstruction(r.Bytes[0], r.Bytes.data() + 1, static_cast<int>(r.Bytes.size()) - 1);
    EXPECT_EQ(in.Kind, r.Kind);
    if (r.Kind == K::None) continue;
    EXPECT_EQ(in.Length, r.Length);
    EXPECT_EQ(in.Target, r.Target);
    EXPECT_EQ(in.Source, r.Source);
    EXPECT_EQ(in.Value, r.Value);
  }
  // popfd changes what a program may change: the trap flag carried, the interrupt flag and
  // the I/O privilege level kept, the resume flag cleared.
  EXPECT_EQ(FlagsAfterPop(0x10202, 0x3FFFFF), 0x244FD7u);
}
