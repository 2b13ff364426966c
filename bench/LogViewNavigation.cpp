#include "LogViewNavigation.h"

#include <commctrl.h>

#include <algorithm>
#include <functional>
#include <stdexcept>

namespace {

int TopRow(HWND list) { return static_cast<int>(SendMessageW(list, LVM_GETTOPINDEX, 0, 0)); }

// Milliseconds from `act` until the view's top row satisfies `arrived`, nothing of it waits for
// a repaint, and the list's thread has answered a message sent after its paint.
double TimeToRepaint(HWND list, const std::function<void()>& act, const std::function<bool(int)>& arrived) {
  LARGE_INTEGER freq, t0, t1;
  QueryPerformanceFrequency(&freq);
  QueryPerformanceCounter(&t0);
  act();
  const DWORD limit = GetTickCount() + 60000;
  while (!(arrived(TopRow(list)) && !GetUpdateRect(list, nullptr, FALSE))) {
    if (GetTickCount() > limit) throw std::runtime_error("the log view did not move");
    Sleep(0);
  }
  DWORD_PTR answer = 0;
  SendMessageTimeoutW(list, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &answer);
  QueryPerformanceCounter(&t1);
  return static_cast<double>(t1.QuadPart - t0.QuadPart) * 1000.0 / static_cast<double>(freq.QuadPart);
}

void PostKey(HWND list, WORD key) {
  PostMessageW(list, WM_KEYDOWN, key, 1);
  PostMessageW(list, WM_KEYUP, key, 0xC0000001);
}

void MouseAt(POINT p, DWORD flags) {
  INPUT in{};
  in.type = INPUT_MOUSE;
  in.mi.dx = static_cast<LONG>(p.x * 65535 / (GetSystemMetrics(SM_CXSCREEN) - 1));
  in.mi.dy = static_cast<LONG>(p.y * 65535 / (GetSystemMetrics(SM_CYSCREEN) - 1));
  in.mi.dwFlags = MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE | flags;
  SendInput(1, &in, sizeof in);
}

void Settle(HWND list) {
  DWORD_PTR answer = 0;
  SendMessageTimeoutW(list, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &answer);
  Sleep(200);
}

}  // namespace

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

TNavigationTimes MeasureNavigation(HWND main, HWND list, int runs) {
  const int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  SetForegroundWindow(main);
  Settle(list);
  const int perPage = static_cast<int>(SendMessageW(list, LVM_GETCOUNTPERPAGE, 0, 0));
  std::vector<double> end, home, pageDown, drag;
  for (int i = 0; i < runs; ++i) {
    end.push_back(TimeToRepaint(list, [&] { PostKey(list, VK_END); }, [&](int top) { return top == count - perPage; }));
    Settle(list);
    home.push_back(TimeToRepaint(list, [&] { PostKey(list, VK_HOME); }, [](int top) { return top == 0; }));
    Settle(list);
    PostKey(list, VK_NEXT);  // the focus goes to the page's last row; the next key scrolls
    Settle(list);
    pageDown.push_back(TimeToRepaint(list, [&] { PostKey(list, VK_NEXT); }, [](int top) { return top > 0; }));
    Settle(list);
    PostKey(list, VK_HOME);
    Settle(list);
    // The thumb, taken at its top and dragged to the middle of the track (the bar's place is
    // worked out from the window: its information is not given to another process).
    RECT r{};
    GetWindowRect(list, &r);
    const int edge = GetSystemMetrics(SM_CXEDGE);
    const int x = r.right - edge - GetSystemMetrics(SM_CXVSCROLL) / 2;
    const POINT thumb{x, r.top + edge + GetSystemMetrics(SM_CYVSCROLL) + GetSystemMetrics(SM_CYVTHUMB) / 2};
    const POINT middle{x, (r.top + r.bottom) / 2};
    MouseAt(thumb, 0);
    Sleep(50);
    MouseAt(thumb, MOUSEEVENTF_LEFTDOWN);
    Settle(list);
    drag.push_back(TimeToRepaint(list, [&] { MouseAt(middle, 0); }, [](int top) { return top > 0; }));
    MouseAt(middle, MOUSEEVENTF_LEFTUP);
    Settle(list);
    PostKey(list, VK_HOME);
    Settle(list);
  }
  return {Median(end), Median(home), Median(pageDown), Median(drag)};
}
