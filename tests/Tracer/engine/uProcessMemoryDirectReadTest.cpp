// Reads straight from a process, without the memory manager, against a real second process
// (the memtarget fixture).
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>

#include "MemTarget.h"
#include "Tracer/engine/uProcessMemory.h"

TEST(DirectReads, AReadSucceedsOnlyWhenEveryByteCouldBeRead) {
  TMemTarget target;
  const uint32_t pageEnd = target.At("unreadable");  // the first byte that cannot be read
  const struct {
    const char* What;
    uint32_t Address;
    size_t Count;
    bool Read;
  } cases[] = {
      {"readable bytes", target.At("abcdefgh"), 8, true},
      {"up to the page's last byte", pageEnd - 8, 8, true},
      {"running past the page", pageEnd - 4, 8, false},
      {"starting past the page", pageEnd, 4, false},
      {"address 0", 0, 4, false},
  };
  for (const auto& c : cases) {
    char buffer[8] = {};
    EXPECT_EQ(TryReadProcessMemory(target.Process(), c.Address, buffer, c.Count), c.Read) << c.What;
  }
  char text[8] = {};
  ASSERT_TRUE(TryReadProcessMemory(target.Process(), target.At("abcdefgh"), text, sizeof text));
  EXPECT_EQ(std::memcmp(text, "abcdefgh", 8), 0);
}
