#include "vostik/fVostik.h"

#include "Tracer/foundation/uHolders.h"
#include "vostik/uVostikBase.h"

TfrmVostik::TfrmVostik() : TForm(nullptr, L"TfrmVostik", 632, 453, TBorderStyle::Dialog) {
  SetCaption(L"SQL Assembler");
  SetPosition(TFormPosition::ScreenCenter);
  SetFormFont(L"Arial", -11);
  Button1 = new TButton(this, this, L"Button1", L"&OK", 472, 420);
  Button1->SetDefault(true);
  Button1->SetModalResult(mrOK);
  btnHelp = new TButton(this, this, L"btnHelp", L"&Help", 552, 420);
  btnHelp->OnClick = [this](TButton*) { btnHelpClick(); };
  for (TButton* b : {Button1, btnHelp}) b->SetAnchors(akRight | akBottom);
  pnl = new TPanel(this, this, 8, 8, 616, 406);
  pnl->SetName(L"pnl");
  pnl->SetAnchors(akLeft | akTop | akRight | akBottom);
  pcl = new TPageControl(this, pnl, L"pcl", 0, 0, 616, 273);
  pcl->SetAlign(TAlign::alTop);
  tshOriginalSQL = new TTabSheet(this, pcl, L"tshOriginalSQL", L"Original statement");
  memOriginalSQL = nullptr;
  ApplyWrap(memOriginalSQL, tshOriginalSQL, L"memOriginalSQL", false, true);
  tshAssembled = new TTabSheet(this, pcl, L"tshAssembled", L"Assembled statement");
  memAssembledSQL = nullptr;
  ApplyWrap(memAssembledSQL, tshAssembled, L"memAssembledSQL", false, false);
  pcl->SetActivePage(tshOriginalSQL);
  Splitter1 = new TSplitter(this, pnl, L"Splitter1", TAlign::alTop, 3);
  TListViewStyle style;
  style.RowSelect = true;
  style.GridLines = true;
  style.ColumnClick = false;
  lvwParams = new TListView(this, pnl, L"lvwParams", 0, 276, 616, 130, style);
  lvwParams->SetAlign(TAlign::alClient);
  for (const wchar_t* column : {L"Parameter", L"Data type", L"Value"}) lvwParams->AddColumn(column, 148);
  cbxWrapText = new TCheckBox(this, this, L"cbxWrapText", L"Wrap SQL statements", 8, 428, 137, 17);
  cbxWrapText->SetAnchors(akLeft | akBottom);
  cbxWrapText->OnClick = [this](TCheckBox*) { cbxWrapTextClick(); };
}

void TfrmVostik::ApplyWrap(TEdit*& memo, TTabSheet* page, const wchar_t* name, bool wrap, bool vertical) {
  const std::wstring text = memo ? memo->Text() : std::wstring();
  delete memo;
  const DWORD bars = wrap ? WS_VSCROLL : WS_HSCROLL | ES_AUTOHSCROLL | (vertical ? WS_VSCROLL : 0);
  memo = new TEdit(this, page, name, 0, 0, 100, 100, ES_MULTILINE | ES_AUTOVSCROLL | bars);
  memo->SetReadOnly(true);
  memo->SetAlign(TAlign::alClient);
  memo->SetText(text);
}

void TfrmVostik::cbxWrapTextClick() {
  const bool visible = Visible();
  if (visible) Perform(WM_SETREDRAW, FALSE);
  ApplyWrap(memOriginalSQL, tshOriginalSQL, L"memOriginalSQL", cbxWrapText->Checked(), true);
  ApplyWrap(memAssembledSQL, tshAssembled, L"memAssembledSQL", cbxWrapText->Checked(), false);
  if (visible) {
    Perform(WM_SETREDRAW, TRUE);
    RedrawWindow(Handle(), nullptr, nullptr, RDW_FRAME | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_INVALIDATE);
  }
}

void TfrmVostik::btnHelpClick() {
  if (Assembler && Assembler->App()) OleCheck(Assembler->App()->ShowHelp(TBStr(L"html\\vostik.htm").Get()));
}

void TfrmVostik::ShowStatement(TSQLAssembler& assembler) {
  Assembler = &assembler;
  memOriginalSQL->SetText(assembler.Statement()->SQL);
  memAssembledSQL->SetText(assembler.Statement()->AssembledSQL);
  lvwParams->Clear();
  for (const TSQLParamRow& row : SQLParamRows(assembler.Statement()->Params)) {
    const int index = lvwParams->AddItem(row.Caption);
    lvwParams->SetItemText(index, 1, row.DataType);
    if (!row.Value.empty()) lvwParams->SetItemText(index, 2, row.Value);
  }
}

bool ShowVostikWindow(TSQLAssembler& assembler, bool wrap) {
  std::unique_ptr<TfrmVostik> form = CreateForm<TfrmVostik>();
  LONG owner = 0;
  if (assembler.App()) OleCheck(assembler.App()->get_MainWindowHandle(&owner));
  if (owner)
    SetWindowLongPtrW(form->Handle(), GWLP_HWNDPARENT, static_cast<LONG_PTR>(static_cast<ULONG_PTR>(owner)));
  form->ShowStatement(assembler);
  if (wrap != form->Wrap()) {
    form->cbxWrapText->SetChecked(wrap);
    form->cbxWrapTextClick();
  }
  form->ShowModal();
  return form->Wrap();
}
