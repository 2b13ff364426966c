// Zentrel: writes a symbol file of every named export of a DLL, one complete document
// per DLL. The program's main file only hands the standard handles to RunZentrel.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Receives one complete document (UTF-8 bytes); raises when they cannot be written.
using TZentrelOutput = std::function<void(const std::string& bytes)>;
// Receives the one error line (without its line break).
using TZentrelErrorOutput = std::function<void(const std::wstring& line)>;

extern const wchar_t ZentrelUsage[];
extern const wchar_t FullFileNameSwitch[];

// The symbol-file document for DllName listing Names in their order, with CR LF line ends.
// Raises when a name holds a character that XML cannot carry.
std::string FormatSymbolFile(const std::wstring& dllName, const std::vector<std::wstring>& names);

// The name a DLL argument is opened by and written with: reduced to its file name unless
// FullFileName, and with ".dll" appended when it has no extension.
std::wstring SymbolFileDllName(const std::wstring& argument, bool fullFileName);

// Maps Name, builds its document and only then hands it to Output.
void WriteSymbolFile(const std::wstring& name, const TZentrelOutput& output);

// Every DLL argument in order; the switch may stand anywhere.
void ProcessArguments(const std::vector<std::wstring>& args, const TZentrelOutput& output);

// The whole program: 0 when every document was written; else the error line and 1.
int RunZentrel(const std::vector<std::wstring>& args, const TZentrelOutput& output,
               const TZentrelErrorOutput& errorOutput);

// Writes all bytes to a file handle; raises EInOutError with the system's text on failure.
void WriteAllToHandle(HANDLE handle, const std::string& bytes);
// Writes Line and a line break to a handle: UTF-16 to a console, else UTF-8. Never raises.
void WriteLineToHandle(HANDLE handle, const std::wstring& line);
