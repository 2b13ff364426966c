// Reader of packed module debug information ("DDBG", version 1): units, source files,
// procedures and lines by relative code address.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "lib/rtl/SysUtils.h"

// Byte that masked names are XORed with (the build tool writes the same).
constexpr uint8_t DgnDebugNameMask = 0xB7;
constexpr uint32_t DgnDebugSignature = 0x47424444;  // "DDBG"
constexpr uint8_t DgnDebugVersion = 1;
constexpr uint32_t DgnDebugHeaderSize = 34;

// Reads the tables of one block of debug data it does not own. Every offset, packed value and
// name reference is checked against the block, so damaged data yields no answer, not a fault.
class TDgnBinDebugScanner : public TObject {
public:
  // The procedure and line tables are decoded once, on first use, and kept.
  TDgnBinDebugScanner(const void* data, uint32_t size);

  bool ValidFormat() const { return FValidFormat; }
  // Name stored in the header for the module the data describes.
  std::wstring ModuleName() const;

  // R is a relative address (offset from the start of the first section).
  std::wstring UnitNameFromAddr(uint32_t r) const;
  std::wstring SourceNameFromAddr(uint32_t r) const;
  // Procedure name ("First.Second" when it has two parts); empty when none.
  std::wstring ProcNameFromAddr(uint32_t r, uint32_t& offset);
  // Line number, 0 when the unit has no line there.
  uint32_t LineNumberFromAddr(uint32_t r, uint32_t& offset);

private:
  struct TProcEntry {
    uint32_t Addr;
    uint32_t FirstName;
    uint32_t SecondName;
  };
  struct TLineEntry {
    uint32_t Addr;
    uint32_t Line;
  };
  // Walks one table, yielding the running totals of each entry.
  class TTableWalker {
  public:
    TTableWalker(const TDgnBinDebugScanner& scanner, uint32_t offset, int width);
    bool Next();
    uint32_t Total(int i) const { return FTotals[i]; }

  private:
    const TDgnBinDebugScanner& FScanner;
    uint64_t FPos;
    int FWidth;
    uint32_t FTotals[3] = {0, 0, 0};
  };

  bool CheckFormat() const;
  uint32_t HeaderValue(uint32_t offset) const;
  bool ReadValue(uint64_t& pos, uint32_t& value) const;
  std::wstring NameOf(uint32_t ref) const;
  // One walk of the unit table gives the name and the start of the unit that holds R (start
  // 0xFFFFFFFF when R lies before every unit); the last answer is kept for the next question.
  void WalkUnits(uint32_t r) const;
  uint32_t UnitStartOf(uint32_t r) const;
  void CacheProcedures();
  void CacheLines();

  const uint8_t* FData;
  uint32_t FSize;
  bool FValidFormat;
  bool FProcsCached = false;
  bool FLinesCached = false;
  bool FProcsSorted = false;
  bool FLinesSorted = false;
  mutable bool FUnitMemoValid = false;
  mutable uint32_t FUnitMemoAddr = 0;
  mutable uint32_t FUnitMemoStart = 0;
  mutable uint32_t FUnitMemoName = 0;
  std::vector<TProcEntry> FProcs;
  std::vector<TLineEntry> FLines;
};
