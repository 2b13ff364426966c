#include "symgen/DgnPeReader.h"

#include <algorithm>

#include "lib/dgn/common/DgnUnicode.h"
#include "lib/dgn/windows/DgnPeImage.h"
#include "lib/dgn/windows/DgnWin32.h"

// imagehlp is bound by name on first use, so a system without it fails with the binding's
// own message instead of refusing to start.
namespace {

using TMapAndLoad = BOOL(WINAPI*)(PCSTR, PCSTR, PLOADED_IMAGE, BOOL, BOOL);
using TUnMapAndLoad = BOOL(WINAPI*)(PLOADED_IMAGE);
using TImageDirectoryEntryToData = PVOID(WINAPI*)(PVOID, BOOLEAN, USHORT, PULONG);
using TImageRvaToVa = PVOID(WINAPI*)(PIMAGE_NT_HEADERS, PVOID, ULONG, PIMAGE_SECTION_HEADER*);

TMapAndLoad _MapAndLoad = nullptr;
TUnMapAndLoad _UnMapAndLoad = nullptr;
TImageDirectoryEntryToData _ImageDirectoryEntryToData = nullptr;
TImageRvaToVa _ImageRvaToVa = nullptr;

const wchar_t ImageHlpLib[] = L"imagehlp.dll";

BOOL ImgMapAndLoad(PCSTR imageName, PCSTR dllPath, PLOADED_IMAGE loadedImage, BOOL dotDll, BOOL readOnly) {
  BindProcedure(_MapAndLoad, ImageHlpLib, "MapAndLoad");
  return _MapAndLoad(imageName, dllPath, loadedImage, dotDll, readOnly);
}

BOOL ImgUnMapAndLoad(PLOADED_IMAGE loadedImage) {
  BindProcedure(_UnMapAndLoad, ImageHlpLib, "UnMapAndLoad");
  return _UnMapAndLoad(loadedImage);
}

PVOID ImgDirectoryEntryToData(PVOID base, BOOLEAN mappedAsImage, USHORT directoryEntry, PULONG size) {
  BindProcedure(_ImageDirectoryEntryToData, ImageHlpLib, "ImageDirectoryEntryToData");
  return _ImageDirectoryEntryToData(base, mappedAsImage, directoryEntry, size);
}

PVOID ImgRvaToVa(PIMAGE_NT_HEADERS ntHeaders, PVOID base, ULONG rva) {
  BindProcedure(_ImageRvaToVa, ImageHlpLib, "ImageRvaToVa");
  return _ImageRvaToVa(ntHeaders, base, rva, nullptr);
}

// A resource tree deeper than this is hostile; the usual one has three levels.
const int MaxResourceLevel = 16;

// Offset of the data directories in the PE32 and PE32+ optional headers.
const size_t DataDirOffset32 = offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
const size_t DataDirOffset64 = offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);

}  // namespace

bool TryUTF8ToWideString(const std::string& bytes, std::wstring& text) {
  text.clear();
  if (bytes.empty()) return true;
  std::wstring out(bytes.size() * 2, L'\0');
  int in = 1;
  int outPos = 1;
  while (in >= 1 && in <= static_cast<int>(bytes.size())) {
    uint32_t cp = Utf8NextCodePoint(bytes, in);
    if (in == -1 || !Utf16PutCodePoint(out, outPos, cp)) return false;
  }
  out.resize(outPos - 1);
  text = std::move(out);
  return true;
}

std::wstring DecodePeName(const std::string& bytes) {
  std::wstring text;
  if (TryUTF8ToWideString(bytes, text)) return text;
  // Not UTF-8: the raw bytes, as the ANSI code page reads them.
  int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  text.assign(n, L'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), n);
  return text;
}

// ---- TDgnPeImageBaseList

TObject* TDgnPeImageBaseList::Get(int index) const {
  CW_ASSERT(index >= 0 && index < Count(), L"src/symgen/DgnPeReader", __LINE__);
  return FList[index].get();
}

// ---- TDgnPeExportFuncItem

TDgnPeExportFuncItem::TDgnPeExportFuncItem(TDgnPeExportFuncList* list, std::wstring name, std::wstring forwardedName,
                                           DWORD address, int hint, WORD ordinal)
    : FList(list), FName(std::move(name)), FForwardedName(std::move(forwardedName)), FAddress(address), FHint(hint),
      FOrdinal(ordinal) {
  size_t dot = FForwardedName.find(L'.');
  if (dot != std::wstring::npos) FForwardedFunction = FForwardedName.substr(dot + 1);
}

// ---- TDgnPeExportFuncList

TDgnPeExportFuncList::TDgnPeExportFuncList(TDgnPeImage* image) : TDgnPeImageBaseList(image) { CreateList(); }

void TDgnPeExportFuncList::CreateList() {
  TDgnPeImage* image = Image();
  if (!image->StatusOK()) return;
  auto [dirStart, dirSize] = image->DirectoryEntryRvaSize(IMAGE_DIRECTORY_ENTRY_EXPORT);
  uint64_t dirEnd = uint64_t(dirStart) + dirSize;
  auto dir = static_cast<const IMAGE_EXPORT_DIRECTORY*>(image->DirectoryEntryToData(IMAGE_DIRECTORY_ENTRY_EXPORT));
  if (!dir) return;
  auto damaged = [] { throw EDgnPeImageError(L"Damaged export directory"); };
  if (!image->IsInImage(dir, sizeof(IMAGE_EXPORT_DIRECTORY))) damaged();
  FExportDir = dir;
  FBase = dir->Base;
  FFunctionsCount = dir->NumberOfFunctions;
  DWORD names = dir->NumberOfNames;
  if (names == 0) return;
  // Every table must lie inside the file before any entry of it is read.
  auto functions = static_cast<const DWORD*>(image->RvaToVaChecked(dir->AddressOfFunctions,
                                                                    uint64_t(FFunctionsCount) * sizeof(DWORD)));
  auto ordinals = static_cast<const WORD*>(image->RvaToVaChecked(dir->AddressOfNameOrdinals,
                                                                  uint64_t(names) * sizeof(WORD)));
  auto namePtrs = static_cast<const DWORD*>(image->RvaToVaChecked(dir->AddressOfNames, uint64_t(names) * sizeof(DWORD)));
  if (!functions || !ordinals || !namePtrs) damaged();
  std::string bytes;
  for (DWORD i = 0; i < names; ++i) {
    WORD o = ordinals[i];
    if (o >= FFunctionsCount) damaged();
    DWORD rva = functions[o];
    std::wstring forwarder;
    if (dirStart <= rva && rva <= dirEnd) {
      const void* text = image->RvaToVa(rva);
      if (!text || !image->ReadZString(text, bytes)) damaged();
      FAnyForwardedFunction = true;
      forwarder = DecodePeName(bytes);
      std::wstring lib = forwarder.substr(0, forwarder.find(L'.'));
      if (std::find(FForwardedLibs.begin(), FForwardedLibs.end(), lib) == FForwardedLibs.end())
        FForwardedLibs.push_back(lib);
    }
    const void* name = image->RvaToVa(namePtrs[i]);
    if (!name || !image->ReadZString(name, bytes)) damaged();
    Add(new TDgnPeExportFuncItem(this, DecodePeName(bytes), std::move(forwarder), rva, static_cast<int>(i),
                                 static_cast<WORD>(o + FBase)));
  }
}

// ---- TDgnPeResourceItem

TDgnPeResourceItem::TDgnPeResourceItem(TDgnPeImage* image, const IMAGE_RESOURCE_DIRECTORY_ENTRY* entry,
                                       TDgnPeResourceItem* parent)
    : FImage(image), FEntry(entry), FParentItem(parent), FLevel(parent ? parent->Level() + 1 : 1) {}

TDgnPeResourceItem::~TDgnPeResourceItem() = default;

bool TDgnPeResourceItem::IsDirectory() const { return FEntry->DataIsDirectory; }

bool TDgnPeResourceItem::IsName() const { return FEntry->NameIsString; }

std::wstring TDgnPeResourceItem::Name() const {
  if (!IsName()) return WideFormat(L"#%u", unsigned(FEntry->Id));
  auto root = static_cast<const BYTE*>(FImage->DirectoryEntryToData(IMAGE_DIRECTORY_ENTRY_RESOURCE));
  if (!root) throw EDgnPeImageError(L"Damaged resource directory");
  auto s = reinterpret_cast<const IMAGE_RESOURCE_DIR_STRING_U*>(root + FEntry->NameOffset);
  if (!FImage->IsInImage(s, sizeof(WORD)) || !FImage->IsInImage(s->NameString, uint64_t(s->Length) * sizeof(wchar_t)))
    throw EDgnPeImageError(L"Damaged resource directory");
  return std::wstring(s->NameString, s->Length);
}

TDgnPeResourceList* TDgnPeResourceItem::List() {
  if (!FList && IsDirectory() && FLevel < MaxResourceLevel) {
    auto root = static_cast<const BYTE*>(FImage->DirectoryEntryToData(IMAGE_DIRECTORY_ENTRY_RESOURCE));
    if (!root) throw EDgnPeImageError(L"Damaged resource directory");
    FList.reset(FImage->CreateResourceList(
        reinterpret_cast<const IMAGE_RESOURCE_DIRECTORY*>(root + FEntry->OffsetToDirectory), this));
  }
  return FList.get();
}

// ---- TDgnPeResourceList

TDgnPeResourceList::TDgnPeResourceList(TDgnPeImage* image, const IMAGE_RESOURCE_DIRECTORY* directory,
                                       TDgnPeResourceItem* parentItem)
    : TDgnPeImageBaseList(image), FDirectory(directory), FParentItem(parentItem) {
  if (!image->IsInImage(directory, sizeof(IMAGE_RESOURCE_DIRECTORY)))
    throw EDgnPeImageError(L"Damaged resource directory");
  size_t count = size_t(directory->NumberOfNamedEntries) + directory->NumberOfIdEntries;
  auto entries = reinterpret_cast<const IMAGE_RESOURCE_DIRECTORY_ENTRY*>(directory + 1);
  if (!image->IsInImage(entries, count * sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY)))
    throw EDgnPeImageError(L"Damaged resource directory");
  for (size_t i = 0; i < count; ++i) Add(image->CreateResourceItem(&entries[i], parentItem));
}

// ---- TDgnPeImage

TDgnPeImage::TDgnPeImage(bool noExceptions) : FNoExceptions(noExceptions) {}

TDgnPeImage::~TDgnPeImage() { Clear(); }

void TDgnPeImage::SetFileName(const std::wstring& name) {
  if (name == FFileName) return;
  Clear();
  FFileName = name;
  if (name.empty()) return;
  // imagehlp takes an ANSI name; a name the code page cannot carry is opened by its short form.
  BOOL lossy = FALSE;
  std::string ansi(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name.c_str(), -1, nullptr, 0, nullptr, nullptr),
                   '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name.c_str(), -1, ansi.data(), static_cast<int>(ansi.size()),
                      nullptr, &lossy);
  if (lossy) {
    wchar_t shortName[MAX_PATH];
    DWORD n = GetShortPathNameW(name.c_str(), shortName, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
      ansi.assign(WideCharToMultiByte(CP_ACP, 0, shortName, -1, nullptr, 0, nullptr, nullptr), '\0');
      WideCharToMultiByte(CP_ACP, 0, shortName, -1, ansi.data(), static_cast<int>(ansi.size()), nullptr, nullptr);
    }
  }
  SetLastError(0);
  if (ImgMapAndLoad(ansi.c_str(), nullptr, &FLoadedImage, TRUE, TRUE)) {
    FMapped = true;
    FMappedSize = FLoadedImage.SizeOfImage;
    // Never trust the recorded size beyond the view the system actually mapped.
    MEMORY_BASIC_INFORMATION mbi;
    if (VirtualQuery(FLoadedImage.MappedAddress, &mbi, sizeof mbi) == sizeof mbi)
      FMappedSize = std::min<size_t>(FMappedSize, mbi.RegionSize);
    FTarget = PeImageTarget(FLoadedImage.MappedAddress);
    if (FTarget == taUnknown) {
      FStatus = TDgnPeImageStatus::stUnknownTarget;
    } else if (!HeadersInImage()) {
      FStatus = TDgnPeImageStatus::stNotPE;
    } else {
      FStatus = TDgnPeImageStatus::stOk;
      ReadImageSections();
      AfterOpen();
    }
  } else {
    FLastError = GetLastError();
    ZeroMemory(&FLoadedImage, sizeof FLoadedImage);
    if (FLastError == 0)
      FStatus = TDgnPeImageStatus::stNotPE;
    else if (FLastError == ERROR_FILE_NOT_FOUND)
      FStatus = TDgnPeImageStatus::stNotFound;
    else
      FStatus = TDgnPeImageStatus::stError;
  }
  RaiseStatusException();
}

// The headers and the section table must lie inside the file: imagehlp walks the section
// table for every RVA it translates.
bool TDgnPeImage::HeadersInImage() const {
  auto nt = reinterpret_cast<const BYTE*>(FLoadedImage.FileHeader);
  size_t fileHeaderEnd = sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
  if (!nt || !IsInImage(nt, fileHeaderEnd)) return false;
  auto fileHeader = reinterpret_cast<const IMAGE_FILE_HEADER*>(nt + sizeof(DWORD));
  size_t minOptional = FTarget == taWin64 ? DataDirOffset64 : DataDirOffset32;
  if (fileHeader->SizeOfOptionalHeader < minOptional) return false;
  size_t sections = size_t(fileHeader->NumberOfSections) * sizeof(IMAGE_SECTION_HEADER);
  return IsInImage(nt, fileHeaderEnd + fileHeader->SizeOfOptionalHeader + sections);
}

void TDgnPeImage::ReadImageSections() {
  auto nt = FLoadedImage.FileHeader;
  auto sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
      reinterpret_cast<const BYTE*>(nt) + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER) +
      nt->FileHeader.SizeOfOptionalHeader);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
    const char* raw = reinterpret_cast<const char*>(sections[i].Name);
    std::string bytes(raw, std::find(raw, raw + IMAGE_SIZEOF_SHORT_NAME, '\0'));
    FImageSectionNames.emplace_back(DecodePeName(bytes), &sections[i]);
  }
}

void TDgnPeImage::RaiseStatusException() {
  if (FNoExceptions) return;
  switch (FStatus) {
    case TDgnPeImageStatus::stNotPE:
      throw EDgnPeImageError(L"This is not a PE format");
    case TDgnPeImageStatus::stUnknownTarget:
      throw EDgnPeImageError(L"Unknown PE target");
    case TDgnPeImageStatus::stNotFound:
      throw EDgnPeImageError(L"Cannot open file \"" + FFileName + L"\"");
    case TDgnPeImageStatus::stError:
      throw EOSError(WideFormat(L"System Error.  Code: %u.\r\n%ls", unsigned(FLastError),
                                DgnSysErrorMessage(FLastError).c_str()),
                     FLastError);
    default:
      break;
  }
}

void TDgnPeImage::Clear() {
  FImageSectionNames.clear();
  FExportList.reset();
  FResourceList.reset();
  // Any mapped file is unmapped, also one of an unknown machine.
  if (!FAttached && FMapped) ImgUnMapAndLoad(&FLoadedImage);
  FMapped = false;
  FMappedSize = 0;
  ZeroMemory(&FLoadedImage, sizeof FLoadedImage);
  FStatus = TDgnPeImageStatus::stNotLoaded;
  FTarget = taUnknown;
  FAttached = false;
  FLastError = 0;
}

TDgnPeExportFuncList& TDgnPeImage::ExportList() {
  if (!FExportList) FExportList = std::make_unique<TDgnPeExportFuncList>(this);
  return *FExportList;
}

TDgnPeResourceList* TDgnPeImage::ResourceList() {
  if (!FResourceList) {
    auto root = static_cast<const IMAGE_RESOURCE_DIRECTORY*>(DirectoryEntryToData(IMAGE_DIRECTORY_ENTRY_RESOURCE));
    if (!root) return nullptr;
    FResourceList.reset(CreateResourceList(root, nullptr));
  }
  return FResourceList.get();
}

const void* TDgnPeImage::DirectoryEntryToData(int index) {
  if (!FMapped || !StatusOK()) return nullptr;
  ULONG size = 0;
  const void* data = ImgDirectoryEntryToData(FLoadedImage.MappedAddress, FAttached, static_cast<USHORT>(index), &size);
  return data && IsInImage(data, 1) ? data : nullptr;
}

std::pair<DWORD, DWORD> TDgnPeImage::DirectoryEntryRvaSize(int index) const {
  if (!StatusOK() || FTarget == taUnknown || index < 0) return {0, 0};
  auto nt = reinterpret_cast<const BYTE*>(FLoadedImage.FileHeader);
  auto fileHeader = reinterpret_cast<const IMAGE_FILE_HEADER*>(nt + sizeof(DWORD));
  const BYTE* optional = nt + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
  DWORD count;
  size_t dirOffset;
  if (FTarget == taWin32) {
    count = reinterpret_cast<const IMAGE_OPTIONAL_HEADER32*>(optional)->NumberOfRvaAndSizes;
    dirOffset = DataDirOffset32;
  } else {
    count = reinterpret_cast<const IMAGE_OPTIONAL_HEADER64*>(optional)->NumberOfRvaAndSizes;
    dirOffset = DataDirOffset64;
  }
  size_t entryOffset = dirOffset + size_t(index) * sizeof(IMAGE_DATA_DIRECTORY);
  if (DWORD(index) >= count || entryOffset + sizeof(IMAGE_DATA_DIRECTORY) > fileHeader->SizeOfOptionalHeader)
    return {0, 0};
  auto entry = reinterpret_cast<const IMAGE_DATA_DIRECTORY*>(optional + entryOffset);
  return {entry->VirtualAddress, entry->Size};
}

const void* TDgnPeImage::RvaToVa(DWORD rva) {
  if (!FMapped) return nullptr;
  if (FAttached) return static_cast<const BYTE*>(FLoadedImage.MappedAddress) + rva;
  return ImgRvaToVa(FLoadedImage.FileHeader, FLoadedImage.MappedAddress, rva);
}

const void* TDgnPeImage::RvaToVaChecked(DWORD rva, uint64_t size) {
  const void* va = RvaToVa(rva);
  return va && IsInImage(va, size) ? va : nullptr;
}

bool TDgnPeImage::IsInImage(const void* address, uint64_t size) const {
  auto base = reinterpret_cast<uintptr_t>(FLoadedImage.MappedAddress);
  auto p = reinterpret_cast<uintptr_t>(address);
  if (!FMapped || p < base || p - base > FMappedSize) return false;
  return size <= uint64_t(FMappedSize - (p - base));
}

bool TDgnPeImage::ReadZString(const void* address, std::string& text) const {
  text.clear();
  if (!IsInImage(address, 1)) return false;
  auto start = static_cast<const char*>(address);
  size_t room = FMappedSize - (reinterpret_cast<uintptr_t>(start) - reinterpret_cast<uintptr_t>(FLoadedImage.MappedAddress));
  const char* end = static_cast<const char*>(memchr(start, '\0', room));
  if (!end) return false;
  text.assign(start, end);
  return true;
}

TDgnPeResourceItem* TDgnPeImage::CreateResourceItem(const IMAGE_RESOURCE_DIRECTORY_ENTRY* entry,
                                                    TDgnPeResourceItem* parent) {
  return new TDgnPeResourceItem(this, entry, parent);
}

TDgnPeResourceList* TDgnPeImage::CreateResourceList(const IMAGE_RESOURCE_DIRECTORY* directory,
                                                    TDgnPeResourceItem* parent) {
  return new TDgnPeResourceList(this, directory, parent);
}
