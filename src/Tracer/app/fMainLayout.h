// The main window's layout: its components as the form defines them (image lists, actions,
// menus, toolbars, tabs, lists, status bar, timer), built in code and bound to their handlers.
#pragma once
#include <windows.h>

#include <memory>

#include "Tracer/window/uSystemBitmaps.h"
#include "Tracer/window/uWinActions.h"
#include "Tracer/window/uWinBase.h"
#include "Tracer/window/uWinComCtrls.h"
#include "Tracer/window/uWinCtrls.h"
#include "Tracer/window/uWinForms.h"
#include "Tracer/window/uWinMenus.h"

class TfrmMain;

// The components belong to the form (their owner); this holds them by name and builds them.
class TMainLayout {
public:
  explicit TMainLayout(TfrmMain* form) : FForm(form) {}
  TMainLayout(const TMainLayout&) = delete;
  TMainLayout& operator=(const TMainLayout&) = delete;

  void CreateComponents();
  // The check-box and radio pictures, added to imlSystem and imlMain.
  void CreateSystemImages();
  // The check-box and radio pictures in imlMain (the options dialog's).
  const TSystemImagesStorage& ActionImages() const { return *FActionImages; }
  const TSystemImagesStorage* SystemImages() const { return FSystemImages.get(); }
  // One item per language under mniLanguage, the current one checked.
  void BuildLanguageMenu();

  // Components, as the form defines them.
  TMainMenu* mmu;
  TMenuItem *mniTracer, *mniRun, *mniAttach, *mniPause, *mniStop, *mniLanguage, *mniExit;
  TMenuItem *mniLog, *mniProperties, *mniSaveLog, *mniClearLog, *mniHighlight, *mniScrollLock;
  TMenuItem *mniTools, *mniOptions, *mniHelp, *mniContents, *mniAbout;
  TPopupMenu* pmnTracer;
  TMenuItem* mniScrollLock2;
  TPopupMenu* pmnRecents;
  TImageList *imlMain, *imlMainDisabled, *imlPlugins, *imlSystem;
  TActionList* ActionList;
  TAction *actTracerRun, *actTracerAttach, *actTracerPause, *actTracerStop, *actTracerExit;
  TAction *actLogProperties, *actLogSave, *actLogClear, *actLogHighlight, *actLogScrollLock;
  TAction *actLogFirst, *actLogUp, *actLogDown, *actLogLast;
  TAction *actOptions, *actContents, *actAbout;
  TStatusBar* sbr;
  TPageControl* pcl;
  TTabSheet *tshTrace, *tshSymbols;
  TPanel* pnlToolbars;
  TToolBar* tbrTracer;
  TToolButton *btnRun, *btnAttach, *btnPause, *btnDebugStop, *btnProperties, *btnSave, *btnClear, *btnColorize,
      *btnScrollLock, *btnFirst, *btnPrior, *btnNext, *btnLast, *btnOptions;
  TToolBar* tbrPlugins;
  TToolButton* s4;
  TListView* lvwTrace;
  TPanel* pnlSymbolFiles;
  TListView* lvwSymbolFiles;
  TSplitter* Splitter1;
  TListView* lvwProcDefs;
  TTimer* tmrRefresh;

private:
  void CreateActions();
  void CreateMenus();
  TAction* NewAction(const wchar_t* name, const wchar_t* category, const wchar_t* caption, const wchar_t* hint,
                     int image);
  TMenuItem* NewMenuItem(TMenuItem* parent, const wchar_t* name, TAction* action, TShortCut shortCut = {});
  TToolButton* NewToolButton(const wchar_t* name, TAction* action);

  TfrmMain* const FForm;
  std::unique_ptr<TSystemImagesStorage> FSystemImages;
  std::unique_ptr<TSystemImagesStorage> FActionImages;
};
