#include "Tracer/app/fSelProcessDlg.h"

TSelProcessDlg::TSelProcessDlg(TComponent* owner) : TSelProcessDlg(owner, std::make_unique<TProcesses>()) {}

TSelProcessDlg::TSelProcessDlg(TComponent* owner, std::unique_ptr<TProcesses> processes)
    : TfrmBaseDlg(owner, L"TSelProcessDlg", 400, 240, TBorderStyle::Sizeable), FProcesses(std::move(processes)) {
  AddClassSection("TSelProcessDlg");
  SetCaption(L"Attach to process");
  SetHelpKeyword(L"html\\attach.htm");
  btnOK->SetEnabled(false);
  TListViewStyle style;
  style.OwnerData = true;
  style.RowSelect = true;
  style.GridLines = true;
  lvwProcesses = new TListView(this, this, L"lvwProcesses", 16, 16, 369, 177, style);
  lvwProcesses->SetAnchors(akLeft | akTop | akRight | akBottom);
  lvwProcesses->AddColumn(L"PID", 60);
  lvwProcesses->AddColumn(L"File name", 290);
  lvwProcesses->OnData = [this](TListView*, int index, std::vector<std::wstring>& texts) {
    lvwProcessesData(index, texts);
  };
  lvwProcesses->OnChange = [this](TListView*, int) { lvwProcessesChange(); };
  lvwProcesses->OnDblClick = [this](TListView*) { lvwProcessesDblClick(); };
  OnResize = [this](TControl*) { FormResize(); };
}

TSelProcessDlg::~TSelProcessDlg() = default;

void TSelProcessDlg::FormCreate() {
  TfrmBaseDlg::FormCreate();
  lvwProcesses->SetItemCount(FProcesses->Count());
  lvwProcesses->SetColumnWidth(
      1, lvwProcesses->Width() - lvwProcesses->ColumnWidth(0) - GetSystemMetrics(SM_CXVSCROLL) - 4);
}

void TSelProcessDlg::FormResize() {
  lvwProcesses->SetColumnWidth(1, ClientWidth() - lvwProcesses->ColumnWidth(0) - 48);
}

void TSelProcessDlg::Translate() {
  TfrmBaseDlg::Translate();
  TranslateColumns(*lvwProcesses);
}

void TSelProcessDlg::lvwProcessesData(int index, std::vector<std::wstring>& texts) {
  TProcess* p = FProcesses->GetItem(index);
  texts = {std::to_wstring(p->ProcessId()), p->FileName()};
}

void TSelProcessDlg::lvwProcessesChange() { btnOK->SetEnabled(lvwProcesses->ItemIndex() >= 0); }

void TSelProcessDlg::lvwProcessesDblClick() {
  if (lvwProcesses->ItemIndex() >= 0) SetModalResult(mrOK);
}

TProcess* TSelProcessDlg::SelectedProcess() const {
  int index = lvwProcesses->ItemIndex();
  return index >= 0 ? FProcesses->GetItem(index) : nullptr;
}
