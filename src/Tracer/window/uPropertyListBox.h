// A two-column list of names and values: an owner-drawn list box holding one variant per item,
// with a movable splitter between the columns, items as tall as their texts, a read-only memo
// over the selected value (so it can be selected and copied) and a hexadecimal view.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "Tracer/foundation/uOleVariant.h"
#include "Tracer/window/uWinBase.h"
#include "Tracer/window/uWinCtrls.h"

struct TValueInfo {
  TOleVariant Value;
  bool NoHex = false;
  // The text last made of the value, and whether in hexadecimal.
  std::wstring Text;
  bool HasText = false, TextIsHex = false;
};

// Item K belongs to list item K; a missing item is a programming error.
class TValueInfos {
public:
  TValueInfo& Add();
  TValueInfo& GetItem(int index);
  int Count() const { return static_cast<int>(FItems.size()); }
  void Clear() { FItems.clear(); }

private:
  std::vector<TValueInfo> FItems;
};

class TPropertyListBox : public TControl {
public:
  TPropertyListBox(TComponent* owner, TControl* parent, const std::wstring& name, int left, int top, int width,
                   int height);
  ~TPropertyListBox() override;

  void AddValue(const std::wstring& name, const VARIANT& value, bool noHex);
  // Items, values and the memo.
  void Clear();
  // Drawing off while many items are added.
  void BeginUpdate() { Perform(WM_SETREDRAW, FALSE); }
  void EndUpdate();
  int Count() const { return static_cast<int>(Perform(LB_GETCOUNT)); }
  std::wstring ItemName(int index) const;
  // The text of item index in the current mode (the memo shows all of it).
  const std::wstring& ValueText(int index);
  // What a row draws and measures: the text cut after MaxDrawnChars characters, far more
  // than a row shows, so a 64 KB buffer costs no more to lay out than a short value.
  std::wstring DrawnText(int index);
  static constexpr size_t MaxDrawnChars = 4096;
  int ItemIndex() const { return static_cast<int>(Perform(LB_GETCURSEL)); }
  void SetItemIndex(int index);
  int ItemHeight(int index) const { return static_cast<int>(Perform(LB_GETITEMHEIGHT, index)); }
  RECT ItemRect(int index) const;

  bool HexMode() const { return FHexMode; }
  void SetHexMode(bool value);
  int SplitterX() const { return FSplitterX; }
  TEdit* Memo() const { return FMemo; }
  // Every item measured again with the current value texts.
  void RefreshItems();
  // Puts the memo over the selected item's value (hidden without a selection).
  void UpdateMemo();

  bool DrawItem(DRAWITEMSTRUCT* item) override;
  bool MeasureItem(MEASUREITEMSTRUCT* item) override;
  bool Command(WORD code, WORD id) override;
  void Resized() override;

  // Value texts.
  static std::wstring GetDisplayText(const VARIANT& value);
  static std::wstring GetHexDisplayText(const VARIANT& value);
  static std::wstring GetHexText(const VARIANT& value);
  // One character per byte element, codes below 32 as "."; false when value is not a
  // one-dimensional array of byte variants.
  static bool ByteArrayToText(const VARIANT& value, std::wstring& text);

private:
  static LRESULT CALLBACK SubclassProc(HWND window, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp);
  LRESULT CallDefault(UINT msg, WPARAM wp, LPARAM lp) { return CallWindowProcW(FDefaultProc, Handle(), msg, wp, lp); }
  void Paint();
  void DrawSplitter(HDC dc, int top, int bottom);
  int MeasureTextHeight(const std::wstring& text);
  HFONT BoldFont();

  int FSplitterX;
  TValueInfos FValues;
  TEdit* FMemo = nullptr;
  bool FDragging = false;
  bool FHexMode = false;
  WNDPROC FDefaultProc = nullptr;
  TFontHandle FBoldFont;
  HFONT FBoldFrom = nullptr;
};
