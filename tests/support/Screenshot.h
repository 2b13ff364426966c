// Pictures of windows for a person to look at: a window's pixels as it shows on the screen,
// written as a PNG file (24-bit RGB, uncompressed deflate blocks).
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// The bytes of a PNG file of width x height RGB pixels (rows top-down, 3 bytes per pixel).
std::string EncodePng(int width, int height, const std::vector<uint8_t>& rgb);
// Copies the window (frame included, as the window drew it) and writes it to fileName; false when
// the window could not be read or the file not written.
bool SaveWindowScreenshot(HWND window, const std::wstring& fileName);
// "<build folder>\screenshots\<name>.png", the folder made on demand.
std::wstring ScreenshotFileName(const std::wstring& name);
