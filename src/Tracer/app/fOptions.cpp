#include "Tracer/app/fOptions.h"


namespace {

enum : LPARAM { kindGroup = 0, kindCheck = 1, kindRadio = 2 };

}  // namespace

TfrmOptions::TfrmOptions(TComponent* owner, TImageList* images, const TSystemImagesStorage& storage)
    : TfrmBaseDlg(owner, L"TfrmOptions", 250, 264), FStorage(storage) {
  AddClassSection("TfrmOptions");
  SetCaption(L"Options");
  SetHelpKeyword(L"html\\options.htm");
  Bevel1->SetVisible(false);
  btnOK->SetBounds(8, 232, 75, 25);
  btnCancel->SetBounds(88, 232, 75, 25);
  btnHelp->SetBounds(168, 232, 75, 25);
  tvwOptions = new TTreeView(this, this, L"tvwOptions", 16, 16, 217, 201, TVS_SHOWSELALWAYS);
  tvwOptions->SetImages(images);
  tvwOptions->SetIndent(19);
  tvwOptions->OnClick = [this](TTreeView*) { tvwOptionsClick(); };
  FRoot = tvwOptions->AddChild(nullptr, L"Options", 18, 18, kindGroup);
}

HTREEITEM TfrmOptions::Group(int groupIndex) const {
  std::vector<HTREEITEM> groups = tvwOptions->Children(FRoot);
  CW_ASSERT(groupIndex >= 0 && groupIndex < static_cast<int>(groups.size()), L"src/Tracer/fOptions", __LINE__);
  return groups[groupIndex];
}

int TfrmOptions::AddRadioGroup(const std::wstring& caption, int imageIndex, int checkedIndex,
                               const std::vector<std::wstring>& items) {
  HTREEITEM group = tvwOptions->AddChild(FRoot, caption, imageIndex, imageIndex, kindGroup);
  for (size_t k = 0; k < items.size(); ++k) {
    const int image = FStorage.RadioButtonImageIndex(static_cast<int>(k) == checkedIndex);
    tvwOptions->AddChild(group, items[k], image, image, kindRadio);
  }
  return static_cast<int>(tvwOptions->Children(FRoot).size()) - 1;
}

int TfrmOptions::AddCheckGroup(const std::wstring& caption, int imageIndex, const TOptionDynArray& items) {
  HTREEITEM group = tvwOptions->AddChild(FRoot, caption, imageIndex, imageIndex, kindGroup);
  for (const TOption& item : items) {
    const int image = FStorage.CheckBoxImageIndex(item.Checked);
    tvwOptions->AddChild(group, item.Caption, image, image, kindCheck);
  }
  return static_cast<int>(tvwOptions->Children(FRoot).size()) - 1;
}

int TfrmOptions::GetRadioGroupIndex(int groupIndex) const {
  std::vector<HTREEITEM> options = tvwOptions->Children(Group(groupIndex));
  for (size_t k = 0; k < options.size(); ++k)
    if (tvwOptions->ItemImage(options[k]) == FStorage.RadioButtonImageIndex(true)) return static_cast<int>(k);
  return -1;
}

void TfrmOptions::GetCheckGroup(int groupIndex, TOptionDynArray& items) const {
  items.clear();
  for (HTREEITEM option : tvwOptions->Children(Group(groupIndex)))
    items.push_back({tvwOptions->ItemText(option),
                     tvwOptions->ItemImage(option) == FStorage.CheckBoxImageIndex(true)});
}

bool TfrmOptions::IsOnNodeImage(const RECT& textRect, POINT pt) {
  return pt.x >= textRect.left - 16 && pt.x <= textRect.left && pt.y >= textRect.top && pt.y <= textRect.bottom;
}

void TfrmOptions::tvwOptionsClick() {
  POINT pt;
  GetCursorPos(&pt);
  ScreenToClient(tvwOptions->Handle(), &pt);
  ClickAt(pt);
}

void TfrmOptions::ClickAt(POINT pt) {
  HTREEITEM node = tvwOptions->ItemAt(pt);
  if (!node || !IsOnNodeImage(tvwOptions->ItemTextRect(node), pt)) return;
  switch (tvwOptions->ItemData(node)) {
    case kindCheck: {
      const bool checked = tvwOptions->ItemImage(node) == FStorage.CheckBoxImageIndex(true);
      const int image = FStorage.CheckBoxImageIndex(!checked);
      tvwOptions->SetItemImage(node, image, image);
      break;
    }
    case kindRadio:
      for (HTREEITEM option : tvwOptions->Children(tvwOptions->ParentItem(node))) {
        const int image = FStorage.RadioButtonImageIndex(option == node);
        tvwOptions->SetItemImage(option, image, image);
      }
      break;
  }
}

void TfrmOptions::DoShow() {
  TfrmBaseDlg::DoShow();
  tvwOptions->Expand(FRoot);
  for (HTREEITEM group : tvwOptions->Children(FRoot)) tvwOptions->Expand(group);
}

void TfrmOptions::Translate() {
  TfrmBaseDlg::Translate();
  TVITEMW item{};
  item.mask = TVIF_TEXT;
  item.hItem = FRoot;
  std::wstring caption = WindowText();
  item.pszText = caption.data();
  TreeView_SetItem(tvwOptions->Handle(), &item);
}

bool EditMainOptions(TComponent* owner, TImageList* images, const TSystemImagesStorage& storage,
                     TMainOptions& options) {
  auto dlg = CreateForm<TfrmOptions>(owner, images, storage);
  const int timeGroup =
      dlg->AddRadioGroup(options.TimeFormatCaption, options.TimeFormatImageIndex, options.TimeFormat, options.TimeFormats);
  TOptionDynArray columns;
  for (size_t i = 0; i < options.ColumnCaptions.size(); ++i)
    columns.push_back({options.ColumnCaptions[i], i < options.ColumnsVisible.size() && options.ColumnsVisible[i]});
  const int columnGroup = dlg->AddCheckGroup(options.ColumnsCaption, options.ColumnsImageIndex, columns);
  if (dlg->ShowModal() != mrOK) return false;
  // A group without a checked option keeps the format it had.
  const int format = dlg->GetRadioGroupIndex(timeGroup);
  if (format >= 0) options.TimeFormat = format;
  dlg->GetCheckGroup(columnGroup, columns);
  options.ColumnsVisible.clear();
  for (const TOption& c : columns) options.ColumnsVisible.push_back(c.Checked);
  return true;
}
