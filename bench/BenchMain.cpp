// Runs every registered benchmark (or those whose title contains the first argument) and
// prints nanoseconds per operation with the ratio to the first row of each group.
#include <cstdio>
#include <cstring>
#include <exception>

#include "Bench.h"
#include "Tracer/foundation/uSingletons.h"

volatile uintptr_t gBenchSink = 0;

namespace {
struct TEntry {
  const char* Title;
  TBenchFunc Fn;
  bool OnlyWhenNamed;
};
std::vector<TEntry>& Registry() {
  static std::vector<TEntry> entries;
  return entries;
}
}  // namespace

bool RegisterBenchmark(const char* title, TBenchFunc fn, bool onlyWhenNamed) {
  Registry().push_back({title, fn, onlyWhenNamed});
  return true;
}

void TBenchGroup::Print() const {
  std::printf("%s\n", FTitle.c_str());
  for (const TRow& r : FRows) {
    const double base = r.BaseRow < FRows.size() ? FRows[r.BaseRow].NsPerOp : 0;
    const double ratio = base > 0 ? r.NsPerOp / base : 0.0;
    if (r.InMs)
      std::printf("  %-50s %10.1f ms     %7.2fx\n", r.Name.c_str(), r.NsPerOp / 1e6, ratio);
    else
      std::printf("  %-50s %10.1f ns/op  %7.2fx\n", r.Name.c_str(), r.NsPerOp, ratio);
  }
  for (const std::string& line : FNotes) std::printf("  %s\n", line.c_str());
}

int main(int argc, char** argv) {
  const char* filter = argc > 1 ? argv[1] : nullptr;
  int rc = 0;
#ifndef NDEBUG
  std::printf("(unoptimised build: compare the ratios, not the times)\n");
#endif
  for (const TEntry& e : Registry()) {
    if (filter != nullptr ? std::strstr(e.Title, filter) == nullptr : e.OnlyWhenNamed) continue;
    TBenchGroup group(e.Title);
    try {
      e.Fn(group);
      group.Print();
    } catch (const std::exception& ex) {
      std::printf("%s: failed: %s\n", e.Title, ex.what());
      rc = 1;
    } catch (...) {
      std::printf("%s: failed\n", e.Title);
      rc = 1;
    }
    std::fflush(stdout);
  }
  FreeInstanceList();
  return rc;
}
