#include "Tracer/app/fSelColorsDlg.h"

#include <commdlg.h>

#include <algorithm>
#include <utility>

#include "Tracer/app/uInterfaceServices.h"

namespace {

TChooseColorFunc GChooseColor = nullptr;

bool SystemChooseColor(HWND owner, COLORREF& color) {
  static COLORREF custom[16] = {};
  CHOOSECOLORW cc{};
  cc.lStructSize = sizeof(cc);
  cc.hwndOwner = owner;
  cc.rgbResult = color;
  cc.lpCustColors = custom;
  cc.Flags = CC_RGBINIT | CC_FULLOPEN;
  if (!ChooseColorW(&cc)) return false;
  color = cc.rgbResult;
  return true;
}

}  // namespace

TChooseColorFunc SetChooseColorFunc(TChooseColorFunc fn) { return std::exchange(GChooseColor, fn); }

TSelColorsDlg::TSelColorsDlg(TComponent* owner) : TfrmBaseDlg(owner, L"TSelColorsDlg", 400, 200) {
  AddClassSection("TSelColorsDlg");
  SetCaption(L"Choose colors");
  SetHelpKeyword(L"html\\highls.htm");
  Bevel1->SetBounds(8, 8, 385, 152);
  for (TButton* b : {btnOK, btnCancel, btnHelp}) b->SetBounds(b->Left(), 168, 75, 25);
  lblSearchStr = new TLabel(this, this, L"lblSearchStr", L"Search string", 16, 24);
  edt = new TEdit(this, this, L"edt", 16, 40, 369, 22);
  lblForeColor = new TLabel(this, this, L"lblForeColor", L"Foreground color", 16, 72);
  lblFore = new TLabel(this, this, L"lblFore", L"", 104, 72, 97, 13);
  lblBackColor = new TLabel(this, this, L"lblBackColor", L"Background color", 208, 72);
  lblBack = new TLabel(this, this, L"lblBack", L"", 296, 72, 88, 13);
  for (TLabel* swatch : {lblFore, lblBack}) {
    swatch->SetSunken(true);
    swatch->SetCursor(IDC_HAND);
    swatch->OnClick = [this](TLabel* sender) { lblForeClick(sender); };
  }
  lblFore->SetColor(RGB(0, 0, 0));
  lblBack->SetColor(RGB(255, 255, 255));
  lblSample = new TLabel(this, this, L"lblSample", L"PREVIEW", 15, 100, 162, 40, TTextAlign::Center);
  lblSample->SetFont(L"Arial", -35);
}

void TSelColorsDlg::DoShow() {
  TfrmBaseDlg::DoShow();
  if (RuleIndex != -1) {
    TColorInfo* rule = GetColorInfos()->GetItem(RuleIndex);
    edt->SetText(rule->SearchStr);
    lblFore->SetColor(ColorToRGB(rule->ForeColor));
    lblBack->SetColor(ColorToRGB(rule->BackColor));
  }
  UpdatePreview();
  // A translated sample wider than its box widens the box.
  const int width = std::max(lblSample->Width(), static_cast<int>(lblSample->TextExtent(lblSample->Caption()).cx));
  lblSample->SetBounds((ClientWidth() - width) / 2, lblSample->Top(), width, lblSample->Height());
  edt->SetFocus();
}

void TSelColorsDlg::UpdatePreview() {
  lblSample->SetColor(lblBack->Color());
  lblSample->SetFontColor(lblFore->Color());
}

void TSelColorsDlg::lblForeClick(TLabel* swatch) {
  COLORREF color = swatch->Color();
  if (!(GChooseColor ? GChooseColor : SystemChooseColor)(Handle(), color)) return;
  swatch->SetColor(color);
  UpdatePreview();
}
