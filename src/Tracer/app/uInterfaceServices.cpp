#include "Tracer/app/uInterfaceServices.h"

#include "Tracer/foundation/uRaise.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "lib/dgn/windows/DgnSysUtils.h"
#include "lib/dgn/windows/DgnWin32.h"

static const wchar_t* const UnitPath = L"src/Tracer/uInterfaceServices";

// ---- recent files -------------------------------------------------------------------------

const TPropTable& TCustomFile::ClassPropTable() {
  static const TPropTable table(
      &TCollectionItem::ClassPropTable(),
      {StringProperty<TCustomFile>(L"FileName", &TCustomFile::GetFileName, &TCustomFile::SetFileName)});
  return table;
}

void TCustomFile::SetFileName(const std::wstring& value) { FFileName = value; }

namespace {

bool SameFileName(const std::wstring& a, const std::wstring& b) {
  return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), static_cast<int>(a.size()), b.c_str(),
                        static_cast<int>(b.size())) == CSTR_EQUAL;
}

}  // namespace

void TRecentFile::SetFileName(const std::wstring& value) {
  if (value == FFileName) return;
  if (TCollection* files = GetCollection()) {
    for (int i = files->GetCount() - 1; i >= 0; --i) {
      auto* other = static_cast<TCustomFile*>(files->GetItem(i));
      if (other != this && SameFileName(other->GetFileName(), value)) files->Delete(i);
    }
  }
  FFileName = value;
}

TRecentFile* TRecentFiles::Insert(int index) {
  TRecentFile* item = TCollectionOf<TRecentFile>::Insert(index);
  CW_ASSERT(item != nullptr, UnitPath, __LINE__);
  return item;
}

TRecentFile* TRecentFiles::GetItem(int index) const {
  TRecentFile* item = TCollectionOf<TRecentFile>::GetItem(index);
  CW_ASSERT(item != nullptr, UnitPath, __LINE__);
  return item;
}

std::unique_ptr<TRecentFilesEnumerator> TRecentFiles::GetEnumerator() const {
  return std::make_unique<TRecentFilesEnumerator>(this);
}

void TRecentFiles::Notify(TCollectionItem* item, TCollectionNotification action) {
  TCollectionOf<TRecentFile>::Notify(item, action);
  if (action == TCollectionNotification::cnAdded) LimitOnAdd(item);
}

void TRecentFiles::LimitOnAdd(TCollectionItem* added) {
  // The item just added stays: inserted at the top it is never the last one; appended (the
  // settings file is read that way) the one before it goes.
  while (GetCount() > MaxRecentFiles) {
    const int last = GetCount() - 1;
    Delete(TCollection::GetItem(last) == added ? last - 1 : last);
  }
}

// ---- highlight rules ----------------------------------------------------------------------

COLORREF ColorToRGB(int32_t color) {
  if (color < 0) return GetSysColor(color & 0xFF);
  return static_cast<COLORREF>(color);
}

const TPropTable& TColorInfo::ClassPropTable() {
  static const TPropTable table(
      &TCollectionItem::ClassPropTable(),
      {IntegerProperty<TColorInfo>(L"BackColor", &TColorInfo::BackColor, &TColorInfo::BackColor),
       IntegerProperty<TColorInfo>(L"ForeColor", &TColorInfo::ForeColor, &TColorInfo::ForeColor),
       StringProperty<TColorInfo>(L"SearchStr", &TColorInfo::SearchStr, &TColorInfo::SearchStr)});
  return table;
}

void TColorInfo::CopyFrom(const TPersistent& source) {
  if (const auto* rule = dynamic_cast<const TColorInfo*>(&source)) {
    BackColor = rule->BackColor;
    ForeColor = rule->ForeColor;
    SearchStr = rule->SearchStr;
    return;
  }
  throw EConvertError(WideFormat(L"Cannot assign a %ls to a TColorInfo", TypeDisplayName(typeid(source)).c_str()));
}

bool TColorInfo::Matches(const std::wstring& text) const {
  return !SearchStr.empty() && text.find(SearchStr) != std::wstring::npos;
}

TColorInfo* TColorInfos::Add() {
  TColorInfo* item = TCollectionOf<TColorInfo>::Add();
  CW_ASSERT(item != nullptr, UnitPath, __LINE__);
  return item;
}

TColorInfo* TColorInfos::GetItem(int index) const {
  TColorInfo* item = TCollectionOf<TColorInfo>::GetItem(index);
  CW_ASSERT(item != nullptr, UnitPath, __LINE__);
  return item;
}

std::unique_ptr<TColorInfosEnumerator> TColorInfos::GetEnumerator() const {
  return std::make_unique<TColorInfosEnumerator>(this);
}

TColorInfo* TColorInfos::FindRule(const std::vector<std::wstring>& columnTexts) const {
  for (int i = 0; i < GetCount(); ++i) {
    TColorInfo* rule = GetItem(i);
    for (const std::wstring& text : columnTexts)
      if (rule->Matches(text)) return rule;
  }
  return nullptr;
}

TColorInfos* GetColorInfos() {
  static TObject* instance = nullptr;
  static const TColorInfos::TFactory factory;
  return GetServiceInstance<TColorInfos>(factory, instance);
}

// ---- print stream -------------------------------------------------------------------------

void TPrintStream::Print(const std::string& s) {
  if (!s.empty()) FStream.WriteBuffer(s.data(), static_cast<int32_t>(s.size()));
}

void TPrintStream::PrintLn(const std::string& s) {
  Print(s);
  Print("\r\n");
}

// ---- help ---------------------------------------------------------------------------------

namespace {

HWND(WINAPI* PHtmlHelpW)(HWND, LPCWSTR, UINT, DWORD_PTR) = nullptr;
constexpr UINT HH_DISPLAY_TOPIC = 0;

}  // namespace

THTMLHelp::THTMLHelp() : HelpFile(WideExtractFilePath(ModuleFilePath(nullptr)) + L"Calderwisp.chm") {}

void THTMLHelp::ShowTopic(const std::wstring& topic) {
  try {
    BindProcedure(PHtmlHelpW, L"hhctrl.ocx", "HtmlHelpW");
  } catch (const Exception&) {
    return;  // no viewer: nothing to show
  }
  PHtmlHelpW(GetApplicationWindow(), HelpFile.c_str(), HH_DISPLAY_TOPIC, reinterpret_cast<DWORD_PTR>(topic.c_str()));
}

THTMLHelp* GetHTMLHelp() {
  static TObject* instance = nullptr;
  static const THTMLHelp::TFactory factory;
  return GetServiceInstance<THTMLHelp>(factory, instance);
}
