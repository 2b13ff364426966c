// The common file dialogs and the one-line input box. The file dialogs show through a
// replaceable function, since a modal system dialog would block a test under the virtual
// display; the input box is our own form, which tests drive.
#pragma once
#include <windows.h>

#include <string>

// The open and save dialogs of the system. Filter: "text|pattern|text|pattern...".
class TFileDialog {
public:
  explicit TFileDialog(bool save) : FSave(save) {}
  bool IsSave() const { return FSave; }

  std::wstring Filter;
  // One-based, as the system counts; the chosen filter after Execute.
  int FilterIndex = 1;
  std::wstring InitialDir;
  std::wstring FileName;
  std::wstring DefaultExt;
  std::wstring Title;
  // OFN_* flags beyond the ones every dialog gets (explorer style, no folder change).
  DWORD Options = 0;

  // Shows the dialog owned by owner; true with FileName and FilterIndex set when the user
  // chose a file.
  bool Execute(HWND owner);

private:
  bool FSave;
};

using TFileDialogFunc = bool (*)(TFileDialog& dialog, HWND owner);
// nullptr: the system's dialogs. Answers the function it replaced.
TFileDialogFunc SetFileDialogFunc(TFileDialogFunc fn);

// A small modal form with a prompt, an edit holding value, OK and Cancel; true on OK with
// value set to the edited text.
bool InputQuery(const std::wstring& caption, const std::wstring& prompt, std::wstring& value);
