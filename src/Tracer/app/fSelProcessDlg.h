// The dialog in which the user picks the process to attach to.
#pragma once
#include <memory>

#include "Tracer/app/fTemplateDlg.h"
#include "Tracer/foundation/uClasses.h"
#include "Tracer/window/uWinComCtrls.h"

class TSelProcessDlg : public TfrmBaseDlg {
public:
  // Takes the process snapshot first (a failure raises before any window is made).
  explicit TSelProcessDlg(TComponent* owner);
  ~TSelProcessDlg() override;

  void FormCreate() override;
  void FormResize();
  void Translate() override;
  void lvwProcessesData(int index, std::vector<std::wstring>& texts);
  void lvwProcessesChange();
  void lvwProcessesDblClick();

  // The process of the selected row, nil when none is selected.
  TProcess* SelectedProcess() const;
  TProcesses* Processes() const { return FProcesses.get(); }

  TListView* lvwProcesses;

private:
  explicit TSelProcessDlg(TComponent* owner, std::unique_ptr<TProcesses> processes);
  std::unique_ptr<TProcesses> FProcesses;
};
