// Common controls: image lists, list views (also virtual, with custom-drawn rows), tree
// views, toolbars with tool buttons, the status bar, page controls and progress bars. Each
// method sends one message; the handlers are called from the notifications the parent reflects.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <string>
#include <vector>

#include "Tracer/window/uWinActions.h"
#include "Tracer/window/uWinBase.h"

class TPopupMenu;

class TImageList : public TComponent {
public:
  TImageList(TComponent* owner, const std::wstring& name, int width = 16, int height = 16);
  HIMAGELIST Handle() const { return FHandle.Get(); }
  int Count() const { return ImageList_GetImageCount(Handle()); }
  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  // Adds a bitmap (the list copies it); answers the index.
  int Add(HBITMAP image, HBITMAP mask = nullptr) { return ImageList_Add(Handle(), image, mask); }
  int AddMasked(HBITMAP image, COLORREF maskColor) { return ImageList_AddMasked(Handle(), image, maskColor); }
  int AddIcon(HICON icon) { return ImageList_AddIcon(Handle(), icon); }
  void Clear() { ImageList_Remove(Handle(), -1); }

private:
  TImageListHandle FHandle;
  int FWidth, FHeight;
};

struct TListViewStyle {
  bool OwnerData = false;   // virtual: the list stores only its row count
  bool RowSelect = true;
  bool GridLines = false;
  bool CheckBoxes = false;
  bool ShowSelAlways = false;
  bool MultiSelect = false;
  bool ColumnClick = false;
};

// A list view in report style. Rows of a virtual list come from OnData; row colours from
// OnCustomDrawItem.
class TListView : public TControl {
public:
  TListView(TComponent* owner, TControl* parent, const std::wstring& name, int left, int top, int width, int height,
            const TListViewStyle& style);
  ~TListView() override;

  // Columns.
  int AddColumn(const std::wstring& caption, int width);
  int ColumnCount() const { return Header_GetItemCount(ListView_GetHeader(Handle())); }
  std::wstring ColumnCaption(int index) const;
  void SetColumnCaption(int index, const std::wstring& caption);
  int ColumnWidth(int index) const { return ListView_GetColumnWidth(Handle(), index); }
  void SetColumnWidth(int index, int width) { ListView_SetColumnWidth(Handle(), index, width); }
  void DeleteColumn(int index) { ListView_DeleteColumn(Handle(), index); }
  void ClearColumns();

  // Rows.
  int ItemCount() const { return ListView_GetItemCount(Handle()); }
  // The row count of a virtual list (keeps the scroll position and the rows already shown).
  void SetItemCount(int count) { ListView_SetItemCountEx(Handle(), count, LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL); }
  // The first selected row, -1 when none. The focused row is asked first, which the control
  // answers at once; a search through the rows runs only for a selection without the focus.
  int ItemIndex() const;
  // Selects and focuses one row (-1: clears the selection).
  void SetItemIndex(int index);
  int SelCount() const { return ListView_GetSelectedCount(Handle()); }
  void EnsureVisible(int index, bool partialOK = false) { ListView_EnsureVisible(Handle(), index, partialOK); }
  RECT ItemRect(int index, int code = LVIR_BOUNDS) const;
  // The row at a client point, -1 when none; flags LVHT_*.
  int ItemAt(POINT clientPoint, UINT* flags = nullptr) const;
  // Stored rows (lists that are not virtual).
  int AddItem(const std::wstring& caption, LPARAM data = 0);
  void SetItemText(int index, int subItem, const std::wstring& text);
  std::wstring ItemText(int index, int subItem = 0) const;
  LPARAM ItemData(int index) const;
  void SetItemData(int index, LPARAM data);
  void DeleteItem(int index) { ListView_DeleteItem(Handle(), index); }
  void Clear() { ListView_DeleteAllItems(Handle()); }
  bool Checked(int index) const { return ListView_GetCheckState(Handle(), index) != 0; }
  void SetChecked(int index, bool checked) { ListView_SetCheckState(Handle(), index, checked); }
  void SetItemImage(int index, int image);
  // State images are one-based in the control; image is zero-based here, -1 for none.
  void SetItemStateImage(int index, int image);
  void SetImages(TImageList* images, int which = LVSIL_SMALL);
  // Redraw off while rows or columns are rebuilt.
  void BeginUpdate() { Perform(WM_SETREDRAW, FALSE); }
  void EndUpdate();
  void SetExtendedStyle(DWORD mask, DWORD style) { ListView_SetExtendedListViewStyleEx(Handle(), mask, style); }
  DWORD ExtendedStyle() const { return ListView_GetExtendedListViewStyle(Handle()); }
  // Forgets the row texts asked last (the data of a virtual list changed).
  void InvalidateData() { FDataIndex = -1; }

  // caption and sub-item texts of row index.
  std::function<void(TListView*, int index, std::vector<std::wstring>& texts)> OnData;
  std::function<void(TListView*, int index, COLORREF& textColor, COLORREF& backColor)> OnCustomDrawItem;
  // A row's state changed (index -1: several rows).
  std::function<void(TListView*, int index)> OnChange;
  std::function<void(TListView*)> OnClick;
  std::function<void(TListView*)> OnDblClick;
  std::function<void(TListView*, int index, std::wstring& tip)> OnInfoTip;

  bool Notify(NMHDR* header, LRESULT& result) override;

private:
  static LRESULT CALLBACK SubclassProc(HWND window, UINT msg, WPARAM wp, LPARAM lp);
  // The list-view class's own procedure, the same for every list view.
  static inline WNDPROC ListViewProc = nullptr;
  LRESULT OnMessage(HWND window, UINT msg, WPARAM wp, LPARAM lp);
  void Changed(int index);

  bool FOwnerData;
  // While the control moves the selection by a key, the changes it tells of wait for its end.
  bool FMovingByKey = false;
  std::vector<int> FMoveChanges;
  int FDataIndex = -1;
  std::vector<std::wstring> FDataTexts;
};

class TTreeView : public TControl {
public:
  TTreeView(TComponent* owner, TControl* parent, const std::wstring& name, int left, int top, int width, int height,
            DWORD style = TVS_SHOWSELALWAYS);
  HTREEITEM AddChild(HTREEITEM parent, const std::wstring& text, int image = -1, int selectedImage = -1,
                     LPARAM data = 0);
  HTREEITEM Root() const { return TreeView_GetRoot(Handle()); }
  HTREEITEM FirstChild(HTREEITEM item) const { return TreeView_GetChild(Handle(), item); }
  HTREEITEM NextSibling(HTREEITEM item) const { return TreeView_GetNextSibling(Handle(), item); }
  HTREEITEM ParentItem(HTREEITEM item) const { return TreeView_GetParent(Handle(), item); }
  std::vector<HTREEITEM> Children(HTREEITEM item) const;
  int ItemImage(HTREEITEM item) const;
  void SetItemImage(HTREEITEM item, int image, int selectedImage);
  LPARAM ItemData(HTREEITEM item) const;
  std::wstring ItemText(HTREEITEM item) const;
  // The text's rectangle (TVM_GETITEMRECT with text only).
  RECT ItemTextRect(HTREEITEM item) const;
  HTREEITEM ItemAt(POINT clientPoint) const;
  void Expand(HTREEITEM item) { TreeView_Expand(Handle(), item, TVE_EXPAND); }
  void SetImages(TImageList* images) { TreeView_SetImageList(Handle(), images ? images->Handle() : nullptr, TVSIL_NORMAL); }
  void SetIndent(int indent) { TreeView_SetIndent(Handle(), indent); }
  void Clear() { TreeView_DeleteAllItems(Handle()); }
  std::function<void(TTreeView*)> OnClick;
  bool Notify(NMHDR* header, LRESULT& result) override;
};

enum class TToolButtonStyle : uint8_t { Button, Check, DropDown, Separator, Divider };

class TToolBar;

class TToolButton : public TComponent, public TActionClient {
public:
  // Appended to the toolbar's buttons.
  TToolButton(TComponent* owner, TToolBar* toolBar, const std::wstring& name,
              TToolButtonStyle style = TToolButtonStyle::Button);
  ~TToolButton() override;
  TToolBar* ToolBar() const { return FToolBar; }
  WORD CommandId() const { return FCommand; }
  int Index() const;
  TAction* Action() const { return FAction; }
  void SetAction(TAction* action);
  TComponent* ActionComponent() const override { return FAction; }
  const std::wstring& Hint() const { return FHint; }
  void SetHint(const std::wstring& hint) { FHint = hint; }
  void SetImageIndex(int index);
  void SetEnabled(bool enabled);
  bool Enabled() const;
  void SetDown(bool down);
  bool Down() const;
  void SetVisible(bool visible);
  TPopupMenu* DropdownMenu = nullptr;
  std::function<void(TToolButton*)> OnClick;
  // The action (updated first) or the click handler.
  void Click();

  void ActionChanged() override;
  void ActionDestroyed() override { FAction = nullptr; }
  static const TPropTable& ClassPropTable();
  const TPropTable& GetPropTable() const override { return ClassPropTable(); }

private:
  TToolBar* FToolBar;
  WORD FCommand;
  std::wstring FHint;
  TAction* FAction = nullptr;
};

class TToolBar : public TControl {
public:
  TToolBar(TComponent* owner, TControl* parent, const std::wstring& name, int left, int top, int width, int height,
           int buttonWidth = 23, int buttonHeight = 22);
  void SetImages(TImageList* images);
  void SetDisabledImages(TImageList* images);
  TImageList* Images() const { return FImages; }
  int ButtonCount() const { return static_cast<int>(FButtons.size()); }
  TToolButton* Button(int index) const { return FButtons[index]; }
  int ButtonWidth() const { return FButtonWidth; }
  // The button at a client point, nil when none.
  TToolButton* ButtonAt(POINT clientPoint) const;
  std::wstring HintAt(POINT clientPoint) const override;
  bool Command(WORD code, WORD id) override;
  bool Notify(NMHDR* header, LRESULT& result) override;

private:
  friend class TToolButton;
  TToolButton* FindButton(WORD command) const;
  std::vector<TToolButton*> FButtons;
  TImageList* FImages = nullptr;
  int FButtonWidth;
};

class TStatusBar : public TControl {
public:
  TStatusBar(TComponent* owner, TControl* parent, const std::wstring& name, int height = 19);
  // One simple panel over the whole bar.
  void SetSimpleText(const std::wstring& text);
  std::wstring SimpleText() const;
};

class TPageControl;

// One page: a container shown while its tab is selected. Its caption is the tab's text.
class TTabSheet : public TCustomWindow {
public:
  TTabSheet(TComponent* owner, TPageControl* pageControl, const std::wstring& name, const std::wstring& caption);
  void SetCaption(const std::wstring& caption) override;
  TPageControl* PageControl() const { return FPageControl; }
  int PageIndex() const;

private:
  TPageControl* FPageControl;
};

class TPageControl : public TControl {
public:
  TPageControl(TComponent* owner, TControl* parent, const std::wstring& name, int left, int top, int width,
               int height);
  int PageCount() const { return static_cast<int>(FPages.size()); }
  TTabSheet* Page(int index) const { return FPages[index]; }
  TTabSheet* ActivePage() const;
  void SetActivePage(TTabSheet* page);
  std::function<void(TPageControl*)> OnChange;
  bool Notify(NMHDR* header, LRESULT& result) override;
  void Resized() override;

private:
  friend class TTabSheet;
  void ShowActivePage();
  std::vector<TTabSheet*> FPages;
};

class TProgressBar : public TControl {
public:
  TProgressBar(TComponent* owner, TControl* parent, const std::wstring& name, int left, int top, int width,
               int height);
  void SetMax(int max) { Perform(PBM_SETRANGE32, 0, max); }
  int Max() const { return static_cast<int>(Perform(PBM_GETRANGE, FALSE, 0)); }
  void SetPosition(int position) { Perform(PBM_SETPOS, position); }
  int Position() const { return static_cast<int>(Perform(PBM_GETPOS)); }
};
