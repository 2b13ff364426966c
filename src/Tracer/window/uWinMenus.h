// Menus: items with caption, short cut, check mark and action, under a main menu (the bar of
// a form) or a pop-up menu. An item keeps its texts and state; the menu handle of its parent
// is rebuilt from the items when one of them changes.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "Tracer/window/uWinActions.h"

// A key with FCONTROL, FSHIFT and FALT (the accelerator flags); Key 0 is none.
struct TShortCut {
  WORD Key = 0;
  BYTE Modifiers = 0;
  explicit operator bool() const { return Key != 0; }
};
// "Ctrl+F2", "F9", "Ctrl+S".
std::wstring ShortCutToText(TShortCut shortCut);
// "&" doubled, so the system shows it and makes no hot key of it.
std::wstring EscapeAmpersands(const std::wstring& text);
// Hot-key marks removed ("&&" becomes "&").
std::wstring StripHotKeys(const std::wstring& text);

class TMenuItem : public TComponent, public TActionClient {
public:
  // parent nil: a menu's root (TMainMenu, TPopupMenu).
  TMenuItem(TComponent* owner, TMenuItem* parent, const std::wstring& name = std::wstring(),
            const std::wstring& caption = std::wstring());
  ~TMenuItem() override;

  // The caption as set; "-" is a separator.
  const std::wstring& Caption() const { return FCaption; }
  void SetCaption(const std::wstring& caption);
  // Captions that come from data (command lines, file names): an "&" is shown as itself.
  bool LiteralCaption() const { return FLiteralCaption; }
  void SetLiteralCaption(bool literal);
  const std::wstring& Hint() const { return FHint; }
  void SetHint(const std::wstring& hint) { FHint = hint; }
  TShortCut ShortCut() const { return FShortCut; }
  void SetShortCut(TShortCut shortCut);
  bool Checked() const { return FChecked; }
  // A checked radio item of a group unchecks the group's other items under the same parent.
  void SetChecked(bool checked);
  bool RadioItem() const { return FRadioItem; }
  void SetRadioItem(bool radio);
  int GroupIndex() const { return FGroupIndex; }
  void SetGroupIndex(int index) { FGroupIndex = index; }
  bool AutoCheck() const { return FAutoCheck; }
  void SetAutoCheck(bool autoCheck) { FAutoCheck = autoCheck; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool enabled);
  bool Visible() const { return FVisible; }
  void SetVisible(bool visible);
  int ImageIndex() const { return FImageIndex; }
  void SetImageIndex(int index) { FImageIndex = index; }
  TAction* Action() const { return FAction; }
  void SetAction(TAction* action);
  TComponent* ActionComponent() const override { return FAction; }
  LPARAM Tag = 0;

  TMenuItem* ParentItem() const { return FParent; }
  int Count() const { return static_cast<int>(FItems.size()); }
  TMenuItem* Item(int index) const { return FItems[index]; }
  int IndexOf(const TMenuItem* item) const;
  WORD CommandId() const { return FCommand; }
  // The menu handle of this item's children (made with the first child).
  HMENU Handle() const { return FMenu.Get(); }

  // Auto-check, then the action (updated first, run when enabled) or the click handler.
  void Click();
  std::function<void(TMenuItem*)> OnClick;

  static TMenuItem* FindByCommand(WORD id);
  // Changes with each change of any item's short cut (forms rebuild their accelerators).
  static unsigned ShortCutGeneration();

  void ActionChanged() override;
  void ActionDestroyed() override { FAction = nullptr; }

  static const TPropTable& ClassPropTable();
  const TPropTable& GetPropTable() const override { return ClassPropTable(); }

protected:
  // Menus make their root handle themselves.
  void SetRootHandle(HMENU menu) { FMenu.Reset(menu); }
  // Rebuilds the entries of this item's menu handle from its visible children.
  void Rebuild();
  // The root hears that its entries changed (a main menu redraws its form's bar).
  virtual void MenuChanged() {}

private:
  void ParentChanged();

  TMenuItem* FParent;
  std::vector<TMenuItem*> FItems;
  TMenuHandle FMenu;
  WORD FCommand;
  std::wstring FCaption, FHint;
  bool FLiteralCaption = false;
  TShortCut FShortCut;
  bool FChecked = false, FRadioItem = false, FAutoCheck = false, FEnabled = true, FVisible = true;
  int FGroupIndex = 0;
  int FImageIndex = -1;
  TAction* FAction = nullptr;
  bool FDestroying = false;
};

// The menu bar of a form.
class TMainMenu : public TMenuItem {
public:
  TMainMenu(TComponent* owner, const std::wstring& name);
  ~TMainMenu() override;
  // The form whose bar this is (set by TForm::SetMenu).
  void SetWindow(HWND window) { FWindow = window; }

protected:
  void MenuChanged() override;

private:
  HWND FWindow = nullptr;
};

class TPopupMenu : public TMenuItem {
public:
  TPopupMenu(TComponent* owner, const std::wstring& name);
  // Shows the menu at a screen point and runs the chosen item.
  void Popup(int x, int y);
  std::function<void(TPopupMenu*)> OnPopup;
};
