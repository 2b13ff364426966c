#include "support/Screenshot.h"

#include <algorithm>
#include <set>

size_t TRgbImage::ColorCount() const {
  std::set<uint32_t> colors;
  for (size_t i = 0; i + 2 < Pixels.size(); i += 3)
    colors.insert(Pixels[i] << 16 | Pixels[i + 1] << 8 | Pixels[i + 2]);
  return colors.size();
}

TRgbImage CaptureWindow(HWND window) {
  TRgbImage image;
  RECT r;
  if (!GetWindowRect(window, &r)) return image;
  const int width = r.right - r.left, height = r.bottom - r.top;
  if (width <= 0 || height <= 0) return image;
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!bitmap) return image;
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, bitmap);
  // What the screen shows of the window: Wine's PrintWindow leaves the child controls out.
  HDC windowDC = GetWindowDC(window);
  const bool printed = BitBlt(dc, 0, 0, width, height, windowDC, 0, 0, SRCCOPY) != FALSE;
  ReleaseDC(window, windowDC);
  GdiFlush();
  if (printed) {
    image.Width = width;
    image.Height = height;
    image.Pixels.resize(static_cast<size_t>(width) * height * 3);
    const auto* src = static_cast<const uint8_t*>(bits);
    for (size_t i = 0, n = static_cast<size_t>(width) * height; i < n; ++i) {
      image.Pixels[i * 3] = src[i * 4 + 2];
      image.Pixels[i * 3 + 1] = src[i * 4 + 1];
      image.Pixels[i * 3 + 2] = src[i * 4];
    }
  }
  SelectObject(dc, old);
  DeleteDC(dc);
  DeleteObject(bitmap);
  return image;
}

namespace {

uint32_t Crc32(const std::string& data, size_t from) {
  static uint32_t table[256];
  static bool made = false;
  if (!made) {
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[n] = c;
    }
    made = true;
  }
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = from; i < data.size(); ++i) c = table[(c ^ static_cast<uint8_t>(data[i])) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

void PutBE32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
}

void PutChunk(std::string& out, const char* type, const std::string& data) {
  PutBE32(out, static_cast<uint32_t>(data.size()));
  const size_t start = out.size();
  out += type;
  out += data;
  PutBE32(out, Crc32(out, start));
}

}  // namespace

std::string EncodePng(const TRgbImage& image) {
  // Each row: filter byte 0, then the pixels.
  std::string raw;
  const size_t rowBytes = static_cast<size_t>(image.Width) * 3;
  for (int y = 0; y < image.Height; ++y) {
    raw += '\0';
    raw.append(reinterpret_cast<const char*>(image.Pixels.data()) + y * rowBytes, rowBytes);
  }
  // zlib: header, stored blocks of at most 65535 bytes, Adler-32.
  std::string z = "\x78\x01";
  for (size_t pos = 0;;) {
    const size_t n = std::min<size_t>(65535, raw.size() - pos);
    const bool last = pos + n == raw.size();
    z += static_cast<char>(last ? 1 : 0);
    z += static_cast<char>(n & 0xFF);
    z += static_cast<char>(n >> 8);
    z += static_cast<char>(~n & 0xFF);
    z += static_cast<char>((~n >> 8) & 0xFF);
    z.append(raw, pos, n);
    pos += n;
    if (last) break;
  }
  uint32_t a = 1, b = 0;
  for (unsigned char c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  PutBE32(z, b << 16 | a);

  std::string header;
  PutBE32(header, static_cast<uint32_t>(image.Width));
  PutBE32(header, static_cast<uint32_t>(image.Height));
  header += "\x08\x02";          // 8 bits, truecolour
  header += std::string(3, '\0');  // deflate, filter 0, no interlace
  std::string png = "\x89PNG\r\n\x1a\n";
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT", z);
  PutChunk(png, "IEND", std::string());
  return png;
}
