// The program's main window: the trace log with its toolbars on the "Tracer" tab, the symbol
// files and their functions on the "Symbols" tab, the settings it keeps, the language menu,
// the tracing actions, the log view fed from the event queue at idle time, and the three
// objects through which the automation model reaches the window.
#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Tracer/app/fBase.h"
#include "Tracer/app/uAppPlugins.h"
#include "Tracer/app/uAppServices.h"
#include "Tracer/app/uTEQColumns.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/foundation/uInterfaceServices.h"
#include "Tracer/window/uWinComCtrls.h"
#include "Tracer/window/uWinCtrls.h"
#include "Tracer/window/uWinDialogs.h"
#include "Tracer/window/uWinForms.h"
#include "Tracer/window/uWinMenus.h"

class TSymbolFile;
class TfrmMain;

// The cell texts of the log view: each parameter on one line, parameters joined by a blank.
class TListViewTEQReader : public TSimpleTEQReader {
public:
  using TSimpleTEQReader::TSimpleTEQReader;
  void GetParamText(ITracerEventParam* param, std::wstring& text) override;
  void AppendParamText(ITracerEventParam* param, std::wstring& text) override;
};

// The cell texts of hints: parameters one per line, each keeping its own line breaks.
class TSmartHintTEQReader : public TSimpleTEQReader {
public:
  using TSimpleTEQReader::TSimpleTEQReader;
  void AppendParamText(ITracerEventParam* param, std::wstring& text) override;
};

// The application's hint window: the main window's font and a plain black frame.
class TSmartHintWindow : public THintWindow {
public:
  explicit TSmartHintWindow(HFONT mainFont);

protected:
  LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp) override;
  void WMNCPaint();
};

// What the options dialog shows and gives back.
struct TMainOptions {
  std::wstring TimeFormatCaption;  // "Time format", translated
  int TimeFormatImageIndex = 17;
  std::vector<std::wstring> TimeFormats;  // "1 ms", "0.1 ms", "0.01 ms"
  int TimeFormat = 0;
  std::wstring ColumnsCaption;  // "Columns", translated
  int ColumnsImageIndex = 18;
  std::vector<std::wstring> ColumnCaptions;  // every column, in id order
  std::vector<bool> ColumnsVisible;
};

// The windows and writers the main window's actions open, which live in units of their own.
// An action whose entry point is not set is hidden.
struct TMainWindowEntryPoints {
  // Shows the event-properties window (actLogProperties).
  std::function<void(TfrmMain& main)> ShowEventProperties;
  // Reloads the focused event into the event-properties window when it is visible.
  std::function<void(TfrmMain& main)> RefreshEventProperties;
  // Shows the highlight-rule dialog over the shared rules (GetColorInfos) modally; true on OK.
  std::function<bool(TfrmMain& main)> EditHighlightRules;
  // Shows the options dialog modally; true on OK with the choices written back.
  std::function<bool(TfrmMain& main, TMainOptions& options)> EditOptions;
  // Shows the about box modally.
  std::function<void(TfrmMain& main)> ShowAbout;
  // Whether an Excel workbook can be written (an Excel application object can be made).
  std::function<bool()> CanWriteExcel;
  // Writes the log with the writer of the save dialog's filter (1 CSV, 2 HTML, 3 Excel) over
  // the column manager, showing progress; the main window is disabled meanwhile.
  std::function<void(TfrmMain& main, int filterIndex, const std::wstring& fileName)> WriteLog;
  // Opens a saved log ("open", maximised); unset: the shell.
  std::function<void(const std::wstring& fileName)> OpenSavedLog;
};

TMainWindowEntryPoints& MainWindowEntryPoints();

// The toolbar that plug-ins add their actions to.
class TToolbarPluginActionsImpl : public IAppPluginActionsImpl {
public:
  TToolbarPluginActionsImpl(TToolBar* toolBar, TActionList* actionList)
      : FToolBar(toolBar), FActionList(actionList) {}
  HIMAGELIST GetImages() override;
  void AddAction(std::unique_ptr<TAppPluginAction> Action) override;
  void RemoveActions(IAppPluginAction* Action) override;

private:
  TToolBar* FToolBar;
  TActionList* FActionList;
};

// The focused row of the log view for the visible-events list.
class TVisibleTracerEventsImpl : public TInterfacedObject, public IVisibleTracerEventsImpl {
public:
  explicit TVisibleTracerEventsImpl(TListView* listView) : FListView(listView) {}
  CW_IUNKNOWN_COUNTED
  void* GetInterface(REFIID iid) override;
  LONG STDMETHODCALLTYPE GetFocusedIndex() override;

private:
  TListView* FListView;
};

// The main window's handle for the application object.
class TMainWindowHandleImpl : public TInterfacedObject, public IAppObjectMainWindowHandleImpl {
public:
  explicit TMainWindowHandleImpl(HWND handle) : FHandle(handle) {}
  CW_IUNKNOWN_COUNTED
  void* GetInterface(REFIID iid) override;
  HWND STDMETHODCALLTYPE GetHandle() override { return FHandle; }

private:
  HWND FHandle;
};

class TfrmMain : public TfrmBase {
public:
  explicit TfrmMain(TComponent* owner);
  ~TfrmMain() override;

  // ---- construction, settings, language (the window itself) ----
  void FormCreate() override;
  void FormCloseQuery(bool& canClose);
  void LoadSettings();
  void SaveSettings();
  void SetLanguage(const std::wstring& name);
  std::wstring GetLanguage() const;
  void BuildLanguageMenu();
  void LanguageItemClick(TMenuItem* sender);
  void Translate() override;
  // Every write of the caption (the idle pass's, a translation's) is what the window shows.
  void SetCaption(const std::wstring& caption) override;
  std::wstring GetHelpKeyword() override;
  void RebuildTraceColumns();
  void StoreColumnWidths();

  // ---- Symbols tab ----
  void FillSymbolFiles();
  void lvwSymbolFilesChange(int index);
  void RefreshProcDefs();
  TSymbolFile* GetSelectedSymbolFile();
  void FillProcDefs(TSymbolFile* file);
  void UpdateProcDefIcons(TSymbolFile* file);
  void lvwProcDefsClick();

  // ---- tracing actions ----
  void CheckLoadedFunctions();
  void RunProgram(const std::wstring& commandLine);
  void AddRecentFile(const std::wstring& commandLine);
  void RebuildRecentMenu();
  void RecentFileClick(TMenuItem* sender);
  void SaveLog();
  // Whether SaveLog runs now (dialog, export or opening the file).
  bool SavingLog() const { return FSavingLog; }
  void SetLogSaveFilter(TFileDialog& dialog);

  // ---- log view ----
  void lvwTraceData(int index, std::vector<std::wstring>& texts);
  void lvwTraceCustomDrawItem(int index, COLORREF& textColor, COLORREF& backColor);
  void lvwTraceChange();
  void lvwTraceDblClick();
  void MakeSelectionVisible();
  void RefreshEventProps();
  void SelectRow(int index);

  // ---- idle and hints ----
  void AppIdle(bool& done);
  void RefreshRowCount();
  void UpdateStatus();
  void AppShowHint(std::wstring& hintStr, bool& canShow, THintInfo& hintInfo);
  void ShowTraceHint(std::wstring& hintStr, bool& canShow, THintInfo& hintInfo);

  bool ScrollLock() const { return FScrollLock; }
  void SetScrollLock(bool value) { FScrollLock = value; }
  TRecentFiles& RecentFiles() { return *FRecentFiles; }
  TTEQColumnManager& ColumnManager() { return *FColumnManager; }
  // The check-box and radio pictures in imlMain (the options dialog's).
  const TSystemImagesStorage& ActionImages() const { return *FActionImages; }
  TListViewTEQReader& ListReader() { return *FListReader; }
  TSmartHintTEQReader& HintReader() { return *FHintReader; }

  static const TPropTable& ClassPropTable();
  const TPropTable& GetPropTable() const override { return ClassPropTable(); }

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
  TFileDialog odgDebugApps{false};
  TFileDialog sdgLog{true};
  TTimer* tmrRefresh;

private:
  void CreateComponents();
  void CreateActions();
  void CreateMenus();
  void CreateSystemImages();
  void CreateColumnManager();
  TAction* NewAction(const wchar_t* name, const wchar_t* category, const wchar_t* caption, const wchar_t* hint,
                     int image);
  TMenuItem* NewMenuItem(TMenuItem* parent, const wchar_t* name, TAction* action, TShortCut shortCut = {});
  TToolButton* NewToolButton(const wchar_t* name, TAction* action);
  int SelectedRow() const { return lvwTrace->ItemIndex(); }

  // Action handlers.
  void actTracerRunExecute();
  void actTracerAttachExecute();
  void actTracerAttachUpdate(TAction* sender);
  void actTracerPauseExecute();
  void actTracerPauseUpdate(TAction* sender);
  void actTracerStopExecute();
  void actTracerStopUpdate(TAction* sender);
  void actTracerExitExecute();
  void actLogPropertiesExecute();
  void actLogPropertiesUpdate(TAction* sender);
  void actLogSaveExecute();
  void actLogSaveUpdate(TAction* sender);
  void actLogClearExecute();
  void actLogHighlightExecute();
  void actLogScrollLockExecute();
  void actLogScrollLockUpdate(TAction* sender);
  void actLogFirstExecute();
  void actLogUpExecute();
  void actLogDownExecute();
  void actLogLastExecute();
  void actLogFirstUpdate(TAction* sender);
  void actLogLastUpdate(TAction* sender);
  void actOptionsExecute();
  void actContentsExecute();
  void actContentsUpdate(TAction* sender);
  void actAboutExecute();
  // An action that opens what another unit provides is shown only while that is there.
  void EntryPointUpdate(TAction* sender, bool present, bool enabled);

  // The debuggee's file name while a trace runs, asked of the process once it is known.
  std::wstring DebuggeeFileName();
  std::wstring GetMainTitle();

  std::unique_ptr<TRecentFiles> FRecentFiles;
  std::unique_ptr<TTEQColumnManager> FColumnManager;
  std::unique_ptr<TListViewTEQReader> FListReader;
  std::unique_ptr<TSmartHintTEQReader> FHintReader;
  std::unique_ptr<TSystemImagesStorage> FSystemImages;
  std::unique_ptr<TSystemImagesStorage> FActionImages;
  bool FScrollLock = true;
  std::unique_ptr<TToolbarPluginActionsImpl> FPluginToolbar;
  bool FDestroying = false;
  bool FFillingSymbolFiles = false;
  bool FSavingLog = false;
  // What the idle pass last wrote, so that it writes only changes.
  std::wstring FShownStatus;
  // The caption the window shows, whoever wrote it.
  std::wstring FShownTitle;
  // The debugging thread whose debuggee's name is cached.
  const void* FNamedThread = nullptr;
  DWORD FNamedProcessId = 0;
  // The scroll lock of the last idle pass: following starts when it goes off.
  bool FFollowedScrollLock = true;
  std::wstring FDebuggeeFileName;
};

// The text of one row of the loaded-functions list: the title, then "   (Active, Visible)".
std::wstring ProcDefRowText(class TProcDef* def);
// One column that fills the list.
void FitSingleColumn(TListView& list);
// "Calderwisp Log " and the local date and time as yyyymmddhhnnss.
std::wstring DefaultLogFileName();
std::wstring FormatTimeStamp(const SYSTEMTIME& time);
