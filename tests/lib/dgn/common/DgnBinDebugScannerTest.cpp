#include <gtest/gtest.h>

#include <random>

#include "DdbgBuilder.h"
#include "lib/dgn/common/DgnBinDebugScanner.h"
#include "support/TestSupport.h"

namespace {

// Two units with code, one without procedures or lines, a gap, and a unit of a header.
std::vector<uint8_t> SampleModule() {
  TDdbgBuilder b;
  b.ModuleName = "SampleMod";
  b.Unit(0x100, "uFirst");
  b.Unit(0x200, "uSecond");
  b.Unit(0x300, "");
  b.Unit(0x400, "uThird");
  b.Unit(0x500, "");
  b.Source(0x100, "uFirst.cpp");
  b.Source(0x200, "uSecond.cpp");
  b.Source(0x300, "");
  b.Source(0x400, "inc.h");
  b.Source(0x500, "");
  b.Proc(0x100, "uFirst.Alpha");
  b.Proc(0x180, "TWidget", "Paint");
  b.Proc(0x400, "@Init");
  b.Line(0x100, 10);
  b.Line(0x110, 12);
  b.Line(0x180, 20);
  b.Line(0x190, 21);
  b.Line(0x400, 5);
  return b.Build();
}

struct TFound {
  std::wstring Unit, Source, Proc;
  uint32_t ProcOffset, Line, LineOffset;
};

TFound Lookup(TDgnBinDebugScanner& s, uint32_t r) {
  TFound f;
  f.Unit = s.UnitNameFromAddr(r);
  f.Source = s.SourceNameFromAddr(r);
  f.Proc = s.ProcNameFromAddr(r, f.ProcOffset);
  f.Line = s.LineNumberFromAddr(r, f.LineOffset);
  return f;
}

}  // namespace

TEST(DgnBinDebugScanner, AddressInsideAProcedureGivesUnitSourceProcedureAndLine) {
  std::vector<uint8_t> data = SampleModule();
  TDgnBinDebugScanner s(data.data(), data.size());
  ASSERT_TRUE(s.ValidFormat());
  EXPECT_EQ(L"SampleMod", s.ModuleName());

  TFound f = Lookup(s, 0x195);
  EXPECT_EQ(L"uFirst", f.Unit);
  EXPECT_EQ(L"uFirst.cpp", f.Source);
  EXPECT_EQ(L"TWidget.Paint", f.Proc);
  EXPECT_EQ(0x15u, f.ProcOffset);
  EXPECT_EQ(21u, f.Line);
  EXPECT_EQ(5u, f.LineOffset);

  f = Lookup(s, 0x10F);
  EXPECT_EQ(L"uFirst.Alpha", f.Proc);
  EXPECT_EQ(0xFu, f.ProcOffset);
  EXPECT_EQ(10u, f.Line);

  f = Lookup(s, 0x402);
  EXPECT_EQ(L"uThird", f.Unit);
  EXPECT_EQ(L"inc.h", f.Source);
  EXPECT_EQ(L"@Init", f.Proc);
  EXPECT_EQ(5u, f.Line);
}

TEST(DgnBinDebugScanner, UnitWithoutProceduresOrLinesBorrowsNothingFromTheUnitBefore) {
  std::vector<uint8_t> data = SampleModule();
  TDgnBinDebugScanner s(data.data(), data.size());
  TFound f = Lookup(s, 0x210);
  EXPECT_EQ(L"uSecond", f.Unit);
  EXPECT_EQ(L"uSecond.cpp", f.Source);
  EXPECT_EQ(L"", f.Proc);
  EXPECT_EQ(0u, f.Line);
  EXPECT_EQ(0u, f.LineOffset);
}

TEST(DgnBinDebugScanner, AddressesBeforeTheFirstUnitOrInAGapHaveNoUnit) {
  std::vector<uint8_t> data = SampleModule();
  TDgnBinDebugScanner s(data.data(), data.size());
  for (uint32_t r : {0x0u, 0xFFu, 0x350u, 0x600u, 0xFFFFFFF0u}) {
    TFound f = Lookup(s, r);
    EXPECT_EQ(L"", f.Unit) << std::hex << r;
    EXPECT_EQ(L"", f.Source) << std::hex << r;
  }
  uint32_t offset = 1;
  EXPECT_EQ(L"", s.ProcNameFromAddr(0x50, offset));
  EXPECT_EQ(0u, s.LineNumberFromAddr(0x50, offset));
}

// Tables out of address order (not what the build writes): the search from the end decides.
TEST(DgnBinDebugScanner, TablesOutOfOrderAreSearchedFromTheEnd) {
  TDdbgBuilder b;
  b.Unit(0x100, "u");
  b.Unit(0x400, "");
  b.Proc(0x100, "A");
  b.Proc(0x180, "B");
  b.Proc(0x140, "C");
  b.Line(0x100, 1);
  b.Line(0x200, 9);
  b.Line(0x150, 5);
  std::vector<uint8_t> data = b.Build();
  TDgnBinDebugScanner s(data.data(), data.size());
  uint32_t offset;
  EXPECT_EQ(L"C", s.ProcNameFromAddr(0x190, offset));
  EXPECT_EQ(0x50u, offset);
  EXPECT_EQ(5u, s.LineNumberFromAddr(0x210, offset));
  EXPECT_EQ(0xC0u, offset);
  EXPECT_EQ(L"A", s.ProcNameFromAddr(0x120, offset));
  EXPECT_EQ(1u, s.LineNumberFromAddr(0x120, offset));
}

TEST(DgnBinDebugScanner, HeaderRulesDecideWhetherDataIsUsed) {
  std::vector<uint8_t> good = SampleModule();
  EXPECT_TRUE(TDgnBinDebugScanner(good.data(), good.size()).ValidFormat());

  std::vector<uint8_t> badSum = good;
  badSum[29] ^= 0x40;
  EXPECT_FALSE(TDgnBinDebugScanner(badSum.data(), badSum.size()).ValidFormat());

  // Without the checksum flag the checksum field is not looked at.
  std::vector<uint8_t> noSum = badSum;
  noSum[33] = 0;
  EXPECT_TRUE(TDgnBinDebugScanner(noSum.data(), noSum.size()).ValidFormat());

  std::vector<uint8_t> headerOnly(good.begin(), good.begin() + 34);
  headerOnly[33] = 0;
  EXPECT_FALSE(TDgnBinDebugScanner(headerOnly.data(), headerOnly.size()).ValidFormat());
  std::vector<uint8_t> headerPlus4(good.begin(), good.begin() + 36);
  headerPlus4[33] = 0;
  EXPECT_TRUE(TDgnBinDebugScanner(headerPlus4.data(), headerPlus4.size()).ValidFormat());

  std::vector<uint8_t> odd = noSum;
  odd.push_back(0);
  EXPECT_FALSE(TDgnBinDebugScanner(odd.data(), odd.size()).ValidFormat());

  std::vector<uint8_t> version2 = noSum;
  version2[4] = 2;
  EXPECT_FALSE(TDgnBinDebugScanner(version2.data(), version2.size()).ValidFormat());

  std::vector<uint8_t> signature = noSum;
  signature[0] = 'X';
  EXPECT_FALSE(TDgnBinDebugScanner(signature.data(), signature.size()).ValidFormat());

  TDgnBinDebugScanner invalid(signature.data(), signature.size());
  EXPECT_EQ(L"", invalid.UnitNameFromAddr(0x195));
  EXPECT_EQ(L"", invalid.ModuleName());
}

TEST(DgnBinDebugScanner, NamesInAllThreeFormsReadBack) {
  TDdbgBuilder b;
  b.MaskAllNames = true;
  std::string longName(300, 'x');
  b.ModuleName = "M\xC3\xBCnster";  // "Münster"
  b.Unit(0x10, "mid\xC2\xB7""dot");  // U+00B7 holds the mask byte itself
  b.Source(0x10, "Gr\xC3\xBC\xC3\x9F" "e.cpp");
  b.Unit(0x20, "plain");
  b.Source(0x20, "plain.cpp");
  b.Unit(0x30, "");
  std::vector<uint8_t> masked = b.Build();
  TDgnBinDebugScanner s(masked.data(), masked.size());
  ASSERT_TRUE(s.ValidFormat());
  EXPECT_EQ(L"M\u00FCnster", s.ModuleName());
  EXPECT_EQ(L"mid\u00B7dot", s.UnitNameFromAddr(0x10));
  EXPECT_EQ(L"Gr\u00FC\u00DFe.cpp", s.SourceNameFromAddr(0x15));
  EXPECT_EQ(L"plain", s.UnitNameFromAddr(0x20));

  TDdbgBuilder six;
  six.Unit(0x10, longName);
  six.Unit(0x20, "@Sym_9");
  six.Unit(0x30, "abc");  // length 3: code 0 ends it inside the group
  six.Unit(0x40, "abcd");  // length 4: a whole extra group ends it
  six.Unit(0x50, "");
  std::vector<uint8_t> packed = six.Build();
  TDgnBinDebugScanner p(packed.data(), packed.size());
  EXPECT_EQ(std::wstring(255, L'x'), p.UnitNameFromAddr(0x10));
  EXPECT_EQ(L"@Sym_9", p.UnitNameFromAddr(0x20));
  EXPECT_EQ(L"abc", p.UnitNameFromAddr(0x30));
  EXPECT_EQ(L"abcd", p.UnitNameFromAddr(0x40));
}

TEST(DgnBinDebugScanner, ReferencesPastTheDataGiveEmptyNames) {
  TDdbgBuilder b;
  b.Unit(0x10, "unit");
  b.Proc(0x10, "proc");
  b.Unit(0x20, "");
  std::vector<uint8_t> data = b.Build();
  // Point the module name far beyond the end and the name area to the last byte.
  TDdbgBuilder::Put32(data, 25, 0xFFFFFFF0u);
  TDdbgBuilder::FixChecksum(data);
  TDgnBinDebugScanner s(data.data(), data.size());
  EXPECT_EQ(L"", s.ModuleName());
  TDdbgBuilder::Put32(data, 21, static_cast<uint32_t>(data.size()) - 1);
  TDdbgBuilder::FixChecksum(data);
  TDgnBinDebugScanner t(data.data(), data.size());
  uint32_t offset;
  EXPECT_EQ(L"", t.UnitNameFromAddr(0x10));
  EXPECT_EQ(L"", t.ProcNameFromAddr(0x10, offset));
}

// A few hundred damaged copies of a real program's data (the stack-trace demo's): truncated,
// overwritten, with bad table offsets or wholly random. With the checksum made to fit they all reach the tables.
TEST(DgnBinDebugScanner, DamagedDataNeverFaults) {
  std::string real = ReadTextFile(TestBinDir() + L"dgn_demo.ddbg");
  ASSERT_GT(real.size(), 1000u) << "the build writes dgn_demo.ddbg beside the demo";
  std::vector<uint8_t> original(real.begin(), real.end());
  std::mt19937 rng(20261208);
  auto rnd = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  int valid = 0;
  for (int i = 0; i < 400; ++i) {
    std::vector<uint8_t> d = original;
    switch (i % 5) {
      case 0:
        d.resize(DgnDebugHeaderSize + 2 + rnd(static_cast<uint32_t>(d.size())));
        d.resize(std::min(d.size(), original.size()) & ~size_t(3));
        break;
      case 1:
        for (int k = 1 + rnd(16); k > 0; --k)
          d[rnd(static_cast<uint32_t>(d.size()))] = static_cast<uint8_t>(rng());
        break;
      case 2:
        TDdbgBuilder::Put32(d, 5 + 4 * rnd(6),
                            rnd(2) ? rng() : static_cast<uint32_t>(d.size()) - 1 - rnd(8));
        break;
      case 3:
        for (size_t k = DgnDebugHeaderSize; k < d.size(); ++k)
          d[k] = static_cast<uint8_t>(rng());
        break;
      case 4:  // a run of continuation bytes: packed values that never end
        std::fill_n(d.begin() + DgnDebugHeaderSize + rnd(static_cast<uint32_t>(d.size()) - 64), 60, 0xFF);
        break;
    }
    if (d.size() >= DgnDebugHeaderSize && i % 7 != 0) {
      d[33] = 1;
      TDdbgBuilder::FixChecksum(d);
    }
    TDgnBinDebugScanner s(d.data(), static_cast<uint32_t>(d.size()));
    valid += s.ValidFormat();
    s.ModuleName();
    for (int k = 0; k < 12; ++k) {
      uint32_t r = k < 10 ? rnd(0x80000) : rng();
      uint32_t offset;
      std::wstring unit = s.UnitNameFromAddr(r);
      EXPECT_LE(unit.size(), d.size());
      s.SourceNameFromAddr(r);
      s.ProcNameFromAddr(r, offset);
      s.LineNumberFromAddr(r, offset);
    }
  }
  EXPECT_GT(valid, 250);  // most copies got past the header and into the tables
}
