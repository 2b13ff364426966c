// The common frame of the dialogs: a bevel and the OK, Cancel and Help buttons.
#pragma once
#include "Tracer/app/fBase.h"
#include "Tracer/window/uWinCtrls.h"

class TfrmBaseDlg : public TfrmBase {
public:
  explicit TfrmBaseDlg(TComponent* owner, const wchar_t* className = L"TfrmBaseDlg", int clientWidth = 400,
                       int clientHeight = 240, TBorderStyle border = TBorderStyle::Dialog);
  void btnHelpClick();

  TBevel* Bevel1;
  TButton* btnOK;
  TButton* btnCancel;
  TButton* btnHelp;
};
