#include "Tracer/window/uWinDialogs.h"

#include <cderr.h>
#include <commdlg.h>

#include <vector>

#include "Tracer/foundation/uGuards.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "Tracer/window/uWinForms.h"
#include "lib/rtl/SysUtils.h"

namespace {

TFileDialogFunc GFileDialogFunc = nullptr;

// A start folder the dialog can take: one that exists and fits its buffers.
bool UsableFolder(const std::wstring& folder) {
  if (folder.empty() || folder.size() >= MAX_PATH) return false;
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

std::wstring FileDialogErrorText(DWORD error) {
  switch (error) {
    case FNERR_BUFFERTOOSMALL: return L"The file name is longer than a path can be.";
    case FNERR_INVALIDFILENAME: return L"The file name is not valid.";
    default: return WideFormat(L"The file dialog failed (error 0x%04X).", static_cast<unsigned>(error));
  }
}

namespace {

// The dialog's own handling of OK copies the typed name, with its folder, into buffers of
// MAX_PATH characters (Wine's overruns them). A name that makes a longer path is taken here,
// before the dialog sees it: the dialog is subclassed from its hook.
struct TLongNameState {
  TFileDialog* Dialog;
  WNDPROC DialogProc = nullptr;
  bool Taken = false;    // a long name was chosen and is in Dialog->FileName
  bool TooLong = false;  // longer than any path
};

const wchar_t* const LongNameProp = L"CalderwispLongName";
constexpr int FileTypeCombo = 0x470, FileNameCombo = 0x47c, FileNameEdit = 0x480;

std::wstring WindowText(HWND w) {
  std::wstring s(static_cast<size_t>(GetWindowTextLengthW(w)) + 1, L'\0');
  s.resize(static_cast<size_t>(GetWindowTextW(w, s.data(), static_cast<int>(s.size()))));
  return s;
}

// The extension of the chosen file type's first pattern ("*.csv": "csv"), else the default.
std::wstring ChosenExtension(const TFileDialog& dialog, int filterIndex) {
  std::vector<std::wstring> parts;
  for (size_t from = 0;;) {
    const size_t bar = dialog.Filter.find(L'|', from);
    parts.push_back(dialog.Filter.substr(from, bar - from));
    if (bar == std::wstring::npos) break;
    from = bar + 1;
  }
  const size_t pattern = static_cast<size_t>(filterIndex) * 2 - 1;
  if (pattern < parts.size()) {
    std::wstring ext = parts[pattern].substr(0, parts[pattern].find(L';'));
    if (ext.rfind(L"*.", 0) == 0 && ext.find_first_of(L"*?", 2) == std::wstring::npos) return ext.substr(2);
  }
  return dialog.DefaultExt;
}

bool TakeLongName(HWND dlg, TLongNameState& state) {
  HWND edit = GetDlgItem(dlg, FileNameEdit);
  if (!edit || !IsWindowVisible(edit)) edit = GetDlgItem(dlg, FileNameCombo);
  const std::wstring name = edit ? WindowText(edit) : std::wstring();
  if (name.empty()) return false;
  std::wstring path = name;
  if (!(name.size() > 2 && name[1] == L':' && name[2] == L'\\') && name.rfind(L"\\\\", 0) != 0) {
    wchar_t folder[MAX_PATH] = {};
    if (SendMessageW(dlg, CDM_GETFOLDERPATH, MAX_PATH, reinterpret_cast<LPARAM>(folder)) <= 0) return false;
    path = folder;
    if (!path.empty() && path.back() != L'\\') path += L'\\';
    path += name;
  }
  const LRESULT type = SendMessageW(GetDlgItem(dlg, FileTypeCombo), CB_GETCURSEL, 0, 0);
  const int filterIndex = type >= 0 ? static_cast<int>(type) + 1 : state.Dialog->FilterIndex;
  const std::wstring ext = ChosenExtension(*state.Dialog, filterIndex);
  if (state.Dialog->IsSave() && !ext.empty() && path.find(L'.', path.find_last_of(L'\\') + 1) == std::wstring::npos)
    path += L"." + ext;
  if (path.size() < MAX_PATH) return false;  // the dialog's own road
  if (path.size() >= 32767) {
    state.TooLong = true;
  } else {
    if ((state.Dialog->Options & OFN_OVERWRITEPROMPT) &&
        GetFileAttributesW(LongPathForm(path).c_str()) != INVALID_FILE_ATTRIBUTES &&
        ShowMessageBox(path + L" already exists.\r\nDo you want to replace it?", MB_YESNO | MB_ICONWARNING) != IDYES)
      return true;
    state.Dialog->FileName = path;
    state.Dialog->FilterIndex = filterIndex;
    state.Taken = true;
  }
  PostMessageW(dlg, WM_COMMAND, IDCANCEL, 0);
  return true;
}

LRESULT CALLBACK LongNameDialogProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  auto* state = static_cast<TLongNameState*>(GetPropW(dlg, LongNameProp));
  if (!state) return DefDlgProcW(dlg, msg, wp, lp);
  const WNDPROC dialogProc = state->DialogProc;
  if (msg == WM_COMMAND && LOWORD(wp) == IDOK && !state->Taken && !state->TooLong &&
      WindowProcGuard(false, [&] { return TakeLongName(dlg, *state); }))
    return 0;
  if (msg == WM_NCDESTROY) {
    SetWindowLongPtrW(dlg, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(dialogProc));
    RemovePropW(dlg, LongNameProp);
  }
  return CallWindowProcW(dialogProc, dlg, msg, wp, lp);
}

UINT_PTR CALLBACK FileDialogHook(HWND child, UINT msg, WPARAM, LPARAM lp) {
  if (msg != WM_INITDIALOG) return 0;
  auto* state = reinterpret_cast<TLongNameState*>(reinterpret_cast<OPENFILENAMEW*>(lp)->lCustData);
  HWND dlg = GetParent(child);
  SetPropW(dlg, LongNameProp, state);
  state->DialogProc =
      reinterpret_cast<WNDPROC>(SetWindowLongPtrW(dlg, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(LongNameDialogProc)));
  return 0;
}

bool SystemFileDialog(TFileDialog& dialog, HWND owner) {
  // "a|b|c|d" becomes "a\0b\0c\0d\0\0".
  std::wstring filter = dialog.Filter;
  for (wchar_t& c : filter)
    if (c == L'|') c = L'\0';
  filter.push_back(L'\0');
  filter.push_back(L'\0');
  // Room for the longest path the system has; the dialog's own buffers hold a proposed name
  // and a start folder only within the classic limit.
  std::vector<wchar_t> file(32768, L'\0');
  if (dialog.FileName.size() < MAX_PATH) dialog.FileName.copy(file.data(), dialog.FileName.size());
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = static_cast<DWORD>(dialog.FilterIndex);
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.lpstrInitialDir = UsableFolder(dialog.InitialDir) ? dialog.InitialDir.c_str() : nullptr;
  ofn.lpstrTitle = dialog.Title.empty() ? nullptr : dialog.Title.c_str();
  ofn.lpstrDefExt = dialog.DefaultExt.empty() ? nullptr : dialog.DefaultExt.c_str();
  ofn.Flags = OFN_EXPLORER | OFN_NOCHANGEDIR | OFN_ENABLEHOOK | dialog.Options;
  TLongNameState state{&dialog};
  ofn.lpfnHook = FileDialogHook;
  ofn.lCustData = reinterpret_cast<LPARAM>(&state);
  // A dialog that fails may leave its owner disabled: the owner comes back in every case.
  const bool ownerEnabled = owner && IsWindowEnabled(owner);
  const BOOL chosen = dialog.IsSave() ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn);
  const DWORD error = chosen ? 0 : CommDlgExtendedError();
  if (ownerEnabled && !IsWindowEnabled(owner)) EnableWindow(owner, TRUE);
  if (error) throw Exception(FileDialogErrorText(error));
  if (state.TooLong) throw Exception(FileDialogErrorText(FNERR_BUFFERTOOSMALL));
  if (state.Taken) return true;
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
