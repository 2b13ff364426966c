// Location text of stack entries: 1,000 code addresses of this program (whose debug
// information is cw_bench.ddbg beside it), looked up and formatted as the error report does.
#include <windows.h>

#include <string>
#include <vector>

#include "Bench.h"
#include "lib/dgn/windows/DgnDebugInfo.h"
#include "lib/dgn/windows/DgnPeImage.h"

namespace {

constexpr int kAddresses = 1000;

// Addresses spread evenly over a module's code section.
std::vector<const void*> CodeAddresses(HMODULE module) {
  std::vector<const void*> out;
  IMAGE_SECTION_HEADER* text = PeFindSection(module, L".text");
  if (!text)
    return out;
  const uint8_t* start = reinterpret_cast<const uint8_t*>(module) + text->VirtualAddress;
  uint32_t step = text->Misc.VirtualSize / kAddresses;
  for (int i = 0; i < kAddresses; ++i)
    out.push_back(start + i * step + 7);
  return out;
}

void FormatLocations(TBenchGroup& g) {
  std::vector<const void*> own = CodeAddresses(GetModuleHandleW(nullptr));
  std::vector<const void*> system = CodeAddresses(GetModuleHandleW(L"kernel32.dll"));
  TDgnLocationInfo info;
  if (own.empty() || !LookupLocationInfo(own[own.size() / 2], info))
    throw Exception(L"no debug information for the program (cw_bench.ddbg)");
  const int64_t n = static_cast<int64_t>(own.size());
  g.Measure("LookupLocationInfo", 5, n, [&](int64_t it) {
    uintptr_t found = 0;
    for (int64_t r = 0; r < it; ++r)
      for (const void* a : own) found += LookupLocationInfo(a, info);
    gBenchSink = found;
  });
  g.Measure("FormatLocationInfo, as the error report asks", 5, n, [&](int64_t it) {
    size_t chars = 0;
    for (int64_t r = 0; r < it; ++r)
      for (const void* a : own) chars += FormatLocationInfo(a, true, true, true, false).size();
    gBenchSink = chars;
  });
  g.Measure("FormatLocationInfo, no options", 5, n, [&](int64_t it) {
    size_t chars = 0;
    for (int64_t r = 0; r < it; ++r)
      for (const void* a : own) chars += FormatLocationInfo(a).size();
    gBenchSink = chars;
  });
  g.Measure("FormatLocationInfo, kernel32 (no debug information)", 5, n, [&](int64_t it) {
    size_t chars = 0;
    for (int64_t r = 0; r < it; ++r)
      for (const void* a : system) chars += FormatLocationInfo(a, true, true, true, false).size();
    gBenchSink = chars;
  });
}

const bool kRegistered = RegisterBenchmark("Location text of 1,000 code addresses, per address", FormatLocations);

}  // namespace
