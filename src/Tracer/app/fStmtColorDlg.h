// The list of highlight rules, edited in place: new, edit (also by double click) and delete.
// Each row shows the rule's search text and a preview in the rule's colours.
#pragma once
#include "Tracer/app/fTemplateDlg.h"
#include "Tracer/window/uWinActions.h"
#include "Tracer/window/uWinComCtrls.h"

class TStmtColorDlg : public TfrmBaseDlg {
public:
  // images, disabledImages: the main window's pictures (either may be nil).
  TStmtColorDlg(TComponent* owner, TImageList* images, TImageList* disabledImages);

  void FormCreate() override;
  void Translate() override;
  void RefreshList();
  // Edits rule index (-1: a new rule, appended when the editor ends with OK).
  void EditRule(int index);
  void lvwData(int index, std::vector<std::wstring>& texts);

  TToolBar* tbr;
  TActionList* alsRules;
  TAction* actNew;
  TAction* actEdit;
  TAction* actDelete;
  TListView* lvw;
};

// The highlighting action: the rules edited in the dialog, put back as they were unless it
// ends with OK. True when it did (the caller repaints the log either way).
bool EditHighlightRules(TComponent* owner, TImageList* images, TImageList* disabledImages);
