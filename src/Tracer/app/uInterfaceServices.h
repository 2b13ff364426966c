// Small services the windows share: the recently used files, the highlight rules of the trace
// log, a writer of single-byte text, typed enumerators over collections and list-view columns,
// and the compiled help.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Tracer/foundation/uPersistent.h"
#include "Tracer/foundation/uSingletons.h"
#include "lib/rtl/Classes.h"
#include "lib/rtl/SysUtils.h"

// ---- typed enumerators --------------------------------------------------------------------

// Walks a collection's items as T; an item that is nil or not a T is an assertion failure.
template <class T>
class TTypedCollectionEnumerator {
public:
  explicit TTypedCollectionEnumerator(const TCollection* collection) : FCollection(collection) {}
  bool MoveNext() {
    if (FIndex + 1 >= FCollection->GetCount()) return false;
    ++FIndex;
    return true;
  }
  T* GetCurrent() const {
    T* item = dynamic_cast<T*>(FCollection->GetItem(FIndex));
    CW_ASSERT(item != nullptr, L"src/Tracer/uInterfaceServices", __LINE__);
    return item;
  }

private:
  const TCollection* FCollection;
  int FIndex = -1;
};

// A list view's columns are a collection of column items (the window layer's column class).
template <class TColumn>
using TListColumnsEnumerator = TTypedCollectionEnumerator<TColumn>;

template <class TColumn>
std::unique_ptr<TListColumnsEnumerator<TColumn>> EnumListColumns(const TCollectionOf<TColumn>& columns) {
  return std::make_unique<TListColumnsEnumerator<TColumn>>(&columns);
}

// ---- recent files -------------------------------------------------------------------------

class TCustomFile : public TCollectionItem {
public:
  using TCollectionItem::TCollectionItem;
  static const TPropTable& ClassPropTable();
  const TPropTable& GetPropTable() const override { return ClassPropTable(); }
  const std::wstring& GetFileName() const { return FFileName; }
  virtual void SetFileName(const std::wstring& value);

protected:
  std::wstring FFileName;
};

// Setting a name removes every other entry with that name in any letter case.
class TRecentFile : public TCustomFile {
public:
  using TCustomFile::TCustomFile;
  void SetFileName(const std::wstring& value) override;
};

using TRecentFilesEnumerator = TTypedCollectionEnumerator<TRecentFile>;

// At most MaxRecentFiles names, newest first (the main window inserts at 0).
class TRecentFiles : public TCollectionOf<TRecentFile> {
public:
  static constexpr int MaxRecentFiles = 10;
  TRecentFile* Insert(int index);
  TRecentFile* GetItem(int index) const;
  std::unique_ptr<TRecentFilesEnumerator> GetEnumerator() const;

protected:
  void Notify(TCollectionItem* item, TCollectionNotification action) override;

private:
  void LimitOnAdd(TCollectionItem* added);
};

// ---- highlight rules ----------------------------------------------------------------------

// A colour as stored: an RGB value, or with the high bit set the index of a system colour.
// The RGB value to draw with.
COLORREF ColorToRGB(int32_t color);

// Rows whose text holds SearchStr (letter case counts) are drawn in these colours.
class TColorInfo : public TCollectionItem {
public:
  using TCollectionItem::TCollectionItem;
  static const TPropTable& ClassPropTable();
  const TPropTable& GetPropTable() const override { return ClassPropTable(); }
  // Takes the three values of another rule; any other source cannot be assigned.
  void CopyFrom(const TPersistent& source);
  // An empty search text matches nothing.
  bool Matches(const std::wstring& text) const;

  int32_t BackColor = 0xFFFFFF;
  int32_t ForeColor = 0;
  std::wstring SearchStr;
};

using TColorInfosEnumerator = TTypedCollectionEnumerator<TColorInfo>;

// The rules in order; the first one that matches a row colours it.
class TColorInfos : public TCollectionOf<TColorInfo> {
public:
  TColorInfo* Add();
  TColorInfo* GetItem(int index) const;
  std::unique_ptr<TColorInfosEnumerator> GetEnumerator() const;
  // The first rule matching any of a row's column texts; nil when none does.
  TColorInfo* FindRule(const std::vector<std::wstring>& columnTexts) const;

  using TFactory = TServiceFactory<TColorInfos, TSimpleObjectFactory>;
};

TColorInfos* GetColorInfos();

// ---- print stream -------------------------------------------------------------------------

// Writes single-byte text to a stream it does not own; write errors propagate.
class TPrintStream : public TObject {
public:
  explicit TPrintStream(TStream& stream) : FStream(stream) {}
  void Print(const std::string& s);
  // Print, then CR LF.
  void PrintLn(const std::string& s);

private:
  TStream& FStream;
};

// ---- help ---------------------------------------------------------------------------------

// The compiled help beside the program; the viewer is loaded on first use.
class THTMLHelp : public TObject {
public:
  THTMLHelp();
  // Opens a topic (a path inside the help file, such as "html\main1.htm"); a missing viewer or
  // file shows nothing and raises nothing.
  void ShowTopic(const std::wstring& topic);

  std::wstring HelpFile;

  using TFactory = TServiceFactory<THTMLHelp, TSimpleObjectFactory>;
};

THTMLHelp* GetHTMLHelp();
