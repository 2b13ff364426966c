// Owners of the window layer's handles (windows, GDI objects, device contexts, image lists,
// icons, menus, accelerator tables): the one family of GDI and DC holders of the program. Every window procedure, timer and idle pass of the layer runs inside
// WindowProcGuard (uGuards).
#pragma once
#include <windows.h>
#include <commctrl.h>

#include "Tracer/foundation/uGuards.h"
#include "lib/dgn/windows/DgnHandle.h"

struct TWindowHandleTraits {
  using Handle = HWND;
  static Handle Invalid() { return nullptr; }
  static bool Valid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { ::DestroyWindow(h); }
};

// Fonts, bitmaps, brushes, pens.
template <class T>
struct TGdiObjectTraits {
  using Handle = T;
  static Handle Invalid() { return nullptr; }
  static bool Valid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { ::DeleteObject(h); }
};

struct TImageListTraits {
  using Handle = HIMAGELIST;
  static Handle Invalid() { return nullptr; }
  static bool Valid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { ::ImageList_Destroy(h); }
};

struct TIconTraits {
  using Handle = HICON;
  static Handle Invalid() { return nullptr; }
  static bool Valid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { ::DestroyIcon(h); }
};

struct TMenuTraits {
  using Handle = HMENU;
  static Handle Invalid() { return nullptr; }
  static bool Valid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { ::DestroyMenu(h); }
};

struct TAccelTraits {
  using Handle = HACCEL;
  static Handle Invalid() { return nullptr; }
  static bool Valid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { ::DestroyAcceleratorTable(h); }
};

// A memory device context from CreateCompatibleDC, deleted with DeleteDC.
struct TMemoryDCTraits {
  using Handle = HDC;
  static Handle Invalid() { return nullptr; }
  static bool Valid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { ::DeleteDC(h); }
};

// A device context from GetDC (the client area) or GetWindowDC (the whole window, frame
// included), given back with ReleaseDC.
class TWindowDC {
public:
  enum class TArea { Client, Whole };
  explicit TWindowDC(HWND window, TArea area = TArea::Client)
      : FWindow(window), FDC(area == TArea::Whole ? ::GetWindowDC(window) : ::GetDC(window)) {}
  ~TWindowDC() {
    if (FDC) ::ReleaseDC(FWindow, FDC);
  }
  TWindowDC(const TWindowDC&) = delete;
  TWindowDC& operator=(const TWindowDC&) = delete;
  HDC Get() const { return FDC; }

private:
  HWND FWindow;
  HDC FDC;
};

// A GDI object selected into a device context until the end of the scope.
class TSelectObject {
public:
  TSelectObject(HDC dc, HGDIOBJ obj) : FDC(dc), FOld(::SelectObject(dc, obj)) {}
  ~TSelectObject() { ::SelectObject(FDC, FOld); }
  TSelectObject(const TSelectObject&) = delete;
  TSelectObject& operator=(const TSelectObject&) = delete;

private:
  HDC FDC;
  HGDIOBJ FOld;
};

using TWindowHandle = TDgnUniqueHandle<TWindowHandleTraits>;
using TFontHandle = TDgnUniqueHandle<TGdiObjectTraits<HFONT>>;
using TBitmapHandle = TDgnUniqueHandle<TGdiObjectTraits<HBITMAP>>;
using TBrushHandle = TDgnUniqueHandle<TGdiObjectTraits<HBRUSH>>;
using TPenHandle = TDgnUniqueHandle<TGdiObjectTraits<HPEN>>;
using TMemoryDC = TDgnUniqueHandle<TMemoryDCTraits>;
using TImageListHandle = TDgnUniqueHandle<TImageListTraits>;
using TIconHandle = TDgnUniqueHandle<TIconTraits>;
using TMenuHandle = TDgnUniqueHandle<TMenuTraits>;
using TAccelHandle = TDgnUniqueHandle<TAccelTraits>;
