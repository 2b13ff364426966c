// The trace log's columns (which the user can hide and resize; saved under "log:columns") and
// the row reader, which turns one logged event into the values and texts of the visible
// columns and gives the row's colours. The log view, its hints, the export writers and the
// event-properties window read events through subclasses of the reader, which differ only in
// how the parameter column joins its parameters.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Tracer/com/CalderwispTlb.h"
#include "Tracer/foundation/uClasses.h"
#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uOleVariant.h"
#include "Tracer/foundation/uPersistent.h"
#include "Tracer/foundation/uXMLFiler.h"

// Column ids: what a column shows (the main window creates them in this order).
enum : int32_t {
  colThreadId = 0,
  colCall = 1,
  colTime = 2,
  colResult = 3,
  colParams = 4,
};

class TTEQColumn : public TPersistent {
public:
  TTEQColumn(int32_t columnId, std::wstring name) : FColumnId(columnId), FName(std::move(name)) {}
  int32_t Width() const { return FWidth; }
  void SetWidth(int32_t width) { FWidth = width; }
  int32_t ColumnId() const { return FColumnId; }
  bool Visible() const { return FVisible; }
  void SetVisible(bool visible) {
    if (visible != FVisible) FVisible = visible;
  }
  // The English caption.
  const std::wstring& Name() const { return FName; }
  // The translated caption: key "lvwTraceCol<id>.Caption" of the main window's section.
  void GetCaption(std::wstring& caption) const;

  static const TPropTable& ClassPropTable();
  const TPropTable& GetPropTable() const override { return ClassPropTable(); }

private:
  int32_t FWidth = 100;
  int32_t FColumnId;
  bool FVisible = true;
  std::wstring FName;
};

class TTEQColumns : public TObject {
public:
  explicit TTEQColumns(bool ownsColumns) : FOwnsColumns(ownsColumns) {}
  ~TTEQColumns() override;
  TTEQColumns(const TTEQColumns&) = delete;
  TTEQColumns& operator=(const TTEQColumns&) = delete;
  void Add(TTEQColumn* column) { FItems.push_back(column); }
  void Clear();
  TTEQColumn* GetItem(int index) const;
  int GetCount() const { return static_cast<int>(FItems.size()); }
  // The first column of that id, nil when none.
  TTEQColumn* FindById(int32_t id) const;
  // First to last.
  std::vector<TTEQColumn*>::const_iterator begin() const { return FItems.begin(); }
  std::vector<TTEQColumn*>::const_iterator end() const { return FItems.end(); }

private:
  bool FOwnsColumns;
  std::vector<TTEQColumn*> FItems;
};

class TTEQColumnManager : public TUnknownObject, public IXMLNodeSaver, public IXMLNodeLoader {
public:
  TTEQColumnManager();
  // A column with the next id, 100 wide and visible.
  TTEQColumn* AddColumn(const std::wstring& name);
  // The visible columns again, in the order of all columns.
  void UpdateVisibleColumns();
  const TTEQColumns& AllColumns() const { return FAllColumns; }
  const TTEQColumns& VisibleColumns() const { return FVisibleColumns; }
  // Changes whenever the visible columns are rebuilt (readers drop their cached row).
  unsigned Generation() const { return FGeneration; }

  // One "column" property set per column (ColumnId, Visible, Width).
  void SaveToNode(IXMLDOMNode* node) override;
  // Visible and Width of the columns named by ColumnId; unknown ids and other children are
  // ignored; a column that fails keeps its values and is saved only as the filer keeps it; the
  // visible columns are rebuilt even when reading fails.
  void LoadFromNode(IXMLDOMNode* node) override;

private:
  TTEQColumns FAllColumns{true};
  // Columns that failed at the last load: the filer writes them back as they were written.
  std::vector<int32_t> FKeptColumnIds;
  TTEQColumns FVisibleColumns{false};
  unsigned FGeneration = 0;
};

struct TTEQColumnValue {
  TTEQColumn* Column = nullptr;
  TOleVariant Value;
};

struct TTEQColumnValueStr {
  TTEQColumn* Column = nullptr;
  std::wstring Text;
};

using TTEQColumnValueDynArray = std::vector<TTEQColumnValue>;
using TTEQColumnValueStrDynArray = std::vector<TTEQColumnValueStr>;

class TTEQReader : public TObject {
public:
  virtual void GetParamText(ITracerEventParam* param, std::wstring& text) = 0;
  virtual void GetParamsText(ITracerEventParams* params, std::wstring& text) = 0;
};

class TSimpleTEQReader : public TTEQReader {
public:
  explicit TSimpleTEQReader(TTEQColumnManager* columnManager) : FColumnManager(columnManager) {}

  // The parameter's value as VariantToQuotedText gives it.
  void GetParamText(ITracerEventParam* param, std::wstring& text) override;
  // The visible parameters, each through AppendParamText.
  void GetParamsText(ITracerEventParams* params, std::wstring& text) override;
  virtual void AppendParamText(ITracerEventParam* param, std::wstring& text) = 0;

  // The texts of visible event index (an index outside the list raises).
  void ReadRow(int index, TTEQColumnValueStrDynArray& strings);
  void ReadValues(ITracerEvent* event, TTEQColumnValueDynArray& values);
  void ReadStrings(ITracerEvent* event, TTEQColumnValueStrDynArray& strings);
  // Colours (red in the low byte; 0xFF0000nn is system colour nn) of visible event index:
  // errors white on red, else by the first highlight rule found in a cell text, else black
  // on alternating backgrounds.
  void GetRowColors(int index, int32_t& textColor, int32_t& backColor);
  // Forgets the cached row (the texts of events changed, e.g. after a language switch).
  void InvalidateCache() { FCachedEvent.Reset(); }
  TTEQColumnManager* ColumnManager() const { return FColumnManager; }

private:
  // The strings of the event, from the cache when it was the last one read.
  const TTEQColumnValueStrDynArray& CachedStrings(ITracerEvent* event);

  TTEQColumnManager* FColumnManager;
  // The last row read: the event (held, so no new event can take its address), the column
  // layout and time format it was read with, and its texts.
  TComPtr<ITracerEvent> FCachedEvent;
  unsigned FCachedGeneration = 0;
  int32_t FCachedTimeDigits = 0;
  TTEQColumnValueStrDynArray FCachedStrings;
};

// Visible event index of the trace log (raises outside the list).
TComPtr<ITracerEvent> VisibleEvent(int index);
