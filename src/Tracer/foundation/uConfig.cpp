#include "Tracer/foundation/uConfig.h"

#include "Tracer/foundation/uRaise.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "lib/dgn/windows/DgnWin32.h"

namespace {

// version.dll, bound on first use.
using TGetFileVersionInfoSizeW = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
using TGetFileVersionInfoW = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
using TVerQueryValueW = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
TGetFileVersionInfoSizeW pGetFileVersionInfoSizeW = nullptr;
TGetFileVersionInfoW pGetFileVersionInfoW = nullptr;
TVerQueryValueW pVerQueryValueW = nullptr;

void BindVersionApi() {
  BindProcedure(pGetFileVersionInfoSizeW, L"version.dll", "GetFileVersionInfoSizeW");
  BindProcedure(pGetFileVersionInfoW, L"version.dll", "GetFileVersionInfoW");
  BindProcedure(pVerQueryValueW, L"version.dll", "VerQueryValueW");
}

bool AllDigits(const std::wstring& s) {
  if (s.empty()) return false;
  for (wchar_t c : s)
    if (c < L'0' || c > L'9') return false;
  return true;
}

int Sign(int v) { return (v > 0) - (v < 0); }

}  // namespace

// --- Settings file -------------------------------------------------------------------------

TConfig::TConfig() : TXMLFiler(L"calderwisp:properties") {}

void TConfig::Load() {
  FDamagedCopy.clear();
  const std::wstring fileName = GetConfigFileName();
  if (!WideFileExists(fileName)) return;
  // A reader that cannot be made says nothing about the file: that failure leaves it alone.
  {
    TXMLDocument probe;
    CreatePropertySetDocument(probe);
  }
  try {
    LoadFromFile(fileName);
  } catch (Exception& e) {
    // An entry whose own content failed leaves the file where it is: items and columns that
    // failed are saved back as written; a value that cannot be is kept in a copy.
    const bool whole = !OnlyEntriesFailed();
    if (!whole && !FailedValuesLost()) throw;
    const std::wstring copy = KeepBeside(fileName, whole, e);
    if (whole) {
      FDamagedCopy = copy;
      AppendExceptionLine(e, L"The file was kept as \"" + copy + L"\"; new settings will be written.");
    } else {
      AppendExceptionLine(e, L"The file as it was is kept as \"" + copy + L"\".");
    }
    throw;
  }
}

std::wstring TConfig::KeepBeside(const std::wstring& fileName, bool move, Exception& e) {
  for (int i = 1;; ++i) {
    const std::wstring copy = fileName + L".bad" + (i > 1 ? std::to_wstring(i) : std::wstring());
    // Never over another copy: neither call replaces an existing name.
    if (move ? MoveFileW(fileName.c_str(), copy.c_str()) : CopyFileW(fileName.c_str(), copy.c_str(), TRUE))
      return copy;
    const DWORD error = GetLastError();
    if ((error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) || i >= 1000) {
      FKeepFile = true;
      AppendExceptionLine(e, L"The file could not be set aside (" + SysErrorMessage(error) +
                                 L"); the settings will not be saved over it.");
      throw;
    }
  }
}

void TConfig::Save() {
  if (!FKeepFile) SaveToFile(GetConfigFileName());
}

std::wstring GetConfigFileName() { return GetUserDataFolder() + L"\\calderwisp.xml"; }

static TObject* gConfig = nullptr;

TConfig* GetConfig() {
  static const TConfig::TFactory factory;
  return GetServiceInstance<TConfig>(factory, gConfig);
}

// --- File versions -------------------------------------------------------------------------

void TVarFileInfo::ReadFileVersion(const void* versionData) {
  BindVersionApi();
  std::wstring subBlock = WideFormat(L"\\StringFileInfo\\%08X\\FileVersion", LangCodePage);
  void* value = nullptr;
  UINT length = 0;
  Win32CheckApi(pVerQueryValueW(versionData, subBlock.c_str(), &value, &length) != 0, "VerQueryValueW");
  // The length counts the terminating zero; an empty value may come back with none at all.
  const auto* chars = static_cast<const wchar_t*>(value);
  size_t n = length > 0 && chars ? length - 1 : 0;
  while (n > 0 && chars[n - 1] == L'\0') --n;
  FileVersion.assign(chars ? chars : L"", n);
}

TVarFileInfo* TVarFileInfoList::GetItem(int index) const {
  TVarFileInfo* item = FItems.at(static_cast<size_t>(index)).get();
  CW_ASSERT(item != nullptr, L"src/Tracer/uConfig", __LINE__);
  return item;
}

TFileVersion::TFileVersion(const std::wstring& fileName) : FFixedInfo() {
  BindVersionApi();
  DWORD handle = 0;
  DWORD size = pGetFileVersionInfoSizeW(fileName.c_str(), &handle);
  Win32CheckApi(size != 0, "GetFileVersionInfoSizeW");
  std::vector<uint8_t> data(size);
  Win32CheckApi(pGetFileVersionInfoW(fileName.c_str(), 0, size, data.data()) != 0, "GetFileVersionInfoW");

  void* value = nullptr;
  UINT length = 0;
  Win32CheckApi(pVerQueryValueW(data.data(), L"\\", &value, &length) != 0, "VerQueryValueW");
  if (value) memcpy(&FFixedInfo, value, std::min<size_t>(length, sizeof FFixedInfo));

  Win32CheckApi(pVerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", &value, &length) != 0, "VerQueryValueW");
  const auto* entries = static_cast<const uint16_t*>(value);
  for (UINT i = 0; entries && i < length / 4; ++i) {
    // Each entry: language, then code page; the sub-block names language first.
    uint32_t langCodePage = (static_cast<uint32_t>(entries[2 * i]) << 16) | entries[2 * i + 1];
    auto info = std::make_unique<TVarFileInfo>(langCodePage);
    info->ReadFileVersion(data.data());
    FTranslations.Add(std::move(info));
  }
}

void TFileVersion::GetVersionText(std::wstring& text) const {
  if (FFixedInfo.dwFileVersionMS == 0 && FFixedInfo.dwFileVersionLS == 0) {
    text.clear();
    return;
  }
  text = WideFormat(L"%u.%u.%u.%u", HIWORD(FFixedInfo.dwFileVersionMS), LOWORD(FFixedInfo.dwFileVersionMS),
                    HIWORD(FFixedInfo.dwFileVersionLS), LOWORD(FFixedInfo.dwFileVersionLS));
}

std::wstring GetFileVersionText(const std::wstring& fileName) {
  try {
    TFileVersion version(fileName);
    std::wstring text;
    version.GetVersionText(text);
    if (!text.empty()) return text;
    for (int i = 0; i < version.Translations().GetCount(); ++i) {
      const std::wstring& v = version.Translations().GetItem(i)->FileVersion;
      if (!v.empty()) return v;
    }
    return std::wstring();
  } catch (...) {
    return std::wstring();
  }
}

// --- Version texts -------------------------------------------------------------------------

void ExtractVersionPart(std::wstring& s, std::wstring& part) {
  size_t p = s.find(L'.');
  if (p == std::wstring::npos) {
    part = s;
    s.clear();
  } else {
    part = s.substr(0, p);
    s.erase(0, p + 1);
  }
}

int CompareVersionParts(const std::wstring& a, const std::wstring& b) {
  // Shorter part padded with leading zeros, so numbers of any length compare by value.
  std::wstring x = a, y = b;
  if (x.size() < y.size()) x.insert(0, y.size() - x.size(), L'0');
  if (y.size() < x.size()) y.insert(0, x.size() - y.size(), L'0');
  if (AllDigits(x) && AllDigits(y)) return Sign(x.compare(y));
  // Text such as "2 (beta)": letters without regard to case, the same on every machine.
  int r = CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, x.c_str(), static_cast<int>(x.size()), y.c_str(),
                         static_cast<int>(y.size()));
  return r == 0 ? Sign(x.compare(y)) : r - CSTR_EQUAL;
}

int CompareVersionStrings(std::wstring a, std::wstring b) {
  int r = 0;
  do {
    std::wstring partA, partB;
    ExtractVersionPart(b, partB);
    ExtractVersionPart(a, partA);
    r = CompareVersionParts(partA, partB);
  } while (r == 0 && !a.empty());
  return r;
}
