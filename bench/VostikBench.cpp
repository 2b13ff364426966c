// Vostik: scanning and assembling a long statement. Time per byte of statement text for a
// quarter, one and four megabytes (one megabyte holds 10,000 markers and 1,000 comments, the
// others in proportion): equal rows mean linear.
#include <string>

#include "Bench.h"
#include "vostik/uVostikBase.h"

namespace {

// Lines of 104 characters with two markers (a named one, 5,000 names each used again, and a
// "?") and quoted text with a colon inside; every fifth line ends in a comment, "--" or "/* */"
// in turn, with an apostrophe and markers in it. A megabyte of UTF-16 text is 5,042 lines:
// about 10,000 markers and 1,000 comments.
std::wstring Statement(size_t bytes) {
  std::wstring text;
  text.reserve(bytes / sizeof(wchar_t) + 200);
  for (int i = 0; text.size() * sizeof(wchar_t) < bytes; ++i) {
    std::wstring line = L"insert into t values (:p" + std::to_wstring(i % 5000) + L", ?, 'a '':q'' text')";
    if (i % 5 == 0)
      line += i % 10 ? L" /* it's :c ? */" : L" -- it's :c ?";
    line.resize(103, L' ');
    text += line + L"\n";
  }
  return text;
}

size_t Count(const std::wstring& text, const wchar_t* what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

void AssembleStatements(TBenchGroup& g) {
  for (size_t kb : {256, 1024, 4096}) {
    const std::wstring text = Statement(kb * 1024);
    TSQLStatement probe;
    probe.SetSQL(text);
    const std::string name = std::to_string(kb) + " KB, " + std::to_string(probe.MarkerCount()) + " markers, " +
                             std::to_string(Count(text, L"--") + Count(text, L"/*")) +
                             " comments: SetSQL, bind all, Assemble (per byte)";
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
