#include "Tracer/foundation/uMultiLanguage.h"

#include <algorithm>

#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "lib/dgn/windows/DgnHandle.h"

namespace {

std::wstring Trim(const std::wstring& s) {
  size_t first = s.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return std::wstring();
  size_t last = s.find_last_not_of(L" \t");
  return s.substr(first, last - first + 1);
}

bool ReadFileBytes(const std::wstring& fileName, std::string& bytes) {
  TDgnHandle h(CreateFileW(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) return false;
  char buffer[65536];
  DWORD done = 0;
  bool ok = true;
  while ((ok = ReadFile(h.Get(), buffer, sizeof buffer, &done, nullptr)) && done) bytes.append(buffer, done);
  return ok;
}

LANGID SystemUserLangId() { return GetUserDefaultLangID(); }

}  // namespace

// ---- TLanguageFile

TLanguageFile::TLanguageFile(std::wstring fileName) : FFileName(std::move(fileName)) {
  std::string bytes;
  if (!ReadFileBytes(FFileName, bytes)) return;
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    FBom = true;
    bytes.erase(0, 3);
  }
  std::wstring section;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t end = bytes.find('\n', pos);
    if (end == std::string::npos) end = bytes.size();
    std::string raw = bytes.substr(pos, end - pos);
    pos = end + 1;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    TLine line;
    line.text = Utf8ToWide(raw);
    std::wstring trimmed = Trim(line.text);
    if (trimmed.size() >= 2 && trimmed.front() == L'[' && trimmed.find(L']') != std::wstring::npos) {
      section = WideUpperCase(Trim(trimmed.substr(1, trimmed.find(L']') - 1)));
      line.section = section;
    } else {
      line.section = section;
      size_t eq = line.text.find(L'=');
      if (eq != std::wstring::npos && !section.empty()) {
        line.key = WideUpperCase(Trim(line.text.substr(0, eq)));
        line.value = Trim(line.text.substr(eq + 1));
        // Quotes around a whole value are not part of it.
        if (line.value.size() >= 2 && (line.value.front() == L'"' || line.value.front() == L'\'') &&
            line.value.back() == line.value.front())
          line.value = line.value.substr(1, line.value.size() - 2);
      }
    }
    FLines.push_back(std::move(line));
  }
}

std::wstring TLanguageFile::ReadString(const std::wstring& section, const std::wstring& key) {
  const std::wstring s = WideUpperCase(Trim(section)), k = WideUpperCase(Trim(key));
  std::lock_guard<std::mutex> lock(FLock);
  for (const TLine& line : FLines)
    if (!line.key.empty() && line.key == k && line.section == s) return line.value;
  return std::wstring();
}

void TLanguageFile::WriteString(const std::wstring& section, const std::wstring& key, const std::wstring& value) {
  const std::wstring s = WideUpperCase(Trim(section)), k = WideUpperCase(Trim(key));
  std::lock_guard<std::mutex> lock(FLock);
  TLine entry{key + L"=" + value, s, k, value};
  auto same = std::find_if(FLines.begin(), FLines.end(),
                           [&](const TLine& l) { return !l.key.empty() && l.key == k && l.section == s; });
  if (same != FLines.end()) {
    *same = entry;
  } else {
    // After the last non-empty line of the section, or in a new section at the end.
    auto last = FLines.end();
    for (auto it = FLines.begin(); it != FLines.end(); ++it)
      if (it->section == s && !Trim(it->text).empty()) last = it;
    if (last == FLines.end()) {
      if (!FLines.empty() && !Trim(FLines.back().text).empty()) FLines.push_back(TLine{L"", L"", L"", L""});
      FLines.push_back(TLine{L"[" + section + L"]", s, L"", L""});
      FLines.push_back(entry);
    } else {
      FLines.insert(last + 1, entry);
    }
  }
  std::string bytes = FBom ? "\xEF\xBB\xBF" : "";
  for (const TLine& line : FLines) bytes += WideToUtf8(line.text) + "\r\n";
  TDgnHandle h(CreateFileW(FFileName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr));
  if (!h) return;  // a read-only folder only loses the hint for translators
  DWORD done = 0;
  WriteFile(h.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
}

// ---- TMultiLanguage

TMultiLanguage::TMultiLanguage() : TMultiLanguage(ProgramFolder(), SystemUserLangId) {}

TMultiLanguage::TMultiLanguage(const std::wstring& programFolder, TUserLangIdFunc userLangId)
    : FLanguageFolder(WideExcludeTrailingPathDelimiter(programFolder) + L"\\lang"), FUserLangId(userLangId) {
  ReadLanguages();
}

TMultiLanguage::~TMultiLanguage() = default;

void TMultiLanguage::ReadLanguages() {
  FLanguages.clear();
  WIN32_FIND_DATAW data;
  TDgnFindHandle find(FindFirstFileW((FLanguageFolder + L"\\*.lng").c_str(), &data));
  if (!find) return;
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    std::wstring name = data.cFileName;
    for (size_t p; (p = name.find(L".lng")) != std::wstring::npos;) name.erase(p, 4);
    FLanguages.push_back(name);
  } while (FindNextFileW(find.Get(), &data));
  find.Reset();
  std::sort(FLanguages.begin(), FLanguages.end(), [](const std::wstring& a, const std::wstring& b) {
    return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) == CSTR_LESS_THAN;
  });
}

void TMultiLanguage::GetLanguage(std::wstring& name) {
  {
    std::lock_guard<std::mutex> lock(FLock);
    if (!FLanguage.empty()) {
      name = FLanguage;
      return;
    }
  }
  std::wstring chosen = L"English";
  switch (FUserLangId() & 0xFF) {
    case 0x07: chosen = L"German"; break;
    case 0x0C: chosen = L"French"; break;
    case 0x13:
    case 0x36: chosen = L"Dutch"; break;
    case 0x19:
    case 0x22:
    case 0x23: chosen = L"Russian"; break;
  }
  if (std::find(FLanguages.begin(), FLanguages.end(), chosen) == FLanguages.end()) chosen = L"English";
  if (chosen == L"English") {
    std::lock_guard<std::mutex> lock(FLock);
    FLanguage = chosen;
  } else {
    SetLanguage(chosen);
  }
  std::lock_guard<std::mutex> lock(FLock);
  name = FLanguage;
}

void TMultiLanguage::SetLanguage(const std::wstring& name) {
  {
    std::lock_guard<std::mutex> lock(FLock);
    if (name == FLanguage) return;
  }
  // Read outside the lock; the old file dies with the last translation still using it.
  auto file = std::make_shared<TLanguageFile>(FLanguageFolder + L"\\" + name + L".lng");
  std::lock_guard<std::mutex> lock(FLock);
  FLanguage = name;
  FIniFile = std::move(file);
}

std::shared_ptr<TLanguageFile> TMultiLanguage::IniFile() {
  std::lock_guard<std::mutex> lock(FLock);
  return FIniFile;
}

void TMultiLanguage::Translate(const std::string& section, const std::string& key, std::wstring& text,
                               const std::wstring& defaultText) {
  text = defaultText;
  std::shared_ptr<TLanguageFile> file = IniFile();
  if (text.empty() || !file) return;
  const std::wstring s = AnsiToWide(section), k = AnsiToWide(key);
  std::wstring value = file->ReadString(s, k);
  if (!value.empty()) {
    UnescapeLineBreaks(value, text);
  } else if (FWriteMissingEntries) {
    std::wstring escaped;
    EscapeLineBreaks(defaultText, escaped);
    file->WriteString(s, L"#" + k, escaped);
  }
}

void TMultiLanguage::MessageText(const std::string& name, const std::wstring& defaultText, std::wstring& text) {
  Translate("Messages", name, text, defaultText);
}

std::wstring TMultiLanguage::MessageText(const TMessageId& id) {
  std::wstring text;
  MessageText(id.Name, id.Default, text);
  // A format is formatted with the arguments its built-in text takes: a translation that would
  // read others, other kinds or fields beyond Format's bound is not used.
  if (id.IsFormat && FormatConversions(text) != FormatConversions(id.Default)) text = id.Default;
  return text;
}

void TMultiLanguage::TranslateProperties(const std::string& section, TPersistent& component,
                                         const std::vector<std::wstring>& propNames, const std::string& prefix) {
  const std::string keyPrefix = prefix.empty() ? std::string() : prefix + ".";
  for (const std::wstring& name : propNames) {
    const TPropInfo* prop = component.GetPropTable().Find(name);
    if (!prop || prop->Kind != TPropKind::pkWideString || !prop->IsWritable()) continue;
    const std::wstring current = prop->GetValue(&component).AsBSTRText();
    std::wstring text;
    Translate(section, keyPrefix + WideToAnsi(name), text, current);
    if (text != current) prop->SetValue(&component, TOleVariant(text));
  }
}

TMultiLanguage* GetMultiLanguage() {
  static TObject* instance = nullptr;
  static const TMultiLanguage::TFactory factory;
  return GetServiceInstance<TMultiLanguage>(factory, instance);
}
