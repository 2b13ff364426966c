// Breakpoint bytes written a page at a time while the debuggee is stopped: a resolve pass
// that arms thousands of entries reads each code page it touches once, changes its copy,
// and writes each changed page back once, instead of a read and a write per breakpoint.
#pragma once
#include <windows.h>

#include <cstdint>
#include <map>
#include <vector>

// The batch of the thread that opened it, from construction to destruction. Only for a
// debuggee whose threads do not run meanwhile: what lies between two changed bytes of a
// page is written back as it was read.
class TCodePageBatch {
public:
  explicit TCodePageBatch(HANDLE process);
  // Writes what Flush has not written; a failure then goes unreported.
  ~TCodePageBatch();
  TCodePageBatch(const TCodePageBatch&) = delete;
  TCodePageBatch& operator=(const TCodePageBatch&) = delete;

  // The calling thread's batch, or nullptr.
  static TCodePageBatch* Active();
  // False when the address's page cannot be read: the byte is the caller's to handle.
  bool ReadByte(uint32_t address, uint8_t& value);
  bool WriteByte(uint32_t address, uint8_t value);
  // Writes the span of each page from its first to its last changed byte (a page the plain
  // write refuses goes byte by byte through the memory manager, which raises on failure).
  void Flush();

private:
  struct TPage {
    bool Readable = false;
    std::vector<uint8_t> Read;  // as read
    std::vector<uint8_t> Now;   // with this batch's bytes
  };
  TPage* PageOf(uint32_t address);

  HANDLE FProcess;
  TCodePageBatch* FOuter;
  std::map<uint32_t, TPage> FPages;  // by page address
};
