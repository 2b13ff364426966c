// Free routines shared by the whole program: key=value, "&" and URL splitting, the
// per-user folder, temporary files, libraries and handles, call-time display, the "\n"
// escaping of language files and message boxes with the application's title.
#pragma once
#include <windows.h>
#include <unknwn.h>

#include <cstdint>
#include <string>
#include <vector>

#include "lib/rtl/SysUtils.h"

// Decimals of displayed call times (settings key "time:format": 0, 1 or 2).
extern int32_t TimeFormatDigits;

// Key := text before the first "=", Value := the rest; raises when there is no "=".
void SplitKeyValue(const std::wstring& text, std::wstring& key, std::wstring& value);
// Clears list, then adds the parts of text between "&"s (a trailing "&" adds nothing).
void SplitQueryParams(const std::wstring& text, std::vector<std::wstring>& list);
// Before := text before the first "?", After := text after it (empty without "?").
void SplitAtQuery(const std::wstring& text, std::wstring& before, std::wstring& after);
// scheme://[userpart@]path[?query]; raises when "://" is missing before the query.
void ParseURL(const std::wstring& url, std::wstring& scheme, std::wstring& path, std::wstring& query,
              std::wstring& userPart);
void ParseURLParams(const std::wstring& url, std::wstring& scheme, std::wstring& path,
                    std::vector<std::wstring>& params, std::wstring& userPart);

// "<roaming application data>\Pelludrane\Calderwisp" (the program's folder when that is not
// available), created on demand; no trailing backslash.
std::wstring GetUserDataFolder();
// Another folder in its place (tests, which must not share the prefix's settings); empty: the
// real one again.
void SetUserDataFolderOverride(const std::wstring& folder);
// The folder of the program's file, without a trailing backslash.
std::wstring ProgramFolder();
// The temporary folder with a trailing backslash.
std::wstring GetTempDir();
// A name in the temporary folder; with unique = 0 the system creates the empty file.
void CreateTempFileName(const std::wstring& prefix, uint32_t unique, std::wstring& fileName);
// LoadLibraryW; on failure raises "<file>: <system text>" or, without raiseOnError, returns 0.
HMODULE LoadLibraryChecked(const std::wstring& fileName, bool raiseOnError);
void FreeLibraryIfLoaded(HMODULE handle);
// Closes a real handle (not 0, not INVALID_HANDLE_VALUE); handle is 0 afterwards in every case.
void CloseHandleAndNil(HANDLE& handle);
// Full path of a module of another process (module 0: its main module); empty when unreadable.
void GetProcessModuleFileName(HANDLE processHandle, HMODULE moduleHandle, std::wstring& fileName);

// Fixed notation with TimeFormatDigits decimals (clamped to 0..2), halves rounded away
// from zero, with the user's decimal separator.
void FormatTimeMs(std::wstring& s, long double value);
// Empty for a negative value (no time known).
void FormatTimeMsOrEmpty(std::wstring& s, long double value);
// CR LF <-> the two characters "\n".
void EscapeLineBreaks(const std::wstring& text, std::wstring& s);
void UnescapeLineBreaks(const std::wstring& text, std::wstring& s);
void ReplaceTabs(std::wstring& s, const std::wstring& replacement);
// Drops one reference when obj is not nil.
void InterfacedRelease(IUnknown* obj);

// The program's name: the main window's title and the caption of its message boxes.
inline constexpr const wchar_t* ApplicationTitle = L"Calderwisp 2";

// Owner window and caption of message boxes; the start-up sets them.
void SetApplicationWindow(HWND window);
HWND GetApplicationWindow();
void SetApplicationTitle(const std::wstring& title);
std::wstring GetApplicationTitle();
// Message boxes go through this function, so tests can answer them (nullptr: MessageBoxW).
using TMessageBoxFunc = int (*)(HWND owner, const std::wstring& text, const std::wstring& caption,
                                UINT flags);
TMessageBoxFunc SetMessageBoxFunc(TMessageBoxFunc fn);

// MessageBoxW owned by the application window, captioned with the application title;
// returns the id of the pressed button.
int ShowMessageBox(const std::wstring& text, UINT flags);
void ShowErrorBox(const std::wstring& text, UINT flags);
// Tells the user (and goes on) when the in-process class cannot be created.
void CheckCOMClassRegistered(const CLSID& clsId, const std::wstring& title, const std::wstring& fixCommand);

// Shell calls go through this function too (a mail link would otherwise start whatever the
// machine has registered); nullptr: ShellExecuteW. The answer is the shell's: above 32 is success.
using TShellExecuteFunc = INT_PTR (*)(HWND owner, const std::wstring& file);
TShellExecuteFunc SetShellExecuteFunc(TShellExecuteFunc fn);
// ShellExecuteW(application window, no verb, file, no parameters, no folder, shown normally).
INT_PTR ShellExecuteFile(const std::wstring& file);
