#include "Tracer/window/uWinDialogs.h"

#include <commdlg.h>

#include <vector>

#include "Tracer/window/uWinForms.h"

namespace {

TFileDialogFunc GFileDialogFunc = nullptr;

bool SystemFileDialog(TFileDialog& dialog, HWND owner) {
  // "a|b|c|d" becomes "a\0b\0c\0d\0\0".
  std::wstring filter = dialog.Filter;
  for (wchar_t& c : filter)
    if (c == L'|') c = L'\0';
  filter.push_back(L'\0');
  filter.push_back(L'\0');
  std::vector<wchar_t> file(32768, L'\0');
  dialog.FileName.copy(file.data(), std::min(dialog.FileName.size(), file.size() - 1));
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = static_cast<DWORD>(dialog.FilterIndex);
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.lpstrInitialDir = dialog.InitialDir.empty() ? nullptr : dialog.InitialDir.c_str();
  ofn.lpstrTitle = dialog.Title.empty() ? nullptr : dialog.Title.c_str();
  ofn.lpstrDefExt = dialog.DefaultExt.empty() ? nullptr : dialog.DefaultExt.c_str();
  ofn.Flags = OFN_EXPLORER | OFN_NOCHANGEDIR | dialog.Options;
  const BOOL chosen = dialog.IsSave() ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn);
  if (!chosen) return false;
  dialog.FileName = file.data();
  dialog.FilterIndex = static_cast<int>(ofn.nFilterIndex);
  return true;
}

class TInputQueryForm : public TForm {
public:
  TInputQueryForm(const std::wstring& caption, const std::wstring& prompt, const std::wstring& value)
      : TForm(nullptr, L"TInputQueryForm", 360, 96, TBorderStyle::Dialog) {
    SetFormFont(L"Arial", -11);
    SetPosition(TFormPosition::ScreenCenter);
    SetCaption(caption);
    new TLabel(this, this, std::wstring(), prompt, 8, 10, 344, 14, TTextAlign::Left, true);
    edtValue = new TEdit(this, this, std::wstring(), 8, 28, 344);
    edtValue->SetText(value);
    auto* ok = new TButton(this, this, std::wstring(), L"OK", 196, 62);
    ok->SetDefault(true);
    ok->SetModalResult(mrOK);
    auto* cancel = new TButton(this, this, std::wstring(), L"Cancel", 277, 62);
    cancel->SetCancel(true);
    cancel->SetModalResult(mrCancel);
  }
  void DoShow() override {
    edtValue->SetFocus();
    edtValue->SelectAll();
  }
  TEdit* edtValue;
};

}  // namespace

bool TFileDialog::Execute(HWND owner) {
  return GFileDialogFunc ? GFileDialogFunc(*this, owner) : SystemFileDialog(*this, owner);
}

TFileDialogFunc SetFileDialogFunc(TFileDialogFunc fn) {
  TFileDialogFunc old = GFileDialogFunc;
  GFileDialogFunc = fn;
  return old;
}

bool InputQuery(const std::wstring& caption, const std::wstring& prompt, std::wstring& value) {
  TInputQueryForm form(caption, prompt, value);
  form.Create();
  if (form.ShowModal() != mrOK) return false;
  value = form.edtValue->Text();
  return true;
}
