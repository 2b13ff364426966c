#include "Tracer/foundation/uWideStrUtils.h"

#include <objbase.h>

#include "lib/dgn/windows/DgnWin32.h"

wchar_t WideUpCaseChar(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; }

std::wstring WideUpperCase(std::wstring s) {
  if (!s.empty()) CharUpperBuffW(s.data(), static_cast<DWORD>(s.size()));
  return s;
}

int32_t WideValInt(const std::wstring& s, int& code) {
  code = -1;
  const int len = static_cast<int>(s.size());
  int i = 1;  // 1-based, as Code reports it
  while (i <= len && s[i - 1] == L' ') ++i;
  if (i > len) return 0;

  bool hex = false, negative = false;
  wchar_t c = s[i - 1];
  if (c == L'$' || c == L'X' || c == L'x') {
    hex = true;
    ++i;
  } else if (c == L'+') {
    ++i;
  } else if (c == L'-') {
    negative = true;
    ++i;
  } else if (c == L'0' && i < len && WideUpCaseChar(s[i]) == L'X') {
    hex = true;
    i += 2;
  }

  if (hex) {
    uint32_t value = 0;
    for (; i <= len; ++i) {
      wchar_t d = s[i - 1];
      int digit;
      if (d >= L'0' && d <= L'9') digit = d - L'0';
      else if (d >= L'A' && d <= L'F') digit = d - L'A' + 10;
      else if (d >= L'a' && d <= L'f') digit = d - L'a' + 10;
      else digit = -1;
      if (value > 0x7FFFFFFu || digit < 0) {
        code = i;
        return static_cast<int32_t>(value);
      }
      value = value * 16 + static_cast<uint32_t>(digit);
    }
    code = 0;
    return static_cast<int32_t>(value);
  }

  const uint32_t limit = negative ? 2147483648u : 2147483647u;
  uint32_t value = 0;
  for (; i <= len; ++i) {
    wchar_t d = s[i - 1];
    if (d < L'0' || d > L'9' || static_cast<uint64_t>(value) * 10 + (d - L'0') > limit) {
      code = i;
      return negative ? static_cast<int32_t>(0u - value) : static_cast<int32_t>(value);
    }
    value = value * 10 + static_cast<uint32_t>(d - L'0');
  }
  code = 0;
  return negative ? static_cast<int32_t>(0u - value) : static_cast<int32_t>(value);
}

void WideVal(const std::wstring& s, int32_t& value, int& code) { value = WideValInt(s, code); }

int32_t WideStrToInt(const std::wstring& s) {
  int32_t value;
  int code;
  WideVal(s, value, code);
  if (code != 0) RaiseConvertError(L"'%ls' is not a valid integer value", s.c_str());
  return value;
}

bool WideTryStrToInt(const std::wstring& s, int32_t& value) {
  int code;
  WideVal(s, value, code);
  return code == 0;
}

std::wstring IntToWideStr(int32_t value) { return std::to_wstring(value); }

void RaiseConvertError(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring msg = WideFormatV(format, args);
  va_end(args);
  throw EConvertError(msg);
}

GUID WideStringToGUID(const std::wstring& s) {
  GUID g;
  if (FAILED(CLSIDFromString(const_cast<LPOLESTR>(s.c_str()), &g)))
    RaiseConvertError(L"'%ls' is not a valid GUID value", s.c_str());
  return g;
}

bool WideIsPathDelimiter(const std::wstring& s, int index) {
  return index >= 1 && index <= static_cast<int>(s.size()) && s[index - 1] == L'\\';
}

bool WideIsDelimiter(const std::wstring& delimiters, const std::wstring& s, int index) {
  return index >= 1 && index <= static_cast<int>(s.size()) &&
         delimiters.find(s[index - 1]) != std::wstring::npos;
}

std::wstring WideExcludeTrailingPathDelimiter(const std::wstring& s) {
  if (!s.empty() && s.back() == L'\\') return s.substr(0, s.size() - 1);
  return s;
}

int WideLastDelimiter(const std::wstring& delimiters, const std::wstring& s) {
  for (int i = static_cast<int>(s.size()); i >= 1; --i) {
    wchar_t c = s[i - 1];
    if (c != 0 && delimiters.find(c) != std::wstring::npos) return i;
  }
  return 0;
}

std::wstring WideExtractFilePath(const std::wstring& s) {
  return s.substr(0, WideLastDelimiter(L"\\:", s));
}

std::wstring WideExtractFileDir(const std::wstring& s) {
  int i = WideLastDelimiter(L"\\:", s);
  if (i > 1 && s[i - 1] == L'\\' && s[i - 2] != L'\\' && s[i - 2] != L':') --i;
  return s.substr(0, i);
}

std::wstring WideExtractFileName(const std::wstring& s) {
  return s.substr(WideLastDelimiter(L"\\:", s));
}

std::wstring WideChangeFileExt(const std::wstring& s, const std::wstring& extension) {
  int i = WideLastDelimiter(L".\\:", s);
  if (i == 0 || s[i - 1] != L'.') return s + extension;
  return s.substr(0, i - 1) + extension;
}

bool WideFileExists(const std::wstring& name) {
  DWORD a = GetFileAttributesW(name.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool WideDirectoryExists(const std::wstring& name) {
  DWORD a = GetFileAttributesW(name.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool WideForceDirectories(const std::wstring& dirIn) {
  if (dirIn.empty()) throw EInOutError(L"Unable to create directory", 3);
  std::wstring dir = WideExcludeTrailingPathDelimiter(dirIn);
  if (dir.size() < 3 || WideDirectoryExists(dir)) return true;
  std::wstring parent = WideExtractFilePath(dir);
  if (parent == dir) return true;
  return WideForceDirectories(parent) && CreateDirectoryW(dir.c_str(), nullptr);
}

std::wstring LongPathForm(const std::wstring& path) {
  if (path.size() < MAX_PATH || path.rfind(L"\\\\?\\", 0) == 0) return path;
  if (path.size() > 2 && path[1] == L':' && path[2] == L'\\') return L"\\\\?\\" + path;
  if (path.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + path.substr(2);
  return path;
}

HANDLE WideFileOpen(const std::wstring& name, uint16_t mode) {
  static const DWORD access[] = {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE};
  static const DWORD sharing[] = {0, 0, FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE};
  unsigned a = mode & 3, sh = (mode & 0xF0) >> 4;
  if (a > 2 || sh > 4) return INVALID_HANDLE_VALUE;
  return CreateFileW(LongPathForm(name).c_str(), access[a], sharing[sh], nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

std::wstring AnsiToWide(const std::string& s) {
  if (s.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string WideToAnsi(const std::wstring& s) {
  if (s.empty()) return std::string();
  int n = WideCharToMultiByte(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string a(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, s.data(), static_cast<int>(s.size()), a.data(), n, nullptr, nullptr);
  return a;
}

std::wstring SysErrorMessage(uint32_t code) { return DgnSysErrorMessage(code); }

static HANDLE OpenOrCreate(const std::wstring& fileName, uint16_t mode) {
  if (mode == fmCreate) {
    HANDLE h = CreateFileW(LongPathForm(fileName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      DWORD err = GetLastError();
      throw EFCreateError(
          WideFormat(L"Cannot create file \"%ls\". %ls", fileName.c_str(), SysErrorMessage(err).c_str()));
    }
    return h;
  }
  HANDLE h = WideFileOpen(fileName, mode);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD err = GetLastError();
    throw EFOpenError(
        WideFormat(L"Cannot open file \"%ls\". %ls", fileName.c_str(), SysErrorMessage(err).c_str()));
  }
  return h;
}

TWideFileStream::TWideFileStream(const std::wstring& fileName, uint16_t mode)
    : TWideFileStream(fileName, mode, 0) {}

TWideFileStream::TWideFileStream(const std::wstring& fileName, uint16_t mode, uint32_t /*rights*/)
    : THandleStream(OpenOrCreate(fileName, mode)), FFileName(fileName), FOwner(FHandle) {}

TWideFileStream::~TWideFileStream() = default;
