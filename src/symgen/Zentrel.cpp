// Zentrel: console program writing the symbol file of a DLL's exports to standard output.
#include <windows.h>

#include <string>
#include <vector>

#include "symgen/uZentrel.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> args(argv + 1, argv + argc);
  // Raw writes to the handles: no text-mode translation of line ends.
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  return RunZentrel(
      args, [out](const std::string& bytes) { WriteAllToHandle(out, bytes); },
      [err](const std::wstring& line) { WriteLineToHandle(err, line); });
}
