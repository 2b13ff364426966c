// The main thread's one wait: what it lets through while it waits and what it keeps for later,
// and the engine's lock, which waits through it.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "Tracer/foundation/uClasses.h"
#include "Tracer/foundation/uMainThreadWait.h"
#include "lib/dgn/windows/DgnHandle.h"
#include "lib/rtl/SysUtils.h"
#include "support/MessageWindow.h"
#include "support/TestSupport.h"

namespace {

std::vector<UINT> GSeen;

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP || message == WM_APP + 1 || message == WM_LBUTTONDOWN || message == WM_KEYDOWN) {
    GSeen.push_back(message);
    return 1;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND RecordingWindow() { return MessageOnlyWindow(L"CwMainWaitProbe", &RecordingProc); }

bool Contains(const std::vector<UINT>& v, UINT m) { return std::find(v.begin(), v.end(), m) != v.end(); }

}  // namespace

TEST(MainThreadWait, SentCallsAndPostsGoThroughWhileInputAndTheQuitWaitForTheProgramsLoop) {
  HWND window = RecordingWindow();
  ASSERT_NE(window, nullptr);
  GSeen.clear();
  PostMessageW(window, WM_LBUTTONDOWN, 0, 0);  // a click and a key: the user's second action
  PostMessageW(window, WM_KEYDOWN, VK_SPACE, 0);
  PostMessageW(window, WM_APP, 0, 0);
  PostQuitMessage(7);
  TDgnHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<bool> answered{false};
  std::thread worker([&] {
    ScaledSleep(200);
    DWORD_PTR result = 0;
    answered = SendMessageTimeoutW(window, WM_APP + 1, 0, 0, SMTO_BLOCK, ScaledMs(5000), &result) != 0 && result == 1;
    SetEvent(done.Get());
  });
  const unsigned long long turns = MainThreadWaitTurns();
  EXPECT_TRUE(MainThreadWait(done.Get(), ScaledMs(10000)));
  EXPECT_LE(MainThreadWaitTurns() - turns, 10u) << "the wait spun on the input it leaves queued";
  EXPECT_TRUE(JoinWithin(worker, 10000));
  EXPECT_TRUE(answered) << "the worker's call was not handled during the wait";
  EXPECT_TRUE(Contains(GSeen, WM_APP));
  EXPECT_FALSE(Contains(GSeen, WM_LBUTTONDOWN)) << "input was handled during the wait";
  EXPECT_FALSE(Contains(GSeen, WM_KEYDOWN)) << "input was handled during the wait";
  // After the wait the program's loop finds the input, in its order, and the quit.
  MSG msg{};
  ASSERT_TRUE(PeekMessageW(&msg, window, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_LBUTTONDOWN));
  ASSERT_TRUE(PeekMessageW(&msg, window, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_KEYDOWN));
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the quit was swallowed";
  EXPECT_EQ(msg.wParam, 7u);
  // Nothing signals: the wait ends with its time, though a character (what TranslateMessage
  // posts for a key) waits in the queue. A watchdog ends a wait that overruns.
  PostMessageW(window, WM_CHAR, L' ', 0);
  TDgnHandle never(CreateEventW(nullptr, TRUE, FALSE, nullptr)), over(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::thread watchdog([&] {
    if (WaitForSingleObject(over.Get(), ScaledMs(5000)) == WAIT_TIMEOUT) SetEvent(never.Get());
  });
  EXPECT_FALSE(MainThreadWait(never.Get(), 50)) << "the wait ran past its time";
  SetEvent(over.Get());
  watchdog.join();
  DestroyWindow(window);
}

namespace {
bool RaisingWait(HANDLE, DWORD) { throw Exception(L"the wait failed"); }
}  // namespace

// A read whose wait raises leaves nothing held: the writer can let go and others get in.
TEST(DebugRWSync, AReadWhoseWaitRaisesLeavesTheLockUsable) {
  TMultiReadExclusiveWriteSync sync;
  std::atomic<bool> writing{false}, release{false}, released{false};
  std::thread writer([&] {
    sync.BeginWrite();
    writing = true;
    while (!release) Sleep(1);
    sync.EndWrite();
    released = true;
  });
  ASSERT_TRUE(PollUntil([&] { return writing.load(); }, 5000));
  TMainThreadWaitFunc previous = SetMainThreadWaitFunc(&RaisingWait);
  EXPECT_THROW(sync.BeginRead(), Exception);
  SetMainThreadWaitFunc(previous);
  release = true;
  EXPECT_TRUE(JoinWithin(writer, 5000)) << "the writer could not let go of the lock";
  EXPECT_TRUE(released);
  std::thread other([&] {
    TWriteLock lock(sync);
  });
  EXPECT_TRUE(JoinWithin(other, 5000)) << "the lock stayed taken";
}
