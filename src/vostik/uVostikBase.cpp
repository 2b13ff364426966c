#include "vostik/uVostikBase.h"

#include <algorithm>
#include <cmath>
#include <cwctype>

#include "Tracer/foundation/uGuards.h"
#include "Tracer/foundation/uRaise.h"
#include "Tracer/foundation/uVariants.h"
#include "lib/rtl/SysUtils.h"
#include "vostik/fVostik.h"

namespace {

const wchar_t* const UnitPath = L"src/vostik/uVostikBase";

bool IsQuote(wchar_t c) { return c == L'\'' || c == L'"' || c == L'`'; }

// A unit that may stand in a parameter name; the prefix itself never does.
bool IsNameChar(wchar_t c, wchar_t prefix) {
  if (c == prefix) return false;
  if (c < 0x80) return iswalnum(c) || c == L'_' || c == L'$' || c == L'#';
  if (c >= 0xD800 && c <= 0xDFFF) return true;  // a surrogate half: part of a letter beyond the BMP
  return IsCharAlphaNumericW(c) != FALSE;
}

// The variant a reference points to, or the variant itself.
class TDeref {
public:
  explicit TDeref(const VARIANT& v) : FValue(&v) {
    if (V_VT(&v) & VT_BYREF) {
      if (SUCCEEDED(VariantCopyInd(&FCopy, const_cast<VARIANT*>(&v)))) FValue = &FCopy;
    }
  }
  const VARIANT& operator*() const { return *FValue; }
  const VARIANT* operator->() const { return FValue; }

private:
  TOleVariant FCopy;
  const VARIANT* FValue;
};

bool IsNumeric(VARTYPE vt) {
  switch (vt) {
    case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_INT:
    case VT_UI1: case VT_UI2: case VT_UI4: case VT_UI8: case VT_UINT:
    case VT_R4: case VT_R8: case VT_CY: case VT_DATE: case VT_BOOL: case VT_DECIMAL:
      return true;
    default:
      return false;
  }
}

// A decimal or "0x" hexadecimal integer text (blanks around it allowed), as its low 32 bits.
bool ParseInteger(const std::wstring& text, int32_t& result) {
  size_t i = 0, n = text.size();
  while (i < n && text[i] <= L' ') ++i;
  while (n > i && text[n - 1] <= L' ') --n;
  bool negative = false;
  if (i < n && (text[i] == L'-' || text[i] == L'+')) negative = text[i++] == L'-';
  unsigned base = 10;
  if (n - i > 2 && text[i] == L'0' && (text[i + 1] == L'x' || text[i + 1] == L'X')) {
    base = 16;
    i += 2;
  }
  if (i >= n) return false;
  uint32_t value = 0;
  for (; i < n; ++i) {
    const wchar_t c = text[i];
    unsigned digit;
    if (c >= L'0' && c <= L'9') digit = c - L'0';
    else if (base == 16 && c >= L'a' && c <= L'f') digit = c - L'a' + 10;
    else if (base == 16 && c >= L'A' && c <= L'F') digit = c - L'A' + 10;
    else return false;
    value = value * base + digit;  // wraps: the low 32 bits are what a handle is
  }
  result = static_cast<int32_t>(negative ? 0u - value : value);
  return true;
}

bool TryInt32(const VARIANT& source, int32_t& result) {
  TDeref v(source);
  switch (V_VT(&*v)) {
    case VT_I1: result = V_I1(&*v); return true;
    case VT_I2: result = V_I2(&*v); return true;
    case VT_I4: result = V_I4(&*v); return true;
    case VT_INT: result = V_INT(&*v); return true;
    case VT_UI1: result = V_UI1(&*v); return true;
    case VT_UI2: result = V_UI2(&*v); return true;
    case VT_UI4: result = static_cast<int32_t>(V_UI4(&*v)); return true;
    case VT_UINT: result = static_cast<int32_t>(V_UINT(&*v)); return true;
    case VT_I8: result = static_cast<int32_t>(static_cast<uint32_t>(V_I8(&*v))); return true;
    case VT_UI8: result = static_cast<int32_t>(static_cast<uint32_t>(V_UI8(&*v))); return true;
    case VT_BOOL: result = V_BOOL(&*v) ? -1 : 0; return true;
    case VT_BSTR: return ParseInteger(BStrToWide(V_BSTR(&*v)), result);
    case VT_R4: case VT_R8: case VT_CY: case VT_DECIMAL: {
      TOleVariant d;
      if (FAILED(VariantChangeTypeEx(&d, const_cast<VARIANT*>(&*v), LOCALE_INVARIANT, 0, VT_R8))) return false;
      const double x = V_R8(&d);
      if (!std::isfinite(x) || x != std::floor(x) || std::fabs(x) >= 9.2e18) return false;
      result = static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(x)));
      return true;
    }
    default:
      return false;
  }
}

TSQLResultViewer GResultViewer = nullptr;

bool VariantAsBool(const VARIANT& value) {
  TOleVariant b;
  if (FAILED(VariantChangeTypeEx(&b, const_cast<VARIANT*>(&value), LOCALE_INVARIANT, 0, VT_BOOL))) return false;
  return V_BOOL(&b) != VARIANT_FALSE;
}

}  // namespace

// ---- statement model ----------------------------------------------------------------------------

void TSQLParam::Bind(const std::wstring& dataType, const VARIANT& value) {
  DataType = dataType;
  Value = value;
}

std::wstring SQLParamKey(const std::wstring& name) {
  bool ascii = true;
  for (wchar_t c : name)
    if (c >= 0x80) {
      ascii = false;
      break;
    }
  std::wstring key = name;
  if (ascii) {
    for (wchar_t& c : key)
      if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 32);
    return key;
  }
  if (!key.empty())
    LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_UPPERCASE, name.data(), static_cast<int>(name.size()), key.data(),
                 static_cast<int>(key.size()));
  return key;
}

TSQLParam* TSQLParams::Add(const std::wstring& name) {
  FItems.push_back(std::make_unique<TSQLParam>(name));
  TSQLParam* item = FItems.back().get();
  CW_ASSERT(item != nullptr, UnitPath, 190);
  // The latest item of a name is the one a search from the last item finds first.
  if (!name.empty()) FByKey[SQLParamKey(name)] = item;
  return item;
}

TSQLParam* TSQLParams::Items(int index) const {
  TSQLParam* item = index >= 0 && index < Count() ? FItems[static_cast<size_t>(index)].get() : nullptr;
  CW_ASSERT(item != nullptr, UnitPath, 220);
  return item;
}

TSQLParam* TSQLParams::FindByName(const std::wstring& name) const {
  size_t first = 0, last = name.size();
  while (first < last && name[first] <= L' ') ++first;
  while (last > first && name[last - 1] <= L' ') --last;
  if (first < last && name[first] == L':') ++first;
  if (first == last) return nullptr;
  auto found = FByKey.find(SQLParamKey(name.substr(first, last - first)));
  return found == FByKey.end() ? nullptr : found->second;
}

bool TSQLParams::AllBound() const {
  for (auto e = GetEnumerator(); e->MoveNext();)
    if (!e->Current()->Bound()) return false;
  return true;
}

void TSQLParams::Clear() {
  FByKey.clear();
  FItems.clear();
}

std::unique_ptr<TSQLParamsEnumerator> TSQLParams::GetEnumerator() const {
  return std::make_unique<TSQLParamsEnumerator>(*this);
}

TSQLParam* TSQLParamsEnumerator::Current() const {
  TSQLParam* item = FIndex >= 0 && FIndex < FParams.Count() ? FParams.Items(FIndex) : nullptr;
  CW_ASSERT(item != nullptr, UnitPath, 177);
  return item;
}

std::wstring NormalizeLineBreaks(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size() + text.size() / 16 + 2);
  size_t i = 0;
  const size_t n = text.size();
  size_t lineStart = 0;
  for (; i < n && text[i] != L'\0'; ++i) {
    const wchar_t c = text[i];
    if (c != L'\r' && c != L'\n') continue;
    out.append(text, lineStart, i - lineStart);
    out += L"\r\n";
    if (c == L'\r' && i + 1 < n && text[i + 1] == L'\n') ++i;
    lineStart = i + 1;
  }
  // The last line, unless the text ended with a line break (or was empty).
  if (i > lineStart) {
    out.append(text, lineStart, i - lineStart);
    out += L"\r\n";
  }
  return out;
}

std::wstring TSQLStatement::FormatDate(const VARIANT& value) const { return VariantToQuotedText(value); }

std::wstring TSQLStatement::FormatValue(const VARIANT& value) const {
  TDeref v(value);
  if (V_VT(&*v) == VT_DATE) return FormatDate(*v);
  if (V_VT(&*v) == VT_BSTR) {
    const BSTR s = V_BSTR(&*v);
    const UINT length = s ? SysStringLen(s) : 0;
    std::wstring literal;
    literal.reserve(length + 2);
    literal += L'\'';
    for (UINT i = 0; i < length; ++i) {
      if (s[i] == L'\'') literal += L'\'';
      literal += s[i];
    }
    literal += L'\'';
    return literal;
  }
  return VariantToQuotedText(*v);
}

namespace {

SYSTEMTIME DecodeDate(const VARIANT& value) {
  SYSTEMTIME t{};
  TOleVariant date;
  if (SUCCEEDED(VariantChangeTypeEx(&date, const_cast<VARIANT*>(&value), LOCALE_INVARIANT, 0, VT_DATE)))
    VariantTimeToSystemTime(V_DATE(&date), &t);
  return t;
}

std::wstring JoinWithSpace(const std::wstring& a, const std::wstring& b) { return a.empty() ? b : a + L" " + b; }

}  // namespace

std::wstring TOraSQLStatement::FormatDate(const VARIANT& value) const {
  const SYSTEMTIME t = DecodeDate(value);
  std::wstring format, text;
  if (t.wYear || t.wMonth || t.wDay) {
    format = L"DD.MM.YYYY";
    text = WideFormat(L"%2.2d.%2.2d.%2.2d", t.wDay, t.wMonth, t.wYear);
  }
  if (t.wHour || t.wMinute || t.wSecond) {
    format = JoinWithSpace(format, L"HH24.MI.SS");
    text = JoinWithSpace(text, WideFormat(L"%2.2d.%2.2d.%2.2d", t.wHour, t.wMinute, t.wSecond));
  }
  return WideFormat(L"to_date('%ls', '%ls')", text.c_str(), format.c_str());
}

std::wstring TAdvSQLStatement::FormatDate(const VARIANT& value) const {
  const SYSTEMTIME t = DecodeDate(value);
  return WideFormat(L"'%d-%2.2d-%2.2d'", t.wYear, t.wMonth, t.wDay);
}

std::wstring TSybaseSQLStatement::FormatDate(const VARIANT& value) const {
  const SYSTEMTIME t = DecodeDate(value);
  return WideFormat(L"'%d-%d-%d'", t.wYear, t.wMonth, t.wDay);
}

std::wstring TDB2SQLStatement::FormatDate(const VARIANT& value) const {
  const SYSTEMTIME t = DecodeDate(value);
  return WideFormat(L"DATE('%d-%2.2d-%2.2d')", t.wYear, t.wMonth, t.wDay);
}

void TSQLStatement::SetSQL(const std::wstring& text) {
  Params.Clear();
  FMarkers.clear();
  FByIndex.clear();
  ParseParams(NormalizeLineBreaks(text));
  AssembledSQL = SQL;
}

namespace {

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// A character of a dollar quote's tag (an identifier without "$"; not its first character when
// a digit).
bool IsTagChar(wchar_t c) {
  if (c < 0x80) return iswalnum(c) || c == L'_';
  return c != L'$' && IsNameChar(c, L'$');
}

// Where "$tag$" (tag empty or an identifier) starting at i ends: the index of its closing "$",
// or npos.
size_t DollarTagEnd(const std::wstring& text, size_t i) {
  size_t j = i + 1;
  if (j < text.size() && IsDigit(text[j])) return std::wstring::npos;
  while (j < text.size() && IsTagChar(text[j])) ++j;
  return j < text.size() && text[j] == L'$' ? j : std::wstring::npos;
}

// Every "$tag$" of a text by tag, made on first use in one pass, so that finding a closing tag
// never searches the text again: the scan stays linear however many bodies stay unclosed.
class TDollarTags {
public:
  explicit TDollarTags(const std::wstring& text) : FText(text) {}
  // The first "$tag$" at or after from (tag as written between the dollars), or npos.
  size_t Find(const std::wstring& tag, size_t from) {
    if (!FBuilt) Build();
    auto found = FPlaces.find(tag);
    if (found == FPlaces.end()) return std::wstring::npos;
    TPlaces& places = found->second;
    while (places.Next < places.At.size() && places.At[places.Next] < from) ++places.Next;
    return places.Next < places.At.size() ? places.At[places.Next] : std::wstring::npos;
  }

private:
  struct TPlaces {
    std::vector<size_t> At;
    size_t Next = 0;
  };
  void Build() {
    FBuilt = true;
    for (size_t i = FText.find(L'$'); i != std::wstring::npos; i = FText.find(L'$', i + 1)) {
      const size_t end = DollarTagEnd(FText, i);
      if (end != std::wstring::npos) FPlaces[FText.substr(i + 1, end - i - 1)].At.push_back(i);
    }
  }
  const std::wstring& FText;
  bool FBuilt = false;
  std::unordered_map<std::wstring, TPlaces> FPlaces;
};

}  // namespace

// One pass over the text: literals (ended only by the quote that opened them), comments ("--" to
// the end of the line, "/* */"), dollar-quoted bodies where the dialect has them, named,
// numbered and "?" markers, and doubled prefixes, which stand for one prefix character. Every
// marker is remembered where it stands in SQL, so that assembling never searches the text again.
void TSQLStatement::ParseParams(const std::wstring& text) {
  const wchar_t prefix = ParamPrefix();
  const TSyntax syntax = Syntax();
  const std::wstring otherPrefixes = syntax.OtherPrefixes ? syntax.OtherPrefixes : L"";
  const size_t n = text.size();
  TDollarTags dollarTags(text);
  int lastIndex = 0;
  auto setIndex = [this](TSQLParam* param, int index) {
    if (static_cast<size_t>(index) > FByIndex.size()) FByIndex.resize(static_cast<size_t>(index), nullptr);
    if (!FByIndex[static_cast<size_t>(index) - 1]) FByIndex[static_cast<size_t>(index) - 1] = param;
  };
  auto addMarker = [&](size_t start, size_t length, TSQLParam* param) {
    FMarkers.push_back({SQL.size(), length, param});
    SQL.append(text, start, length);
  };
  SQL.clear();
  SQL.reserve(n);
  wchar_t quote = 0;
  size_t i = 0;
  while (i < n) {
    const wchar_t c = text[i];
    const wchar_t next = i + 1 < n ? text[i + 1] : L'\0';
    if (quote) {
      SQL += c;
      if (c == quote) quote = 0;
      ++i;
      continue;
    }
    // Comments are copied as they stand: nothing in them is a marker or opens a literal.
    if ((c == L'-' && next == L'-') || (c == L'/' && next == L'*')) {
      size_t end;
      if (c == L'-') {
        end = text.find_first_of(L"\r\n", i + 2);
        if (end == std::wstring::npos) end = n;
      } else {
        end = text.find(L"*/", i + 2);
        end = end == std::wstring::npos ? n : end + 2;
      }
      SQL.append(text, i, end - i);
      i = end;
      continue;
    }
    if (syntax.DollarQuotes && c == L'$') {
      const size_t tagEnd = DollarTagEnd(text, i);
      if (tagEnd != std::wstring::npos) {
        const std::wstring tag = text.substr(i + 1, tagEnd - i - 1);
        const size_t close = dollarTags.Find(tag, tagEnd + 1);
        if (close != std::wstring::npos) {
          const size_t end = close + tag.size() + 2;
          SQL.append(text, i, end - i);
          i = end;
          continue;
        }
      }
      // Not a body: a doubled dollar stands for one (below), "$1" is a marker.
    }
    if (c == prefix || (c != L'\0' && otherPrefixes.find(c) != std::wstring::npos)) {
      if (c == prefix && next == prefix) {
        SQL += prefix;
        i += 2;
        continue;
      }
      size_t end = i + 1;  // one past the marker
      std::wstring name;
      if (IsQuote(next)) {
        const size_t close = text.find(next, i + 2);
        if (close != std::wstring::npos) {
          name = text.substr(i + 2, close - i - 2);
          end = close + 1;
        }
      } else if (next != L'=') {
        while (end < n && IsNameChar(text[end], c)) ++end;
        name = text.substr(i + 1, end - i - 1);
      }
      if (name.empty()) {
        // Not a marker (":=", a lone prefix, an unclosed quoted name): an ordinary character.
        SQL += c;
        ++i;
        continue;
      }
      // ":a", "@a" and "$a" are three parameters: a name after another prefix keeps it.
      if (c != prefix) name.insert(name.begin(), c);
      TSQLParam* param = Params.FindByName(name);
      if (!param) {
        param = Params.Add(name);
        setIndex(param, ++lastIndex);
      }
      addMarker(i, end - i, param);
      i = end;
      continue;
    }
    if (c == L'?') {
      size_t end = i + 1;
      if (syntax.NumberedMarkers)
        while (end < n && end - i <= 6 && IsDigit(text[end])) ++end;
      const size_t digits = end - i - 1;  // up to five: the numbers a statement can have
      const int number = digits >= 1 && digits <= 5 ? std::stoi(text.substr(i + 1, digits)) : 0;
      if (number > 0) {
        // "?NNN": the parameter of that index, the same one each time it is written.
        TSQLParam* param =
            static_cast<size_t>(number) <= FByIndex.size() ? FByIndex[static_cast<size_t>(number) - 1] : nullptr;
        if (!param) {
          param = Params.Add(text.substr(i, end - i));
          setIndex(param, number);
        }
        lastIndex = std::max(lastIndex, number);
        addMarker(i, end - i, param);
        i = end;
        continue;
      }
      TSQLParam* param = Params.Add(std::wstring());
      setIndex(param, ++lastIndex);
      addMarker(i, 1, param);
      ++i;
      continue;
    }
    if (IsQuote(c)) quote = c;
    SQL += c;
    ++i;
  }
}

void TSQLStatement::Bind(TSQLParam* param, const std::wstring& dataType, const VARIANT& value) {
  if (!param || (KeepFirstBinding && param->Bound())) return;
  param->Bind(dataType, value);
}

void TSQLStatement::SetParamByName(const std::wstring& name, const std::wstring& dataType, const VARIANT& value) {
  Bind(Params.FindByName(name), dataType, value);
}

void TSQLStatement::SetParamByIndex(int index, const std::wstring& dataType, const VARIANT& value) {
  if (index >= 1 && static_cast<size_t>(index) <= FByIndex.size()) Bind(FByIndex[static_cast<size_t>(index) - 1], dataType, value);
}

void TSQLStatement::Assemble() {
  std::unordered_map<const TSQLParam*, std::wstring> literals;
  std::wstring text;
  text.reserve(SQL.size() + SQL.size() / 4);
  size_t pos = 0;
  for (const TMarker& m : FMarkers) {
    if (!m.Param->Bound()) continue;
    auto found = literals.find(m.Param);
    if (found == literals.end()) found = literals.emplace(m.Param, FormatValue(m.Param->Value)).first;
    text.append(SQL, pos, m.Start - pos);
    text += found->second;
    pos = m.Start + m.Length;
  }
  text.append(SQL, pos, std::wstring::npos);
  AssembledSQL = std::move(text);
}

std::vector<TSQLParamRow> SQLParamRows(const TSQLParams& params) {
  std::vector<TSQLParamRow> rows;
  for (int i = 0; i < params.Count(); ++i) {
    const TSQLParam* p = params.Items(i);
    TSQLParamRow row;
    row.Caption = p->Name.empty() ? WideFormat(L"PARAM %2.2d", i + 1) : p->Name;
    row.DataType = p->DataType;
    if (p->Bound()) row.Value = VariantToText(p->Value);
    rows.push_back(std::move(row));
  }
  return rows;
}

// ---- reading logged calls -----------------------------------------------------------------------

int FindParamIndex(ITracerEventParams* params, const std::wstring& name) {
  if (!params) return -1;
  LONG count = 0;
  OleCheck(params->get_Count(&count));
  for (LONG i = 0; i < count; ++i) {
    TComPtr<ITracerEventParam> param;
    OleCheck(params->get_Item(i, param.Put()));
    if (!param) continue;
    TBStr paramName;
    OleCheck(param->get_Name(paramName.Put()));
    if (paramName.Str() == name) return static_cast<int>(i);
  }
  return -1;
}

bool GetParamValue(ITracerEventParams* params, const std::wstring& name, TOleVariant& value) {
  const int index = FindParamIndex(params, name);
  if (index < 0) return false;
  TComPtr<ITracerEventParam> param;
  OleCheck(params->get_Item(index, param.Put()));
  if (!param) return false;
  OleCheck(param->get_Value(value.Receive()));
  return true;
}

TOleVariant ParamValueOrEmpty(ITracerEventParams* params, const std::wstring& name) {
  TOleVariant value;
  if (!GetParamValue(params, name, value)) value.Clear();
  return value;
}

std::wstring VariantToWide(const VARIANT& value) {
  TDeref v(value);
  switch (V_VT(&*v)) {
    case VT_EMPTY:
    case VT_NULL:
      return std::wstring();
    case VT_BSTR:
      return BStrToWide(V_BSTR(&*v));
    default:
      return VariantToText(*v);
  }
}

int32_t VariantToInt32(const VARIANT& value) {
  int32_t result = 0;
  return TryInt32(value, result) ? result : 0;
}

bool SameHandle(const VARIANT& value, int32_t handle) {
  int32_t pattern = 0;
  return TryInt32(value, pattern) && pattern == handle;
}

bool SameValue(const VARIANT& left, const VARIANT& right) {
  TDeref a(left), b(right);
  const VARTYPE ta = V_VT(&*a), tb = V_VT(&*b);
  if (ta == VT_EMPTY || tb == VT_EMPTY) return ta == tb;
  if (ta == VT_NULL || tb == VT_NULL) return ta == tb;
  if (ta == VT_BSTR && tb == VT_BSTR) return BStrToWide(V_BSTR(&*a)) == BStrToWide(V_BSTR(&*b));
  const VARIANT* x = &*a;
  const VARIANT* y = &*b;
  // A text against a number: the text read as a number.
  TOleVariant converted;
  if (ta == VT_BSTR || tb == VT_BSTR) {
    const VARIANT* text = ta == VT_BSTR ? x : y;
    const VARIANT* number = ta == VT_BSTR ? y : x;
    if (!IsNumeric(V_VT(number))) return false;
    if (FAILED(VariantChangeTypeEx(&converted, const_cast<VARIANT*>(text), LOCALE_INVARIANT, 0, VT_R8))) {
      int32_t i = 0;
      if (!ParseInteger(BStrToWide(V_BSTR(text)), i)) return false;
      converted.Clear();
      V_VT(&converted) = VT_I4;
      V_I4(&converted) = i;
    }
    x = &converted;
    y = number;
  } else if (!IsNumeric(ta) || !IsNumeric(tb)) {
    return false;
  }
  return VarCmp(const_cast<VARIANT*>(x), const_cast<VARIANT*>(y), LOCALE_INVARIANT, 0) == VARCMP_EQ;
}

int WideStrLCompCodePoint(const wchar_t* a, const wchar_t* b, int n) {
  // Surrogates sort above every other unit, as their code points do.
  static const uint16_t Fix[32] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x2000, 0xF800, 0xF800, 0xF800, 0xF800};
  for (int i = 0; i < n; ++i) {
    const unsigned ua = static_cast<uint16_t>(a[i]);
    const unsigned ub = static_cast<uint16_t>(b[i]);
    const int ca = static_cast<int>(static_cast<uint16_t>(ua | Fix[ua >> 11]));
    const int cb = static_cast<int>(static_cast<uint16_t>(ub | Fix[ub >> 11]));
    if (ca != cb) return ca - cb;
    if (ua == 0 && ub == 0) return 0;
  }
  return 0;
}

bool WideStrStartsWith(const std::wstring& prefix, const std::wstring& text) {
  if (text.size() < prefix.size()) return false;
  return WideStrLCompCodePoint(prefix.c_str(), text.c_str(), static_cast<int>(prefix.size())) == 0;
}

// ---- the assembler ------------------------------------------------------------------------------

const std::wstring WrapSQLSettingKey = L"SQLAssembler::WrapSQL";

TSQLResultViewer SetSQLResultViewer(TSQLResultViewer viewer) {
  TSQLResultViewer old = GResultViewer;
  GResultViewer = viewer;
  return old;
}

HICON LoadActionIcon(const wchar_t* resourceName) {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&LoadActionIcon), &module);
  HICON icon = LoadIconW(module, resourceName);
  Win32CheckApi(icon != nullptr, "LoadIconW");
  return icon;
}

namespace {

// The focused row of the visible log: the event as the list gave it and as a call, when it is one.
struct TFocusedEvent {
  TComPtr<ITracerEvent> Event;
  TComPtr<ICallTracerEvent> Call;
};

TFocusedEvent GetFocusedEvent(IAppObject* app) {
  TFocusedEvent focused;
  if (!app) return focused;
  TComPtr<IVisibleTracerEvents> visible;
  OleCheck(app->get_VisibleEvents(visible.Put()));
  if (!visible) return focused;
  LONG index = -1;
  OleCheck(visible->get_FocusedIndex(&index));
  if (index < 0) return focused;
  OleCheck(visible->Item(index, focused.Event.Put()));
  if (focused.Event)
    focused.Event->QueryInterface(__uuidof(ICallTracerEvent), reinterpret_cast<void**>(focused.Call.Put()));
  return focused;
}

}  // namespace

TComPtr<ICallTracerEvent> FocusedCallEvent(IAppObject* app) { return GetFocusedEvent(app).Call; }

TSQLAssembler::TSQLAssembler(const TAssemblerActionInfo& actionInfo) : FActionInfo(actionInfo) {}

TSQLAssembler::~TSQLAssembler() {
  if (FActionObject) FActionObject->DetachAssembler();
  if (FAction && FApp) {
    try {
      TComPtr<IAppPluginActions> actions;
      if (SUCCEEDED(FApp->get_PluginActions(actions.Put())) && actions) actions->Remove(FAction.Get());
    } catch (...) {
      // A destructor reports nothing: the host is going away or has dropped its toolbar.
    }
  }
  FAction.Reset();
  FApp.Reset();
}

void* TSQLAssembler::GetInterface(REFIID iid) {
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(IAppPlugin))) return static_cast<IAppPlugin*>(this);
  return nullptr;
}

void TSQLAssembler::Initialize() {
  FAction.Reset();
  FActionObject = nullptr;
  FApp.Reset();
}

bool TSQLAssembler::ProcessEarlierEvent(ICallTracerEvent* event) { return !IsMatchingPrepare(event); }

// The contract's methods answer nothing: a failure goes back as the thread's error information,
// which the host raises.
void STDMETHODCALLTYPE TSQLAssembler::Connect(IAppObject* app) {
  ComMethodGuard(__uuidof(IAppPlugin), [&] { DoConnect(app); });
}

void TSQLAssembler::DoConnect(IAppObject* app) {
  if (!app) throw Exception(L"No application object");
  FApp = TComPtr<IAppObject>(app);
  auto* action = new TBaseAssemblerAction(this);
  FAction = TComPtr<IAppPluginAction>(action);
  FActionObject = action;
  HICON icon = LoadActionIcon(FActionInfo.IconResource);
  TComPtr<IAppPluginActions> actions;
  OleCheck(app->get_PluginActions(actions.Put()));
  if (!actions) throw Exception(L"The host has no plug-in actions");
  actions->Add(TBStr(FActionInfo.Caption).Get(), TBStr(FActionInfo.Hint).Get(), icon, FAction.Get());
}

bool TSQLAssembler::AssembleFocused() {
  TFocusedEvent focused = GetFocusedEvent(FApp.Get());
  if (!focused.Call || !HasStatement(focused.Call.Get())) return false;
  TSQLStatement& statement = *FStatement;
  BeginStatement(focused.Call.Get());
  TComPtr<ITracerEvents> all;
  OleCheck(FApp->get_AllEvents(all.Put()));
  LONG n = -1;
  if (all) OleCheck(all->IndexOf(focused.Event.Get(), &n));
  CW_ASSERT(n != -1, UnitPath, 476);
  statement.KeepFirstBinding = true;
  const LONG executeIndex = n;
  try {
    for (; n >= 0 && !statement.Params.AllBound(); --n) {
      TComPtr<ITracerEvent> event;
      OleCheck(all->Item(n, event.Put()));
      TComPtr<ICallTracerEvent> call;
      if (event) event->QueryInterface(__uuidof(ICallTracerEvent), reinterpret_cast<void**>(call.Put()));
      FAtExecuteCall = n == executeIndex;
      if (call && !ProcessEarlierEvent(call.Get())) break;
    }
  } catch (...) {
    statement.KeepFirstBinding = false;
    FAtExecuteCall = false;
    throw;
  }
  statement.KeepFirstBinding = false;
  FAtExecuteCall = false;
  statement.Assemble();
  return true;
}

void TSQLAssembler::ShowResult() {
  TComPtr<IAppSettings> settings;
  OleCheck(FApp->get_Settings(settings.Put()));
  bool wrap = false;
  if (settings) {
    TOleVariant stored;
    OleCheck(settings->GetValue(TBStr(WrapSQLSettingKey).Get(), stored.Receive()));
    if (!stored.IsNull()) wrap = VariantAsBool(stored);
  }
  TSQLResultViewer viewer = GResultViewer ? GResultViewer : ShowVostikWindow;
  wrap = viewer(*this, wrap);
  if (settings) OleCheck(settings->SetValue(TBStr(WrapSQLSettingKey).Get(), TOleVariant(wrap)));
}

// ---- the action ---------------------------------------------------------------------------------

void* TBaseAssemblerAction::GetInterface(REFIID iid) {
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(IAppPluginAction)))
    return static_cast<IAppPluginAction*>(this);
  return nullptr;
}

void STDMETHODCALLTYPE TBaseAssemblerAction::Execute() {
  ComMethodGuard(__uuidof(IAppPluginAction), [&] { DoExecute(); });
}

// Called at every action update.
LONG STDMETHODCALLTYPE TBaseAssemblerAction::GetState() {
  LONG state = 0;
  ComMethodGuard(__uuidof(IAppPluginAction), [&] { state = DoGetState(); });
  return state;
}

void TBaseAssemblerAction::DoExecute() {
  if (!FAssembler) return;
  // The host may drop the assembler while its window is open; it stays alive until then.
  TComPtr<IAppPlugin> keep(static_cast<IAppPlugin*>(FAssembler));
  if (FAssembler->AssembleFocused()) FAssembler->ShowResult();
}

LONG TBaseAssemblerAction::DoGetState() {
  if (!FAssembler) return AppPluginActionVisible;
  TComPtr<ICallTracerEvent> call = FocusedCallEvent(FAssembler->App());
  if (!call) return AppPluginActionVisible;
  if (FAssembler->IsExecuteCall(call.Get()) && FAssembler->HasStatement(call.Get()))
    return AppPluginActionVisible | AppPluginActionEnabled;
  return AppPluginActionVisible;
}
