#include "Tracer/app/fTemplateDlg.h"

TfrmBaseDlg::TfrmBaseDlg(TComponent* owner, const wchar_t* className, int clientWidth, int clientHeight,
                         TBorderStyle border)
    : TfrmBase(owner, className, clientWidth, clientHeight, border) {
  AddClassSection("TfrmBaseDlg");
  Bevel1 = new TBevel(this, this, L"Bevel1", 8, 8, 385, 193);
  btnOK = new TButton(this, this, L"btnOK", L"&OK", 158, 208);
  btnOK->SetDefault(true);
  btnOK->SetModalResult(mrOK);
  btnCancel = new TButton(this, this, L"btnCancel", L"&Cancel", 238, 208);
  btnCancel->SetCancel(true);
  btnCancel->SetModalResult(mrCancel);
  btnHelp = new TButton(this, this, L"btnHelp", L"&Help", 318, 208);
  btnHelp->OnClick = [this](TButton*) { btnHelpClick(); };
  for (TButton* b : {btnOK, btnCancel, btnHelp}) b->SetAnchors(akRight | akBottom);
}

void TfrmBaseDlg::btnHelpClick() { ShowHelp(); }
