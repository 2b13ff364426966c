#include "Tracer/app/fMain.h"

#include <algorithm>
#include <exception>

#include <shellapi.h>

#include "Tracer/app/fMainPictures.h"
#include "Tracer/app/fSelProcessDlg.h"
#include "Tracer/app/uAppSettings.h"
#include "Tracer/app/uSaveLog.h"
#include "Tracer/engine/uDebugCore.h"
#include "Tracer/engine/uProcDefs.h"
#include "Tracer/engine/uSymbolFiles.h"
#include "Tracer/foundation/uConfig.h"
#include "Tracer/foundation/uErrorReport.h"
#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uMultiLanguage.h"
#include "Tracer/foundation/uRaise.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"

static const wchar_t* const UnitPath = L"src/Tracer/fMain";

namespace {

const wchar_t* const MainTitle = ApplicationTitle;

}  // namespace

TMainWindowEntryPoints& MainWindowEntryPoints() {
  static TMainWindowEntryPoints entryPoints;
  return entryPoints;
}

// ---- objects for the automation model ------------------------------------------------------------

void* TMainWindowHandleImpl::GetInterface(REFIID iid) {
  if (IsEqualIID(iid, __uuidof(IAppObjectMainWindowHandleImpl)) || IsEqualIID(iid, IID_IUnknown))
    return static_cast<IAppObjectMainWindowHandleImpl*>(this);
  return TInterfacedObject::GetInterface(iid);
}

// ---- construction ---------------------------------------------------------------------------------

const TPropTable& TfrmMain::ClassPropTable() {
  static const TPropTable table(&TCaptionControl::ClassPropTable(),
                                {
                                    StringProperty<TfrmMain>(L"Language", &TfrmMain::GetLanguage, &TfrmMain::SetLanguage),
                                    BooleanProperty<TfrmMain>(L"ScrollLock", &TfrmMain::ScrollLock, &TfrmMain::SetScrollLock),
                                });
  return table;
}

TfrmMain::TfrmMain(TComponent* owner) : TfrmBase(owner, L"TfrmMain", 632, 472) {
  AddClassSection("TfrmMain");
  SetName(L"frmMain");
  if (!Application()->MainForm()) Application()->SetMainForm(this);
  FRecentFiles = std::make_unique<TRecentFiles>();
  GetExceptionHandler()->Title = Application()->Title();
  Application()->OnIdle = [this](bool& done) { PacedIdle(done); };
  Application()->OnShowHint = [this](std::wstring& s, bool& canShow, THintInfo& info) { FLogView->AppShowHint(s, canShow, info); };
  FLayout = std::make_unique<TMainLayout>(this);
  FLayout->CreateComponents();
  ShowProgramIcon(*this);
  odgDebugApps.InitialDir = ProgramFolder();
  FLayout->CreateSystemImages();
  FLogView = std::make_unique<TMainLogView>(FLayout->lvwTrace);
  FSymbolsPage = std::make_unique<TMainSymbolsPage>(FLayout->lvwSymbolFiles, FLayout->lvwProcDefs, FLayout->SystemImages());
  // The automation model reaches the window through these, before any symbol file (and so any
  // plug-in) is loaded.
  InstallAppPluginHost();
  FPluginToolbar = std::make_unique<TToolbarPluginActionsImpl>(FLayout->tbrPlugins, FLayout->ActionList);
  GetAppPluginActions()->SetImpl(FPluginToolbar.get());
  GetTracerEventQueue()->VisibleEvents()->SetImpl(new TVisibleTracerEventsImpl(FLayout->lvwTrace));
  GetAppObject()->SetMainWindowHandleImpl(new TMainWindowHandleImpl(Handle()));
  FLayout->lvwTrace->SetExtendedStyle(LVS_EX_INFOTIP, 0);
}

TfrmMain::~TfrmMain() {
  FSymbolsPage->SetDestroying();
  SaveSettings();
  // After saving, so that "symbolfiles" still lists the loaded files. Each file unloads with its
  // per-user copy written; files go while the registry is still whole.
  try {
    TSymbolFiles* files = GetSymbolFiles();
    std::vector<uint32_t> keys;
    TSymbolFilesEnumerator e(files, UnitPath, __LINE__);
    while (e.MoveNext()) keys.push_back(WideStringHash(e.GetCurrent()->GetFileName()));
    for (uint32_t key : keys) files->Remove(key);
  } catch (...) {
    HandleApplicationException();
  }
  // The settings entries point into this window.
  GetConfig()->Entries().Clear();
  GetAppPluginActions()->SetImpl(nullptr);
  GetAppObject()->SetMainWindowHandleImpl(nullptr);
  GetTracerEventQueue()->VisibleEvents()->SetImpl(nullptr);
  Application()->OnIdle = nullptr;
  Application()->OnShowHint = nullptr;
  // The components go while this window's own objects (readers, column manager) still exist,
  // since their handlers reach them. The application lets go of the form first: it forgets a
  // control of the form that it holds for its hints while that control is still alive.
  Application()->RemoveForm(this);
  DestroyComponents();
}

void TfrmMain::FormCreate() {
  TfrmBase::FormCreate();
  FLayout->mniScrollLock->SetImageIndex(-1);
  FLayout->mniScrollLock2->SetImageIndex(-1);
  // Settings that fail to load leave their defaults: the rest of the window is made all the
  // same (the symbol files listed, the language menu) before the error is shown.
  std::exception_ptr settingsError;
  try {
    LoadSettings();
  } catch (...) {
    settingsError = std::current_exception();
  }
  FLayout->BuildLanguageMenu();
  FSymbolsPage->FillSymbolFiles();
  if (settingsError) std::rethrow_exception(settingsError);
}

void TfrmMain::LoadSettings() {
  TConfig* config = GetConfig();
  config->RegisterCollection(FRecentFiles.get(), L"recentfiles");
  config->RegisterCollection(GetColorInfos(), L"log:highlight");
  config->RegisterObjectProperties(this, L"main", {L"Language", L"ScrollLock"});
  config->RegisterObject(GetSymbolFiles(), L"symbolfiles");
  config->RegisterCollection(&GetAppSettings()->Items(), L"settings");
  config->RegisterInteger(TimeFormatDigits, L"time:format");
  config->RegisterObject(&FLogView->ColumnManager(), L"log:columns");
  try {
    config->Load();
  } catch (Exception& e) {
    FLogView->RebuildTraceColumns();
    RebuildRecentMenu();
    PrependExceptionLine(e, L"Error loading settings");
    throw;
  }
  FLogView->RebuildTraceColumns();
  RebuildRecentMenu();
}

void TfrmMain::SaveSettings() {
  try {
    FLogView->StoreColumnWidths();
    GetConfig()->Save();
  } catch (Exception& e) {
    PrependExceptionLine(e, L"Error saving settings");
    HandleApplicationException();
  } catch (...) {
    HandleApplicationException();
  }
}

// ---- language -------------------------------------------------------------------------------------

std::wstring TfrmMain::GetLanguage() const {
  std::wstring name;
  GetMultiLanguage()->GetLanguage(name);
  return name;
}

void TfrmMain::SetLanguage(const std::wstring& name) {
  if (name == GetLanguage()) return;
  GetMultiLanguage()->SetLanguage(name);
  for (TForm* form : std::vector<TForm*>(Application()->Forms()))
    if (auto* base = dynamic_cast<TfrmBase*>(form); base && base->Visible()) base->TranslateOnShow();
}

void TfrmMain::LanguageItemClick(TMenuItem* sender) { SetLanguage(StripHotKeys(sender->Caption())); }

void TfrmMain::Translate() {
  TfrmBase::Translate();
  UpdateStatus();
  const TTEQColumns& visible = FLogView->ColumnManager().VisibleColumns();
  for (int i = 0; i < visible.GetCount() && i < FLayout->lvwTrace->ColumnCount(); ++i) {
    std::wstring caption;
    visible.GetItem(i)->GetCaption(caption);
    FLayout->lvwTrace->SetColumnCaption(i, caption);
  }
  // The rows show translated words ("Error", "Start"): read them again.
  FLogView->ListReader().InvalidateCache();
  FLogView->HintReader().InvalidateCache();
  FLayout->lvwTrace->InvalidateData();
  TranslateColumns(*FLayout->lvwSymbolFiles);
  TranslateColumns(*FLayout->lvwProcDefs);
  // A new hint window of the current class, with this window's font.
  Application()->SetShowHint(false);
  Application()->SetShowHint(true);
}

void TfrmMain::SetCaption(const std::wstring& caption) {
  TfrmBase::SetCaption(caption);
  FShownTitle = caption;
}

std::wstring TfrmMain::GetHelpKeyword() {
  TTabSheet* page = FLayout->pcl->ActivePage();
  if (page == FLayout->tshTrace) return L"html\\main1.htm";
  if (page == FLayout->tshSymbols) return L"html\\main2.htm";
  return TfrmBase::GetHelpKeyword();
}

// ---- tracing actions ------------------------------------------------------------------------------

void TfrmMain::CheckLoadedFunctions() {
  if (!GetLoadedProcDefs()->IsEmpty()) return;
  FLayout->pcl->SetActivePage(FLayout->tshSymbols);
  throw Exception(Message(SNoLoadedSymbols));
}

void TfrmMain::RunProgram(std::wstring commandLine) {
  CheckLoadedFunctions();
  try {
    AddRecentFile(commandLine);
    // The program's folder (its first token), not whatever a parameter's "\" would give.
    odgDebugApps.InitialDir = CommandLineProgramDir(commandLine);
    GetDebugger()->Run(commandLine);
  } catch (Exception& e) {
    PrependTranslatedExceptionLine(e, SErrorCreateProcess.Name, SErrorCreateProcess.Default);
    throw;
  }
}

void TfrmMain::AddRecentFile(const std::wstring& commandLine) {
  FRecentFiles->Insert(0)->SetFileName(commandLine);
  RebuildRecentMenu();
}

void TfrmMain::RebuildRecentMenu() {
  while (FLayout->pmnRecents->Count() < FRecentFiles->GetCount()) {
    auto* item = new TMenuItem(this, FLayout->pmnRecents);
    item->SetLiteralCaption(true);
    item->OnClick = [this](TMenuItem* sender) { RecentFileClick(sender); };
  }
  for (int i = 0; i < FRecentFiles->GetCount(); ++i) FLayout->pmnRecents->Item(i)->SetCaption(FRecentFiles->GetItem(i)->GetFileName());
}

void TfrmMain::RecentFileClick(TMenuItem* sender) {
  CW_ASSERT(sender != nullptr, UnitPath, __LINE__);
  RunProgram(sender->Caption());
}

void TfrmMain::actTracerRunExecute() {
  if (!odgDebugApps.Execute(Handle())) return;
  std::wstring caption;
  GetMultiLanguage()->Translate(WideToAnsi(Name()), "actTracerRun.Hint", caption, L"Start");
  // A program path with blanks is quoted, so that its parameters can follow.
  std::wstring commandLine = odgDebugApps.FileName;
  if (commandLine.find(L' ') != std::wstring::npos) commandLine = L"\"" + commandLine + L"\"";
  if (!InputQuery(caption, Message(SAdditionalParams), commandLine)) return;
  RunProgram(commandLine);
}

void TfrmMain::actTracerAttachExecute() {
  CheckLoadedFunctions();
  try {
    auto picker = CreateForm<TSelProcessDlg>(nullptr);
    if (picker->ShowModal() == mrOK)
      if (TProcess* process = picker->SelectedProcess()) GetDebugger()->Attach(process->ProcessId());
  } catch (Exception& e) {
    PrependTranslatedExceptionLine(e, SErrorAttachProcess.Name, SErrorAttachProcess.Default);
    throw;
  }
}

void TfrmMain::actTracerAttachUpdate(TAction* sender) {
  CW_ASSERT(sender != nullptr, UnitPath, __LINE__);
  sender->SetEnabled(!GetDebugger()->GetActive());
}

void TfrmMain::actTracerPauseExecute() {
  if (GetDebugger()->GetActive()) GetDebugger()->SetPaused(!GetDebugger()->GetPaused());
}

void TfrmMain::actTracerPauseUpdate(TAction* sender) {
  CW_ASSERT(sender != nullptr, UnitPath, __LINE__);
  const bool active = GetDebugger()->GetActive();
  sender->SetEnabled(active);
  sender->SetChecked(active && GetDebugger()->GetPaused());
}

void TfrmMain::actTracerStopExecute() { GetDebugger()->Stop(); }

void TfrmMain::actTracerStopUpdate(TAction* sender) {
  CW_ASSERT(sender != nullptr, UnitPath, __LINE__);
  sender->SetEnabled(GetDebugger()->GetActive());
}

void TfrmMain::actTracerExitExecute() { Close(); }

void TfrmMain::FormCloseQuery(bool& canClose) {
  canClose = !GetDebugger()->GetActive();
  if (canClose) return;
  if (ShowMessageBox(Message(SActiveSessionAbort), MB_YESNO | MB_ICONQUESTION) == IDYES) {
    canClose = true;
    FLayout->actTracerStop->Execute();
  }
}

void TfrmMain::EntryPointUpdate(TAction* sender, bool present, bool enabled) {
  sender->SetVisible(present);
  sender->SetEnabled(present && enabled);
}

void TfrmMain::actLogPropertiesExecute() {
  if (FLayout->lvwTrace->ItemCount() > 0 && MainWindowEntryPoints().ShowEventProperties)
    MainWindowEntryPoints().ShowEventProperties(*this);
}

void TfrmMain::actLogPropertiesUpdate(TAction* sender) {
  EntryPointUpdate(sender, bool(MainWindowEntryPoints().ShowEventProperties), SelectedRow() >= 0);
}

void TfrmMain::actLogSaveExecute() { SaveLog(); }

void TfrmMain::actLogSaveUpdate(TAction* sender) {
  const bool any = GetTracerEventQueue()->VisibleEvents()->List().Count() > 0;
  if (sender == FLayout->actLogSave)
    EntryPointUpdate(sender, bool(MainWindowEntryPoints().WriteLog), any);
  else
    sender->SetEnabled(any);
}

void TfrmMain::SetLogSaveFilter(TFileDialog& dialog) {
  dialog.Filter = L"CSV (*.csv)|*.csv|HTML (*.htm)|*.htm";
  try {
    if (MainWindowEntryPoints().CanWriteExcel && MainWindowEntryPoints().CanWriteExcel())
      dialog.Filter += L"|Microsoft Excel (*.xls)|*.xls";
  } catch (...) {
    // Without Excel the workbook is not offered.
  }
}

void TfrmMain::SaveLog() {
  // Reached again from the export's message processing (short cut, tool button): a second
  // export over the one running would write the same rows into another file meanwhile.
  if (FSavingLog) return;
  FSavingLog = true;
  TScopeExit reset([this] { FSavingLog = false; });
  try {
    if (sdgLog.InitialDir.empty()) sdgLog.InitialDir = GetUserDataFolder();
    sdgLog.FileName = DefaultLogFileName();
    SetLogSaveFilter(sdgLog);
    if (!sdgLog.Execute(Handle())) return;
    sdgLog.InitialDir = WideExtractFileDir(sdgLog.FileName);
    CW_ASSERT(sdgLog.FilterIndex >= 1 && sdgLog.FilterIndex <= 3, UnitPath, __LINE__);
    // The writer disables this window while its progress window is up.
    MainWindowEntryPoints().WriteLog(*this, sdgLog.FilterIndex, sdgLog.FileName);
    if (MainWindowEntryPoints().OpenSavedLog)
      MainWindowEntryPoints().OpenSavedLog(sdgLog.FileName);
    else
      ShellExecuteW(Handle(), L"open", sdgLog.FileName.c_str(), nullptr, nullptr, SW_SHOWMAXIMIZED);
  } catch (Exception& e) {
    PrependTranslatedExceptionLine(e, SErrorSaveLog.Name, SErrorSaveLog.Default);
    throw;
  }
}

void TfrmMain::actLogClearExecute() {
  GetTracerEventQueue()->Clear();
  FLogView->ListReader().InvalidateCache();
  FLogView->HintReader().InvalidateCache();
  FLogView->RefreshRowCount();
  FLayout->lvwTrace->InvalidateData();
  FLayout->lvwTrace->Invalidate();
  RefreshEventProps();
}

void TfrmMain::actLogHighlightExecute() {
  if (!MainWindowEntryPoints().EditHighlightRules) return;
  // The editor puts the rules back itself unless the dialog ends with OK.
  try {
    MainWindowEntryPoints().EditHighlightRules(*this);
  } catch (...) {
    FLayout->lvwTrace->Invalidate();
    throw;
  }
  FLayout->lvwTrace->InvalidateData();
  FLayout->lvwTrace->Invalidate();
}

void TfrmMain::actLogScrollLockExecute() { SetScrollLock(!ScrollLock()); }

void TfrmMain::actLogScrollLockUpdate(TAction* sender) { sender->SetChecked(ScrollLock()); }

void TfrmMain::actLogFirstExecute() { FLogView->SelectRow(0); }

void TfrmMain::actLogUpExecute() {
  if (SelectedRow() > 0) FLogView->SelectRow(SelectedRow() - 1);
}

void TfrmMain::actLogDownExecute() {
  if (SelectedRow() < FLayout->lvwTrace->ItemCount() - 1) FLogView->SelectRow(SelectedRow() + 1);
}

void TfrmMain::actLogLastExecute() { FLogView->SelectRow(FLayout->lvwTrace->ItemCount() - 1); }

void TfrmMain::actLogFirstUpdate(TAction* sender) { sender->SetEnabled(SelectedRow() > 0); }

void TfrmMain::actLogLastUpdate(TAction* sender) { sender->SetEnabled(SelectedRow() < FLayout->lvwTrace->ItemCount() - 1); }

void TfrmMain::actOptionsExecute() {
  if (!MainWindowEntryPoints().EditOptions) return;
  TMainOptions options;
  options.TimeFormatCaption = Message(STimeFormat);
  options.ColumnsCaption = Message(SVisibleColumns);
  FLogView->EditOptions(options, [this](TMainOptions& o) { return MainWindowEntryPoints().EditOptions(*this, o); });
}

void TfrmMain::actContentsExecute() { ShowHelpTopic(L"html\\overview.htm"); }

void TfrmMain::actContentsUpdate(TAction* sender) {
  CW_ASSERT(sender != nullptr, UnitPath, __LINE__);
  sender->SetEnabled(true);
}

void TfrmMain::actAboutExecute() {
  if (MainWindowEntryPoints().ShowAbout) MainWindowEntryPoints().ShowAbout(*this);
}

// ---- log view -------------------------------------------------------------------------------------

void TfrmMain::lvwTraceChange() {
  RefreshEventProps();
  UpdateStatus();
}

void TfrmMain::lvwTraceDblClick() { FLayout->actLogProperties->Execute(); }

void TfrmMain::RefreshEventProps() {
  if (MainWindowEntryPoints().RefreshEventProperties) MainWindowEntryPoints().RefreshEventProperties(*this);
}

// ---- idle -----------------------------------------------------------------------------------------

void TfrmMain::PacedIdle(bool& done) {
  FLogView->RefreshRowCountPaced(FLayout->tmrIdleDue);
  UpdateStatusAndTitle();
  done = true;
}

void TfrmMain::AppIdle(bool& done) {
  FLogView->RefreshRowCount();
  UpdateStatusAndTitle();
  done = true;
}

void TfrmMain::UpdateStatusAndTitle() {
  UpdateStatus();
  // Recomputed on every pass and written when the window shows another text: a language
  // switch may have put the translated form caption there.
  const std::wstring title = GetMainTitle();
  if (title != FShownTitle) {
    SetCaption(title);
    Application()->SetTitle(title);
  }
}

void TfrmMain::UpdateStatus() {
  const int index = SelectedRow();
  const std::wstring text =
      index < 0 ? std::wstring() : Format(Message(SRecordXFromY), {index + 1, FLayout->lvwTrace->ItemCount()});
  if (text == FShownStatus && text == FLayout->sbr->SimpleText()) return;
  FShownStatus = text;
  FLayout->sbr->SetSimpleText(text);
}

std::wstring TfrmMain::DebuggeeFileName() {
  TDebuggingThread* thread = GetDebugger()->Thread();
  TDebuggedProcess* process = thread ? thread->Process() : nullptr;
  const DWORD processId = process ? process->ProcessId() : 0;
  if (thread != FNamedThread || processId != FNamedProcessId) {
    FNamedThread = thread;
    FNamedProcessId = processId;
    FDebuggeeFileName.clear();
  }
  // The debugging thread's copy, through its locked accessor, until it is known.
  if (process && FDebuggeeFileName.empty()) FDebuggeeFileName = GetDebugger()->DebuggeeFileName();
  return FDebuggeeFileName;
}

std::wstring TfrmMain::GetMainTitle() {
  if (!GetDebugger()->GetActive()) return MainTitle;
  const std::wstring name = DebuggeeFileName();
  if (name.empty()) return MainTitle;
  return WideFormat(L"%ls - %ls", WideExtractFileName(name).c_str(), MainTitle);
}
