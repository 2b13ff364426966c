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
  const bool goOn = !Cancelled;
  // A row takes microseconds, the bar and the message pump a trip through the window system
  // each: they run on the first row and then at most every PumpIntervalMs, which is still at
  // once for a user's Cancel.
  const DWORD now = GetTickCount();
  if (FPumped && now - FLastPump < PumpIntervalMs) return goOn;
  FPumped = true;
  FLastPump = now;
  if (max != FShownMax) {
    prb->SetMax(max);
    FShownMax = max;
  }
  if (position != FShownPosition) {
    prb->SetPosition(position);
    FShownPosition = position;
  }
  Application()->ProcessMessages();
  return goOn;
}
