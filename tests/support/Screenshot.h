// Screenshots of real windows for a person to look at: the window as the screen shows it,
// written as a PNG file (uncompressed deflate blocks, so no compression library is needed).
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// Top-down rows of 8-bit red, green, blue.
struct TRgbImage {
  int Width = 0;
  int Height = 0;
  std::vector<uint8_t> Pixels;
  // Number of distinct colours (a blank capture has one).
  size_t ColorCount() const;
};

// The window with its frame as the screen shows it (without a window manager, as under the
// test display, the frame is not drawn).
TRgbImage CaptureWindow(HWND window);
std::string EncodePng(const TRgbImage& image);
