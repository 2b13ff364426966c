#include "lib/rtl/SysUtils.h"

#include <cwchar>
#include <cwctype>
#include <vector>

Exception::Exception(std::wstring message) : FMessage(std::move(message)) {}
Exception::~Exception() = default;

void Exception::SetMessage(std::wstring message) {
  FMessage = std::move(message);
  FWhat.clear();
}

const char* Exception::what() const noexcept {
  try {
    FWhat = WideToUtf8(FMessage);
    return FWhat.c_str();
  } catch (...) {
    return "Exception";
  }
}

void AssertionFailed(const wchar_t* unitPath, int line) {
  throw EAssertionFailed(WideFormat(L"Assertion failure (%ls, line %d)", unitPath, line));
}

std::wstring WideFormatV(const wchar_t* format, va_list args) {
  std::vector<wchar_t> buf(256);
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    int n = vswprintf(buf.data(), buf.size(), format, copy);
    va_end(copy);
    if (n >= 0 && static_cast<size_t>(n) < buf.size()) return std::wstring(buf.data(), n);
    if (buf.size() > (1u << 24)) return std::wstring(format);  // a malformed format, not a long text
    buf.resize(buf.size() * 4);
  }
}

std::wstring WideFormat(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring s = WideFormatV(format, args);
  va_end(args);
  return s;
}

namespace {

bool IsOneOf(wchar_t c, const wchar_t* set) { return c && wcschr(set, c); }

// Widths and precisions above this are refused: no line of a window needs a wider field, and the
// C run-time builds a field on the stack (a width of a few million overflows it).
constexpr size_t MaxFormatField = 256;

// Copies the digits at format[j] to spec; false when their number exceeds MaxFormatField.
bool CopyField(const std::wstring& format, size_t& j, std::wstring& spec) {
  size_t value = 0;
  for (; j < format.size() && iswdigit(format[j]); ++j) {
    spec += format[j];
    if (value <= MaxFormatField) value = value * 10 + (format[j] - L'0');
  }
  return value <= MaxFormatField;
}

// One conversion of a printf-style text: where it starts and ends, its kind, and the text of
// its flags, width and precision.
struct TConversion {
  size_t Start, End;
  char Kind;
  std::wstring Spec;
};

// The conversion starting at format[i] == '%'; "%%" has kind 0.
TConversion ParseConversion(const std::wstring& format, size_t i) {
  TConversion c{i, i + 1, '?', L"%"};
  size_t j = i + 1;
  if (j < format.size() && format[j] == L'%') return {i, j + 1, 0, std::wstring()};
  while (j < format.size() && IsOneOf(format[j], L"-+ #0")) c.Spec += format[j++];
  bool bounded = CopyField(format, j, c.Spec);
  if (j < format.size() && format[j] == L'.') {
    c.Spec += format[j++];
    bounded = CopyField(format, j, c.Spec) && bounded;
  }
  const bool wide = j < format.size() && format[j] == L'l';
  if (wide) ++j;
  if (j >= format.size()) {
    c.End = j;
    return c;
  }
  const wchar_t conversion = format[j];
  c.End = j + 1;
  if (!bounded) return c;
  if (IsOneOf(conversion, L"diuxXoc") && !(wide && conversion == L'c')) {
    c.Kind = 'd';
    c.Spec += conversion;
  } else if (conversion == L's') {
    c.Kind = 's';
    c.Spec += L"ls";
  }
  return c;
}

}  // namespace

std::string FormatConversions(const std::wstring& format) {
  std::string kinds;
  for (size_t i = format.find(L'%'); i != std::wstring::npos; i = format.find(L'%', i)) {
    const TConversion c = ParseConversion(format, i);
    if (c.Kind) kinds += c.Kind;
    i = c.End;
  }
  return kinds;
}

std::wstring Format(const std::wstring& format, std::initializer_list<TFormatArg> args) {
  auto fail = [&] {
    throw EConvertError(L"Format \"" + format + L"\" invalid or incompatible with argument");
  };
  std::wstring out;
  const TFormatArg* arg = args.begin();
  size_t from = 0;
  for (size_t i = format.find(L'%'); i != std::wstring::npos; i = format.find(L'%', from)) {
    out.append(format, from, i - from);
    const TConversion c = ParseConversion(format, i);
    from = c.End;
    if (!c.Kind) {
      out += L'%';
      continue;
    }
    if (c.Kind == '?' || arg == args.end() || static_cast<char>(arg->Kind) != c.Kind) fail();
    out += c.Kind == 'd' ? WideFormat(c.Spec.c_str(), arg->Integer) : WideFormat(c.Spec.c_str(), arg->Text.c_str());
    ++arg;
  }
  if (arg != args.end()) fail();
  out.append(format, from, std::wstring::npos);
  return out;
}

std::string WideToUtf8(const std::wstring& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = static_cast<uint16_t>(s[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() &&
        static_cast<uint16_t>(s[i + 1]) >= 0xDC00 && static_cast<uint16_t>(s[i + 1]) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint16_t>(s[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::wstring Utf8ToWide(const std::string& s) {
  std::wstring out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    uint32_t c;
    int extra;
    // The range of the second byte rules out overlong forms (an overlong "/" or NUL must not
    // pass as one), encoded surrogates and code points beyond U+10FFFF.
    unsigned char low = 0x80, high = 0xBF;
    if (b < 0x80) { c = b; extra = 0; }
    else if (b >= 0xC2 && b <= 0xDF) { c = b & 0x1F; extra = 1; }
    else if (b >= 0xE0 && b <= 0xEF) {
      c = b & 0x0F; extra = 2;
      if (b == 0xE0) low = 0xA0;
      if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      c = b & 0x07; extra = 3;
      if (b == 0xF0) low = 0x90;
      if (b == 0xF4) high = 0x8F;
    }
    else { out += L'\xFFFD'; ++i; continue; }
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      const unsigned char next = i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0;
      if (k == 1 ? next < low || next > high : (next & 0xC0) != 0x80) { ok = false; break; }
      c = (c << 6) | (next & 0x3F);
    }
    if (!ok) { out += L'\xFFFD'; ++i; continue; }
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<wchar_t>(0xD800 + (c >> 10));
      out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<wchar_t>(c);
    }
  }
  return out;
}
