#include "Tracer/window/WindowTestImages.h"

#include "Tracer/window/uWinHandles.h"

TImageList* MakeTestImages(TComponent* owner, int count) {
  auto* images = new TImageList(owner, L"imlTest");
  TWindowDC screen(nullptr);
  for (int i = 0; i < count; ++i) {
    TBitmapHandle bitmap(CreateCompatibleBitmap(screen.Get(), 16, 16));
    HDC dc = CreateCompatibleDC(screen.Get());
    {
      TSelectObject selected(dc, bitmap.Get());
      RECT all{0, 0, 16, 16}, inner{2, 2, 14, 14};
      FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
      TBrushHandle brush(CreateSolidBrush(RGB((i * 97) % 256, (i * 57 + 80) % 256, (i * 151 + 40) % 256)));
      FillRect(dc, &inner, brush.Get());
    }
    DeleteDC(dc);
    images->Add(bitmap.Get());
  }
  return images;
}
