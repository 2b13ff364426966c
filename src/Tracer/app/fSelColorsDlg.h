// The editor of one highlight rule: the search text, the text and background colours (picked
// by clicking their swatches) and a preview.
#pragma once
#include <cstdint>

#include "Tracer/app/fTemplateDlg.h"
#include "Tracer/window/uWinCtrls.h"

// The colour picker (nullptr: the system's colour dialog); false when cancelled.
using TChooseColorFunc = bool (*)(HWND owner, COLORREF& color);
TChooseColorFunc SetChooseColorFunc(TChooseColorFunc fn);

class TSelColorsDlg : public TfrmBaseDlg {
public:
  explicit TSelColorsDlg(TComponent* owner);

  void UpdatePreview();
  // A click on a swatch: the picker starts with its colour and, confirmed, gives it a new one.
  void lblForeClick(TLabel* swatch);

  // The rule being edited, -1 for a new one; set before showing.
  int32_t RuleIndex = -1;

  TLabel* lblSearchStr;
  TEdit* edt;
  TLabel* lblForeColor;
  TLabel* lblFore;
  TLabel* lblBackColor;
  TLabel* lblBack;
  TLabel* lblSample;

protected:
  void DoShow() override;
};
