#include "lib/dgn/windows/DgnPeImage.h"

#include <cstring>

#include "lib/dgn/common/DgnUnicode.h"
#include "lib/dgn/windows/DgnWin32.h"

template <class Headers>
static Headers* NtHeaders(const void* moduleBase) {
  if (!moduleBase || IsBadReadPtr(moduleBase, sizeof(IMAGE_DOS_HEADER))) return nullptr;
  auto dos = static_cast<const IMAGE_DOS_HEADER*>(moduleBase);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew == 0) return nullptr;
  auto nt = reinterpret_cast<Headers*>(reinterpret_cast<uintptr_t>(moduleBase) + static_cast<uint32_t>(dos->e_lfanew));
  if (IsBadReadPtr(nt, sizeof(Headers)) || nt->Signature != IMAGE_NT_SIGNATURE) return nullptr;
  return nt;
}

IMAGE_NT_HEADERS32* PeNtHeaders32(const void* moduleBase) { return NtHeaders<IMAGE_NT_HEADERS32>(moduleBase); }
IMAGE_NT_HEADERS64* PeNtHeaders64(const void* moduleBase) { return NtHeaders<IMAGE_NT_HEADERS64>(moduleBase); }

int PeImageTarget(const void* moduleBase) {
  const IMAGE_NT_HEADERS32* nt = PeNtHeaders32(moduleBase);
  if (!nt) return 0;
  switch (nt->FileHeader.Machine) {
    case IMAGE_FILE_MACHINE_I386: return 1;
    case IMAGE_FILE_MACHINE_AMD64: return 2;
    default: return 0;
  }
}

uint32_t PeImageSize(const void* moduleBase) {
  switch (PeImageTarget(moduleBase)) {
    case 1: return PeNtHeaders32(moduleBase)->OptionalHeader.SizeOfImage;
    case 2: {
      const IMAGE_NT_HEADERS64* nt = PeNtHeaders64(moduleBase);
      return nt ? nt->OptionalHeader.SizeOfImage : 0;
    }
    default: return 0;
  }
}

IMAGE_SECTION_HEADER* PeFindSection(const void* moduleBase, const std::wstring& sectionName) {
  IMAGE_FILE_HEADER* fileHeader = nullptr;
  switch (PeImageTarget(moduleBase)) {
    case 1: fileHeader = &PeNtHeaders32(moduleBase)->FileHeader; break;
    case 2: {
      IMAGE_NT_HEADERS64* nt = PeNtHeaders64(moduleBase);
      if (nt) fileHeader = &nt->FileHeader;
      break;
    }
    default: break;
  }
  if (!fileHeader) return nullptr;
  std::string name;
  if (!Dgn::WideToUtf8(sectionName, name)) name.assign(sectionName.begin(), sectionName.end());
  auto section = reinterpret_cast<IMAGE_SECTION_HEADER*>(reinterpret_cast<uint8_t*>(fileHeader) +
                                                         sizeof(IMAGE_FILE_HEADER) + fileHeader->SizeOfOptionalHeader);
  for (unsigned i = 0; i < fileHeader->NumberOfSections; ++i, ++section) {
    if (std::strncmp(reinterpret_cast<const char*>(section->Name), name.c_str(), IMAGE_SIZEOF_SHORT_NAME) == 0)
      return section;
  }
  return nullptr;
}

bool WriteGuardedMemory(void* address, const void* source, size_t size) {
  if (size == 0) return true;
  DWORD oldProtect;
  if (!VirtualProtect(address, size, PAGE_EXECUTE_READWRITE, &oldProtect)) return false;
  SIZE_T written = 0;
  const bool ok = WriteProcessMemory(GetCurrentProcess(), address, source, size, &written) != 0;
  if (oldProtect & (PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY))
    FlushInstructionCache(GetCurrentProcess(), address, size);
  DWORD ignored;
  VirtualProtect(address, size, oldProtect, &ignored);
  return ok && written == size;
}

TDgnPeSectionStream::TDgnPeSectionStream(HMODULE module, const std::wstring& sectionName) : FModule(module) {
  switch (PeImageTarget(module)) {
    case 1:
      if (!PeNtHeaders32(module)) throw EDgnPeImageError(L"This is not a PE format");
      break;
    case 2:
      if (!PeNtHeaders64(module)) throw EDgnPeImageError(L"This is not a PE format");
      break;
    default:
      throw EDgnPeImageError(L"Unknown PE target");
  }
  const IMAGE_SECTION_HEADER* header = PeFindSection(module, sectionName);
  if (!header) throw EDgnPeImageError(WideFormat(L"Section \"%ls\" not found", sectionName.c_str()));
  FSectionHeader = *header;
  SetPointer(reinterpret_cast<uint8_t*>(module) + header->VirtualAddress,
             header->SizeOfRawData < header->Misc.VirtualSize ? header->SizeOfRawData : header->Misc.VirtualSize);
}

int32_t TDgnPeSectionStream::Write(const void*, int32_t) { throw EDgnPeImageError(L"Stream is read-only"); }

// A push of a 32-bit immediate followed by a relative jump: the import stub of old systems.
static bool IsPushJumpStub(const uint8_t* p) {
  return !IsBadReadPtr(p, 10) && p[0] == 0x68 && p[5] == 0xE9;
}

static bool SameTarget(void* slotValue, void* oldAddress) {
  if (slotValue == oldAddress) return true;
  if (IsNTPlatform) return false;
  auto a = static_cast<const uint8_t*>(slotValue), b = static_cast<const uint8_t*>(oldAddress);
  uint32_t pa, pb;
  if (!IsPushJumpStub(a) || !IsPushJumpStub(b)) return false;
  std::memcpy(&pa, a + 1, 4);
  std::memcpy(&pb, b + 1, 4);
  return pa == pb;
}

bool TDgnPeMapImgHooks::ReplaceImport(void* moduleBase, const std::wstring& dllName, void* oldAddress,
                                      void* newAddress) {
  bool result = false;
  IMAGE_NT_HEADERS32* nt = PeNtHeaders32(moduleBase);
  if (!nt) return false;
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return false;
  std::string name;
  if (!Dgn::WideToUtf8(dllName, name)) name.assign(dllName.begin(), dllName.end());
  auto base = static_cast<uint8_t*>(moduleBase);
  for (auto desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); desc->Name != 0; ++desc) {
    if (lstrcmpiA(reinterpret_cast<const char*>(base + desc->Name), name.c_str()) != 0) continue;
    for (auto slot = reinterpret_cast<void**>(base + desc->FirstThunk); *slot != nullptr; ++slot) {
      if (SameTarget(*slot, oldAddress)) result = WriteGuardedMemory(slot, &newAddress, sizeof(newAddress));
    }
  }
  return result;
}
