// A tiny registry of micro-benchmarks. Each benchmark measures a few ways of doing one
// thing side by side in one run; the first measurement of a group is the base of the ratios.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

class TBenchGroup {
public:
  explicit TBenchGroup(std::string title) : FTitle(std::move(title)) {}
  // Runs body(iterations) and records the time per operation (body does `ops` operations
  // per iteration).
  template <class F>
  void Measure(const std::string& name, int64_t iterations, int64_t opsPerIteration, F body) {
    body(iterations / 10 + 1);  // warm caches and lazily made services
    LARGE_INTEGER f, a, b;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&a);
    body(iterations);
    QueryPerformanceCounter(&b);
    const double seconds = static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart);
    FRows.push_back({name, seconds * 1e9 / static_cast<double>(iterations * opsPerIteration)});
  }
  // A row measured by the benchmark itself.
  void Record(const std::string& name, double nsPerOp) { FRows.push_back({name, nsPerOp}); }
  // Records a time measured outside Measure, in milliseconds; its ratio is to the row `baseRow`.
  void RecordMs(const std::string& name, double ms, size_t baseRow = 0) { FRows.push_back({name, ms * 1e6, baseRow, true}); }
  size_t RowCount() const { return FRows.size(); }
  // A line printed after the rows.
  void Note(const std::string& line) { FNotes.push_back(line); }
  void Print() const;

private:
  struct TRow {
    std::string Name;
    double NsPerOp;
    size_t BaseRow = 0;
    bool InMs = false;
  };
  std::string FTitle;
  std::vector<TRow> FRows;
  std::vector<std::string> FNotes;
};

using TBenchFunc = void (*)(TBenchGroup& group);

// Called from a static registrar; only records the pointer. A group `onlyWhenNamed` runs only
// when the filter names it (one that needs a display, say).
bool RegisterBenchmark(const char* title, TBenchFunc fn, bool onlyWhenNamed = false);

// Keeps a value alive so the optimiser cannot drop the work that made it.
extern volatile uintptr_t gBenchSink;
