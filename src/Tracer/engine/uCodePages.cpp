#include "Tracer/engine/uCodePages.h"

#include "Tracer/engine/uProcessMemory.h"

namespace {

constexpr uint32_t PageSize = 0x1000;
thread_local TCodePageBatch* GActiveBatch = nullptr;

}  // namespace

TCodePageBatch::TCodePageBatch(HANDLE process) : FProcess(process), FOuter(GActiveBatch) { GActiveBatch = this; }

TCodePageBatch::~TCodePageBatch() {
  GActiveBatch = FOuter;
  try {
    Flush();
  } catch (...) {
    // Left by an exception already on its way, or the process is gone.
  }
}

TCodePageBatch* TCodePageBatch::Active() { return GActiveBatch; }

TCodePageBatch::TPage* TCodePageBatch::PageOf(uint32_t address) {
  const uint32_t base = address & ~(PageSize - 1);
  auto [it, added] = FPages.try_emplace(base);
  TPage& page = it->second;
  if (added) {
    page.Read.resize(PageSize);
    page.Readable = FProcess != nullptr && TryReadProcessMemory(FProcess, base, page.Read.data(), PageSize);
    if (page.Readable) page.Now = page.Read;
  }
  return page.Readable ? &page : nullptr;
}

bool TCodePageBatch::ReadByte(uint32_t address, uint8_t& value) {
  TPage* page = PageOf(address);
  if (page == nullptr) return false;
  value = page->Now[address & (PageSize - 1)];
  return true;
}

bool TCodePageBatch::WriteByte(uint32_t address, uint8_t value) {
  TPage* page = PageOf(address);
  if (page == nullptr) return false;
  page->Now[address & (PageSize - 1)] = value;
  return true;
}

void TCodePageBatch::Flush() {
  for (auto& [base, page] : FPages) {
    if (!page.Readable) continue;
    uint32_t first = 0, end = PageSize;
    while (first < PageSize && page.Now[first] == page.Read[first]) ++first;
    if (first == PageSize) continue;
    while (page.Now[end - 1] == page.Read[end - 1]) --end;
    void* at = reinterpret_cast<void*>(static_cast<uintptr_t>(base + first));
    SIZE_T done = 0;
    if (WriteProcessMemory(FProcess, at, page.Now.data() + first, end - first, &done) && done == end - first) {
      FlushInstructionCache(FProcess, at, end - first);
    } else {
      for (uint32_t i = first; i < end; ++i)
        if (page.Now[i] != page.Read[i]) GetProcessMemoryBridge()->WriteByte(base + i, page.Now[i]);
    }
    page.Read = page.Now;
  }
}
