#include "Tracer/foundation/uInterfaceServices.h"

#include <uxtheme.h>
#include <vsstyle.h>

#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uRaise.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "lib/dgn/windows/DgnHandle.h"
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

// ---- system pictures ----------------------------------------------------------------------

namespace {

struct TGdiObjectTraits {
  using Handle = HGDIOBJ;
  static Handle Invalid() { return nullptr; }
  static bool Valid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { DeleteObject(h); }
};
using TGdiObject = TDgnUniqueHandle<TGdiObjectTraits>;

// A memory device context with bitmap selected, for drawing into it.
class TBitmapDC {
public:
  explicit TBitmapDC(HBITMAP bitmap) : FDC(CreateCompatibleDC(nullptr)) {
    Win32CheckApi(FDC != nullptr, "CreateCompatibleDC");
    FOld = SelectObject(FDC, bitmap);
  }
  ~TBitmapDC() {
    SelectObject(FDC, FOld);
    DeleteDC(FDC);
  }
  TBitmapDC(const TBitmapDC&) = delete;
  TBitmapDC& operator=(const TBitmapDC&) = delete;
  HDC Get() const { return FDC; }

private:
  HDC FDC;
  HGDIOBJ FOld;
};

constexpr RECT PictureRect = {0, 0, 15, 15};

void DrawFrame(HBITMAP bitmap, UINT state) {
  TBitmapDC dc(bitmap);
  RECT r = PictureRect;
  DrawFrameControl(dc.Get(), &r, DFC_BUTTON, state);
}

// The theme functions, bound on first use (systems without themes have none).
BOOL(WINAPI* PIsThemeActive)() = nullptr;
BOOL(WINAPI* PIsAppThemed)() = nullptr;
HTHEME(WINAPI* POpenThemeData)(HWND, LPCWSTR) = nullptr;
HRESULT(WINAPI* PCloseThemeData)(HTHEME) = nullptr;
HRESULT(WINAPI* PDrawThemeBackground)(HTHEME, HDC, int, int, const RECT*, const RECT*) = nullptr;

void BindThemeFunctions() {
  BindProcedure(PIsThemeActive, L"uxtheme.dll", "IsThemeActive");
  BindProcedure(PIsAppThemed, L"uxtheme.dll", "IsAppThemed");
  BindProcedure(POpenThemeData, L"uxtheme.dll", "OpenThemeData");
  BindProcedure(PCloseThemeData, L"uxtheme.dll", "CloseThemeData");
  BindProcedure(PDrawThemeBackground, L"uxtheme.dll", "DrawThemeBackground");
}

[[noreturn]] void SilentAbort() { throw EAbort(L"Operation aborted"); }

}  // namespace

void TNonThemedSystemBitmapsImpl::DrawCheckBox(bool checked, HBITMAP bitmap) {
  DrawFrame(bitmap, DFCS_BUTTONCHECK | (checked ? DFCS_CHECKED : 0));
}

void TNonThemedSystemBitmapsImpl::DrawRadioButton(bool checked, HBITMAP bitmap) {
  DrawFrame(bitmap, DFCS_BUTTONRADIO | (checked ? DFCS_CHECKED : 0));
}

TThemedSystemBitmapsImpl::TThemedSystemBitmapsImpl() {
  try {
    BindThemeFunctions();
  } catch (const Exception&) {
    SilentAbort();
  }
  if (!PIsThemeActive() || !PIsAppThemed()) SilentAbort();
  FTheme = POpenThemeData(nullptr, L"BUTTON");
  if (!FTheme) SilentAbort();
}

TThemedSystemBitmapsImpl::~TThemedSystemBitmapsImpl() { PCloseThemeData(FTheme); }

void TThemedSystemBitmapsImpl::DrawPart(int part, int state, HBITMAP bitmap) {
  TBitmapDC dc(bitmap);
  OleCheck(PDrawThemeBackground(FTheme, dc.Get(), part, state, &PictureRect, nullptr));
}

void TThemedSystemBitmapsImpl::DrawCheckBox(bool checked, HBITMAP bitmap) {
  DrawPart(BP_CHECKBOX, checked ? CBS_CHECKEDNORMAL : CBS_UNCHECKEDNORMAL, bitmap);
}

void TThemedSystemBitmapsImpl::DrawRadioButton(bool checked, HBITMAP bitmap) {
  DrawPart(BP_RADIOBUTTON, checked ? RBS_CHECKEDNORMAL : RBS_UNCHECKEDNORMAL, bitmap);
}

TSystemBitmaps::TSystemBitmaps() {
  try {
    FImpl = std::make_unique<TThemedSystemBitmapsImpl>();
  } catch (const Exception&) {
    FImpl = std::make_unique<TNonThemedSystemBitmapsImpl>();
  }
}

void* TSystemBitmaps::GetInterface(REFIID iid) {
  if (IsEqualIID(iid, IID_IUnknown)) return static_cast<IUnknown*>(static_cast<ISystemBitmaps*>(this));
  return TInterfacedObject::GetInterface(iid);
}

bool TSystemBitmaps::Themed() const { return dynamic_cast<TThemedSystemBitmapsImpl*>(FImpl.get()) != nullptr; }

TSystemImagesStorage::TSystemImagesStorage(ISystemBitmaps* systemBitmaps, HIMAGELIST imageList) {
  constexpr int Size = 16;
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = Size;
  info.bmiHeader.biHeight = Size;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  TGdiObject bitmap(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  Win32CheckApi(bitmap.Valid(), "CreateDIBSection");
  HBITMAP picture = static_cast<HBITMAP>(bitmap.Get());
  auto fillWhite = [picture] {
    TBitmapDC dc(picture);
    PatBlt(dc.Get(), 0, 0, Size, Size, WHITENESS);
  };
  // A new bitmap is black; each picture is drawn on white.
  fillWhite();
  for (int i = 0; i < 4; ++i) {
    if (i < 2)
      systemBitmaps->DrawCheckBox(i == 1, picture);
    else
      systemBitmaps->DrawRadioButton(i == 3, picture);
    FIndices[i] = ImageList_Add(imageList, picture, nullptr);
    Win32CheckApi(FIndices[i] >= 0, "ImageList_Add");
    fillWhite();
  }
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
