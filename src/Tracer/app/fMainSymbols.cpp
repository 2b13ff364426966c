#include "Tracer/app/fMainSymbols.h"

#include <algorithm>
#include <vector>

#include "Tracer/app/uInterfaceServices.h"
#include "Tracer/engine/uProcDefs.h"
#include "Tracer/engine/uSymbolFiles.h"
#include "Tracer/foundation/uErrorReport.h"
#include "Tracer/foundation/uMultiLanguage.h"

// Assertions name the main window's unit, as before the tab had one of its own.
static const wchar_t* const UnitPath = L"src/Tracer/fMain";

namespace {

std::wstring CommaText(const std::vector<std::wstring>& parts) {
  std::wstring s;
  for (const std::wstring& p : parts) s += (s.empty() ? L"" : L", ") + p;
  return s;
}

}  // namespace

std::wstring ProcDefRowText(TProcDef* def) {
  std::vector<std::wstring> flags;
  if (def->GetActive()) flags.push_back(Message(SActive));
  if (def->GetVisible()) flags.push_back(Message(SVisible));
  const std::wstring text = CommaText(flags);
  return text.empty() ? def->GetTitle() : def->GetTitle() + L"   (" + text + L")";
}

void FitSingleColumn(TListView& list) {
  CW_ASSERT(list.ColumnCount() == 1, UnitPath, __LINE__);
  list.SetColumnWidth(0, list.Width() - 5);
  list.SetColumnWidth(0, list.Width() - 4);
}

void TMainSymbolsPage::FillSymbolFiles() {
  TSymbolFiles* files = GetSymbolFiles();
  std::vector<std::wstring> paths;
  {
    TSymbolFilesEnumerator e(files, UnitPath, __LINE__);
    while (e.MoveNext()) paths.push_back(e.GetCurrent()->GetFileName());
  }
  std::sort(paths.begin(), paths.end(),
            [](const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) < 0; });
  FFillingSymbolFiles = true;
  lvwSymbolFiles->BeginUpdate();
  try {
    lvwSymbolFiles->Clear();
    for (const std::wstring& path : paths) {
      TSymbolFile* file = nullptr;
      CW_ASSERT(files->FindFile(path, file), UnitPath, __LINE__);
      const int index = lvwSymbolFiles->AddItem(file->GetName());
      lvwSymbolFiles->SetChecked(index, file->IsLoaded());
      // Attached after the box is set: filling never loads or unloads a file.
      lvwSymbolFiles->SetItemData(index, reinterpret_cast<LPARAM>(file));
    }
  } catch (...) {
    FFillingSymbolFiles = false;
    lvwSymbolFiles->EndUpdate();
    throw;
  }
  FFillingSymbolFiles = false;
  lvwSymbolFiles->EndUpdate();
}

void TMainSymbolsPage::lvwSymbolFilesChange(int index) {
  if (FDestroying || FFillingSymbolFiles || index < 0) return;
  auto* file = reinterpret_cast<TSymbolFile*>(lvwSymbolFiles->ItemData(index));
  if (!file) return;
  // Every box follows its file afterwards, also when a load failed (loading one file may
  // unload conflicting ones; a failed one is not loaded, and its box must not ask again).
  auto resync = [this] {
    FFillingSymbolFiles = true;
    for (int i = 0; i < lvwSymbolFiles->ItemCount(); ++i)
      if (auto* f = reinterpret_cast<TSymbolFile*>(lvwSymbolFiles->ItemData(i)))
        if (lvwSymbolFiles->Checked(i) != f->IsLoaded()) lvwSymbolFiles->SetChecked(i, f->IsLoaded());
    FFillingSymbolFiles = false;
  };
  try {
    const bool checked = lvwSymbolFiles->Checked(index);
    if (checked != file->IsLoaded()) {
      try {
        if (checked)
          file->Load();
        else
          file->Unload(true);
      } catch (...) {
        resync();
        throw;
      }
      resync();
    }
  } catch (...) {
    RefreshProcDefs();
    throw;
  }
  RefreshProcDefs();
}

TSymbolFile* TMainSymbolsPage::GetSelectedSymbolFile() {
  int index = lvwSymbolFiles->ItemIndex();
  if (index < 0) index = static_cast<int>(lvwSymbolFiles->Perform(LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
  if (index < 0) return nullptr;
  auto* file = reinterpret_cast<TSymbolFile*>(lvwSymbolFiles->ItemData(index));
  CW_ASSERT(file != nullptr, UnitPath, __LINE__);
  return file;
}

void TMainSymbolsPage::RefreshProcDefs() {
  TSymbolFile* file = GetSelectedSymbolFile();
  FillProcDefs(file);
  UpdateProcDefIcons(file);
}

void TMainSymbolsPage::FillProcDefs(TSymbolFile* file) {
  lvwProcDefs->BeginUpdate();
  lvwProcDefs->Clear();
  if (file && file->IsLoaded()) {
    TProcDefsEnumerator e(file->GetProcs(), UnitPath, __LINE__);
    while (e.MoveNext()) lvwProcDefs->AddItem(ProcDefRowText(e.GetCurrent()), reinterpret_cast<LPARAM>(e.GetCurrent()));
  }
  lvwProcDefs->EndUpdate();
}

void TMainSymbolsPage::UpdateProcDefIcons(TSymbolFile* file) {
  if (!file || !file->IsLoaded()) return;
  lvwProcDefs->BeginUpdate();
  for (int i = 0; i < lvwProcDefs->ItemCount(); ++i) {
    auto* def = reinterpret_cast<TProcDef*>(lvwProcDefs->ItemData(i));
    CW_ASSERT(def != nullptr, UnitPath, __LINE__);
    lvwProcDefs->SetItemStateImage(i, FSystemImages->CheckBoxImageIndex(def->GetActive()));
    lvwProcDefs->SetItemImage(i, FSystemImages->CheckBoxImageIndex(def->GetVisible()));
  }
  lvwProcDefs->EndUpdate();
}

void TMainSymbolsPage::lvwProcDefsClick() {
  POINT pt;
  GetCursorPos(&pt);
  ScreenToClient(lvwProcDefs->Handle(), &pt);
  UINT flags = 0;
  const int index = lvwProcDefs->ItemAt(pt, &flags);
  if (index < 0) return;
  auto* def = reinterpret_cast<TProcDef*>(lvwProcDefs->ItemData(index));
  CW_ASSERT(def != nullptr, UnitPath, __LINE__);
  if (flags & LVHT_ONITEMICON)
    def->SetVisible(!def->GetVisible());
  else if (flags & LVHT_ONITEMSTATEICON)
    def->SetActive(!def->GetActive());
  UpdateProcDefIcons(GetSelectedSymbolFile());
}
