// Translation of the user-visible texts from language files "<Language>.lng" in the folder
// "lang" beside the program. English is the built-in texts and needs no file.
//
// A language file is an INI file in UTF-8 (an optional byte-order mark is skipped): sections in
// brackets, key=value lines; sections and keys are compared without regard to letter case; the
// two characters "\n" in a value stand for a line break; an empty value is no translation.
#pragma once
#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Tracer/foundation/uPersistent.h"
#include "Tracer/foundation/uSingletons.h"
#include "lib/rtl/SysUtils.h"

// One language file held in memory; lookups and writes are serialised by its own lock, so
// readers on other threads may use it while entries are written.
class TLanguageFile {
public:
  // Reads the file when it exists; a missing or unreadable file has no entries.
  explicit TLanguageFile(std::wstring fileName);
  const std::wstring& FileName() const { return FFileName; }
  // The value of key in section, or empty.
  std::wstring ReadString(const std::wstring& section, const std::wstring& key);
  // Sets key in section (adding the section or the line when missing) and saves the file.
  void WriteString(const std::wstring& section, const std::wstring& key, const std::wstring& value);

private:
  struct TLine {
    std::wstring text;     // as in the file
    std::wstring section;  // upper-cased name of the section the line belongs to
    std::wstring key;      // upper-cased key, empty for other lines
    std::wstring value;
  };
  std::wstring FFileName;
  std::vector<TLine> FLines;
  bool FBom = false;
  std::mutex FLock;
};

// A text with an identifier and its English default (section "Messages"). A format (the text
// the program hands to Format) takes only a translation that reads the same arguments.
struct TMessageId {
  const char* Name;
  const wchar_t* Default;
  bool IsFormat = false;
};

inline constexpr TMessageId SNoLoadedSymbols{"SNoLoadedSymbols", L"First load debug symbols for your application!"};
inline constexpr TMessageId SAdditionalParams{"SAdditionalParams", L"Command-line parameters:"};
inline constexpr TMessageId SActiveSessionAbort{"SActiveSessionAbort", L"Debug session is active. Abort?"};
inline constexpr TMessageId SRecordXFromY{"SRecordXFromY", L"Record %d from %d", true};
inline constexpr TMessageId STimeFormat{"STimeFormat", L"Time format"};
inline constexpr TMessageId SVisibleColumns{"SVisibleColumns", L"Columns"};
inline constexpr TMessageId SActive{"SActive", L"Active"};
inline constexpr TMessageId SVisible{"SVisible", L"Visible"};
inline constexpr TMessageId SError{"SError", L"Error"};
inline constexpr TMessageId SStart{"SStart", L"Start"};
inline constexpr TMessageId SFinish{"SFinish", L"Finish"};
inline constexpr TMessageId SSendErrorReport{"SSendErrorReport", L"Report error"};
inline constexpr TMessageId SErrorAttachProcess{"SErrorAttachProcess", L"Error attaching to process"};
inline constexpr TMessageId SErrorCreateProcess{"SErrorCreateProcess", L"Error creating process"};
inline constexpr TMessageId SErrorSaveLog{"SErrorSaveLog", L"Error saving log"};

class TMultiLanguage : public TObject {
public:
  using TUserLangIdFunc = LANGID (*)();

  // Languages of the folder "lang" beside the program; the user's language decides the first
  // choice.
  TMultiLanguage();
  // The same for another program folder and source of the user's language (tests).
  TMultiLanguage(const std::wstring& programFolder, TUserLangIdFunc userLangId);
  ~TMultiLanguage() override;
  TMultiLanguage(const TMultiLanguage&) = delete;
  TMultiLanguage& operator=(const TMultiLanguage&) = delete;

  // Lists the names of the "*.lng" files of the language folder, sorted, with ".lng" removed.
  void ReadLanguages();
  // The current language, choosing one from the user's language the first time.
  void GetLanguage(std::wstring& name);
  // Switches to name and opens its file (missing: no entries). Safe while other threads
  // translate: they finish with the file they started with.
  void SetLanguage(const std::wstring& name);
  // text := the translation of section/key, or defaultText (an empty default is never looked
  // up). With WriteMissingEntries, a missing entry is written as "#" + key = default.
  void Translate(const std::string& section, const std::string& key, std::wstring& text,
                 const std::wstring& defaultText);
  void MessageText(const std::string& name, const std::wstring& defaultText, std::wstring& text);
  // For a format, a translation whose conversions (FormatConversions) differ from the default's
  // gives the default.
  std::wstring MessageText(const TMessageId& id);
  // Translates the named string properties of one object, in order, under the keys prefix +
  // "." + name (just the name when prefix is empty); names it has no string property of are
  // skipped. The current value is the default.
  void TranslateProperties(const std::string& section, TPersistent& component,
                           const std::vector<std::wstring>& propNames, const std::string& prefix);

  const std::vector<std::wstring>& Languages() const { return FLanguages; }
  // Folder of the language files, with no trailing delimiter.
  const std::wstring& LanguageFolder() const { return FLanguageFolder; }
  bool WriteMissingEntries() const { return FWriteMissingEntries; }
  void SetWriteMissingEntries(bool value) { FWriteMissingEntries = value; }

  using TFactory = TServiceFactory<TMultiLanguage, TSimpleObjectFactory>;

private:
  std::shared_ptr<TLanguageFile> IniFile();

  std::wstring FLanguageFolder;
  TUserLangIdFunc FUserLangId;
  std::shared_ptr<TLanguageFile> FIniFile;  // nil while English is built in
  std::atomic<bool> FWriteMissingEntries{false};
  std::vector<std::wstring> FLanguages;
  std::wstring FLanguage;
  std::mutex FLock;  // guards FIniFile and FLanguage
};

TMultiLanguage* GetMultiLanguage();

// The translated text of a message, or its built-in one.
inline std::wstring Message(const TMessageId& id) { return GetMultiLanguage()->MessageText(id); }
