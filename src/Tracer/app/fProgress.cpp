#include "Tracer/app/fProgress.h"

TfrmProgress::TfrmProgress(TComponent* owner) : TfrmBase(owner, L"TfrmProgress", 320, 80, TBorderStyle::Dialog) {
  AddClassSection("TfrmProgress");
  SetCaption(L"Please wait...");
  SetPosition(TFormPosition::MainFormCenter);
  prb = new TProgressBar(this, this, L"prb", 8, 8, 305, 33);
  btnCancel = new TButton(this, this, L"btnCancel", L"&Cancel", 238, 48, 75, 25);
  btnCancel->SetDefault(true);
  btnCancel->SetCancel(true);
  btnCancel->OnClick = [this](TButton*) { btnCancelClick(); };
  // Closing the window is cancelling: it stays until the export has ended.
  OnClose = [this](TForm*, TCloseAction& action) {
    btnCancelClick();
    action = TCloseAction::None;
  };
}

void TfrmProgress::FormCreate() {
  TfrmBase::FormCreate();
  Cancelled = false;
}

void TfrmProgress::btnCancelClick() { Cancelled = true; }

bool TfrmProgress::Progress(int32_t position, int32_t max) {
  prb->SetMax(max);
  prb->SetPosition(position);
  const bool goOn = !Cancelled;
  Application()->ProcessMessages();
  return goOn;
}
