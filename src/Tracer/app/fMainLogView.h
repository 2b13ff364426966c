// The main window's log view: the trace list read from the visible events, its columns and
// readers, following new rows at idle time, the cell hints and the hint window, and the focused
// row for the automation model.
#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Tracer/app/uTEQColumns.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/foundation/uSingletons.h"
#include "Tracer/window/uWinComCtrls.h"
#include "Tracer/window/uWinForms.h"

struct TMainOptions;

// The cell texts of the log view: each parameter on one line, parameters joined by a blank.
class TListViewTEQReader : public TSimpleTEQReader {
public:
  using TSimpleTEQReader::TSimpleTEQReader;
  void GetParamText(ITracerEventParam* param, std::wstring& text) override;
  void AppendParamText(ITracerEventParam* param, std::wstring& text) override;
};

// The cell texts of hints: parameters one per line, each keeping its own line breaks.
class TSmartHintTEQReader : public TSimpleTEQReader {
public:
  using TSimpleTEQReader::TSimpleTEQReader;
  void AppendParamText(ITracerEventParam* param, std::wstring& text) override;
};

// The application's hint window: the main window's font and a plain black frame.
class TSmartHintWindow : public THintWindow {
public:
  explicit TSmartHintWindow(HFONT mainFont);

protected:
  LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp) override;
  void WMNCPaint();
};

// The focused row of the log view for the visible-events list.
class TVisibleTracerEventsImpl : public TInterfacedObject, public IVisibleTracerEventsImpl {
public:
  explicit TVisibleTracerEventsImpl(TListView* listView) : FListView(listView) {}
  CW_IUNKNOWN_COUNTED
  void* GetInterface(REFIID iid) override;
  LONG STDMETHODCALLTYPE GetFocusedIndex() override;

private:
  TListView* FListView;
};

// The trace list of the "Tracer" tab and what it reads: the cells and colours of its rows,
// its columns, and whether it follows new rows (scroll lock off).
class TMainLogView {
public:
  explicit TMainLogView(TListView* list);

  void lvwTraceData(int index, std::vector<std::wstring>& texts);
  void lvwTraceCustomDrawItem(int index, COLORREF& textColor, COLORREF& backColor);
  void MakeSelectionVisible();
  void SelectRow(int index);
  int SelectedRow() const { return lvwTrace->ItemIndex(); }
  // The idle pass's part: the row count of the visible events, and the last row followed.
  void RefreshRowCount();
  // RefreshRowCount at most every RowCountRefreshMs; a pass that comes sooner arms `due`, a
  // one-shot timer whose message brings the pass that was left for later.
  void RefreshRowCountPaced(TTimer* due);
  static constexpr DWORD RowCountRefreshMs = 500;
  // The options dialog's time format and columns: filled from the view, applied when `edit`
  // ends with OK.
  void EditOptions(TMainOptions& options, const std::function<bool(TMainOptions&)>& edit);
  void AppShowHint(std::wstring& hintStr, bool& canShow, THintInfo& hintInfo);
  void ShowTraceHint(std::wstring& hintStr, bool& canShow, THintInfo& hintInfo);
  void RebuildTraceColumns();
  void StoreColumnWidths();

  bool ScrollLock() const { return FScrollLock; }
  void SetScrollLock(bool value) { FScrollLock = value; }
  TTEQColumnManager& ColumnManager() { return *FColumnManager; }
  TListViewTEQReader& ListReader() { return *FListReader; }
  TSmartHintTEQReader& HintReader() { return *FHintReader; }

private:
  void CreateColumnManager();
  bool RowPresent(int index);

  TListView* const lvwTrace;

  std::unique_ptr<TTEQColumnManager> FColumnManager;
  std::unique_ptr<TListViewTEQReader> FListReader;
  std::unique_ptr<TSmartHintTEQReader> FHintReader;
  bool FScrollLock = true;
  // The scroll lock of the last idle pass: following starts when it goes off.
  bool FFollowedScrollLock = true;
  // When the paced pass last set the row count.
  DWORD FLastRowCountRefresh = 0;
  bool FRowCountRefreshed = false;
};
