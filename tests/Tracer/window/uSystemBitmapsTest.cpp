#include "Tracer/window/uSystemBitmaps.h"

#include <gtest/gtest.h>

#include "Tracer/foundation/uHolders.h"
#include "Tracer/window/uWinHandles.h"

namespace {

// The colour at (x, y) of an image-list image drawn on white.
COLORREF PixelOf(HIMAGELIST list, int index, int x, int y) {
  TWindowDC screen(nullptr);
  TMemoryDC dc(CreateCompatibleDC(screen.Get()));
  TBitmapHandle bitmap(CreateCompatibleBitmap(screen.Get(), 16, 16));
  TSelectObject select(dc.Get(), bitmap.Get());
  PatBlt(dc.Get(), 0, 0, 16, 16, WHITENESS);
  ImageList_Draw(list, index, dc.Get(), 0, 0, ILD_NORMAL);
  return GetPixel(dc.Get(), x, y);
}

// Pixels that differ between two images of the list.
int DifferentPixels(HIMAGELIST list, int a, int b) {
  int n = 0;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) n += PixelOf(list, a, x, y) != PixelOf(list, b, x, y);
  return n;
}

}  // namespace

TEST(SystemBitmaps, FourPicturesGetTheIndicesZeroToThree) {
  TImageListHandle images(ImageList_Create(16, 16, ILC_COLOR24, 0, 4));
  ASSERT_TRUE(images.Valid());
  HIMAGELIST list = images.Get();
  TComPtr<ISystemBitmaps> bitmaps(new TSystemBitmaps());
  TSystemImagesStorage storage(bitmaps.Get(), list);
  EXPECT_EQ(0, storage.CheckBoxImageIndex(false));
  EXPECT_EQ(1, storage.CheckBoxImageIndex(true));
  EXPECT_EQ(2, storage.RadioButtonImageIndex(false));
  EXPECT_EQ(3, storage.RadioButtonImageIndex(true));
  EXPECT_EQ(4, ImageList_GetImageCount(list));
  // Checked and unchecked differ; a box is not a radio button; the sixteenth row and column
  // stay white (the pictures are 15 x 15, each drawn on a fresh white bitmap).
  EXPECT_GT(DifferentPixels(list, 0, 1), 0);
  EXPECT_GT(DifferentPixels(list, 2, 3), 0);
  EXPECT_GT(DifferentPixels(list, 0, 2), 0);
  for (int i = 0; i < 4; ++i)
    for (int k = 0; k < 16; ++k) {
      EXPECT_EQ(RGB(255, 255, 255), PixelOf(list, i, 15, k)) << i;
      EXPECT_EQ(RGB(255, 255, 255), PixelOf(list, i, k, 15)) << i;
    }
}

TEST(SystemBitmaps, ThemedPicturesOnlyWhenThemesAreOn) {
  bool themesOn = false;
  if (HMODULE uxtheme = LoadLibraryW(L"uxtheme.dll")) {
    auto active = reinterpret_cast<BOOL(WINAPI*)()>(GetProcAddress(uxtheme, "IsThemeActive"));
    auto themed = reinterpret_cast<BOOL(WINAPI*)()>(GetProcAddress(uxtheme, "IsAppThemed"));
    themesOn = active && themed && active() && themed();
  }
  bool aborted = false;
  try {
    TThemedSystemBitmapsImpl impl;
  } catch (const EAbort&) {
    aborted = true;
  }
  EXPECT_EQ(!themesOn, aborted);
  TComPtr<TSystemBitmaps> bitmaps(new TSystemBitmaps());
  EXPECT_EQ(themesOn, bitmaps->Themed());
}
