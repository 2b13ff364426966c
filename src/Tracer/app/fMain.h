// The program's main window: the tracing and log actions, the settings it keeps, the language,
// the idle pass and the title, and the window handle the automation model reaches. Its
// collaborators hold the rest: the components (fMainLayout), the log view (fMainLogView), the
// "Symbols" tab (fMainSymbols), the plug-in toolbar (fMainPluginBar), the pictures (fMainPictures).
#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Tracer/app/fBase.h"
#include "Tracer/app/fMainLayout.h"
#include "Tracer/app/fMainLogView.h"
#include "Tracer/app/fMainPluginBar.h"
#include "Tracer/app/fMainSymbols.h"
#include "Tracer/app/uAppPlugins.h"
#include "Tracer/app/uAppServices.h"
#include "Tracer/app/uTEQColumns.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/app/uInterfaceServices.h"
#include "Tracer/window/uSystemBitmaps.h"
#include "Tracer/window/uWinComCtrls.h"
#include "Tracer/window/uWinCtrls.h"
#include "Tracer/window/uWinDialogs.h"
#include "Tracer/window/uWinForms.h"
#include "Tracer/window/uWinMenus.h"

class TfrmMain;

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
  void LanguageItemClick(TMenuItem* sender);
  void Translate() override;
  // Every write of the caption (the idle pass's, a translation's) is what the window shows.
  void SetCaption(const std::wstring& caption) override;
  std::wstring GetHelpKeyword() override;

  // ---- tracing actions ----
  void CheckLoadedFunctions();
  // Takes its own copy: a recent entry's caption is rewritten when the line moves to the top.
  void RunProgram(std::wstring commandLine);
  void AddRecentFile(const std::wstring& commandLine);
  void RebuildRecentMenu();
  void RecentFileClick(TMenuItem* sender);
  void SaveLog();
  // Whether SaveLog runs now (dialog, export or opening the file).
  bool SavingLog() const { return FSavingLog; }
  void SetLogSaveFilter(TFileDialog& dialog);

  // ---- log view ----
  void lvwTraceChange();
  void lvwTraceDblClick();
  void RefreshEventProps();

  // ---- idle ----
  void AppIdle(bool& done);
  // The application's idle handler: the row count paced by the log view, the rest each pass.
  void PacedIdle(bool& done);
  void UpdateStatus();
  void UpdateStatusAndTitle();

  bool ScrollLock() const { return FLogView->ScrollLock(); }
  void SetScrollLock(bool value) { FLogView->SetScrollLock(value); }
  TRecentFiles& RecentFiles() { return *FRecentFiles; }
  // The collaborators: the components, the log view, the Symbols tab.
  TMainLayout& Layout() { return *FLayout; }
  TMainLogView& LogView() { return *FLogView; }
  TMainSymbolsPage& SymbolsPage() { return *FSymbolsPage; }

  static const TPropTable& ClassPropTable();
  const TPropTable& GetPropTable() const override { return ClassPropTable(); }

private:
  // Builds the components and binds the actions to their handlers here.
  friend class TMainLayout;

  int SelectedRow() const { return FLogView->SelectedRow(); }

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

  TFileDialog odgDebugApps{false};
  TFileDialog sdgLog{true};
  std::unique_ptr<TRecentFiles> FRecentFiles;
  std::unique_ptr<TMainLayout> FLayout;
  std::unique_ptr<TMainLogView> FLogView;
  std::unique_ptr<TMainSymbolsPage> FSymbolsPage;
  std::unique_ptr<TToolbarPluginActionsImpl> FPluginToolbar;
  bool FSavingLog = false;
  // What the idle pass last wrote, so that it writes only changes.
  std::wstring FShownStatus;
  // The caption the window shows, whoever wrote it.
  std::wstring FShownTitle;
  // The debugging thread whose debuggee's name is cached.
  const void* FNamedThread = nullptr;
  DWORD FNamedProcessId = 0;
  std::wstring FDebuggeeFileName;
};

