// The stream base over a Win32 file handle: positions in 64 bits, the size without moving, and
// the all-or-nothing reads and writes with their error classes.
#include "lib/rtl/Classes.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "lib/dgn/windows/DgnHandle.h"
#include "lib/rtl/SysUtils.h"
#include "support/TestSupport.h"

namespace {

TDgnHandle OpenFile(const std::wstring& path, DWORD access, DWORD disposition) {
  return TDgnHandle(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

TEST(HandleStream, SeeksFromEachOriginInSixtyFourBitsAndSizesWithoutMoving) {
  TTempDir dir;
  TDgnHandle file = OpenFile(dir.File(L"ten"), GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_TRUE(file);
  THandleStream stream(file.Get());
  stream.WriteBuffer("0123456789", 10);
  const int64_t fiveGiB = int64_t(5) << 30;
  struct Case {
    int64_t from;  // position before the seek
    int64_t offset;
    TSeekOrigin origin;
    int64_t expected;  // -1: refused
  };
  const Case cases[] = {
      {7, 0, TSeekOrigin::soBeginning, 0},
      {0, 4, TSeekOrigin::soBeginning, 4},
      {4, 2, TSeekOrigin::soCurrent, 6},
      {6, -6, TSeekOrigin::soCurrent, 0},
      {0, 0, TSeekOrigin::soEnd, 10},
      {0, -3, TSeekOrigin::soEnd, 7},
      {0, 25, TSeekOrigin::soEnd, 35},  // past the end is a position, not an error
      {0, fiveGiB + 3, TSeekOrigin::soBeginning, fiveGiB + 3},
      {fiveGiB, fiveGiB, TSeekOrigin::soCurrent, 2 * fiveGiB},
      {3, -1, TSeekOrigin::soBeginning, -1},
      {3, -20, TSeekOrigin::soEnd, -1},
  };
  for (const Case& c : cases) {
    stream.SetPosition(c.from);
    EXPECT_EQ(c.expected, stream.Seek(c.offset, c.origin)) << "from " << c.from << " by " << c.offset;
  }
  // Seeking wrote nothing, and taking the size leaves the position where it was.
  stream.SetPosition(2);
  EXPECT_EQ(10, stream.GetSize());
  EXPECT_EQ(2, stream.GetPosition());
  char c = 0;
  stream.ReadBuffer(&c, 1);
  EXPECT_EQ('2', c);
}

// A short read or write raises, with the run-time's texts; partial reads are the caller's
// choice through Read, which only counts.
TEST(HandleStream, ShortReadsAndWritesRaiseTheirStreamErrors) {
  TTempDir dir;
  {
    TDgnHandle file = OpenFile(dir.File(L"data"), GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    THandleStream stream(file.Get());
    stream.WriteBuffer("12345", 5);
    stream.SetPosition(3);
    char buf[8] = {};
    try {
      stream.ReadBuffer(buf, 5);
      ADD_FAILURE() << "no error";
    } catch (const EReadError& e) {
      EXPECT_EQ(L"Stream read error", e.Message());
    }
    stream.SetPosition(3);
    EXPECT_EQ(2, stream.Read(buf, 5));
    EXPECT_EQ(0, stream.Read(buf, 5));   // at the end
    EXPECT_EQ(0, stream.Read(buf, -1));  // a negative count reads nothing
    EXPECT_NO_THROW(stream.ReadBuffer(buf, 0));
    EXPECT_NO_THROW(stream.WriteBuffer(buf, 0));
  }
  TDgnHandle readOnly = OpenFile(dir.File(L"data"), GENERIC_READ, OPEN_EXISTING);
  THandleStream stream(readOnly.Get());
  EXPECT_EQ(0, stream.Write("x", 1));
  try {
    stream.WriteBuffer("x", 1);
    ADD_FAILURE() << "no error";
  } catch (const EWriteError& e) {
    EXPECT_EQ(L"Stream write error", e.Message());
  }
  EXPECT_EQ(5, stream.GetSize());
}

TEST(HandleStream, LeavesItsHandleOpen) {
  TTempDir dir;
  TDgnHandle file = OpenFile(dir.File(L"kept"), GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
  { THandleStream(file.Get()).WriteBuffer("ab", 2); }
  DWORD done = 0;
  EXPECT_TRUE(WriteFile(file.Get(), "c", 1, &done, nullptr)) << "the stream closed a handle it does not own";
  THandleStream again(file.Get());
  EXPECT_EQ(3, again.GetSize());
}
