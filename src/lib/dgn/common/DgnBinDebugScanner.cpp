#include "lib/dgn/common/DgnBinDebugScanner.h"

#include <algorithm>
#include <cstring>

#include "lib/dgn/common/DgnUnicode.h"

namespace {

constexpr uint32_t EndOfTable = 0x7FFFFFFF;
constexpr uint32_t NoUnit = 0xFFFFFFFF;
constexpr int MaxNameLength = 255;

// Header offsets.
constexpr uint32_t HdrUnits = 5;
constexpr uint32_t HdrSources = 9;
constexpr uint32_t HdrProcs = 13;
constexpr uint32_t HdrLines = 17;
constexpr uint32_t HdrNames = 21;
constexpr uint32_t HdrModuleName = 25;
constexpr uint32_t HdrChecksum = 29;
constexpr uint32_t HdrChecksumPresent = 33;

const char SixBitChars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_";

// Grows like the tables were always grown: 64 first, then by a quarter.
template <class T>
void AppendGrowing(std::vector<T>& v, const T& item) {
  if (v.size() == v.capacity())
    v.reserve(v.capacity() == 0 ? 64 : v.capacity() + v.capacity() / 4);
  v.push_back(item);
}

template <class T>
bool IsAscending(const std::vector<T>& v) {
  for (size_t i = 1; i < v.size(); ++i)
    if (v[i].Addr < v[i - 1].Addr)
      return false;
  return true;
}

// Where the search from the end for the last entry at or below r starts: in ascending tables
// (all that the build tool writes) right behind that entry, in any other at the end.
template <class T>
size_t LastAtOrBelow(const std::vector<T>& v, bool sorted, uint32_t r) {
  if (!sorted)
    return v.size();
  auto it = std::upper_bound(v.begin(), v.end(), r,
                             [](uint32_t value, const T& e) { return value < e.Addr; });
  return static_cast<size_t>(it - v.begin());
}

}  // namespace

TDgnBinDebugScanner::TDgnBinDebugScanner(const void* data, uint32_t size)
    : FData(static_cast<const uint8_t*>(data)), FSize(data ? size : 0) {
  FValidFormat = CheckFormat();
}

uint32_t TDgnBinDebugScanner::HeaderValue(uint32_t offset) const {
  uint32_t v;
  std::memcpy(&v, FData + offset, 4);
  return v;
}

bool TDgnBinDebugScanner::CheckFormat() const {
  if (FSize <= DgnDebugHeaderSize || FSize % 4 != 0)
    return false;
  if (HeaderValue(0) != DgnDebugSignature || FData[4] != DgnDebugVersion)
    return false;
  if (FData[HdrChecksumPresent] == 0)
    return true;
  uint32_t expected = HeaderValue(HdrChecksum);
  uint32_t sum = 0u - expected;
  for (uint32_t i = 0; i < FSize; i += 4)
    sum += HeaderValue(i);
  sum = (sum >> 8) | (sum << 24);
  return sum == expected;
}

bool TDgnBinDebugScanner::ReadValue(uint64_t& pos, uint32_t& value) const {
  value = 0;
  for (int shift = 0; shift < 35; shift += 7) {
    if (pos >= FSize)
      return false;
    uint8_t b = FData[pos++];
    value |= static_cast<uint32_t>(b & 0x7F) << shift;
    if ((b & 0x80) == 0)
      return true;
  }
  return false;  // more than five bytes: not a 32-bit value
}

TDgnBinDebugScanner::TTableWalker::TTableWalker(const TDgnBinDebugScanner& scanner,
                                                 uint32_t offset, int width)
    : FScanner(scanner), FPos(offset), FWidth(width) {}

bool TDgnBinDebugScanner::TTableWalker::Next() {
  for (int i = 0; i < FWidth; ++i) {
    uint32_t v;
    if (!FScanner.ReadValue(FPos, v) || v == EndOfTable) {
      FPos = UINT64_MAX;  // stays at the end
      return false;
    }
    FTotals[i] += v;
  }
  return true;
}

std::wstring TDgnBinDebugScanner::NameOf(uint32_t ref) const {
  if (ref == 0 || !FValidFormat)
    return std::wstring();
  uint64_t pos = static_cast<uint64_t>(HeaderValue(HdrNames)) + ref - 1;
  if (pos >= FSize)
    return std::wstring();
  std::string text;
  if (FData[pos] == 1) {
    for (++pos; pos < FSize && FData[pos] != 0; ++pos) {
      uint8_t b = FData[pos];
      text += static_cast<char>(b == DgnDebugNameMask ? b : b ^ DgnDebugNameMask);
    }
  } else {
    if (FData[pos] == 2) {
      text += '@';
      ++pos;
    }
    uint32_t bits = 0;
    int count = 0;
    while (static_cast<int>(text.size()) < MaxNameLength) {
      if (count < 6) {
        if (pos >= FSize)
          break;
        bits |= static_cast<uint32_t>(FData[pos++]) << count;
        count += 8;
      }
      uint32_t code = bits & 0x3F;
      bits >>= 6;
      count -= 6;
      if (code == 0)
        break;
      text += SixBitChars[code - 1];
    }
  }
  try {
    return Dgn::Utf8ToWide(text);
  } catch (const EDgnStringConversionError&) {
    return std::wstring();  // a damaged name is no name
  }
}

std::wstring TDgnBinDebugScanner::ModuleName() const {
  return FValidFormat ? NameOf(HeaderValue(HdrModuleName)) : std::wstring();
}

void TDgnBinDebugScanner::WalkUnits(uint32_t r) const {
  if (FUnitMemoValid && FUnitMemoAddr == r)
    return;
  uint32_t start = NoUnit, name = 0;
  if (FValidFormat) {
    TTableWalker w(*this, HeaderValue(HdrUnits), 2);
    while (w.Next() && w.Total(0) <= r) {
      start = w.Total(0);
      name = w.Total(1);
    }
  }
  FUnitMemoAddr = r;
  FUnitMemoStart = start;
  FUnitMemoName = name;
  FUnitMemoValid = true;
}

uint32_t TDgnBinDebugScanner::UnitStartOf(uint32_t r) const {
  WalkUnits(r);
  return FUnitMemoStart;
}

std::wstring TDgnBinDebugScanner::UnitNameFromAddr(uint32_t r) const {
  WalkUnits(r);
  return NameOf(FUnitMemoName);
}

std::wstring TDgnBinDebugScanner::SourceNameFromAddr(uint32_t r) const {
  if (!FValidFormat)
    return std::wstring();
  uint32_t unitStart = UnitStartOf(r);
  uint32_t prevStart = 0, name = 0;
  bool any = false;
  TTableWalker w(*this, HeaderValue(HdrSources), 2);
  while (w.Next()) {
    if (w.Total(0) > r)
      return any && prevStart >= unitStart ? NameOf(name) : std::wstring();
    prevStart = w.Total(0);
    name = w.Total(1);
    any = true;
  }
  return std::wstring();
}

void TDgnBinDebugScanner::CacheProcedures() {
  FProcsCached = true;
  if (!FValidFormat)
    return;
  TTableWalker w(*this, HeaderValue(HdrProcs), 3);
  while (w.Next())
    AppendGrowing(FProcs, TProcEntry{w.Total(0), w.Total(1), w.Total(2)});
  FProcs.shrink_to_fit();
  FProcsSorted = IsAscending(FProcs);
}

void TDgnBinDebugScanner::CacheLines() {
  FLinesCached = true;
  if (!FValidFormat)
    return;
  TTableWalker w(*this, HeaderValue(HdrLines), 2);
  while (w.Next())
    AppendGrowing(FLines, TLineEntry{w.Total(0), w.Total(1)});
  FLines.shrink_to_fit();
  FLinesSorted = IsAscending(FLines);
}

std::wstring TDgnBinDebugScanner::ProcNameFromAddr(uint32_t r, uint32_t& offset) {
  offset = 0;
  if (!FProcsCached)
    CacheProcedures();
  for (size_t i = LastAtOrBelow(FProcs, FProcsSorted, r); i-- > 0;) {
    const TProcEntry& p = FProcs[i];
    if (p.Addr > r)
      continue;
    if (p.Addr < UnitStartOf(r))
      return std::wstring();
    offset = r - p.Addr;
    if (p.FirstName == 0)
      return std::wstring();
    std::wstring name = NameOf(p.FirstName);
    if (p.SecondName != 0)
      name += L"." + NameOf(p.SecondName);
    return name;
  }
  return std::wstring();
}

uint32_t TDgnBinDebugScanner::LineNumberFromAddr(uint32_t r, uint32_t& offset) {
  offset = 0;
  if (!FLinesCached)
    CacheLines();
  for (size_t i = LastAtOrBelow(FLines, FLinesSorted, r); i-- > 0;) {
    const TLineEntry& l = FLines[i];
    if (l.Addr > r)
      continue;
    if (l.Addr < UnitStartOf(r))
      return 0;
    offset = r - l.Addr;
    return l.Line;
  }
  return 0;
}
