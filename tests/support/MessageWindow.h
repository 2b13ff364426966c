// A message-only window of the test's own, for messages that a wait under test lets through.
#pragma once
#include <windows.h>

// Registers className with proc (once) and makes a message-only window of it.
inline HWND MessageOnlyWindow(const wchar_t* className, WNDPROC proc) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = className;
  RegisterClassW(&wc);
  return CreateWindowExW(0, className, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
}
