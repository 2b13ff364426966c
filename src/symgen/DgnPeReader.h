// A PE image mapped read-only through imagehlp, with its sections and its export and
// resource directories. Everything read from the file is checked against the mapped size
// first: a truncated or hostile file raises an error, never a fault.
#pragma once
#include <windows.h>
#include <imagehlp.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lib/rtl/SysUtils.h"

enum class TDgnPeImageStatus { stNotLoaded, stOk, stNotPE, stUnknownTarget, stNotFound, stError };

// Machine of an image: 0 any other, 1 x86, 2 x64.
enum TDgnPeTarget { taUnknown = 0, taWin32 = 1, taWin64 = 2 };

class TDgnPeImage;

// Base of the directory lists of an image: owns its items.
class TDgnPeImageBaseList : public TObject {
public:
  explicit TDgnPeImageBaseList(TDgnPeImage* image) : FImage(image) {}
  TDgnPeImage* Image() const { return FImage; }
  int Count() const { return static_cast<int>(FList.size()); }

protected:
  void Add(TObject* item) { FList.emplace_back(item); }
  TObject* Get(int index) const;

private:
  TDgnPeImage* FImage;
  std::vector<std::unique_ptr<TObject>> FList;
};

class TDgnPeExportFuncList;

// One named export. Names are kept as UTF-16 so that any name survives until it is written.
class TDgnPeExportFuncItem : public TObject {
public:
  TDgnPeExportFuncItem(TDgnPeExportFuncList* list, std::wstring name, std::wstring forwardedName, DWORD address,
                       int hint, WORD ordinal);
  TDgnPeExportFuncList* List() const { return FList; }
  const std::wstring& Name() const { return FName; }
  // The forwarder text ("NTDLL.RtlAllocateHeap"), empty when the export is not forwarded.
  const std::wstring& ForwardedName() const { return FForwardedName; }
  // The part after the forwarder's first dot ("RtlAllocateHeap").
  const std::wstring& ForwardedFunction() const { return FForwardedFunction; }
  bool IsForwarded() const { return !FForwardedName.empty(); }
  DWORD Address() const { return FAddress; }
  int Hint() const { return FHint; }
  WORD Ordinal() const { return FOrdinal; }

private:
  TDgnPeExportFuncList* FList;
  std::wstring FName;
  std::wstring FForwardedName;
  std::wstring FForwardedFunction;
  DWORD FAddress;
  int FHint;
  WORD FOrdinal;
};

// The named exports in name-table order; exports with an ordinal only get no item.
class TDgnPeExportFuncList : public TDgnPeImageBaseList {
public:
  explicit TDgnPeExportFuncList(TDgnPeImage* image);
  TDgnPeExportFuncItem* Items(int index) const { return static_cast<TDgnPeExportFuncItem*>(Get(index)); }
  const IMAGE_EXPORT_DIRECTORY* ExportDir() const { return FExportDir; }
  DWORD Base() const { return FBase; }
  DWORD FunctionsCount() const { return FFunctionsCount; }
  bool AnyForwardedFunction() const { return FAnyForwardedFunction; }
  // The DLLs that forwarded exports lead to, each once, in the order first met.
  const std::vector<std::wstring>& ForwardedLibs() const { return FForwardedLibs; }

private:
  void CreateList();

  const IMAGE_EXPORT_DIRECTORY* FExportDir = nullptr;
  DWORD FBase = 0;
  DWORD FFunctionsCount = 0;
  bool FAnyForwardedFunction = false;
  std::vector<std::wstring> FForwardedLibs;
};

class TDgnPeResourceList;

// One entry of a resource directory; a subdirectory entry has its own list.
class TDgnPeResourceItem : public TObject {
public:
  TDgnPeResourceItem(TDgnPeImage* image, const IMAGE_RESOURCE_DIRECTORY_ENTRY* entry, TDgnPeResourceItem* parent);
  ~TDgnPeResourceItem() override;
  TDgnPeImage* Image() const { return FImage; }
  const IMAGE_RESOURCE_DIRECTORY_ENTRY* Entry() const { return FEntry; }
  TDgnPeResourceItem* ParentItem() const { return FParentItem; }
  int Level() const { return FLevel; }
  bool IsDirectory() const;
  bool IsName() const;
  // The entry's name, or its id as "#123".
  std::wstring Name() const;
  // The items of the subdirectory, nil for a data entry.
  TDgnPeResourceList* List();

private:
  TDgnPeImage* FImage;
  const IMAGE_RESOURCE_DIRECTORY_ENTRY* FEntry;
  TDgnPeResourceItem* FParentItem;
  int FLevel;
  std::unique_ptr<TDgnPeResourceList> FList;
};

class TDgnPeResourceList : public TDgnPeImageBaseList {
public:
  TDgnPeResourceList(TDgnPeImage* image, const IMAGE_RESOURCE_DIRECTORY* directory, TDgnPeResourceItem* parentItem);
  TDgnPeResourceItem* Items(int index) const { return static_cast<TDgnPeResourceItem*>(Get(index)); }
  const IMAGE_RESOURCE_DIRECTORY* Directory() const { return FDirectory; }
  TDgnPeResourceItem* ParentItem() const { return FParentItem; }

private:
  const IMAGE_RESOURCE_DIRECTORY* FDirectory;
  TDgnPeResourceItem* FParentItem;
};

class TDgnPeImage : public TObject {
public:
  explicit TDgnPeImage(bool noExceptions = false);
  ~TDgnPeImage() override;

  // Maps the named file (see the .cpp); the only way in for the generator.
  void SetFileName(const std::wstring& name);
  const std::wstring& FileName() const { return FFileName; }
  TDgnPeImageStatus Status() const { return FStatus; }
  bool StatusOK() const { return FStatus == TDgnPeImageStatus::stOk; }
  int Target() const { return FTarget; }
  bool Attached() const { return FAttached; }
  bool ReadOnly() const { return FReadOnly; }
  const LOADED_IMAGE& LoadedImage() const { return FLoadedImage; }
  const std::vector<std::pair<std::wstring, const IMAGE_SECTION_HEADER*>>& ImageSectionNames() const {
    return FImageSectionNames;
  }

  // Built on first use, freed by Clear.
  TDgnPeExportFuncList& ExportList();
  // Nil when the image has no resource directory.
  TDgnPeResourceList* ResourceList();

  // The data of directory Index, nil when it is absent or lies outside the mapped file.
  const void* DirectoryEntryToData(int index);
  // RVA and size of directory Index from the optional header; both 0 when not available.
  std::pair<DWORD, DWORD> DirectoryEntryRvaSize(int index) const;
  const void* RvaToVa(DWORD rva);
  // RvaToVa, answering nil unless Size bytes from there lie inside the mapped file.
  const void* RvaToVaChecked(DWORD rva, uint64_t size);
  // True when Size bytes at Address lie inside the mapped file.
  bool IsInImage(const void* address, uint64_t size) const;
  // The NUL-terminated text at Address; False when it runs past the end of the mapped file.
  bool ReadZString(const void* address, std::string& text) const;

  virtual TDgnPeResourceItem* CreateResourceItem(const IMAGE_RESOURCE_DIRECTORY_ENTRY* entry,
                                                 TDgnPeResourceItem* parent);
  virtual TDgnPeResourceList* CreateResourceList(const IMAGE_RESOURCE_DIRECTORY* directory,
                                                 TDgnPeResourceItem* parent);
  virtual void Clear();

protected:
  virtual void AfterOpen() {}
  void RaiseStatusException();

private:
  bool HeadersInImage() const;
  void ReadImageSections();

  LOADED_IMAGE FLoadedImage{};
  std::wstring FFileName;
  TDgnPeImageStatus FStatus = TDgnPeImageStatus::stNotLoaded;
  int FTarget = taUnknown;
  bool FAttached = false;
  bool FNoExceptions;
  bool FReadOnly = true;
  std::vector<std::pair<std::wstring, const IMAGE_SECTION_HEADER*>> FImageSectionNames;
  std::unique_ptr<TDgnPeExportFuncList> FExportList;
  std::unique_ptr<TDgnPeResourceList> FResourceList;
  bool FMapped = false;
  DWORD FLastError = 0;
  size_t FMappedSize = 0;
};

// UTF-8 bytes to UTF-16; False and an empty text on an invalid sequence.
bool TryUTF8ToWideString(const std::string& bytes, std::wstring& text);
// A name from the image: UTF-8 when it decodes, else its raw bytes in the ANSI code page.
std::wstring DecodePeName(const std::string& bytes);
