#include "Tracer/foundation/uUtils.h"

#include <objbase.h>
#include <psapi.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uRaise.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "lib/dgn/windows/DgnHandle.h"
#include "lib/dgn/windows/DgnSysUtils.h"

int32_t TimeFormatDigits = 0;

void SplitKeyValue(const std::wstring& text, std::wstring& key, std::wstring& value) {
  const size_t p = text.find(L'=');
  if (p == std::wstring::npos) throw Exception(WideFormat(L"\"%ls\" is not a key/value pair", text.c_str()));
  key = text.substr(0, p);
  value = text.substr(p + 1);
}

void SplitQueryParams(const std::wstring& text, std::vector<std::wstring>& list) {
  list.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t p = text.find(L'&', start);
    if (p == std::wstring::npos) p = text.size();
    list.push_back(text.substr(start, p - start));
    start = p + 1;
  }
}

void SplitAtQuery(const std::wstring& text, std::wstring& before, std::wstring& after) {
  const size_t p = text.find(L'?');
  if (p == std::wstring::npos) {
    before = text;
    after.clear();
  } else {
    // Copy first: text may be one of the outputs.
    std::wstring b = text.substr(0, p), a = text.substr(p + 1);
    before = std::move(b);
    after = std::move(a);
  }
}

void ParseURL(const std::wstring& url, std::wstring& scheme, std::wstring& path, std::wstring& query,
              std::wstring& userPart) {
  std::wstring before, q;
  SplitAtQuery(url, before, q);
  const size_t p = before.find(L"://");
  if (p == std::wstring::npos) throw Exception(WideFormat(L"URL \"%ls\" is in unknown format", url.c_str()));
  std::wstring s = before.substr(0, p);
  before.erase(0, p + 3);
  const size_t at = before.find(L'@');
  if (at != std::wstring::npos) {
    userPart = before.substr(0, at);
    path = before.substr(at + 1);
  } else {
    userPart.clear();
    path = before;
  }
  scheme = std::move(s);
  query = std::move(q);
}

void ParseURLParams(const std::wstring& url, std::wstring& scheme, std::wstring& path,
                    std::vector<std::wstring>& params, std::wstring& userPart) {
  std::wstring query;
  ParseURL(url, scheme, path, query, userPart);
  SplitQueryParams(query, params);
}

std::wstring ProgramFolder() { return WideExtractFileDir(ModuleFilePath(nullptr)); }

namespace {
std::wstring GUserDataFolderOverride;
}

void SetUserDataFolderOverride(const std::wstring& folder) { GUserDataFolderOverride = folder; }

std::wstring GetUserDataFolder() {
  wchar_t buf[MAX_PATH + 1] = {};
  std::wstring folder;
  if (!GUserDataFolderOverride.empty())
    folder = GUserDataFolderOverride;
  else if (SHGetSpecialFolderPathW(GetApplicationWindow(), buf, CSIDL_APPDATA, TRUE))
    folder = WideExcludeTrailingPathDelimiter(buf) + L"\\Pelludrane\\Calderwisp";
  else
    folder = ProgramFolder();
  WideForceDirectories(folder);  // a folder that cannot be made is still the answer
  return folder;
}

std::wstring GetTempDir() {
  std::vector<wchar_t> buf(261);
  DWORD n = GetTempPathW(static_cast<DWORD>(buf.size()), buf.data());
  Win32CheckApi(n != 0, "GetTempPathW");
  if (n > buf.size()) {
    // A longer path than the usual buffer holds: the result is the size it needs.
    buf.resize(n + 1);
    n = GetTempPathW(static_cast<DWORD>(buf.size()), buf.data());
    Win32CheckApi(n != 0 && n < buf.size(), "GetTempPathW");
  }
  std::wstring dir(buf.data(), n);
  if (dir.empty() || dir.back() != L'\\') dir += L'\\';
  return dir;
}

void CreateTempFileName(const std::wstring& prefix, uint32_t unique, std::wstring& fileName) {
  const std::wstring dir = GetTempDir();
  wchar_t buf[MAX_PATH + 1] = {};
  Win32CheckApi(GetTempFileNameW(dir.c_str(), prefix.c_str(), unique, buf) != 0, "GetTempFileNameW");
  fileName = buf;
}

HMODULE LoadLibraryChecked(const std::wstring& fileName, bool raiseOnError) {
  HMODULE h = LoadLibraryW(fileName.c_str());
  if (h == nullptr && raiseOnError) {
    const DWORD code = GetLastError();
    throw EOSError(WideFormat(L"%ls: %ls", fileName.c_str(), SysErrorMessage(code).c_str()), code);
  }
  return h;
}

void FreeLibraryIfLoaded(HMODULE handle) {
  if (handle != nullptr) FreeLibrary(handle);
}

void CloseHandleAndNil(HANDLE& handle) {
  // The owner closes a real handle and leaves nil and the invalid value alone.
  TDgnHandle owner(std::exchange(handle, nullptr));
}

void GetProcessModuleFileName(HANDLE processHandle, HMODULE moduleHandle, std::wstring& fileName) {
  wchar_t buf[1025];
  const DWORD n = GetModuleFileNameExW(processHandle, moduleHandle, buf, 1025);
  fileName.assign(buf, std::min<DWORD>(n, 1025));
}

static std::wstring UserDecimalSeparator() {
  wchar_t buf[8] = {};
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, buf, 8) > 1) return buf;
  return L".";
}

void FormatTimeMs(std::wstring& s, long double value) {
  const int digits = std::clamp<int32_t>(TimeFormatDigits, 0, 2);
  if (std::isnan(value)) {
    s = L"NAN";
    return;
  }
  const bool negative = std::signbit(value);
  if (std::isinf(value)) {
    s = negative ? L"-INF" : L"INF";
    return;
  }
  // Exact decimal digits far beyond what is shown, then rounded by hand: the run-time's
  // own rounding sends exact halves to the even digit.
  const long double magnitude = std::fabs(value);
  // Formatted once where it fits (every time a call can take), sized first where it does not.
  char small[64];
  const int n = std::snprintf(small, sizeof small, "%.18Lf", magnitude);
  std::string text;
  if (n < static_cast<int>(sizeof small)) {
    text.assign(small, static_cast<size_t>(n));
  } else {
    text.assign(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), "%.18Lf", magnitude);
    text.resize(static_cast<size_t>(n));
  }
  const size_t dot = text.find('.');
  std::string kept = text.substr(0, dot) + text.substr(dot + 1, digits);
  if (text[dot + 1 + digits] >= '5') {
    size_t i = kept.size();
    while (i > 0 && kept[i - 1] == '9') kept[--i] = '0';
    if (i == 0)
      kept.insert(kept.begin(), '1');
    else
      ++kept[i - 1];
  }
  const bool zero = kept.find_first_not_of('0') == std::string::npos;
  std::wstring out = negative && !zero ? L"-" : L"";
  const size_t intLen = kept.size() - digits;
  out.append(kept.begin(), kept.begin() + intLen);
  if (digits > 0) {
    out += UserDecimalSeparator();
    out.append(kept.begin() + intLen, kept.end());
  }
  s = std::move(out);
}

void FormatTimeMsOrEmpty(std::wstring& s, long double value) {
  if (value >= 0)
    FormatTimeMs(s, value);
  else
    s.clear();
}

void EscapeLineBreaks(const std::wstring& text, std::wstring& s) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') {
      out += L"\\n";
      ++i;
    } else {
      out += text[i];
    }
  }
  s = std::move(out);
}

void UnescapeLineBreaks(const std::wstring& text, std::wstring& s) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\\' && i + 1 < text.size() && text[i + 1] == L'n') {
      out += L"\r\n";
      ++i;
    } else {
      out += text[i];
    }
  }
  s = std::move(out);
}

void ReplaceTabs(std::wstring& s, const std::wstring& replacement) {
  std::wstring out;
  out.reserve(s.size());
  for (wchar_t c : s) {
    if (c == L'\t')
      out += replacement;
    else
      out += c;
  }
  s = std::move(out);
}


void InterfacedRelease(IUnknown* obj) {
  TComPtr<IUnknown> dropped;
  dropped.Attach(obj);
}

namespace {
std::atomic<HWND> gApplicationWindow{nullptr};
std::mutex gTitleLock;
std::wstring gApplicationTitle;
std::atomic<TMessageBoxFunc> gMessageBoxFunc{nullptr};

int DefaultMessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags) {
  return MessageBoxW(owner, text.c_str(), caption.c_str(), flags);
}
}  // namespace

void SetApplicationWindow(HWND window) { gApplicationWindow = window; }
HWND GetApplicationWindow() { return gApplicationWindow; }

void SetApplicationTitle(const std::wstring& title) {
  std::lock_guard<std::mutex> guard(gTitleLock);
  gApplicationTitle = title;
}

std::wstring GetApplicationTitle() {
  std::lock_guard<std::mutex> guard(gTitleLock);
  return gApplicationTitle;
}

TMessageBoxFunc SetMessageBoxFunc(TMessageBoxFunc fn) { return gMessageBoxFunc.exchange(fn); }

int ShowMessageBox(const std::wstring& text, UINT flags) {
  TMessageBoxFunc fn = gMessageBoxFunc;
  if (fn == nullptr) fn = DefaultMessageBox;
  return fn(GetApplicationWindow(), text, GetApplicationTitle(), flags);
}

void ShowErrorBox(const std::wstring& text, UINT flags) { ShowMessageBox(text, flags | MB_ICONERROR); }

void CheckCOMClassRegistered(const CLSID& clsId, const std::wstring& title, const std::wstring& fixCommand) {
  TComPtr<IUnknown> obj;
  if (SUCCEEDED(CoCreateInstance(clsId, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IUnknown),
                                 reinterpret_cast<void**>(obj.Put()))))
    return;
  ShowMessageBox(WideFormat(L"\"%ls\" is not registered. Some functions may not work properly.\r\n"
                            L"Try to execute \"%ls\" in the command prompt to correct the problem",
                            title.c_str(), fixCommand.c_str()),
                 MB_ICONERROR);
}

namespace {
std::atomic<TShellExecuteFunc> gShellExecuteFunc{nullptr};

INT_PTR DefaultShellExecute(HWND owner, const std::wstring& file) {
  return reinterpret_cast<INT_PTR>(ShellExecuteW(owner, nullptr, file.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
}
}  // namespace

TShellExecuteFunc SetShellExecuteFunc(TShellExecuteFunc fn) { return gShellExecuteFunc.exchange(fn); }

INT_PTR ShellExecuteFile(const std::wstring& file) {
  TShellExecuteFunc fn = gShellExecuteFunc;
  if (fn == nullptr) fn = DefaultShellExecute;
  return fn(GetApplicationWindow(), file);
}
