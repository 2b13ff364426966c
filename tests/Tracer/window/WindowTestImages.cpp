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

namespace {

// Whether the picture covers any pixel of a cell filled with a colour no picture uses.
bool DrawsSomething(HIMAGELIST list, int index) {
  if (!list || index < 0 || index >= ImageList_GetImageCount(list)) return false;
  const COLORREF background = RGB(1, 2, 3);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(info.bmiHeader), 16, -16, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  TBitmapHandle bitmap(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!bitmap.Get()) return false;
  HDC dc = CreateCompatibleDC(nullptr);
  bool drawn = false;
  {
    TSelectObject selected(dc, bitmap.Get());
    RECT all{0, 0, 16, 16};
    TBrushHandle brush(CreateSolidBrush(background));
    FillRect(dc, &all, brush.Get());
    ImageList_Draw(list, index, dc, 0, 0, ILD_TRANSPARENT);
    GdiFlush();
    const auto* pixels = static_cast<const uint32_t*>(bits);
    for (int i = 0; i < 16 * 16 && !drawn; ++i) drawn = (pixels[i] & 0xFFFFFF) != 0x010203;
  }
  DeleteDC(dc);
  return drawn;
}

void CollectBlank(TComponent& owner, std::vector<std::wstring>& blank) {
  for (int i = 0; i < owner.ComponentCount(); ++i) {
    TComponent* component = owner.Component(i);
    if (auto* bar = dynamic_cast<TToolBar*>(component)) {
      const HWND handle = bar->Handle();
      const auto images = reinterpret_cast<HIMAGELIST>(SendMessageW(handle, TB_GETIMAGELIST, 0, 0));
      const auto disabled = reinterpret_cast<HIMAGELIST>(SendMessageW(handle, TB_GETDISABLEDIMAGELIST, 0, 0));
      for (int b = 0; b < bar->ButtonCount(); ++b) {
        TBBUTTON button{};
        SendMessageW(handle, TB_GETBUTTON, b, reinterpret_cast<LPARAM>(&button));
        if (button.fsStyle & BTNS_SEP) continue;
        if (!DrawsSomething(images, button.iBitmap) || (disabled && !DrawsSomething(disabled, button.iBitmap)))
          blank.push_back(bar->Button(b)->Name());
      }
    }
    CollectBlank(*component, blank);
  }
}

}  // namespace

std::vector<std::wstring> BlankToolButtons(TComponent& owner) {
  std::vector<std::wstring> blank;
  CollectBlank(owner, blank);
  return blank;
}
