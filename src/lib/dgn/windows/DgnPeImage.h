// Reading the PE headers of a loaded image, a stream over one of its sections, writing into
// write-protected memory, and patching an import slot.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "lib/dgn/common/DgnMemoryStream.h"
#include "lib/dgn/common/DgnErrors.h"

CW_DECLARE_EXCEPTION(EDgnPeImageError, EDgnError);

// The NT headers of the image at the base, or nullptr when they are not readable or not valid.
IMAGE_NT_HEADERS32* PeNtHeaders32(const void* moduleBase);
IMAGE_NT_HEADERS64* PeNtHeaders64(const void* moduleBase);
// 1 for a 32-bit image, 2 for a 64-bit image, 0 otherwise.
int PeImageTarget(const void* moduleBase);
uint32_t PeImageSize(const void* moduleBase);
// The first section header whose name (at most 8 characters) matches, or nullptr.
IMAGE_SECTION_HEADER* PeFindSection(const void* moduleBase, const std::wstring& sectionName);

// Writes into memory whatever its protection; True when all bytes were written.
bool WriteGuardedMemory(void* address, const void* source, size_t size);

// Read-only stream over one section of a loaded image.
class TDgnPeSectionStream : public TCustomMemoryStream {
public:
  TDgnPeSectionStream(HMODULE module, const std::wstring& sectionName);
  int32_t Write(const void* buffer, int32_t count) override;
  HMODULE Module() const { return FModule; }
  const IMAGE_SECTION_HEADER& SectionHeader() const { return FSectionHeader; }

private:
  HMODULE FModule;
  IMAGE_SECTION_HEADER FSectionHeader;
};

class TDgnPeMapImgHooks {
public:
  // Points every import slot of the DLL that holds oldAddress at newAddress; True when the
  // last such write succeeded (False when the module does not import it).
  static bool ReplaceImport(void* moduleBase, const std::wstring& dllName, void* oldAddress, void* newAddress);
};
