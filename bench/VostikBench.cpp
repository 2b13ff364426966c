// Vostik: scanning and assembling a long statement. Time per byte of statement text for a
// quarter, one and four megabytes (2,500, 10,000 and 40,000 markers): equal rows mean linear.
#include <string>

#include "Bench.h"
#include "vostik/uVostikBase.h"

namespace {

// Named markers (5,000 names, each used again), "?" markers and quoted text with a colon
// inside, about one marker per hundred characters.
std::wstring Statement(size_t bytes) {
  std::wstring text;
  text.reserve(bytes / sizeof(wchar_t) + 200);
  for (int i = 0; text.size() * sizeof(wchar_t) < bytes; ++i) {
    text += L"insert into t values (:p" + std::to_wstring(i % 5000) + L", ?, 'a '':q'' text')\n";
    text += std::wstring(54, L'x');
  }
  return text;
}

void AssembleStatements(TBenchGroup& g) {
  for (size_t kb : {256, 1024, 4096}) {
    const std::wstring text = Statement(kb * 1024);
    TSQLStatement probe;
    probe.SetSQL(text);
    const std::string name = std::to_string(kb) + " KB, " + std::to_string(probe.MarkerCount()) +
                             " markers: SetSQL, bind all, Assemble (per byte)";
    g.Measure(name, 3, static_cast<int64_t>(kb * 1024), [&](int64_t it) {
      for (int64_t r = 0; r < it; ++r) {
        TSQLStatement s;
        s.SetSQL(text);
        TOleVariant value(L"it's");
        for (int i = 1; i <= s.Params.Count(); ++i) s.SetParamByIndex(i, L"", value);
        s.Assemble();
        gBenchSink = s.AssembledSQL.size();
      }
    });
  }
  const std::wstring text = Statement(1024 * 1024);
  TSQLStatement s;
  g.Measure("1024 KB: SetSQL alone (per byte)", 3, 1024 * 1024, [&](int64_t it) {
    for (int64_t r = 0; r < it; ++r) s.SetSQL(text);
  });
  for (int i = 1; i <= s.Params.Count(); ++i) s.SetParamByIndex(i, L"", TOleVariant(i));
  g.Measure("1024 KB: Assemble alone (per byte)", 3, 1024 * 1024, [&](int64_t it) {
    for (int64_t r = 0; r < it; ++r) s.Assemble();
  });
}

const bool kRegistered = RegisterBenchmark("Vostik: scan and assemble a long statement", AssembleStatements);

}  // namespace
