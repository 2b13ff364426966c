// The options dialog: a tree of option groups, each a radio group or a check group, whose
// options show their state as a picture (a check box or a radio button) that a click on the
// picture changes. The main window fills it and reads the groups back after OK.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "Tracer/app/fMain.h"
#include "Tracer/app/fTemplateDlg.h"
#include "Tracer/app/uTEQColumns.h"
#include "Tracer/window/uSystemBitmaps.h"
#include "Tracer/window/uWinComCtrls.h"

struct TOption {
  std::wstring Caption;
  bool Checked = false;
};
using TOptionDynArray = std::vector<TOption>;

class TfrmOptions : public TfrmBaseDlg {
public:
  // images: the main window's pictures, holding the storage's check-box and radio pictures.
  TfrmOptions(TComponent* owner, TImageList* images, const TSystemImagesStorage& storage);

  int AddRadioGroup(const std::wstring& caption, int imageIndex, int checkedIndex,
                    const std::vector<std::wstring>& items);
  int AddCheckGroup(const std::wstring& caption, int imageIndex, const TOptionDynArray& items);
  // The checked option of the group, -1 when none is.
  int GetRadioGroupIndex(int groupIndex) const;
  void GetCheckGroup(int groupIndex, TOptionDynArray& items) const;

  // A click on an option's picture (text-left - 16 to text-left, its top to its bottom), at
  // the cursor's position or at a point of the tree's client area.
  void tvwOptionsClick();
  void ClickAt(POINT pt);
  static bool IsOnNodeImage(const RECT& textRect, POINT pt);
  void Translate() override;

  TTreeView* tvwOptions;

protected:
  void DoShow() override;

private:
  HTREEITEM Group(int groupIndex) const;
  const TSystemImagesStorage& FStorage;
  HTREEITEM FRoot;
};

// The options action's dialog: a radio group of time formats and a check group of the log's
// columns, filled from options and, on OK, read back into it. True when it ended with OK.
bool EditMainOptions(TComponent* owner, TImageList* images, const TSystemImagesStorage& storage,
                     TMainOptions& options);
