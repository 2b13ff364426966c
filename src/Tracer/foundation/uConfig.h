// The program's settings file, and the version resource of executable files with the
// comparison of dotted version texts.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Tracer/foundation/uSingletons.h"
#include "Tracer/foundation/uXMLFiler.h"

// The settings file "calderwisp.xml" in the per-user folder: a property set named
// "calderwisp:properties" whose entries the main window registers.
class TConfig : public TXMLFiler {
public:
  TConfig();
  // Reads the file when it exists; a missing file leaves every entry as it is. A file that
  // cannot be read as a whole (not parsed, a wrong root, a nameless node at the root) is set
  // aside beside itself under a name no file has yet (".bad", ".bad2", ...), so that the next
  // save cannot destroy it; the error names where it went. What was read before the failure
  // keeps its values, everything else its defaults. Entries that fail one by one are raised
  // together and the file stays: every other entry, item and column is read; the items and
  // columns that failed are saved back as written, and when a failed value cannot be (a value
  // that does not convert), a copy of the file as it was is kept under such a name.
  void Load();
  // Writes the file, replacing the old one only when the new content is complete. Nothing is
  // written while a damaged file could not be set aside.
  void Save();
  // Where the damaged file of the last Load went; empty when none.
  const std::wstring& DamagedCopy() const { return FDamagedCopy; }
  using TFactory = TServiceFactory<TConfig, TSimpleObjectFactory>;

private:
  // Moves or copies the file to the first free ".bad" name; a failure marks the file as not
  // to be saved over and raises e.
  std::wstring KeepBeside(const std::wstring& fileName, bool move, Exception& e);
  std::wstring FDamagedCopy;
  bool FKeepFile = false;
};

std::wstring GetConfigFileName();
TConfig* GetConfig();

// One translation of a version resource and its "FileVersion" string.
class TVarFileInfo : public TObject {
public:
  // LangCodePage: language in the high 16 bits, code page in the low 16 bits.
  explicit TVarFileInfo(uint32_t langCodePage) : LangCodePage(langCodePage) {}
  void ReadFileVersion(const void* versionData);
  uint32_t LangCodePage;
  std::wstring FileVersion;
};

class TVarFileInfoList {
public:
  void Add(std::unique_ptr<TVarFileInfo> item) { FItems.push_back(std::move(item)); }
  int GetCount() const { return static_cast<int>(FItems.size()); }
  TVarFileInfo* GetItem(int index) const;

private:
  std::vector<std::unique_ptr<TVarFileInfo>> FItems;
};

// The version resource of a file; the constructor raises on any failure, naming the call.
class TFileVersion : public TObject {
public:
  explicit TFileVersion(const std::wstring& fileName);
  // "major.minor.release.build" of the fixed information; empty when it is all zero.
  void GetVersionText(std::wstring& text) const;
  const VS_FIXEDFILEINFO& FixedInfo() const { return FFixedInfo; }
  const TVarFileInfoList& Translations() const { return FTranslations; }

private:
  VS_FIXEDFILEINFO FFixedInfo;
  TVarFileInfoList FTranslations;
};

// The fixed version text, else the first non-empty "FileVersion" string; empty when the
// file has neither or cannot be read. Never raises.
std::wstring GetFileVersionText(const std::wstring& fileName);

// Negative when a is the lower version, 0 when equal, positive when higher. a decides how
// many parts are compared; a missing part of b counts as zero. Parts of digits compare as
// numbers ("1.10" is higher than "1.9").
int CompareVersionStrings(std::wstring a, std::wstring b);
// part := the text before the first "." of s, which loses it and the "."; all of s without one.
void ExtractVersionPart(std::wstring& s, std::wstring& part);
int CompareVersionParts(const std::wstring& a, const std::wstring& b);
