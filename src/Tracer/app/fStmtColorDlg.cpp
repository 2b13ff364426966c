#include "Tracer/app/fStmtColorDlg.h"

#include <memory>

#include "Tracer/app/fSelColorsDlg.h"
#include "Tracer/app/uInterfaceServices.h"
#include "Tracer/foundation/uMultiLanguage.h"

TStmtColorDlg::TStmtColorDlg(TComponent* owner, TImageList* images, TImageList* disabledImages)
    : TfrmBaseDlg(owner, L"TStmtColorDlg") {
  AddClassSection("TStmtColorDlg");
  SetCaption(L"Statement highlighting");
  SetHelpKeyword(L"html\\highl.htm");
  Bevel1->SetVisible(false);
  alsRules = new TActionList(this);
  alsRules->SetImages(images);
  auto action = [this](const wchar_t* name, const wchar_t* text, int image) {
    auto* a = new TAction(this, alsRules, name);
    a->SetCaption(text);
    a->SetHint(text);
    a->SetImageIndex(image);
    return a;
  };
  actNew = action(L"actNew", L"New rule", 20);
  actEdit = action(L"actEdit", L"Edit rule", 7);
  actDelete = action(L"actDelete", L"Delete rule", 21);
  actNew->OnExecute = [this](TAction*) { EditRule(-1); };
  actEdit->OnExecute = [this](TAction*) {
    if (lvw->ItemIndex() >= 0) EditRule(lvw->ItemIndex());
  };
  actDelete->OnExecute = [this](TAction*) {
    const int index = lvw->ItemIndex();
    if (index >= 0 && index < GetColorInfos()->GetCount()) GetColorInfos()->Delete(index);
    RefreshList();
  };
  actEdit->OnUpdate = actDelete->OnUpdate = [this](TAction* a) {
    a->SetEnabled(GetColorInfos()->GetCount() > 0 && lvw->ItemIndex() >= 0);
  };

  tbr = new TToolBar(this, this, L"tbr", 16, 10, 73, 24);
  tbr->SetShowHint(true);
  tbr->SetImages(images);
  tbr->SetDisabledImages(disabledImages);
  for (auto [name, a] : {std::pair{L"btnNew", actNew}, std::pair{L"btnEdit", actEdit}, std::pair{L"btnDelete", actDelete}})
    (new TToolButton(this, tbr, name))->SetAction(a);

  TListViewStyle style;
  style.OwnerData = true;
  style.RowSelect = true;
  style.GridLines = true;
  style.ShowSelAlways = true;
  lvw = new TListView(this, this, L"lvw", 16, 32, 369, 161, style);
  lvw->AddColumn(L"Search string", 285);
  lvw->AddColumn(L"Color", 60);
  lvw->OnData = [this](TListView*, int index, std::vector<std::wstring>& texts) { lvwData(index, texts); };
  lvw->OnCustomDrawItem = [](TListView*, int index, COLORREF& text, COLORREF& back) {
    if (index < 0 || index >= GetColorInfos()->GetCount()) return;
    TColorInfo* rule = GetColorInfos()->GetItem(index);
    text = ColorToRGB(rule->ForeColor);
    back = ColorToRGB(rule->BackColor);
  };
  lvw->OnDblClick = [this](TListView*) { actEdit->Execute(); };
}

void TStmtColorDlg::FormCreate() {
  TfrmBaseDlg::FormCreate();
  RefreshList();
}

void TStmtColorDlg::Translate() {
  TfrmBaseDlg::Translate();
  TranslateColumns(*lvw);
}

void TStmtColorDlg::RefreshList() {
  lvw->InvalidateData();
  lvw->SetItemCount(GetColorInfos()->GetCount());
  lvw->Invalidate();
}

void TStmtColorDlg::lvwData(int index, std::vector<std::wstring>& texts) {
  if (index < 0 || index >= GetColorInfos()->GetCount()) return;
  std::wstring sample;
  GetMultiLanguage()->Translate("TSelColorsDlg", "lblSample.Caption", sample, L"PREVIEW");
  texts = {GetColorInfos()->GetItem(index)->SearchStr, sample};
}

void TStmtColorDlg::EditRule(int index) {
  {
    auto editor = CreateForm<TSelColorsDlg>(nullptr);
    editor->RuleIndex = index;
    if (editor->ShowModal() == mrOK) {
      TColorInfo* rule = index == -1 ? GetColorInfos()->Add() : GetColorInfos()->GetItem(index);
      rule->SearchStr = editor->edt->Text();
      rule->ForeColor = static_cast<int32_t>(editor->lblFore->Color());
      rule->BackColor = static_cast<int32_t>(editor->lblBack->Color());
    }
  }
  RefreshList();
}

bool EditHighlightRules(TComponent* owner, TImageList* images, TImageList* disabledImages) {
  TColorInfos* rules = GetColorInfos();
  std::vector<std::unique_ptr<TColorInfo>> saved;
  for (int i = 0; i < rules->GetCount(); ++i) {
    auto copy = std::make_unique<TColorInfo>(nullptr);
    copy->CopyFrom(*rules->GetItem(i));
    saved.push_back(std::move(copy));
  }
  auto restore = [&] {
    rules->Clear();
    for (const auto& rule : saved) rules->Add()->CopyFrom(*rule);
  };
  bool ok = false;
  try {
    auto dlg = CreateForm<TStmtColorDlg>(owner, images, disabledImages);
    ok = dlg->ShowModal() == mrOK;
  } catch (...) {
    restore();
    throw;
  }
  if (!ok) restore();
  return ok;
}
