#include "lib/dgn/common/DgnUnicode.h"

uint32_t Utf8NextCodePoint(const std::string& s, int& pos) {
  const int len = static_cast<int>(s.size());
  if (pos < 1 || pos > len) {
    pos = -1;
    return 0;
  }
  const uint8_t lead = static_cast<uint8_t>(s[pos - 1]);
  int extra;
  uint32_t cp;
  if (lead <= 0x7F) {
    ++pos;
    return lead;
  } else if (lead >= 0xC0 && lead <= 0xDF) {
    extra = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
    cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF7) {
    extra = 3;
    cp = lead & 0x07;
  } else if (lead >= 0xF8 && lead <= 0xFB) {
    extra = 4;
    cp = lead & 0x03;
  } else if (lead >= 0xFC && lead <= 0xFD) {
    extra = 5;
    cp = lead & 0x01;
  } else {
    pos = -1;
    return 0;
  }
  if (pos + extra > len) {
    pos = -1;
    return 0;
  }
  for (int i = 1; i <= extra; ++i) {
    const uint8_t b = static_cast<uint8_t>(s[pos - 1 + i]);
    if (b < 0x80 || b > 0xBF) {
      pos = -1;
      return 0;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  pos += extra + 1;
  return cp;
}

bool Utf8PutCodePoint(std::string& s, int& pos, uint32_t cp) {
  uint8_t buf[6];
  int n;
  if (cp <= 0x7F) {
    buf[0] = static_cast<uint8_t>(cp);
    n = 1;
  } else {
    int extra;
    uint8_t leadMark;
    if (cp <= 0x7FF) {
      extra = 1;
      leadMark = 0xC0;
    } else if (cp <= 0xFFFF) {
      extra = 2;
      leadMark = 0xE0;
    } else if (cp <= 0x1FFFFF) {
      extra = 3;
      leadMark = 0xF0;
    } else if (cp <= 0x3FFFFFF) {
      extra = 4;
      leadMark = 0xF8;
    } else if (cp <= MaximumUCS4) {
      extra = 5;
      leadMark = 0xFC;
    } else {
      pos = -1;
      return false;
    }
    n = extra + 1;
    for (int i = extra; i >= 1; --i) {
      buf[i] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
      cp >>= 6;
    }
    buf[0] = static_cast<uint8_t>(leadMark | cp);
  }
  if (pos < 1 || pos - 1 + n > static_cast<int>(s.size())) return false;
  for (int i = 0; i < n; ++i) s[pos - 1 + i] = static_cast<char>(buf[i]);
  pos += n;
  return true;
}

uint32_t Utf16NextCodePoint(const std::wstring& s, int& pos) {
  const int len = static_cast<int>(s.size());
  if (pos < 1 || pos > len) {
    pos = -1;
    return 0;
  }
  const uint32_t unit = static_cast<uint16_t>(s[pos - 1]);
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    if (pos + 1 > len) {
      pos = -1;
      return 0;
    }
    const uint32_t low = static_cast<uint16_t>(s[pos]);
    if (low < 0xDC00 || low > 0xDFFF) {
      pos = -1;
      return 0;
    }
    pos += 2;
    return ((unit - 0xD800) << SurrogateShift) + low + SurrogateOffset - 0xDC00;
  }
  if (unit >= 0xDC00 && unit <= 0xDFFF) {
    pos = -1;
    return 0;
  }
  ++pos;
  return unit;
}

bool Utf16PutCodePoint(std::wstring& s, int& pos, uint32_t cp) {
  const int len = static_cast<int>(s.size());
  if (cp <= MaximumUCS2) {
    if (pos < 1 || pos > len) return false;
    s[pos - 1] = static_cast<wchar_t>(cp);
    ++pos;
    return true;
  }
  if (cp > MaximumUTF16) {
    pos = -1;
    return false;
  }
  if (pos < 1 || pos + 1 > len) return false;
  const uint32_t v = cp - SurrogateOffset;
  s[pos - 1] = static_cast<wchar_t>((v >> SurrogateShift) | 0xD800);
  s[pos] = static_cast<wchar_t>((v & SurrogateMask) | 0xDC00);
  pos += 2;
  return true;
}

void TruncateAtZero(std::string& s) {
  const size_t z = s.find('\0');
  if (z != std::string::npos) s.resize(z);
}

namespace Dgn {

std::wstring Utf8ToWide(const std::string& s) {
  if (s.empty()) return std::wstring();
  // Each byte gives at most one unit, a 4-byte sequence two.
  std::wstring out(s.size(), L'\0');
  const int len = static_cast<int>(s.size());
  int in = 1, outPos = 1;
  while (in >= 1 && in <= len) {
    const uint32_t cp = Utf8NextCodePoint(s, in);
    // A 5- or 6-byte value beyond UTF-16 is as bad as a broken sequence: no text is
    // better than a silently shortened one.
    if (in == -1 || !Utf16PutCodePoint(out, outPos, cp))
      throw EDgnUnexpectedEOSequenceError(L"Unexpected end of sequence");
  }
  out.resize(outPos - 1);
  return out;
}

bool WideToUtf8(const std::wstring& s, std::string& out) {
  out.clear();
  if (s.empty()) return true;
  std::string buf(s.size() * 3, '\0');
  const int len = static_cast<int>(s.size());
  int in = 1, outPos = 1;
  while (in >= 1 && in <= len) {
    const uint32_t cp = Utf16NextCodePoint(s, in);
    if (in == -1 || !Utf8PutCodePoint(buf, outPos, cp)) return false;
  }
  buf.resize(outPos - 1);
  out = std::move(buf);
  return true;
}

}  // namespace Dgn
