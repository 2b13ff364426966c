// The window shown while the log is exported: a progress bar and Cancel. Its progress call
// moves the bar and processes the pending messages on the first row and then at most every
// 50 ms, so Cancel (or closing the window) is seen during the export and stops it after one
// more row, and a row costs no more than a clock reading.
#pragma once
#include "Tracer/app/fBase.h"
#include "Tracer/app/uReportWriters.h"
#include "Tracer/window/uWinComCtrls.h"
#include "Tracer/window/uWinCtrls.h"

class TfrmProgress : public TfrmBase, public IProgressCallback {
public:
  explicit TfrmProgress(TComponent* owner);

  void FormCreate() override;
  void btnCancelClick();
  // Shows the position, answers whether to go on, then handles what is pending.
  bool Progress(int32_t position, int32_t max) override;

  bool Cancelled = false;
  TProgressBar* prb;
  TButton* btnCancel;

  static constexpr DWORD PumpIntervalMs = 50;

private:
  bool FPumped = false;
  DWORD FLastPump = 0;
  int32_t FShownMax = -1;
  int32_t FShownPosition = -1;
};
