// The main window's "Symbols" tab: the symbol files, a box each to load or unload it, and the
// functions of the selected file with their Active and Visible pictures.
#pragma once

#include <string>

#include "Tracer/window/uSystemBitmaps.h"
#include "Tracer/window/uWinComCtrls.h"

class TProcDef;
class TSymbolFile;

// The two lists of the tab: the files (checked while loaded) and the selected file's functions.
class TMainSymbolsPage {
public:
  TMainSymbolsPage(TListView* files, TListView* procDefs, const TSystemImagesStorage* systemImages)
      : lvwSymbolFiles(files), lvwProcDefs(procDefs), FSystemImages(systemImages) {}

  void FillSymbolFiles();
  void lvwSymbolFilesChange(int index);
  void RefreshProcDefs();
  TSymbolFile* GetSelectedSymbolFile();
  void FillProcDefs(TSymbolFile* file);
  void UpdateProcDefIcons(TSymbolFile* file);
  void lvwProcDefsClick();
  // From now on a box that changes (the window's lists going) loads and unloads nothing.
  void SetDestroying() { FDestroying = true; }

private:
  TListView* const lvwSymbolFiles;
  TListView* const lvwProcDefs;
  const TSystemImagesStorage* const FSystemImages;
  bool FDestroying = false;
  bool FFillingSymbolFiles = false;
};

// The text of one row of the loaded-functions list: the title, then "   (Active, Visible)".
std::wstring ProcDefRowText(TProcDef* def);
// One column that fills the list.
void FitSingleColumn(TListView& list);
