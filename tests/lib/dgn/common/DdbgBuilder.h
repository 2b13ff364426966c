// Writes small packed debug-information blocks for tests, entry by entry.
#pragma once
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "lib/dgn/common/DgnBinDebugScanner.h"

class TDdbgBuilder {
public:
  std::string ModuleName = "demo";
  bool WithChecksum = true;
  bool MaskAllNames = false;  // masked UTF-8 even where 6-bit codes would do

  void Unit(uint32_t addr, const std::string& name) { FUnits.push_back({addr, Ref(name)}); }
  void Source(uint32_t addr, const std::string& name) { FSources.push_back({addr, Ref(name)}); }
  void Proc(uint32_t addr, const std::string& first, const std::string& second = "") {
    FProcs.push_back({addr, Ref(first), Ref(second)});
  }
  void Line(uint32_t addr, uint32_t line) { FLines.push_back({addr, line}); }

  std::vector<uint8_t> Build() {
    uint32_t moduleRef = Ref(ModuleName);
    std::vector<uint8_t> tables[4] = {Table(FUnits), Table(FSources), Table(FProcs), Table(FLines)};
    std::vector<uint8_t> data(DgnDebugHeaderSize, 0);
    uint32_t offsets[5];
    uint32_t pos = DgnDebugHeaderSize;
    for (int i = 0; i < 4; ++i) {
      offsets[i] = pos;
      pos += tables[i].size();
      data.insert(data.end(), tables[i].begin(), tables[i].end());
    }
    offsets[4] = pos;
    data.insert(data.end(), FNames.begin(), FNames.end());
    while (data.size() % 4)
      data.push_back(0);
    Put32(data, 0, DgnDebugSignature);
    data[4] = DgnDebugVersion;
    for (int i = 0; i < 5; ++i)
      Put32(data, 5 + 4 * i, offsets[i]);
    Put32(data, 25, moduleRef);
    if (WithChecksum) {
      data[33] = 1;
      FixChecksum(data);
    }
    return data;
  }

  // Sets the checksum that makes the block pass the test (the checksum flag must be set).
  static void FixChecksum(std::vector<uint8_t>& data) {
    Put32(data, 29, 0);
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 <= data.size(); i += 4) {
      uint32_t w;
      std::memcpy(&w, &data[i], 4);
      sum += w;
    }
    Put32(data, 29, sum);
  }

  static void Put32(std::vector<uint8_t>& data, size_t at, uint32_t v) {
    std::memcpy(&data[at], &v, 4);
  }

private:
  using TEntry = std::vector<uint32_t>;

  static void Pack(std::vector<uint8_t>& out, uint32_t v) {
    do {
      uint8_t b = v & 0x7F;
      v >>= 7;
      out.push_back(v ? (b | 0x80) : b);
    } while (v);
  }

  static std::vector<uint8_t> Table(const std::vector<TEntry>& entries) {
    std::vector<uint8_t> out;
    std::vector<uint32_t> totals(3, 0);
    for (const TEntry& e : entries)
      for (size_t i = 0; i < e.size(); ++i) {
        Pack(out, e[i] - totals[i]);
        totals[i] = e[i];
      }
    Pack(out, 0x7FFFFFFF);
    return out;
  }

  uint32_t Ref(const std::string& name) {
    if (name.empty())
      return 0;
    auto it = FRefs.find(name);
    if (it != FRefs.end())
      return it->second;
    uint32_t ref = static_cast<uint32_t>(FNames.size()) + 1;
    FRefs[name] = ref;
    std::vector<uint8_t> enc = Encode(name);
    FNames.insert(FNames.end(), enc.begin(), enc.end());
    return ref;
  }

  std::vector<uint8_t> Encode(const std::string& name) const {
    static const std::string chars =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_";
    std::string body = name[0] == '@' ? name.substr(1) : name;
    bool sixBit = !MaskAllNames && !body.empty() && body.find_first_not_of(chars) == std::string::npos;
    if (sixBit) {
      std::vector<uint32_t> codes;
      for (char c : body)
        codes.push_back(static_cast<uint32_t>(chars.find(c)) + 1);
      codes.push_back(0);
      while (codes.size() % 4)
        codes.push_back(0);
      std::vector<uint8_t> out;
      if (name[0] == '@')
        out.push_back(2);
      for (size_t i = 0; i < codes.size(); i += 4) {
        uint32_t a = codes[i], b = codes[i + 1], c = codes[i + 2], d = codes[i + 3];
        out.push_back(static_cast<uint8_t>(a | (b << 6)));
        out.push_back(static_cast<uint8_t>((b >> 2) | (c << 4)));
        out.push_back(static_cast<uint8_t>((c >> 4) | (d << 2)));
      }
      if (name[0] == '@' || (out[0] != 1 && out[0] != 2))
        return out;
    }
    std::vector<uint8_t> out{1};
    for (unsigned char c : name)
      out.push_back(c == DgnDebugNameMask ? c : c ^ DgnDebugNameMask);
    out.push_back(0);
    return out;
  }

  std::vector<TEntry> FUnits, FSources, FProcs, FLines;
  std::vector<uint8_t> FNames;
  std::map<std::string, uint32_t> FRefs;
};
