#include "Tracer/foundation/uMainThreadWait.h"

#include <atomic>

#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uRaise.h"
#include "lib/dgn/windows/DgnDebugThread.h"
#include "lib/dgn/windows/DgnStackInfo.h"

namespace {

// What wakes the wait: everything but input, and only what is new since the last look at the
// queue (no MWMO_INPUTAVAILABLE). Not QS_ALLPOSTMESSAGE: only a peek over every message number
// clears it, so a posted message the wait leaves queued (the WM_CHAR that TranslateMessage posts
// for a key) would wake it again at once, turn after turn. QS_POSTMESSAGE is cleared by the
// filtered peeks too. (A post that lands in a range already looked at during one turn's peeks
// is seen at the next wake, or by the program's loop when the wait ends.)
constexpr DWORD WakeMask = QS_SENDMESSAGE | QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_HOTKEY;

// The message numbers between input ranges (non-client mouse, raw input, keys, mouse, hover and
// leave): only these are taken from the queue while waiting.
struct TRange {
  UINT First, Last;
};
constexpr TRange NonInput[] = {
    {0, WM_NCMOUSEMOVE - 1},
    {WM_NCXBUTTONDBLCLK + 1, 0xFD},  // below WM_INPUT_DEVICE_CHANGE and WM_INPUT
    {WM_UNICHAR + 1, WM_MOUSEFIRST - 1},
    {0x020F, WM_NCMOUSEHOVER - 1},  // after WM_MOUSEHWHEEL
    {WM_MOUSELEAVE + 1, 0xFFFFFFFF},
};

std::atomic<TMainThreadWaitFunc> WaitFunc{nullptr};
std::atomic<unsigned long long> Turns{0};

// Dispatches what is queued except input; a quit is taken out and remembered.
void DispatchNonInput(bool& quit, int& quitCode) {
  for (const TRange& r : NonInput) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, r.First, r.Last, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        quit = true;
        quitCode = static_cast<int>(msg.wParam);
        continue;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
}

void DgnWaitThroughFoundation(HANDLE handle) { WaitOnMainThread(handle, INFINITE); }

}  // namespace

bool MainThreadWait(HANDLE handle, DWORD timeoutMs) {
  if (GetCurrentThreadId() != DgnMainThreadID()) {
    const DWORD r = WaitForSingleObject(handle, timeoutMs);
    Win32CheckApi(r != WAIT_FAILED, "WaitForSingleObject");
    return r == WAIT_OBJECT_0;
  }
  DWORD r = WaitForSingleObject(handle, 0);
  Win32CheckApi(r != WAIT_FAILED, "WaitForSingleObject");
  if (r == WAIT_OBJECT_0) return true;
  bool quit = false;
  int quitCode = 0;
  TScopeExit repost([&quit, &quitCode] {
    if (quit) PostQuitMessage(quitCode);
  });
  const DWORD start = GetTickCount();
  for (;;) {
    ++Turns;
    DispatchNonInput(quit, quitCode);
    DWORD left = INFINITE;
    if (timeoutMs != INFINITE) {
      const DWORD spent = GetTickCount() - start;
      left = spent >= timeoutMs ? 0 : timeoutMs - spent;
    }
    r = MsgWaitForMultipleObjectsEx(1, &handle, left, WakeMask, 0);
    if (r == WAIT_OBJECT_0) return true;
    Win32CheckApi(r != WAIT_FAILED, "MsgWaitForMultipleObjectsEx");
    // A message met when the time is up ends the wait as the time would.
    if (r == WAIT_TIMEOUT || left == 0) return false;
  }
}

unsigned long long MainThreadWaitTurns() { return Turns.load(); }

TMainThreadWaitFunc SetMainThreadWaitFunc(TMainThreadWaitFunc func) { return WaitFunc.exchange(func); }

bool WaitOnMainThread(HANDLE handle, DWORD timeoutMs) {
  TMainThreadWaitFunc func = WaitFunc.load();
  return func ? func(handle, timeoutMs) : MainThreadWait(handle, timeoutMs);
}

void InstallMainThreadWait() { DgnSetMainThreadWait(&DgnWaitThroughFoundation); }
