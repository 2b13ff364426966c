// Breakpoint bytes, written into a buffer of our own process through the memory manager
// (our process stands in for the debuggee).
#include <gtest/gtest.h>

#include <new>

#include "EngineTestSupport.h"
#include "Tracer/engine/uBreakpoints.h"
#include "Tracer/engine/uDebugCore.h"

namespace {

uint8_t Code[16] = {0x55, 0x8B, 0xEC, 0x90, 0x90, 0x90, 0xC3, 0x90};

uint32_t At(int i) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&Code[i])); }

struct TTypeLibrary {
  TTypeLibrary() { UseProgramTypeLibrary(); }
};

struct TOwnProcess : TTypeLibrary {
  TDebuggedProcess Process{GetCurrentProcessId()};
};

}  // namespace

TEST(Breakpoints, InsertWritesTheBreakpointByteAndRemoveRestoresIt) {
  TOwnProcess own;
  TBreakpoint b(At(0));
  b.Insert();
  EXPECT_EQ(b.SavedByte, 0x55);
  EXPECT_EQ(Code[0], 0xCC);
  b.Remove();
  EXPECT_EQ(Code[0], 0x55);
  // While a thread steps over the instruction, the byte stays out.
  b.Stepping = 1;
  b.Insert();
  EXPECT_EQ(Code[0], 0x55);
}

TEST(Breakpoints, AListedBreakpointPutsItsByteBackWhenRemovedFromTheList) {
  TOwnProcess own;
  TBreakpointList list;
  auto* b = new TReturnBreakpoint(At(1));
  list.AddBreakpoint(b);
  b->Insert();
  EXPECT_EQ(Code[1], 0xCC);
  TBreakpoint* found = nullptr;
  ASSERT_TRUE(list.FindBreakpoint(At(1), found));
  EXPECT_EQ(found, b);
  list.RemoveBreakpoint(b);
  EXPECT_EQ(Code[1], 0x8B);
  EXPECT_FALSE(list.FindBreakpoint(At(1), found));
}

TEST(Breakpoints, AnUnloadedImageGetsNothingWrittenBack) {
  TOwnProcess own;
  TBreakpointList list;
  auto* b = new TTraceBreakpoint(At(2));
  list.AddBreakpoint(b);
  b->SetEnabled(true);
  EXPECT_EQ(Code[2], 0xCC);
  Code[2] = 0x77;  // the memory now holds something else
  auto inRange = list.InRange(At(0), 8);
  ASSERT_EQ(inRange.size(), 1u);
  EXPECT_TRUE(list.InRange(At(3), 8).empty());
  inRange[0]->Forget();
  list.RemoveBreakpoint(inRange[0]);
  EXPECT_EQ(Code[2], 0x77);
  Code[2] = 0xEC;
}

TEST(Breakpoints, AnEntryBreakpointIsArmedOnlyWhileEnabled) {
  TOwnProcess own;
  TTraceBreakpoint t(At(3));
  t.Insert();
  EXPECT_EQ(Code[3], 0x90) << "disabled: no byte";
  t.SetEnabled(true);
  EXPECT_EQ(Code[3], 0xCC);
  t.SetEnabled(false);
  EXPECT_EQ(Code[3], 0x90);
}

TEST(Breakpoints, ACallContextStartsWithAHiddenResult) {
  TOwnProcess own;
  TProcCallContext call(L"AddInts");
  TOleVariant two(2);
  call.AddParam(L"a", two, true);
  TOleVariant five(5);
  call.SetResult(five);
  LONG count = 0;
  call.Params->get_Count(&count);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(DescribeParams(call.Params.Get()), L"result=5; a=2");
  TComPtr<ITracerEventParam> result;
  call.Params->get_Item(0, result.Put());
  VARIANT_BOOL visible = VARIANT_TRUE;
  result->get_Visible(&visible);
  EXPECT_EQ(visible, VARIANT_FALSE);
}

// A symbol file unloaded and loaded again while a call is outstanding: the new definition may
// be made where the old one was, and must not take over the old one's share of the call.
TEST(Breakpoints, ADefinitionMadeWhereAGoneOneWasFindsNoCallContextOfIt) {
  TOwnProcess own;
  alignas(TEAXProcDef) unsigned char place[sizeof(TEAXProcDef)];
  auto* gone = new (place) TEAXProcDef(L"export://BpGone@bpgone.dll");
  TProcCallContexts contexts;
  contexts.AddContext(gone, new TProcCallContext(L"BpGone"));
  TProcCallContext* found = nullptr;
  EXPECT_TRUE(contexts.FindContext(gone, found));
  gone->~TEAXProcDef();
  auto* reloaded = new (place) TEAXProcDef(L"export://BpGone@bpgone.dll");
  found = nullptr;
  EXPECT_FALSE(contexts.FindContext(reloaded, found)) << "the new definition was matched to the old one's call";
  reloaded->~TEAXProcDef();
}
