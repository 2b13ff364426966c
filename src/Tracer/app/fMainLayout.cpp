#include "Tracer/app/fMainLayout.h"

#include <commdlg.h>

#include <utility>

#include "Tracer/app/fMain.h"
#include "Tracer/app/fMainPictures.h"
#include "Tracer/app/fMainSymbols.h"
#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uMultiLanguage.h"

TAction* TMainLayout::NewAction(const wchar_t* name, const wchar_t* category, const wchar_t* caption, const wchar_t* hint,
                             int image) {
  auto* a = new TAction(FForm, ActionList, name);
  a->SetCategory(category);
  a->SetCaption(caption);
  a->SetHint(hint);
  a->SetImageIndex(image);
  return a;
}

void TMainLayout::CreateActions() {
  ActionList = new TActionList(FForm);
  ActionList->SetName(L"ActionList");
  ActionList->SetImages(imlMain);
  actTracerRun = NewAction(L"actTracerRun", L"Tracer", L"&Run...", L"Run", 0);
  actTracerAttach = NewAction(L"actTracerAttach", L"Tracer", L"&Attach...", L"Attach", 1);
  actTracerPause = NewAction(L"actTracerPause", L"Tracer", L"Pause", L"Pause", 13);
  actTracerStop = NewAction(L"actTracerStop", L"Tracer", L"&Stop", L"Stop", 2);
  actTracerExit = NewAction(L"actTracerExit", L"Tracer", L"&Exit", L"Exit", -1);
  actLogProperties = NewAction(L"actLogProperties", L"Log", L"Event properties", L"Event properties", 19);
  actLogSave = NewAction(L"actLogSave", L"Log", L"Save log...", L"Save", 4);
  actLogClear = NewAction(L"actLogClear", L"Log", L"Clear log", L"Clear", 3);
  actLogHighlight = NewAction(L"actLogHighlight", L"Log", L"Statement highlighting", L"Highlighting", 5);
  actLogScrollLock = NewAction(L"actLogScrollLock", L"Log", L"Scroll &lock", L"Scroll lock", 22);
  actLogScrollLock->SetGroupIndex(1);
  actLogFirst = NewAction(L"actLogFirst", L"Log", L"", L"Move to first", 11);
  actLogUp = NewAction(L"actLogUp", L"Log", L"", L"Move to prior", 8);
  actLogDown = NewAction(L"actLogDown", L"Log", L"", L"Move to next", 9);
  actLogLast = NewAction(L"actLogLast", L"Log", L"", L"Move to last", 12);
  actOptions = NewAction(L"actOptions", L"Tools", L"Options", L"Options", 14);
  actContents = NewAction(L"actContents", L"Help", L"Contents", L"Contents", 6);
  actAbout = NewAction(L"actAbout", L"Help", L"About...", L"About", -1);

  struct TBinding {
    TAction* Action;
    void (TfrmMain::*Execute)();
    void (TfrmMain::*Update)(TAction*);
  };
  const TBinding bindings[] = {
      {actTracerRun, &TfrmMain::actTracerRunExecute, &TfrmMain::actTracerAttachUpdate},
      {actTracerAttach, &TfrmMain::actTracerAttachExecute, &TfrmMain::actTracerAttachUpdate},
      {actTracerPause, &TfrmMain::actTracerPauseExecute, &TfrmMain::actTracerPauseUpdate},
      {actTracerStop, &TfrmMain::actTracerStopExecute, &TfrmMain::actTracerStopUpdate},
      {actTracerExit, &TfrmMain::actTracerExitExecute, nullptr},
      {actLogProperties, &TfrmMain::actLogPropertiesExecute, &TfrmMain::actLogPropertiesUpdate},
      {actLogSave, &TfrmMain::actLogSaveExecute, &TfrmMain::actLogSaveUpdate},
      {actLogClear, &TfrmMain::actLogClearExecute, &TfrmMain::actLogSaveUpdate},
      {actLogHighlight, &TfrmMain::actLogHighlightExecute, nullptr},
      {actLogScrollLock, &TfrmMain::actLogScrollLockExecute, &TfrmMain::actLogScrollLockUpdate},
      {actLogFirst, &TfrmMain::actLogFirstExecute, &TfrmMain::actLogFirstUpdate},
      {actLogUp, &TfrmMain::actLogUpExecute, &TfrmMain::actLogFirstUpdate},
      {actLogDown, &TfrmMain::actLogDownExecute, &TfrmMain::actLogLastUpdate},
      {actLogLast, &TfrmMain::actLogLastExecute, &TfrmMain::actLogLastUpdate},
      {actOptions, &TfrmMain::actOptionsExecute, nullptr},
      {actContents, &TfrmMain::actContentsExecute, &TfrmMain::actContentsUpdate},
      {actAbout, &TfrmMain::actAboutExecute, nullptr},
  };
  for (const TBinding& b : bindings) {
    b.Action->OnExecute = [form = FForm, fn = b.Execute](TAction*) { (form->*fn)(); };
    if (b.Update) b.Action->OnUpdate = [form = FForm, fn = b.Update](TAction* sender) { (form->*fn)(sender); };
  }
  // The windows of other units: shown only while their entry point is there.
  actLogHighlight->OnUpdate = [this](TAction* a) { FForm->EntryPointUpdate(a, bool(MainWindowEntryPoints().EditHighlightRules), true); };
  actOptions->OnUpdate = [this](TAction* a) { FForm->EntryPointUpdate(a, bool(MainWindowEntryPoints().EditOptions), true); };
  actAbout->OnUpdate = [this](TAction* a) { FForm->EntryPointUpdate(a, bool(MainWindowEntryPoints().ShowAbout), true); };
}

TMenuItem* TMainLayout::NewMenuItem(TMenuItem* parent, const wchar_t* name, TAction* action, TShortCut shortCut) {
  auto* item = new TMenuItem(FForm, parent, name);
  if (action) item->SetAction(action);
  if (shortCut) item->SetShortCut(shortCut);
  return item;
}

void TMainLayout::CreateMenus() {
  mmu = new TMainMenu(FForm, L"mmu");
  auto separator = [this](TMenuItem* parent) { new TMenuItem(FForm, parent, std::wstring(), L"-"); };
  mniTracer = new TMenuItem(FForm, mmu, L"mniTracer", L"&Tracer");
  mniRun = NewMenuItem(mniTracer, L"mniRun", actTracerRun, TShortCut{VK_F9, 0});
  mniAttach = NewMenuItem(mniTracer, L"mniAttach", actTracerAttach);
  mniPause = NewMenuItem(mniTracer, L"mniPause", actTracerPause);
  mniStop = NewMenuItem(mniTracer, L"mniStop", actTracerStop, TShortCut{VK_F2, FCONTROL});
  separator(mniTracer);
  mniLanguage = new TMenuItem(FForm, mniTracer, L"mniLanguage", L"Language");
  separator(mniTracer);
  mniExit = NewMenuItem(mniTracer, L"mniExit", actTracerExit);
  mniLog = new TMenuItem(FForm, mmu, L"mniLog", L"&Log");
  mniProperties = NewMenuItem(mniLog, L"mniProperties", actLogProperties);
  mniSaveLog = NewMenuItem(mniLog, L"mniSaveLog", actLogSave, TShortCut{'S', FCONTROL});
  mniClearLog = NewMenuItem(mniLog, L"mniClearLog", actLogClear);
  mniHighlight = NewMenuItem(mniLog, L"mniHighlight", actLogHighlight);
  mniScrollLock = NewMenuItem(mniLog, L"mniScrollLock", actLogScrollLock);
  mniTools = new TMenuItem(FForm, mmu, L"mniTools", L"T&ools");
  mniOptions = NewMenuItem(mniTools, L"mniOptions", actOptions);
  mniHelp = new TMenuItem(FForm, mmu, L"mniHelp", L"&Help");
  mniContents = NewMenuItem(mniHelp, L"mniContents", actContents);
  mniAbout = NewMenuItem(mniHelp, L"mniAbout", actAbout);
  FForm->SetMenu(mmu);

  pmnTracer = new TPopupMenu(FForm, L"pmnTracer");
  NewMenuItem(pmnTracer, L"mniRun2", actTracerRun);
  NewMenuItem(pmnTracer, L"mniAttach2", actTracerAttach);
  NewMenuItem(pmnTracer, L"mniStop2", actTracerStop);
  separator(pmnTracer);
  NewMenuItem(pmnTracer, L"mniSaveLog2", actLogSave);
  NewMenuItem(pmnTracer, L"mniClearLog2", actLogClear);
  NewMenuItem(pmnTracer, L"mniHighlight2", actLogHighlight);
  mniScrollLock2 = NewMenuItem(pmnTracer, L"mniScrollLock2", actLogScrollLock);
  pmnRecents = new TPopupMenu(FForm, L"pmnRecents");
}

TToolButton* TMainLayout::NewToolButton(const wchar_t* name, TAction* action) {
  auto* b = new TToolButton(FForm, tbrTracer, name,
                            action == actLogScrollLock ? TToolButtonStyle::Check : TToolButtonStyle::Button);
  b->SetAction(action);
  return b;
}

void TMainLayout::CreateComponents() {
  imlMain = new TImageList(FForm, L"imlMain");
  imlMainDisabled = new TImageList(FForm, L"imlMainDisabled");
  imlPlugins = new TImageList(FForm, L"imlPlugins");
  imlSystem = new TImageList(FForm, L"imlSystem");
  AddActionPictures(imlMain, false);
  AddActionPictures(imlMainDisabled, true);
  CreateActions();
  CreateMenus();

  sbr = new TStatusBar(FForm, FForm, L"sbr", 19);
  pcl = new TPageControl(FForm, FForm, L"pcl", 0, 0, 632, 453);
  pcl->SetAlign(TAlign::alClient);
  tshTrace = new TTabSheet(FForm, pcl, L"tshTrace", L"Tracer");
  tshSymbols = new TTabSheet(FForm, pcl, L"tshSymbols", L"Symbols");
  pcl->SetActivePage(tshTrace);

  pnlToolbars = new TPanel(FForm, tshTrace, 0, 0, 624, 25);
  pnlToolbars->SetAlign(TAlign::alTop);
  tbrTracer = new TToolBar(FForm, pnlToolbars, L"tbrTracer", 0, 0, 361, 25);
  tbrTracer->SetAlign(TAlign::alLeft);
  tbrTracer->SetImages(imlMain);
  tbrTracer->SetDisabledImages(imlMainDisabled);
  btnRun = new TToolButton(FForm, tbrTracer, L"btnRun", TToolButtonStyle::DropDown);
  btnRun->SetAction(actTracerRun);
  btnRun->DropdownMenu = pmnRecents;
  btnAttach = NewToolButton(L"btnAttach", actTracerAttach);
  btnPause = NewToolButton(L"btnPause", actTracerPause);
  btnDebugStop = NewToolButton(L"btnDebugStop", actTracerStop);
  new TToolButton(FForm, tbrTracer, std::wstring(), TToolButtonStyle::Separator);
  btnProperties = NewToolButton(L"btnProperties", actLogProperties);
  btnSave = NewToolButton(L"btnSave", actLogSave);
  btnClear = NewToolButton(L"btnClear", actLogClear);
  btnColorize = NewToolButton(L"btnColorize", actLogHighlight);
  btnScrollLock = NewToolButton(L"btnScrollLock", actLogScrollLock);
  new TToolButton(FForm, tbrTracer, std::wstring(), TToolButtonStyle::Separator);
  btnFirst = NewToolButton(L"btnFirst", actLogFirst);
  btnPrior = NewToolButton(L"btnPrior", actLogUp);
  btnNext = NewToolButton(L"btnNext", actLogDown);
  btnLast = NewToolButton(L"btnLast", actLogLast);
  new TToolButton(FForm, tbrTracer, std::wstring(), TToolButtonStyle::Separator);
  btnOptions = NewToolButton(L"btnOptions", actOptions);
  tbrTracer->SetShowHint(true);
  tbrPlugins = new TToolBar(FForm, pnlToolbars, L"tbrPlugins", 361, 0, 263, 25);
  tbrPlugins->SetAlign(TAlign::alClient);
  tbrPlugins->SetImages(imlPlugins);
  tbrPlugins->SetShowHint(true);
  s4 = new TToolButton(FForm, tbrPlugins, L"s4", TToolButtonStyle::Divider);
  tbrPlugins->SetVisible(false);

  TListViewStyle traceStyle;
  traceStyle.OwnerData = true;
  traceStyle.RowSelect = true;
  traceStyle.GridLines = true;
  traceStyle.ShowSelAlways = true;
  lvwTrace = new TListView(FForm, tshTrace, L"lvwTrace", 0, 25, 624, 400, traceStyle);
  lvwTrace->SetAlign(TAlign::alClient);
  lvwTrace->SetShowHint(true);
  lvwTrace->SetPopupMenu(pmnTracer);
  const std::pair<const wchar_t*, int> columns[] = {
      {L"Thread Id", 60}, {L"Call", 100}, {L"Time (ms)", 70}, {L"Result", 85}, {L"Parameters", 300}};
  for (const auto& [caption, width] : columns) lvwTrace->AddColumn(caption, width);
  lvwTrace->OnData = [this](TListView*, int index, std::vector<std::wstring>& texts) { FForm->LogView().lvwTraceData(index, texts); };
  lvwTrace->OnCustomDrawItem = [this](TListView*, int index, COLORREF& text, COLORREF& back) {
    FForm->LogView().lvwTraceCustomDrawItem(index, text, back);
  };
  lvwTrace->OnChange = [this](TListView*, int) { FForm->lvwTraceChange(); };
  lvwTrace->OnDblClick = [this](TListView*) { FForm->lvwTraceDblClick(); };
  // No info tips of the list's own: the hints show the cells.
  lvwTrace->OnInfoTip = [](TListView*, int, std::wstring&) {};

  pnlSymbolFiles = new TPanel(FForm, tshSymbols, 0, 0, 193, 400);
  pnlSymbolFiles->SetAlign(TAlign::alLeft);
  TListViewStyle fileStyle;
  fileStyle.CheckBoxes = true;
  fileStyle.RowSelect = true;
  fileStyle.ShowSelAlways = true;
  lvwSymbolFiles = new TListView(FForm, pnlSymbolFiles, L"lvwSymbolFiles", 0, 0, 193, 400, fileStyle);
  lvwSymbolFiles->SetAlign(TAlign::alClient);
  lvwSymbolFiles->AddColumn(L"Loaded symbols", 189);
  lvwSymbolFiles->OnChange = [this](TListView*, int index) { FForm->SymbolsPage().lvwSymbolFilesChange(index); };
  lvwSymbolFiles->OnResize = [this](TControl*) { FitSingleColumn(*lvwSymbolFiles); };
  Splitter1 = new TSplitter(FForm, tshSymbols, L"Splitter1", TAlign::alLeft);
  TListViewStyle procStyle;
  procStyle.RowSelect = true;
  lvwProcDefs = new TListView(FForm, tshSymbols, L"lvwProcDefs", 196, 0, 428, 400, procStyle);
  lvwProcDefs->SetAlign(TAlign::alClient);
  lvwProcDefs->AddColumn(L"Loaded functions", 457);
  lvwProcDefs->SetImages(imlSystem, LVSIL_SMALL);
  lvwProcDefs->SetImages(imlSystem, LVSIL_STATE);
  lvwProcDefs->OnClick = [this](TListView*) { FForm->SymbolsPage().lvwProcDefsClick(); };
  lvwProcDefs->OnResize = [this](TControl*) { FitSingleColumn(*lvwProcDefs); };

  FForm->odgDebugApps.Filter = L"*.exe|*.exe|*.*|*.*";
  FForm->sdgLog.DefaultExt = L"htm";
  FForm->sdgLog.Options = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_ENABLESIZING;
  tmrRefresh = new TTimer(FForm, L"tmrRefresh", 500);
  // Empty: the timer only keeps idle passes coming.
  tmrRefresh->OnTimer = [](TTimer*) {};
  // One shot: its message brings the row count that a paced idle pass left for later.
  tmrIdleDue = new TTimer(FForm, L"tmrIdleDue", TMainLogView::RowCountRefreshMs);
  tmrIdleDue->SetEnabled(false);
  tmrIdleDue->OnTimer = [](TTimer* timer) { timer->SetEnabled(false); };
  FForm->OnCloseQuery = [this](TForm*, bool& canClose) { FForm->FormCloseQuery(canClose); };
  FForm->SetCaption(L"Calderwisp");
  FForm->AlignControls();
}

void TMainLayout::CreateSystemImages() {
  TComPtr<ISystemBitmaps> bitmaps(new TSystemBitmaps());
  FSystemImages = std::make_unique<TSystemImagesStorage>(bitmaps.Get(), imlSystem->Handle());
  FActionImages = std::make_unique<TSystemImagesStorage>(bitmaps.Get(), imlMain->Handle());
}

void TMainLayout::BuildLanguageMenu() {
  const std::wstring current = FForm->GetLanguage();
  std::vector<std::wstring> names = GetMultiLanguage()->Languages();
  const bool none = names.empty();
  if (none) names.push_back(L"English");
  for (const std::wstring& name : names) {
    auto* item = new TMenuItem(FForm, mniLanguage, std::wstring(), name);
    item->SetLiteralCaption(true);
    item->SetRadioItem(true);
    item->SetGroupIndex(1);
    item->SetAutoCheck(true);
    item->SetChecked(name == current);
    item->OnClick = [this](TMenuItem* sender) { FForm->LanguageItemClick(sender); };
    if (none) item->SetEnabled(false);
  }
}
