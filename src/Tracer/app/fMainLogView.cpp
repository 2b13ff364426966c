#include "Tracer/app/fMainLogView.h"

#include <algorithm>

#include "Tracer/app/fMain.h"

#include "Tracer/app/uInterfaceServices.h"
#include "Tracer/foundation/uErrorReport.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "Tracer/window/uWinHandles.h"

// Assertions name the main window's unit, as before the log view had one of its own.
static const wchar_t* const UnitPath = L"src/Tracer/fMain";

namespace {

void ReplaceAll(std::wstring& s, const std::wstring& from, const std::wstring& to) {
  for (size_t i = s.find(from); i != std::wstring::npos; i = s.find(from, i + to.size())) s.replace(i, from.size(), to);
}

}  // namespace

// ---- readers and hint window --------------------------------------------------------------------

void TListViewTEQReader::GetParamText(ITracerEventParam* param, std::wstring& text) {
  TSimpleTEQReader::GetParamText(param, text);
  ReplaceAll(text, L"\r\n", L" ");
  ReplaceAll(text, L"\n", L" ");
  ReplaceAll(text, L"\t", L" ");
}

namespace {

void AppendNamedParam(TSimpleTEQReader& reader, ITracerEventParam* param, std::wstring& text, const wchar_t* separator) {
  if (!text.empty()) text += separator;
  TBStr name;
  OleCheck(param->get_Name(name.Put()));
  std::wstring value;
  reader.GetParamText(param, value);
  text += WideFormat(L"%ls=%ls", BStrToWide(name.Get()).c_str(), value.c_str());
}

}  // namespace

void TListViewTEQReader::AppendParamText(ITracerEventParam* param, std::wstring& text) {
  AppendNamedParam(*this, param, text, L" ");
}

void TSmartHintTEQReader::AppendParamText(ITracerEventParam* param, std::wstring& text) {
  AppendNamedParam(*this, param, text, L"\n");
}

TSmartHintWindow::TSmartHintWindow(HFONT mainFont) : THintWindow(mainFont, L"TSmartHintWindow") {}

LRESULT TSmartHintWindow::OnMessage(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCPAINT) {
    WMNCPaint();
    return 0;
  }
  return THintWindow::OnMessage(msg, wp, lp);
}

void TSmartHintWindow::WMNCPaint() {
  TWindowDC dc(Handle(), TWindowDC::TArea::Whole);
  if (!dc.Get()) return;
  RECT r{0, 0, Width(), Height()};
  FrameRect(dc.Get(), &r, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
}

// ---- the focused row for the automation model ---------------------------------------------------

void* TVisibleTracerEventsImpl::GetInterface(REFIID iid) {
  if (IsEqualIID(iid, __uuidof(IVisibleTracerEventsImpl)) || IsEqualIID(iid, IID_IUnknown))
    return static_cast<IVisibleTracerEventsImpl*>(this);
  return TInterfacedObject::GetInterface(iid);
}

LONG STDMETHODCALLTYPE TVisibleTracerEventsImpl::GetFocusedIndex() { return FListView->ItemIndex(); }

// ---- the list -----------------------------------------------------------------------------------

TMainLogView::TMainLogView(TListView* list) : lvwTrace(list) {
  CreateColumnManager();
  FListReader = std::make_unique<TListViewTEQReader>(FColumnManager.get());
  FHintReader = std::make_unique<TSmartHintTEQReader>(FColumnManager.get());
}

void TMainLogView::CreateColumnManager() {
  FColumnManager = std::make_unique<TTEQColumnManager>();
  for (int i = 0; i < lvwTrace->ColumnCount(); ++i)
    FColumnManager->AddColumn(lvwTrace->ColumnCaption(i))->SetWidth(lvwTrace->ColumnWidth(i));
  FColumnManager->UpdateVisibleColumns();
}

void TMainLogView::RebuildTraceColumns() {
  lvwTrace->BeginUpdate();
  lvwTrace->ClearColumns();
  for (TTEQColumn* column : FColumnManager->VisibleColumns()) {
    std::wstring caption;
    column->GetCaption(caption);
    lvwTrace->AddColumn(caption, column->Width());
  }
  lvwTrace->EndUpdate();
}

void TMainLogView::StoreColumnWidths() {
  const TTEQColumns& visible = FColumnManager->VisibleColumns();
  CW_ASSERT(lvwTrace->ColumnCount() == visible.GetCount(), UnitPath, __LINE__);
  for (int i = 0; i < visible.GetCount(); ++i) visible.GetItem(i)->SetWidth(lvwTrace->ColumnWidth(i));
}

// The list keeps the row count of the last idle pass, and a clear of the queue since then
// leaves it rows the visible events no longer hold: those read as empty rows, and the next
// paced pass takes the count at once. Only the main thread clears; the debugging thread only
// adds, so a row found here is still there at the read.
bool TMainLogView::RowPresent(int index) {
  if (index < GetTracerEventQueue()->VisibleEvents()->List().Count()) return true;
  FRowCountRefreshed = false;
  return false;
}

void TMainLogView::lvwTraceData(int index, std::vector<std::wstring>& texts) {
  texts.clear();
  if (!RowPresent(index)) return;
  TTEQColumnValueStrDynArray cells;
  FListReader->ReadRow(index, cells);
  for (const TTEQColumnValueStr& cell : cells) texts.push_back(cell.Text);
}

void TMainLogView::lvwTraceCustomDrawItem(int index, COLORREF& textColor, COLORREF& backColor) {
  if (!RowPresent(index)) return;
  int32_t text = 0, back = 0;
  FListReader->GetRowColors(index, text, back);
  textColor = ColorToRGB(text);
  backColor = ColorToRGB(back);
}

void TMainLogView::MakeSelectionVisible() {
  const int index = SelectedRow();
  if (index >= 0) lvwTrace->EnsureVisible(index, false);
}

void TMainLogView::SelectRow(int index) {
  lvwTrace->SetItemIndex(index);
  MakeSelectionVisible();
}

void TMainLogView::RefreshRowCount() {
  const int count = GetTracerEventQueue()->VisibleEvents()->List().Count();
  if (lvwTrace->ItemCount() != count) {
    lvwTrace->SetItemCount(count);
    // Rows at or after the cached one may be other events now.
    FListReader->InvalidateCache();
    lvwTrace->InvalidateData();
    if (!FScrollLock && count > 0) lvwTrace->EnsureVisible(count - 1, false);
  } else if (!FScrollLock && count > 0 && FFollowedScrollLock) {
    // Scroll lock just went off: follow from now on.
    lvwTrace->EnsureVisible(count - 1, false);
  }
  FFollowedScrollLock = FScrollLock;
}

void TMainLogView::RefreshRowCountPaced(TTimer* due) {
  // While a trace adds rows, each pass would change the row count, which re-lays out the list
  // and asks the window system a few dozen times; those requests queue in front of the
  // debugging thread's.
  const DWORD now = GetTickCount();
  if (FRowCountRefreshed && now - FLastRowCountRefresh < RowCountRefreshMs) {
    if (!due->Enabled()) {
      due->SetInterval(RowCountRefreshMs - (now - FLastRowCountRefresh));
      due->SetEnabled(true);
    }
    return;
  }
  FRowCountRefreshed = true;
  FLastRowCountRefresh = now;
  RefreshRowCount();
}

void TMainLogView::EditOptions(TMainOptions& options, const std::function<bool(TMainOptions&)>& edit) {
  options.TimeFormats = {L"1 ms", L"0.1 ms", L"0.01 ms"};
  options.TimeFormat = TimeFormatDigits;
  std::vector<TTEQColumn*> columns(FColumnManager->AllColumns().begin(), FColumnManager->AllColumns().end());
  std::stable_sort(columns.begin(), columns.end(),
                   [](TTEQColumn* a, TTEQColumn* b) { return a->ColumnId() < b->ColumnId(); });
  for (TTEQColumn* column : columns) {
    std::wstring caption;
    column->GetCaption(caption);
    options.ColumnCaptions.push_back(caption);
    options.ColumnsVisible.push_back(column->Visible());
  }
  if (!edit(options)) return;
  auto rebuild = [this] {
    FColumnManager->UpdateVisibleColumns();
    RebuildTraceColumns();
    FListReader->InvalidateCache();
    FHintReader->InvalidateCache();
    lvwTrace->Invalidate();
  };
  try {
    TimeFormatDigits = options.TimeFormat;
    StoreColumnWidths();
    for (size_t i = 0; i < columns.size() && i < options.ColumnsVisible.size(); ++i)
      columns[i]->SetVisible(options.ColumnsVisible[i]);
  } catch (...) {
    rebuild();
    throw;
  }
  rebuild();
}

void TMainLogView::AppShowHint(std::wstring& hintStr, bool& canShow, THintInfo& hintInfo) {
  if (hintInfo.HintControl == lvwTrace) ShowTraceHint(hintStr, canShow, hintInfo);
}

void TMainLogView::ShowTraceHint(std::wstring& hintStr, bool& canShow, THintInfo& hintInfo) {
  const int item = lvwTrace->ItemAt(hintInfo.CursorPos);
  if (item < 0 || !RowPresent(item)) return;
  const RECT bounds = lvwTrace->ItemRect(item, LVIR_BOUNDS);
  POINT pos{bounds.left, bounds.top};
  ClientToScreen(lvwTrace->Handle(), &pos);
  hintInfo.HintPos = pos;
  canShow = false;
  POINT cursor = hintInfo.CursorPos;
  ClientToScreen(lvwTrace->Handle(), &cursor);
  const int x = cursor.x;
  int left = pos.x;
  const TTEQColumns& visible = FColumnManager->VisibleColumns();
  for (int i = 0; i < lvwTrace->ColumnCount(); ++i) {
    const int right = left + lvwTrace->ColumnWidth(i);
    if (left <= x && x <= right) {
      hintInfo.HintPos.x = left;
      TTEQColumnValueStrDynArray cells;
      FHintReader->ReadRow(item, cells);
      hintStr = i < static_cast<int>(cells.size()) ? cells[i].Text : std::wstring();
      ReplaceTabs(hintStr, L"    ");
      hintInfo.HintStr = hintStr;
      if (i < visible.GetCount() && visible.GetItem(i)->ColumnId() == colParams) {
        canShow = true;
      } else {
        TWindowDC dc(lvwTrace->Handle());
        TSelectObject font(dc.Get(), lvwTrace->Font());
        SIZE size{};
        GetTextExtentPoint32W(dc.Get(), hintStr.c_str(), static_cast<int>(hintStr.size()), &size);
        canShow = size.cx > lvwTrace->ColumnWidth(i);
      }
      // The hint stays for this cell only: the next cell brings its own.
      POINT cellTopLeft{left, bounds.top}, cellBottomRight{right, bounds.bottom};
      ScreenToClient(lvwTrace->Handle(), &cellTopLeft);
      cellBottomRight.x = cellTopLeft.x + (right - left);
      cellBottomRight.y = bounds.bottom;
      hintInfo.CursorRect = RECT{cellTopLeft.x, bounds.top, cellBottomRight.x, bounds.bottom};
      break;
    }
    left = right;
  }
  if (canShow) {
    hintInfo.HintPos.x += 3;
    hintInfo.HintPos.y -= 3;
    hintInfo.HintMaxWidth = GetSystemMetrics(SM_CXSCREEN) - hintInfo.HintPos.x;
  }
}
