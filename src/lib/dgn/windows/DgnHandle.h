// The one owner type of the system's handles: a handle closes itself when its owner goes.
// Kinds differ only in their traits (the invalid value and the call that closes them), so
// kernel handles here and window, font, image-list, icon and menu handles in the window layer
// all use the same template.
#pragma once
#include <windows.h>

#include <utility>

template <class Traits>
class TDgnUniqueHandle {
public:
  using Handle = typename Traits::Handle;

  TDgnUniqueHandle() = default;
  // Adopts a handle the caller owns.
  explicit TDgnUniqueHandle(Handle h) : FHandle(h) {}
  TDgnUniqueHandle(const TDgnUniqueHandle&) = delete;
  TDgnUniqueHandle& operator=(const TDgnUniqueHandle&) = delete;
  TDgnUniqueHandle(TDgnUniqueHandle&& other) noexcept : FHandle(other.Release()) {}
  TDgnUniqueHandle& operator=(TDgnUniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~TDgnUniqueHandle() { Reset(); }

  Handle Get() const { return FHandle; }
  bool Valid() const { return Traits::Valid(FHandle); }
  explicit operator bool() const { return Valid(); }
  // Closes the held handle and adopts another (or none).
  void Reset(Handle h = Traits::Invalid()) {
    Handle old = std::exchange(FHandle, h);
    if (Traits::Valid(old)) Traits::Close(old);
  }
  // Gives the handle to the caller, who closes it from now on.
  Handle Release() { return std::exchange(FHandle, Traits::Invalid()); }
  // Closes the held handle and hands out the slot for an out-parameter.
  Handle* Put() {
    Reset();
    return &FHandle;
  }

private:
  Handle FHandle = Traits::Invalid();
};

// Kernel objects: nil and INVALID_HANDLE_VALUE both mean none.
struct TDgnKernelHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return nullptr; }
  static bool Valid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { ::CloseHandle(h); }
};

using TDgnHandle = TDgnUniqueHandle<TDgnKernelHandleTraits>;

// A search of FindFirstFileW: INVALID_HANDLE_VALUE means none.
struct TDgnFindHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static bool Valid(Handle h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void Close(Handle h) { ::FindClose(h); }
};

using TDgnFindHandle = TDgnUniqueHandle<TDgnFindHandleTraits>;

// A registry key we opened (never one of the predefined roots).
struct TDgnRegKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() { return nullptr; }
  static bool Valid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { ::RegCloseKey(h); }
};

using TDgnRegKey = TDgnUniqueHandle<TDgnRegKeyTraits>;

// A library loaded with LoadLibraryW: freed once.
struct TDgnModuleTraits {
  using Handle = HMODULE;
  static Handle Invalid() { return nullptr; }
  static bool Valid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { ::FreeLibrary(h); }
};

using TDgnModule = TDgnUniqueHandle<TDgnModuleTraits>;

// A view of a file mapping.
struct TDgnMappedViewTraits {
  using Handle = void*;
  static Handle Invalid() { return nullptr; }
  static bool Valid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { ::UnmapViewOfFile(h); }
};

using TDgnMappedView = TDgnUniqueHandle<TDgnMappedViewTraits>;
