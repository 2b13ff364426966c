// Integer, GUID, path and file routines on wide (UTF-16) strings, and a file stream
// opened by a wide name. Indexes are 1-based, as the callers' texts count them.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "lib/dgn/windows/DgnHandle.h"
#include "lib/rtl/Classes.h"
#include "lib/rtl/SysUtils.h"

wchar_t WideUpCaseChar(wchar_t c);
// Upper case by the system's rules: every letter, not only "a" to "z".
std::wstring WideUpperCase(std::wstring s);
// Scans a 32-bit integer (decimal, or hexadecimal after "$", "x", "X", "0x", "0X").
// Code is 0 on success, -1 for an empty text, else the 1-based position of the offending character.
int32_t WideValInt(const std::wstring& s, int& code);
void WideVal(const std::wstring& s, int32_t& value, int& code);
int32_t WideStrToInt(const std::wstring& s);
bool WideTryStrToInt(const std::wstring& s, int32_t& value);
std::wstring IntToWideStr(int32_t value);
[[noreturn]] void RaiseConvertError(const wchar_t* format, ...);
GUID WideStringToGUID(const std::wstring& s);

bool WideIsPathDelimiter(const std::wstring& s, int index);
bool WideIsDelimiter(const std::wstring& delimiters, const std::wstring& s, int index);
std::wstring WideExcludeTrailingPathDelimiter(const std::wstring& s);
int WideLastDelimiter(const std::wstring& delimiters, const std::wstring& s);
std::wstring WideExtractFilePath(const std::wstring& s);
std::wstring WideExtractFileDir(const std::wstring& s);
std::wstring WideExtractFileName(const std::wstring& s);
std::wstring WideChangeFileExt(const std::wstring& s, const std::wstring& extension);
bool WideFileExists(const std::wstring& name);
bool WideDirectoryExists(const std::wstring& name);
// Creates the folder and its missing parents; False when a creation failed.
bool WideForceDirectories(const std::wstring& dir);

// Mode word: fmCreate, or access (bits 0-1) or-ed with sharing (bits 4-7).
constexpr uint16_t fmCreate = 0xFFFF;
constexpr uint16_t fmOpenRead = 0x0000;
constexpr uint16_t fmOpenWrite = 0x0001;
constexpr uint16_t fmOpenReadWrite = 0x0002;
constexpr uint16_t fmShareCompat = 0x0000;
constexpr uint16_t fmShareExclusive = 0x0010;
constexpr uint16_t fmShareDenyWrite = 0x0020;
constexpr uint16_t fmShareDenyRead = 0x0030;
constexpr uint16_t fmShareDenyNone = 0x0040;

// A full path of MAX_PATH characters or more in the system's long-path form ("\\?\C:\..." or
// "\\?\UNC\server\..."), so that the file functions take it; any other path as it is.
std::wstring LongPathForm(const std::wstring& path);
// Opens an existing file; INVALID_HANDLE_VALUE on failure or an invalid mode.
HANDLE WideFileOpen(const std::wstring& name, uint16_t mode);

class TWideFileStream : public THandleStream {
public:
  TWideFileStream(const std::wstring& fileName, uint16_t mode);
  TWideFileStream(const std::wstring& fileName, uint16_t mode, uint32_t rights);
  ~TWideFileStream() override;
  TWideFileStream(const TWideFileStream&) = delete;
  TWideFileStream& operator=(const TWideFileStream&) = delete;
  const std::wstring& FileName() const { return FFileName; }

private:
  std::wstring FFileName;
  TDgnHandle FOwner;  // the stream's handle, closed with the stream
};

// Conversions between wide text and the ANSI code page (no failure; unmappable characters get
// the system's best fit or "?").
std::wstring AnsiToWide(const std::string& s);
std::string WideToAnsi(const std::wstring& s);

// The system's text for an error code, without the trailing line break and period.
std::wstring SysErrorMessage(uint32_t code);
