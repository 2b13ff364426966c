#include "Tracer/app/fMainPictures.h"

#include <vector>

#include "Tracer/window/uWinHandles.h"

namespace {

// Each picture is a few filled shapes on a 16 x 16 cell; the disabled list draws them grey.

enum class TShape : uint8_t { Poly, Rect, Ellipse, Frame, Text };

struct TStroke {
  TShape Shape;
  COLORREF Color;
  std::vector<POINT> Points;  // Poly: the corners; Rect/Ellipse/Frame: two corners; Text: the origin
  const wchar_t* Text = nullptr;
};

struct TPicture {
  int Index;
  std::vector<TStroke> Strokes;
};

const COLORREF Green = RGB(0, 150, 0), Red = RGB(200, 0, 0), Blue = RGB(0, 70, 200), Black = RGB(0, 0, 0),
               Yellow = RGB(240, 200, 0), Grey = RGB(110, 110, 110), White = RGB(255, 255, 255);

const std::vector<TPicture>& ActionPictures() {
  static const std::vector<TPicture> pictures{
      {0, {{TShape::Poly, Green, {{4, 2}, {13, 8}, {4, 14}}}}},                                   // run
      {1, {{TShape::Ellipse, Blue, {{2, 2}, {11, 11}}}, {TShape::Rect, Blue, {{9, 9}, {15, 15}}}}},  // attach
      {2, {{TShape::Rect, Red, {{3, 3}, {13, 13}}}}},                                             // stop
      {3, {{TShape::Poly, Red, {{2, 4}, {4, 2}, {14, 12}, {12, 14}}}, {TShape::Poly, Red, {{12, 2}, {14, 4}, {4, 14}, {2, 12}}}}},
      {4, {{TShape::Rect, Blue, {{2, 2}, {14, 14}}}, {TShape::Rect, White, {{4, 3}, {12, 8}}}}},  // save
      {5, {{TShape::Rect, Yellow, {{2, 3}, {14, 7}}}, {TShape::Rect, Red, {{2, 9}, {14, 13}}}}},  // highlight
      {6, {{TShape::Text, Blue, {{4, 0}}, L"?"}}},                                                // contents
      {7, {{TShape::Frame, Black, {{2, 1}, {11, 14}}}, {TShape::Poly, Yellow, {{6, 11}, {12, 5}, {15, 8}, {9, 14}}},
           {TShape::Poly, Black, {{6, 11}, {9, 14}, {5, 15}}}}},                                 // edit rule
      {8, {{TShape::Poly, Black, {{3, 11}, {8, 5}, {13, 11}}}}},                                  // prior
      {9, {{TShape::Poly, Black, {{3, 5}, {8, 11}, {13, 5}}}}},                                   // next
      {10, {{TShape::Ellipse, Red, {{5, 1}, {12, 8}}}, {TShape::Rect, Red, {{3, 7}, {14, 9}}},
            {TShape::Rect, Grey, {{8, 9}, {10, 16}}}}},                                           // stay on top
      {11, {{TShape::Rect, Black, {{3, 2}, {13, 4}}}, {TShape::Poly, Black, {{3, 12}, {8, 6}, {13, 12}}}}},
      {12, {{TShape::Rect, Black, {{3, 12}, {13, 14}}}, {TShape::Poly, Black, {{3, 4}, {8, 10}, {13, 4}}}}},
      {13, {{TShape::Rect, Blue, {{4, 3}, {7, 13}}}, {TShape::Rect, Blue, {{9, 3}, {12, 13}}}}},  // pause
      {14, {{TShape::Ellipse, Grey, {{2, 2}, {14, 14}}}, {TShape::Ellipse, White, {{6, 6}, {10, 10}}}}},
      {15, {{TShape::Text, Blue, {{3, 0}}, L"A"}}},                                              // ASCII
      {16, {{TShape::Text, Blue, {{1, 2}}, L"0x"}}},                                             // hex
      {17, {{TShape::Frame, Black, {{1, 1}, {15, 15}}}, {TShape::Rect, Black, {{7, 4}, {9, 9}}}, {TShape::Rect, Black, {{7, 7}, {12, 9}}}}},
      {18, {{TShape::Rect, Blue, {{1, 2}, {5, 14}}}, {TShape::Rect, Blue, {{6, 2}, {10, 14}}}, {TShape::Rect, Blue, {{11, 2}, {15, 14}}}}},
      {19, {{TShape::Frame, Black, {{3, 1}, {13, 15}}}, {TShape::Rect, Black, {{5, 4}, {11, 5}}}, {TShape::Rect, Black, {{5, 7}, {11, 8}}}, {TShape::Rect, Black, {{5, 10}, {11, 11}}}}},
      {20, {{TShape::Frame, Black, {{2, 1}, {11, 14}}}, {TShape::Rect, Green, {{7, 10}, {16, 12}}},
            {TShape::Rect, Green, {{10, 7}, {12, 15}}}}},                                         // new rule
      {21, {{TShape::Frame, Black, {{2, 1}, {11, 14}}}, {TShape::Rect, Red, {{7, 10}, {16, 12}}}}},  // delete rule
      {22, {{TShape::Frame, Black, {{5, 1}, {11, 9}}}, {TShape::Rect, Yellow, {{3, 7}, {13, 15}}}}},  // scroll lock
  };
  return pictures;
}

const int ActionPictureCount = 23;
const COLORREF MaskColor = RGB(255, 0, 255);

void DrawPicture(HDC dc, const TPicture* picture, bool disabled) {
  RECT cell{0, 0, 16, 16};
  TBrushHandle mask(CreateSolidBrush(MaskColor));
  FillRect(dc, &cell, mask.Get());
  if (!picture) return;
  for (const TStroke& s : picture->Strokes) {
    const COLORREF color = disabled && s.Color != White ? RGB(160, 160, 160) : s.Color;
    TBrushHandle brush(CreateSolidBrush(color));
    TPenHandle pen(CreatePen(PS_SOLID, 1, color));
    TSelectObject b(dc, brush.Get()), p(dc, pen.Get());
    const POINT* pts = s.Points.data();
    switch (s.Shape) {
      case TShape::Poly: Polygon(dc, pts, static_cast<int>(s.Points.size())); break;
      case TShape::Rect: {
        RECT r{pts[0].x, pts[0].y, pts[1].x, pts[1].y};
        FillRect(dc, &r, brush.Get());
        break;
      }
      case TShape::Ellipse: Ellipse(dc, pts[0].x, pts[0].y, pts[1].x, pts[1].y); break;
      case TShape::Frame: {
        RECT r{pts[0].x, pts[0].y, pts[1].x, pts[1].y};
        FrameRect(dc, &r, brush.Get());
        break;
      }
      case TShape::Text: {
        // Two letters take a smaller face to fit the cell.
        const int height = lstrlenW(s.Text) > 1 ? -11 : -15;
        TFontHandle font(CreateFontW(height, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Arial"));
        TSelectObject f(dc, font.Get());
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, color);
        TextOutW(dc, pts[0].x, pts[0].y, s.Text, lstrlenW(s.Text));
        break;
      }
    }
  }
}

}  // namespace

void AddActionPictures(TImageList* list, bool disabled) {
  TWindowDC screen(nullptr);
  TMemoryDC dc(CreateCompatibleDC(screen.Get()));
  for (int i = 0; i < ActionPictureCount; ++i) {
    const TPicture* picture = nullptr;
    for (const TPicture& p : ActionPictures())
      if (p.Index == i) picture = &p;
    TBitmapHandle bitmap(CreateCompatibleBitmap(screen.Get(), 16, 16));
    {
      TSelectObject select(dc.Get(), bitmap.Get());
      DrawPicture(dc.Get(), picture, disabled);
    }
    list->AddMasked(bitmap.Get(), MaskColor);
  }
}

// Each size as the system asks for it (shared icons: the system keeps them for the program's life).
void ShowProgramIcon(TForm& form) {
  const struct {
    WPARAM Kind;
    int Width, Height;
  } sizes[] = {{ICON_BIG, SM_CXICON, SM_CYICON}, {ICON_SMALL, SM_CXSMICON, SM_CYSMICON}};
  for (const auto& size : sizes)
    if (HANDLE icon = LoadImageW(GetModuleHandleW(nullptr), L"MAINICON", IMAGE_ICON, GetSystemMetrics(size.Width),
                                 GetSystemMetrics(size.Height), LR_SHARED))
      form.Perform(WM_SETICON, size.Kind, reinterpret_cast<LPARAM>(icon));
}
