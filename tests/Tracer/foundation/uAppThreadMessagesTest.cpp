// The main thread's message pump used by every wait that must keep synchronised calls going.
#include <gtest/gtest.h>

#include <windows.h>

#include "Tracer/foundation/uAppThread.h"
#include "support/MessageWindow.h"

namespace {

int GDispatched = 0;

LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_USER) {
    ++GDispatched;
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

TEST(MessagePump, PendingMessagesAreDispatchedAndAQuitIsLeftForTheProgramsLoop) {
  HWND window = MessageOnlyWindow(L"CwPumpProbe", &CountingProc);
  ASSERT_NE(window, nullptr);
  GDispatched = 0;
  PostMessageW(window, WM_USER, 0, 0);
  PostMessageW(window, WM_USER, 0, 0);
  PostQuitMessage(3);
  ProcessMessages();
  EXPECT_EQ(GDispatched, 2);
  MSG msg{};
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the quit was swallowed";
  EXPECT_EQ(msg.wParam, 3u);
  // Nothing pending: the pump returns at once.
  ProcessMessages();
  EXPECT_EQ(GDispatched, 2);
  DestroyWindow(window);
  UnregisterClassW(L"CwPumpProbe", GetModuleHandleW(nullptr));
}
