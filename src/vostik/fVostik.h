// The result window: the statement as prepared and as assembled, and the parameter list.
#pragma once
#include <windows.h>

#include "Tracer/window/uWinComCtrls.h"
#include "Tracer/window/uWinCtrls.h"
#include "Tracer/window/uWinForms.h"

class TSQLAssembler;

class TfrmVostik : public TForm {
public:
  TfrmVostik();

  // Fills the window from the assembler's statement.
  void ShowStatement(TSQLAssembler& assembler);
  // Both memos wrap their lines, or scroll sideways.
  void cbxWrapTextClick();
  bool Wrap() const { return cbxWrapText->Checked(); }

  TSQLAssembler* Assembler = nullptr;  // whose help the help button opens
  TButton* Button1;
  TButton* btnHelp;
  TPanel* pnl;
  TPageControl* pcl;
  TTabSheet* tshOriginalSQL;
  TEdit* memOriginalSQL;
  TTabSheet* tshAssembled;
  TEdit* memAssembledSQL;
  TSplitter* Splitter1;
  TListView* lvwParams;
  TCheckBox* cbxWrapText;

private:
  void btnHelpClick();
  // An edit control wraps only as it was made: the memo is made again with the same text.
  // Wrapped, it scrolls up and down; unwrapped, sideways, and up and down too when vertical.
  void ApplyWrap(TEdit*& memo, TTabSheet* page, const wchar_t* name, bool wrap, bool vertical);
};

// The viewer the assembler uses: the window, modal, owned by the host's main window; answers
// the wrap state it was closed with.
bool ShowVostikWindow(TSQLAssembler& assembler, bool wrap);
