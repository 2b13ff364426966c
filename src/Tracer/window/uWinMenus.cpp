#include "Tracer/window/uWinMenus.h"

#include <algorithm>
#include <map>

namespace {

std::map<WORD, TMenuItem*>& Commands() {
  static std::map<WORD, TMenuItem*> commands;
  return commands;
}

unsigned GShortCutGeneration = 0;

}  // namespace

std::wstring ShortCutToText(TShortCut shortCut) {
  if (!shortCut) return std::wstring();
  std::wstring s;
  if (shortCut.Modifiers & FCONTROL) s += L"Ctrl+";
  if (shortCut.Modifiers & FSHIFT) s += L"Shift+";
  if (shortCut.Modifiers & FALT) s += L"Alt+";
  WORD k = shortCut.Key;
  if (k >= VK_F1 && k <= VK_F24)
    s += L"F" + std::to_wstring(k - VK_F1 + 1);
  else if ((k >= L'A' && k <= L'Z') || (k >= L'0' && k <= L'9'))
    s += static_cast<wchar_t>(k);
  else if (k == VK_DELETE)
    s += L"Del";
  else if (k == VK_INSERT)
    s += L"Ins";
  else
    s += L"#" + std::to_wstring(k);
  return s;
}

std::wstring EscapeAmpersands(const std::wstring& text) {
  std::wstring s;
  for (wchar_t c : text) {
    s += c;
    if (c == L'&') s += L'&';
  }
  return s;
}

std::wstring StripHotKeys(const std::wstring& text) {
  std::wstring s;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'&') {
      s += text[i];
    } else if (i + 1 < text.size() && text[i + 1] == L'&') {
      s += L'&';
      ++i;
    }
  }
  return s;
}

TMenuItem::TMenuItem(TComponent* owner, TMenuItem* parent, const std::wstring& name, const std::wstring& caption)
    : TComponent(owner), FParent(parent), FCommand(NewCommandId()), FCaption(caption) {
  SetName(name);
  Commands()[FCommand] = this;
  if (parent) {
    if (!parent->FMenu) parent->FMenu.Reset(CreatePopupMenu());
    parent->FItems.push_back(this);
    parent->Rebuild();
  }
}

TMenuItem::~TMenuItem() {
  FDestroying = true;
  if (FAction) FAction->RemoveClient(this);
  for (TMenuItem* child : FItems) child->FParent = nullptr;
  // The submenu handle is ours: the parent's entry must let go of it before we destroy it.
  if (FParent) {
    auto& v = FParent->FItems;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
    if (!FParent->FDestroying) FParent->Rebuild();
  }
  Commands().erase(FCommand);
  if (FShortCut) ++GShortCutGeneration;
}

TMenuItem* TMenuItem::FindByCommand(WORD id) {
  auto it = Commands().find(id);
  return it == Commands().end() ? nullptr : it->second;
}

unsigned TMenuItem::ShortCutGeneration() { return GShortCutGeneration; }

int TMenuItem::IndexOf(const TMenuItem* item) const {
  auto it = std::find(FItems.begin(), FItems.end(), item);
  return it == FItems.end() ? -1 : static_cast<int>(it - FItems.begin());
}

void TMenuItem::ParentChanged() {
  if (FParent) FParent->Rebuild();
}

void TMenuItem::Rebuild() {
  HMENU menu = FMenu.Get();
  if (!menu) return;
  // RemoveMenu (not DeleteMenu): the submenus belong to their items.
  while (GetMenuItemCount(menu) > 0) RemoveMenu(menu, 0, MF_BYPOSITION);
  for (TMenuItem* item : FItems) {
    if (!item->FVisible) continue;
    MENUITEMINFOW mi{};
    mi.cbSize = sizeof(mi);
    mi.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STATE | MIIM_SUBMENU | MIIM_STRING;
    mi.wID = item->FCommand;
    mi.hSubMenu = item->FMenu.Get();
    std::wstring text;
    if (item->FCaption == L"-") {
      mi.fType = MFT_SEPARATOR;
      mi.fMask &= ~MIIM_STRING;
    } else {
      text = item->FLiteralCaption ? EscapeAmpersands(item->FCaption) : item->FCaption;
      if (item->FShortCut) text += L"\t" + ShortCutToText(item->FShortCut);
      mi.fType = item->FRadioItem ? MFT_RADIOCHECK : MFT_STRING;
      mi.dwTypeData = text.data();
    }
    mi.fState = (item->FChecked ? MFS_CHECKED : 0) | (item->FEnabled ? 0 : MFS_DISABLED | MFS_GRAYED);
    InsertMenuItemW(menu, GetMenuItemCount(menu), TRUE, &mi);
  }
  TMenuItem* root = this;
  while (root->FParent) root = root->FParent;
  root->MenuChanged();
}

void TMenuItem::SetCaption(const std::wstring& caption) {
  if (caption == FCaption) return;
  FCaption = caption;
  ParentChanged();
}

void TMenuItem::SetLiteralCaption(bool literal) {
  if (literal == FLiteralCaption) return;
  FLiteralCaption = literal;
  ParentChanged();
}

void TMenuItem::SetShortCut(TShortCut shortCut) {
  FShortCut = shortCut;
  ++GShortCutGeneration;
  ParentChanged();
}

void TMenuItem::SetChecked(bool checked) {
  if (checked == FChecked) return;
  FChecked = checked;
  if (checked && FRadioItem && FParent)
    for (TMenuItem* other : FParent->FItems)
      if (other != this && other->FRadioItem && other->FGroupIndex == FGroupIndex) other->FChecked = false;
  ParentChanged();
}

void TMenuItem::SetRadioItem(bool radio) {
  FRadioItem = radio;
  ParentChanged();
}

void TMenuItem::SetEnabled(bool enabled) {
  if (enabled == FEnabled) return;
  FEnabled = enabled;
  ParentChanged();
}

void TMenuItem::SetVisible(bool visible) {
  if (visible == FVisible) return;
  FVisible = visible;
  ParentChanged();
}

void TMenuItem::SetAction(TAction* action) {
  if (FAction) FAction->RemoveClient(this);
  FAction = action;
  if (action) action->AddClient(this);
}

void TMenuItem::ActionChanged() {
  FCaption = FAction->Caption();
  FHint = FAction->Hint();
  FEnabled = FAction->Enabled();
  FChecked = FAction->Checked();
  FVisible = FAction->Visible();
  FImageIndex = FAction->ImageIndex();
  ParentChanged();
}

void TMenuItem::Click() {
  if (!FEnabled && !FAction) return;
  if (FAutoCheck && !FAction) SetChecked(FRadioItem ? true : !FChecked);
  if (FAction)
    FAction->Execute();
  else if (OnClick)
    OnClick(this);
}

const TPropTable& TMenuItem::ClassPropTable() {
  static const TPropTable table(&TComponent::ClassPropTable(),
                                {
                                    StringProperty<TMenuItem>(L"Caption", &TMenuItem::Caption, &TMenuItem::SetCaption),
                                    StringProperty<TMenuItem>(L"Hint", &TMenuItem::Hint, &TMenuItem::SetHint),
                                });
  return table;
}

// ---- menus -----------------------------------------------------------------------------------

TMainMenu::TMainMenu(TComponent* owner, const std::wstring& name) : TMenuItem(owner, nullptr, name) {
  SetRootHandle(CreateMenu());
}

TMainMenu::~TMainMenu() {
  // A window destroys its menu with itself; this one is ours.
  if (FWindow && IsWindow(FWindow)) SetMenu(FWindow, nullptr);
}

void TMainMenu::MenuChanged() {
  if (FWindow) DrawMenuBar(FWindow);
}

TPopupMenu::TPopupMenu(TComponent* owner, const std::wstring& name) : TMenuItem(owner, nullptr, name) {
  SetRootHandle(CreatePopupMenu());
}

void TPopupMenu::Popup(int x, int y) {
  if (OnPopup) OnPopup(this);
  HWND owner = GetActiveWindow();
  // The chosen command comes back here rather than as a message, so a pop-up works for any owner.
  UINT id = TrackPopupMenuEx(Handle(), TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_LEFTALIGN, x, y, owner, nullptr);
  if (id)
    if (TMenuItem* item = FindByCommand(static_cast<WORD>(id))) item->Click();
}
