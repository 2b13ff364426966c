// Small system routines of the diagnostics library.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

// The module's full path, however long; empty when the module is unknown.
std::wstring ModuleFilePath(HMODULE module);
// The file name without folder and extension.
std::wstring FileNameWithoutExtension(const std::wstring& path);
// The text before the last "." when that "." comes after every ":" and "\"; else unchanged.
std::wstring RemoveExtension(const std::wstring& path);
// True when the file's attributes can be read and it is not a folder.
bool FileIsPresent(const std::wstring& fileName);
// The module that holds the run-time library (the module this library is linked into).
HMODULE RuntimeModuleHandle();
void ZeroMemoryBlock(void* buffer, size_t size);
// Frees the library when the handle is set, then clears the handle.
void FreeModuleHandle(HMODULE& module);
inline uint32_t MinOf(uint32_t a, uint32_t b) { return a < b ? a : b; }
