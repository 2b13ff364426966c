#include "Tracer/window/uWinComCtrls.h"

#include <algorithm>

#include "Tracer/foundation/uRaise.h"
#include "Tracer/window/uWinMenus.h"

// ---- TImageList ------------------------------------------------------------------------------

TImageList::TImageList(TComponent* owner, const std::wstring& name, int width, int height)
    : TComponent(owner), FHandle(ImageList_Create(width, height, ILC_COLOR24 | ILC_MASK, 4, 4)), FWidth(width),
      FHeight(height) {
  SetName(name);
  Win32CheckApi(FHandle.Valid(), "ImageList_Create");
}

// ---- TListView -------------------------------------------------------------------------------

TListView::TListView(TComponent* owner, TControl* parent, const std::wstring& name, int left, int top, int width,
                     int height, const TListViewStyle& style)
    : TControl(owner, parent), FOwnerData(style.OwnerData) {
  SetName(name);
  DWORD ws = WS_VISIBLE | WS_TABSTOP | LVS_REPORT;
  if (style.OwnerData) ws |= LVS_OWNERDATA;
  if (style.ShowSelAlways) ws |= LVS_SHOWSELALWAYS;
  if (!style.MultiSelect) ws |= LVS_SINGLESEL;
  if (!style.ColumnClick) ws |= LVS_NOSORTHEADER;
  CreateHandle(WC_LISTVIEWW, ws, WS_EX_CLIENTEDGE, left, top, width, height);
  DWORD ex = LVS_EX_INFOTIP;
  if (style.RowSelect) ex |= LVS_EX_FULLROWSELECT;
  if (style.GridLines) ex |= LVS_EX_GRIDLINES;
  if (style.CheckBoxes) ex |= LVS_EX_CHECKBOXES;
  SetExtendedStyle(ex, ex);
  // A plain subclass with the object in the window's user data: the common controls' own
  // subclassing reads a window property at every message, and under Wine each such read is a
  // trip to the server, whose requests queue in front of the debugging thread's.
  if (style.OwnerData && !style.MultiSelect) {
    SetWindowLongPtrW(Handle(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    const auto previous = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(Handle(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TListView::SubclassProc)));
    if (!ListViewProc) ListViewProc = previous;
  }
}

TListView::~TListView() {
  // The window outlives this object by a moment: its messages go straight to the control.
  if (Handle() && ListViewProc) SetWindowLongPtrW(Handle(), GWLP_USERDATA, 0);
}

LRESULT CALLBACK TListView::SubclassProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<TListView*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!self) return CallWindowProcW(ListViewProc, window, msg, wp, lp);
  return WindowProcGuard(LRESULT(0), [&] { return self->OnMessage(window, msg, wp, lp); });
}

// A key that moves the selection of a virtual list costs the control a visit of every row,
// twice over, unless the move starts with no row selected: it clears the old selection that
// way, and a change handler that asks for the selected row between its steps (the new row
// selected, the focus not yet there) makes it search. So the selected row gives up its
// selection first (and takes it back when the key moved nothing: End on the last row), and
// the handler hears of the changes once the move is done.
LRESULT TListView::OnMessage(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  const bool moves = msg == WM_KEYDOWN && !FMovingByKey &&
                     (wp == VK_HOME || wp == VK_END || wp == VK_PRIOR || wp == VK_NEXT || wp == VK_UP || wp == VK_DOWN) &&
                     GetKeyState(VK_SHIFT) >= 0 && GetKeyState(VK_CONTROL) >= 0;
  if (!moves) return CallWindowProcW(ListViewProc, window, msg, wp, lp);
  FMovingByKey = true;
  FMoveChanges.clear();
  LRESULT result = 0;
  try {
    const int leaving = SelCount() == 1 ? ItemIndex() : -1;
    if (leaving >= 0) ListView_SetItemState(window, leaving, 0, LVIS_SELECTED);
    result = CallWindowProcW(ListViewProc, window, msg, wp, lp);
    if (leaving >= 0 && IsWindow(window) && ListView_GetSelectedCount(window) == 0)
      ListView_SetItemState(window, leaving, LVIS_SELECTED, LVIS_SELECTED);
  } catch (...) {
    FMovingByKey = false;
    throw;
  }
  FMovingByKey = false;
  std::vector<int> changes;
  changes.swap(FMoveChanges);
  for (int index : changes) Changed(index);
  return result;
}

void TListView::Changed(int index) {
  if (FMovingByKey)
    FMoveChanges.push_back(index);
  else if (OnChange)
    OnChange(this, index);
}

int TListView::AddColumn(const std::wstring& caption, int width) {
  LVCOLUMNW col{};
  col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
  col.pszText = const_cast<wchar_t*>(caption.c_str());
  col.cx = width;
  col.iSubItem = ColumnCount();
  return ListView_InsertColumn(Handle(), col.iSubItem, &col);
}

std::wstring TListView::ColumnCaption(int index) const {
  wchar_t buf[260] = L"";
  LVCOLUMNW col{};
  col.mask = LVCF_TEXT;
  col.pszText = buf;
  col.cchTextMax = 260;
  ListView_GetColumn(Handle(), index, &col);
  return buf;
}

void TListView::SetColumnCaption(int index, const std::wstring& caption) {
  LVCOLUMNW col{};
  col.mask = LVCF_TEXT;
  col.pszText = const_cast<wchar_t*>(caption.c_str());
  ListView_SetColumn(Handle(), index, &col);
}

void TListView::ClearColumns() {
  while (ColumnCount() > 0) DeleteColumn(ColumnCount() - 1);
}

int TListView::ItemIndex() const {
  const int focused = ListView_GetNextItem(Handle(), -1, LVNI_FOCUSED | LVNI_SELECTED);
  if (focused >= 0 || SelCount() == 0) return focused;
  return ListView_GetNextItem(Handle(), -1, LVNI_SELECTED);
}

void TListView::SetItemIndex(int index) {
  // Only the rows that have the state lose it: a state set on every row costs a walk over all
  // rows of a virtual list.
  for (int guard = SelCount(); guard > 0 && SelCount() > 0; --guard)
    ListView_SetItemState(Handle(), ItemIndex(), 0, LVIS_SELECTED);
  const int focused = ListView_GetNextItem(Handle(), -1, LVNI_FOCUSED);
  if (focused >= 0) ListView_SetItemState(Handle(), focused, 0, LVIS_FOCUSED);
  if (index >= 0) ListView_SetItemState(Handle(), index, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
}

RECT TListView::ItemRect(int index, int code) const {
  RECT r{};
  ListView_GetItemRect(Handle(), index, &r, code);
  return r;
}

int TListView::ItemAt(POINT clientPoint, UINT* flags) const {
  LVHITTESTINFO hit{};
  hit.pt = clientPoint;
  int index = ListView_HitTest(Handle(), &hit);
  if (flags) *flags = hit.flags;
  return index;
}

int TListView::AddItem(const std::wstring& caption, LPARAM data) {
  LVITEMW item{};
  item.mask = LVIF_TEXT | LVIF_PARAM;
  item.iItem = ItemCount();
  item.pszText = const_cast<wchar_t*>(caption.c_str());
  item.lParam = data;
  return ListView_InsertItem(Handle(), &item);
}

void TListView::SetItemText(int index, int subItem, const std::wstring& text) {
  ListView_SetItemText(Handle(), index, subItem, const_cast<wchar_t*>(text.c_str()));
}

std::wstring TListView::ItemText(int index, int subItem) const {
  wchar_t buf[1024] = L"";
  ListView_GetItemText(Handle(), index, subItem, buf, 1024);
  return buf;
}

LPARAM TListView::ItemData(int index) const {
  LVITEMW item{};
  item.mask = LVIF_PARAM;
  item.iItem = index;
  ListView_GetItem(Handle(), &item);
  return item.lParam;
}

void TListView::SetItemData(int index, LPARAM data) {
  LVITEMW item{};
  item.mask = LVIF_PARAM;
  item.iItem = index;
  item.lParam = data;
  ListView_SetItem(Handle(), &item);
}

void TListView::SetItemImage(int index, int image) {
  LVITEMW item{};
  item.mask = LVIF_IMAGE;
  item.iItem = index;
  item.iImage = image;
  ListView_SetItem(Handle(), &item);
}

void TListView::SetItemStateImage(int index, int image) {
  ListView_SetItemState(Handle(), index, INDEXTOSTATEIMAGEMASK(image + 1), LVIS_STATEIMAGEMASK);
}

void TListView::SetImages(TImageList* images, int which) {
  // The list must not destroy an image list it shares with others.
  if (which == LVSIL_STATE || which == LVSIL_SMALL)
    SetWindowLongW(Handle(), GWL_STYLE, GetWindowLongW(Handle(), GWL_STYLE) | LVS_SHAREIMAGELISTS);
  ListView_SetImageList(Handle(), images ? images->Handle() : nullptr, which);
}

void TListView::EndUpdate() {
  Perform(WM_SETREDRAW, TRUE);
  InvalidateData();
  Invalidate();
}

bool TListView::Notify(NMHDR* header, LRESULT& result) {
  switch (header->code) {
    case LVN_GETDISPINFOW: {
      auto* info = reinterpret_cast<NMLVDISPINFOW*>(header);
      LVITEMW& item = info->item;
      if (!(item.mask & LVIF_TEXT) || !OnData) return false;
      // The control asks once per cell: one call of OnData serves a whole row.
      if (item.iItem != FDataIndex) {
        FDataTexts.clear();
        FDataIndex = -1;
        OnData(this, item.iItem, FDataTexts);
        FDataIndex = item.iItem;
      }
      const std::wstring empty;
      const std::wstring& text =
          item.iSubItem >= 0 && item.iSubItem < static_cast<int>(FDataTexts.size()) ? FDataTexts[item.iSubItem] : empty;
      if (item.cchTextMax > 0) lstrcpynW(item.pszText, text.c_str(), item.cchTextMax);
      return true;
    }
    case NM_CUSTOMDRAW: {
      auto* draw = reinterpret_cast<NMLVCUSTOMDRAW*>(header);
      if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) {
        // A new paint asks its rows afresh.
        InvalidateData();
        result = OnCustomDrawItem ? CDRF_NOTIFYITEMDRAW : CDRF_DODEFAULT;
        return true;
      }
      if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT && OnCustomDrawItem) {
        COLORREF text = draw->clrText, back = draw->clrTextBk;
        OnCustomDrawItem(this, static_cast<int>(draw->nmcd.dwItemSpec), text, back);
        draw->clrText = text;
        draw->clrTextBk = back;
        result = CDRF_DODEFAULT;
        return true;
      }
      return false;
    }
    case LVN_ITEMCHANGED:
      Changed(reinterpret_cast<NMLISTVIEW*>(header)->iItem);
      return true;
    case LVN_ODSTATECHANGED:
      Changed(-1);
      return true;
    case NM_CLICK:
      if (OnClick) OnClick(this);
      return true;
    case NM_DBLCLK:
      if (OnDblClick) OnDblClick(this);
      return true;
    case LVN_GETINFOTIPW: {
      auto* tip = reinterpret_cast<NMLVGETINFOTIPW*>(header);
      if (!OnInfoTip) return false;
      std::wstring text;
      OnInfoTip(this, tip->iItem, text);
      if (tip->cchTextMax > 0) lstrcpynW(tip->pszText, text.c_str(), tip->cchTextMax);
      return true;
    }
  }
  return false;
}

// ---- TTreeView -------------------------------------------------------------------------------

TTreeView::TTreeView(TComponent* owner, TControl* parent, const std::wstring& name, int left, int top, int width,
                     int height, DWORD style)
    : TControl(owner, parent) {
  SetName(name);
  CreateHandle(WC_TREEVIEWW, WS_VISIBLE | WS_TABSTOP | style, WS_EX_CLIENTEDGE, left, top, width, height);
}

HTREEITEM TTreeView::AddChild(HTREEITEM parent, const std::wstring& text, int image, int selectedImage, LPARAM data) {
  TVINSERTSTRUCTW ins{};
  ins.hParent = parent ? parent : TVI_ROOT;
  ins.hInsertAfter = TVI_LAST;
  ins.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
  ins.item.pszText = const_cast<wchar_t*>(text.c_str());
  ins.item.iImage = image;
  ins.item.iSelectedImage = selectedImage;
  ins.item.lParam = data;
  return TreeView_InsertItem(Handle(), &ins);
}

std::vector<HTREEITEM> TTreeView::Children(HTREEITEM item) const {
  std::vector<HTREEITEM> list;
  for (HTREEITEM c = FirstChild(item); c; c = NextSibling(c)) list.push_back(c);
  return list;
}

int TTreeView::ItemImage(HTREEITEM item) const {
  TVITEMW tv{};
  tv.mask = TVIF_IMAGE | TVIF_HANDLE;
  tv.hItem = item;
  TreeView_GetItem(Handle(), &tv);
  return tv.iImage;
}

void TTreeView::SetItemImage(HTREEITEM item, int image, int selectedImage) {
  TVITEMW tv{};
  tv.mask = TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_HANDLE;
  tv.hItem = item;
  tv.iImage = image;
  tv.iSelectedImage = selectedImage;
  TreeView_SetItem(Handle(), &tv);
}

LPARAM TTreeView::ItemData(HTREEITEM item) const {
  TVITEMW tv{};
  tv.mask = TVIF_PARAM | TVIF_HANDLE;
  tv.hItem = item;
  TreeView_GetItem(Handle(), &tv);
  return tv.lParam;
}

std::wstring TTreeView::ItemText(HTREEITEM item) const {
  wchar_t buf[260] = L"";
  TVITEMW tv{};
  tv.mask = TVIF_TEXT | TVIF_HANDLE;
  tv.hItem = item;
  tv.pszText = buf;
  tv.cchTextMax = 260;
  TreeView_GetItem(Handle(), &tv);
  return buf;
}

RECT TTreeView::ItemTextRect(HTREEITEM item) const {
  RECT r{};
  TreeView_GetItemRect(Handle(), item, &r, TRUE);
  return r;
}

HTREEITEM TTreeView::ItemAt(POINT clientPoint) const {
  TVHITTESTINFO hit{};
  hit.pt = clientPoint;
  return TreeView_HitTest(Handle(), &hit);
}

bool TTreeView::Notify(NMHDR* header, LRESULT&) {
  if (header->code != NM_CLICK) return false;
  if (OnClick) OnClick(this);
  return true;
}

// ---- TToolBar, TToolButton -------------------------------------------------------------------

TToolButton::TToolButton(TComponent* owner, TToolBar* toolBar, const std::wstring& name, TToolButtonStyle style)
    : TComponent(owner), FToolBar(toolBar), FCommand(NewCommandId()) {
  SetName(name);
  TBBUTTON b{};
  b.iBitmap = I_IMAGENONE;
  b.idCommand = FCommand;
  b.fsState = TBSTATE_ENABLED;
  switch (style) {
    case TToolButtonStyle::Button: b.fsStyle = BTNS_BUTTON; break;
    case TToolButtonStyle::Check: b.fsStyle = BTNS_CHECK; break;
    case TToolButtonStyle::DropDown: b.fsStyle = BTNS_DROPDOWN; break;
    case TToolButtonStyle::Separator:
    case TToolButtonStyle::Divider:
      b.fsStyle = BTNS_SEP;
      b.iBitmap = 6;  // the gap's width
      break;
  }
  toolBar->Perform(TB_ADDBUTTONSW, 1, reinterpret_cast<LPARAM>(&b));
  toolBar->FButtons.push_back(this);
}

TToolButton::~TToolButton() {
  if (FAction) FAction->RemoveClient(this);
  int index = Index();
  if (index >= 0) {
    FToolBar->Perform(TB_DELETEBUTTON, index);
    FToolBar->FButtons.erase(FToolBar->FButtons.begin() + index);
  }
}

int TToolButton::Index() const {
  auto& v = FToolBar->FButtons;
  auto it = std::find(v.begin(), v.end(), this);
  return it == v.end() ? -1 : static_cast<int>(it - v.begin());
}

void TToolButton::SetAction(TAction* action) {
  if (FAction) FAction->RemoveClient(this);
  FAction = action;
  if (action) action->AddClient(this);
}

void TToolButton::SetImageIndex(int index) {
  FToolBar->Perform(TB_CHANGEBITMAP, FCommand, MAKELPARAM(index < 0 ? I_IMAGENONE : index, 0));
}

void TToolButton::SetEnabled(bool enabled) {
  if (enabled != Enabled()) FToolBar->Perform(TB_ENABLEBUTTON, FCommand, MAKELPARAM(enabled, 0));
}

bool TToolButton::Enabled() const { return FToolBar->Perform(TB_ISBUTTONENABLED, FCommand) != 0; }

void TToolButton::SetDown(bool down) {
  if (down != Down()) FToolBar->Perform(TB_CHECKBUTTON, FCommand, MAKELPARAM(down, 0));
}

bool TToolButton::Down() const { return FToolBar->Perform(TB_ISBUTTONCHECKED, FCommand) != 0; }

void TToolButton::SetVisible(bool visible) { FToolBar->Perform(TB_HIDEBUTTON, FCommand, MAKELPARAM(!visible, 0)); }

void TToolButton::ActionChanged() {
  FHint = FAction->Hint();
  SetImageIndex(FAction->ImageIndex());
  SetEnabled(FAction->Enabled());
  SetDown(FAction->Checked());
  SetVisible(FAction->Visible());
}

void TToolButton::Click() {
  if (FAction)
    FAction->Execute();
  else if (OnClick)
    OnClick(this);
}

const TPropTable& TToolButton::ClassPropTable() {
  static const TPropTable table(&TComponent::ClassPropTable(),
                                {StringProperty<TToolButton>(L"Hint", &TToolButton::FHint, &TToolButton::FHint)});
  return table;
}

TToolBar::TToolBar(TComponent* owner, TControl* parent, const std::wstring& name, int left, int top, int width,
                   int height, int buttonWidth, int buttonHeight)
    : TControl(owner, parent), FButtonWidth(buttonWidth) {
  SetName(name);
  // Laid out by its parent, not by itself; hints are the application's, not the control's.
  CreateHandle(TOOLBARCLASSNAMEW, WS_VISIBLE | TBSTYLE_FLAT | CCS_NODIVIDER | CCS_NORESIZE | CCS_NOPARENTALIGN, 0,
               left, top, width, height);
  Perform(TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON));
  Perform(TB_SETEXTENDEDSTYLE, 0, TBSTYLE_EX_DRAWDDARROWS);
  Perform(TB_SETBUTTONSIZE, 0, MAKELPARAM(buttonWidth, buttonHeight));
}

void TToolBar::SetImages(TImageList* images) {
  FImages = images;
  Perform(TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(images ? images->Handle() : nullptr));
}

void TToolBar::SetDisabledImages(TImageList* images) {
  Perform(TB_SETDISABLEDIMAGELIST, 0, reinterpret_cast<LPARAM>(images ? images->Handle() : nullptr));
}

TToolButton* TToolBar::FindButton(WORD command) const {
  for (TToolButton* b : FButtons)
    if (b->CommandId() == command) return b;
  return nullptr;
}

TToolButton* TToolBar::ButtonAt(POINT clientPoint) const {
  int index = static_cast<int>(Perform(TB_HITTEST, 0, reinterpret_cast<LPARAM>(&clientPoint)));
  return index >= 0 && index < ButtonCount() ? FButtons[index] : nullptr;
}

std::wstring TToolBar::HintAt(POINT clientPoint) const {
  TToolButton* b = ButtonAt(clientPoint);
  return b ? b->Hint() : Hint();
}

bool TToolBar::Command(WORD, WORD id) {
  TToolButton* b = FindButton(id);
  if (!b) return false;
  b->Click();
  return true;
}

bool TToolBar::Notify(NMHDR* header, LRESULT& result) {
  if (header->code != TBN_DROPDOWN) return false;
  auto* tb = reinterpret_cast<NMTOOLBARW*>(header);
  TToolButton* b = FindButton(static_cast<WORD>(tb->iItem));
  if (b && b->DropdownMenu) {
    RECT r{};
    Perform(TB_GETRECT, tb->iItem, reinterpret_cast<LPARAM>(&r));
    r = MapRect(Handle(), nullptr, r);
    b->DropdownMenu->Popup(r.left, r.bottom);
  }
  result = TBDDRET_DEFAULT;
  return true;
}

// ---- TStatusBar ------------------------------------------------------------------------------

TStatusBar::TStatusBar(TComponent* owner, TControl* parent, const std::wstring& name, int height)
    : TControl(owner, parent) {
  SetName(name);
  CreateHandle(STATUSCLASSNAMEW, WS_VISIBLE | CCS_NOPARENTALIGN | CCS_NORESIZE, 0, 0, 0, 100, height);
  Perform(SB_SIMPLE, TRUE);
  SetAlign(TAlign::alBottom);
}

void TStatusBar::SetSimpleText(const std::wstring& text) {
  Perform(SB_SETTEXTW, SB_SIMPLEID, reinterpret_cast<LPARAM>(text.c_str()));
}

std::wstring TStatusBar::SimpleText() const {
  // The simple panel is read as part 0 (Wine answers nothing for SB_SIMPLEID).
  int n = LOWORD(Perform(SB_GETTEXTLENGTHW, 0));
  std::wstring s(static_cast<size_t>(n) + 1, L'\0');
  Perform(SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(s.data()));
  s.resize(n);
  return s;
}

// ---- TPageControl, TTabSheet -----------------------------------------------------------------

TTabSheet::TTabSheet(TComponent* owner, TPageControl* pageControl, const std::wstring& name,
                     const std::wstring& caption)
    : TCustomWindow(owner, pageControl, L"TTabSheet"), FPageControl(pageControl) {
  SetName(name);
  CreateWindowOfClass(WS_CLIPCHILDREN | WS_CLIPSIBLINGS, WS_EX_CONTROLPARENT, 0, 0, 10, 10, caption);
  TCITEMW item{};
  item.mask = TCIF_TEXT;
  item.pszText = const_cast<wchar_t*>(caption.c_str());
  int index = pageControl->PageCount();
  TabCtrl_InsertItem(pageControl->Handle(), index, &item);
  pageControl->FPages.push_back(this);
  pageControl->ShowActivePage();
}

int TTabSheet::PageIndex() const {
  auto& v = FPageControl->FPages;
  return static_cast<int>(std::find(v.begin(), v.end(), this) - v.begin());
}

void TTabSheet::SetCaption(const std::wstring& caption) {
  PutWindowText(caption);
  TCITEMW item{};
  item.mask = TCIF_TEXT;
  item.pszText = const_cast<wchar_t*>(caption.c_str());
  TabCtrl_SetItem(FPageControl->Handle(), PageIndex(), &item);
}

TPageControl::TPageControl(TComponent* owner, TControl* parent, const std::wstring& name, int left, int top,
                           int width, int height)
    : TControl(owner, parent) {
  SetName(name);
  CreateHandle(WC_TABCONTROLW, WS_VISIBLE | WS_TABSTOP | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, WS_EX_CONTROLPARENT, left,
               top, width, height);
}

TTabSheet* TPageControl::ActivePage() const {
  int index = TabCtrl_GetCurSel(Handle());
  return index >= 0 && index < PageCount() ? FPages[index] : nullptr;
}

void TPageControl::SetActivePage(TTabSheet* page) {
  TabCtrl_SetCurSel(Handle(), page ? page->PageIndex() : -1);
  ShowActivePage();
}

void TPageControl::ShowActivePage() {
  TTabSheet* active = ActivePage();
  RECT r = ClientRect();
  TabCtrl_AdjustRect(Handle(), FALSE, &r);
  for (TTabSheet* p : FPages) {
    if (p == active) {
      MoveWindow(p->Handle(), r.left, r.top, r.right - r.left, r.bottom - r.top, TRUE);
      ShowWindow(p->Handle(), SW_SHOW);
    } else {
      ShowWindow(p->Handle(), SW_HIDE);
    }
  }
}

bool TPageControl::Notify(NMHDR* header, LRESULT&) {
  if (header->code != TCN_SELCHANGE) return false;
  ShowActivePage();
  if (OnChange) OnChange(this);
  return true;
}

void TPageControl::Resized() {
  ShowActivePage();
  TControl::Resized();
}

// ---- TProgressBar ----------------------------------------------------------------------------

TProgressBar::TProgressBar(TComponent* owner, TControl* parent, const std::wstring& name, int left, int top,
                           int width, int height)
    : TControl(owner, parent) {
  SetName(name);
  CreateHandle(PROGRESS_CLASSW, WS_VISIBLE, 0, left, top, width, height);
}
