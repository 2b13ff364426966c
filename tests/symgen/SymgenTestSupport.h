// Helpers of the Zentrel tests: the fixture DLL, running zentrel.exe as its own process,
// and reading a written symbol file back through the tracer's property-set filer.
#pragma once
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

// bin\zentrelfix.dll: named exports, one by ordinal only, one forwarder.
std::wstring FixtureDll();
// The checked-in document Zentrel must write for it.
std::wstring ExpectedFixtureDocument();
std::wstring ZentrelExe();

struct TZentrelRun {
  DWORD ExitCode = 0;
  std::string Out;
  std::string Err;
};

// Runs zentrel.exe with the given arguments in the bin folder; standard output goes to a
// temporary file, or to OutputPath when given (e.g. a full device).
TZentrelRun RunZentrelExe(const std::vector<std::wstring>& args, const std::wstring& outputPath = L"");

// (Title, URL) of every "proc" of a symbol file, as the property-set filer reads them.
// The file's folder gets the project's "propertyset.dtd", as the symbols folder has it.
std::vector<std::pair<std::wstring, std::wstring>> ParseSymbolFile(const std::wstring& path);

// Byte offset of the export directory in the file, and the directory's size.
std::pair<size_t, size_t> ExportDirectoryOffset(const std::wstring& dll);

// Reads/writes little-endian values inside a file image held in a string.
uint32_t GetDword(const std::string& bytes, size_t offset);
void PutDword(std::string& bytes, size_t offset, uint32_t value);
void PutWord(std::string& bytes, size_t offset, uint16_t value);
