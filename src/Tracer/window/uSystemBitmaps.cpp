#include "Tracer/window/uSystemBitmaps.h"

#include <uxtheme.h>
#include <vsstyle.h>

#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uRaise.h"
#include "Tracer/window/uWinHandles.h"
#include "lib/dgn/windows/DgnWin32.h"

namespace {

// A memory device context to draw into a bitmap with.
TMemoryDC NewMemoryDC() {
  TMemoryDC dc(CreateCompatibleDC(nullptr));
  Win32CheckApi(dc.Valid(), "CreateCompatibleDC");
  return dc;
}

constexpr RECT PictureRect = {0, 0, 15, 15};

void DrawFrame(HBITMAP bitmap, UINT state) {
  TMemoryDC dc = NewMemoryDC();
  TSelectObject select(dc.Get(), bitmap);
  RECT r = PictureRect;
  DrawFrameControl(dc.Get(), &r, DFC_BUTTON, state);
}

// The theme functions, bound on first use (systems without themes have none).
BOOL(WINAPI* PIsThemeActive)() = nullptr;
BOOL(WINAPI* PIsAppThemed)() = nullptr;
HTHEME(WINAPI* POpenThemeData)(HWND, LPCWSTR) = nullptr;
HRESULT(WINAPI* PCloseThemeData)(HTHEME) = nullptr;
HRESULT(WINAPI* PDrawThemeBackground)(HTHEME, HDC, int, int, const RECT*, const RECT*) = nullptr;

void BindThemeFunctions() {
  BindProcedure(PIsThemeActive, L"uxtheme.dll", "IsThemeActive");
  BindProcedure(PIsAppThemed, L"uxtheme.dll", "IsAppThemed");
  BindProcedure(POpenThemeData, L"uxtheme.dll", "OpenThemeData");
  BindProcedure(PCloseThemeData, L"uxtheme.dll", "CloseThemeData");
  BindProcedure(PDrawThemeBackground, L"uxtheme.dll", "DrawThemeBackground");
}

[[noreturn]] void SilentAbort() { throw EAbort(L"Operation aborted"); }

}  // namespace

void TNonThemedSystemBitmapsImpl::DrawCheckBox(bool checked, HBITMAP bitmap) {
  DrawFrame(bitmap, DFCS_BUTTONCHECK | (checked ? DFCS_CHECKED : 0));
}

void TNonThemedSystemBitmapsImpl::DrawRadioButton(bool checked, HBITMAP bitmap) {
  DrawFrame(bitmap, DFCS_BUTTONRADIO | (checked ? DFCS_CHECKED : 0));
}

TThemedSystemBitmapsImpl::TThemedSystemBitmapsImpl() {
  try {
    BindThemeFunctions();
  } catch (const Exception&) {
    SilentAbort();
  }
  if (!PIsThemeActive() || !PIsAppThemed()) SilentAbort();
  FTheme = POpenThemeData(nullptr, L"BUTTON");
  if (!FTheme) SilentAbort();
}

TThemedSystemBitmapsImpl::~TThemedSystemBitmapsImpl() { PCloseThemeData(FTheme); }

void TThemedSystemBitmapsImpl::DrawPart(int part, int state, HBITMAP bitmap) {
  TMemoryDC dc = NewMemoryDC();
  TSelectObject select(dc.Get(), bitmap);
  OleCheck(PDrawThemeBackground(FTheme, dc.Get(), part, state, &PictureRect, nullptr));
}

void TThemedSystemBitmapsImpl::DrawCheckBox(bool checked, HBITMAP bitmap) {
  DrawPart(BP_CHECKBOX, checked ? CBS_CHECKEDNORMAL : CBS_UNCHECKEDNORMAL, bitmap);
}

void TThemedSystemBitmapsImpl::DrawRadioButton(bool checked, HBITMAP bitmap) {
  DrawPart(BP_RADIOBUTTON, checked ? RBS_CHECKEDNORMAL : RBS_UNCHECKEDNORMAL, bitmap);
}

TSystemBitmaps::TSystemBitmaps() {
  try {
    FImpl = std::make_unique<TThemedSystemBitmapsImpl>();
  } catch (const Exception&) {
    FImpl = std::make_unique<TNonThemedSystemBitmapsImpl>();
  }
}

void* TSystemBitmaps::GetInterface(REFIID iid) {
  if (IsEqualIID(iid, IID_IUnknown)) return static_cast<IUnknown*>(static_cast<ISystemBitmaps*>(this));
  return TInterfacedObject::GetInterface(iid);
}

bool TSystemBitmaps::Themed() const { return dynamic_cast<TThemedSystemBitmapsImpl*>(FImpl.get()) != nullptr; }

TSystemImagesStorage::TSystemImagesStorage(ISystemBitmaps* systemBitmaps, HIMAGELIST imageList) {
  constexpr int Size = 16;
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = Size;
  info.bmiHeader.biHeight = Size;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  TBitmapHandle bitmap(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  Win32CheckApi(bitmap.Valid(), "CreateDIBSection");
  HBITMAP picture = bitmap.Get();
  auto fillWhite = [picture] {
    TMemoryDC dc = NewMemoryDC();
    TSelectObject select(dc.Get(), picture);
    PatBlt(dc.Get(), 0, 0, Size, Size, WHITENESS);
  };
  // A new bitmap is black; each picture is drawn on white.
  fillWhite();
  for (int i = 0; i < 4; ++i) {
    if (i < 2)
      systemBitmaps->DrawCheckBox(i == 1, picture);
    else
      systemBitmaps->DrawRadioButton(i == 3, picture);
    FIndices[i] = ImageList_Add(imageList, picture, nullptr);
    Win32CheckApi(FIndices[i] >= 0, "ImageList_Add");
    fillWhite();
  }
}
