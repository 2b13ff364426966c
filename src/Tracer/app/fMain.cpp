#include "Tracer/app/fMain.h"

#include <algorithm>

#include <commdlg.h>
#include <shellapi.h>

#include "Tracer/app/fSelProcessDlg.h"
#include "Tracer/app/uAppSettings.h"
#include "Tracer/engine/uDebugCore.h"
#include "Tracer/engine/uProcDefs.h"
#include "Tracer/engine/uSymbolFiles.h"
#include "Tracer/foundation/uConfig.h"
#include "Tracer/foundation/uErrorReport.h"
#include "Tracer/foundation/uMultiLanguage.h"
#include "Tracer/foundation/uRaise.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"

static const wchar_t* const UnitPath = L"src/Tracer/fMain";

namespace {

const wchar_t* const MainTitle = L"Calderwisp 2";

// ---- action pictures ---------------------------------------------------------------------------
// Each picture is a few filled shapes on a 16 x 16 cell; the disabled list draws them grey.

enum class TShape : uint8_t { Poly, Rect, Ellipse, Frame, Text };

struct TStroke {
  TShape Shape;
  COLORREF Color;
  std::vector<POINT> Points;  // Poly: the corners; Rect/Ellipse/Frame: two corners; Text: the origin
  const wchar_t* Text = nullptr;
};

struct TPicture {
  int Index;
  std::vector<TStroke> Strokes;
};

const COLORREF Green = RGB(0, 150, 0), Red = RGB(200, 0, 0), Blue = RGB(0, 70, 200), Black = RGB(0, 0, 0),
               Yellow = RGB(240, 200, 0), Grey = RGB(110, 110, 110), White = RGB(255, 255, 255);

const std::vector<TPicture>& ActionPictures() {
  static const std::vector<TPicture> pictures{
      {0, {{TShape::Poly, Green, {{4, 2}, {13, 8}, {4, 14}}}}},                                   // run
      {1, {{TShape::Ellipse, Blue, {{2, 2}, {11, 11}}}, {TShape::Rect, Blue, {{9, 9}, {15, 15}}}}},  // attach
      {2, {{TShape::Rect, Red, {{3, 3}, {13, 13}}}}},                                             // stop
      {3, {{TShape::Poly, Red, {{2, 4}, {4, 2}, {14, 12}, {12, 14}}}, {TShape::Poly, Red, {{12, 2}, {14, 4}, {4, 14}, {2, 12}}}}},
      {4, {{TShape::Rect, Blue, {{2, 2}, {14, 14}}}, {TShape::Rect, White, {{4, 3}, {12, 8}}}}},  // save
      {5, {{TShape::Rect, Yellow, {{2, 3}, {14, 7}}}, {TShape::Rect, Red, {{2, 9}, {14, 13}}}}},  // highlight
      {6, {{TShape::Text, Blue, {{4, 0}}, L"?"}}},                                                // contents
      {7, {{TShape::Frame, Black, {{2, 1}, {11, 14}}}, {TShape::Poly, Yellow, {{6, 11}, {12, 5}, {15, 8}, {9, 14}}},
           {TShape::Poly, Black, {{6, 11}, {9, 14}, {5, 15}}}}},                                 // edit rule
      {8, {{TShape::Poly, Black, {{3, 11}, {8, 5}, {13, 11}}}}},                                  // prior
      {9, {{TShape::Poly, Black, {{3, 5}, {8, 11}, {13, 5}}}}},                                   // next
      {10, {{TShape::Ellipse, Red, {{5, 1}, {12, 8}}}, {TShape::Rect, Red, {{3, 7}, {14, 9}}},
            {TShape::Rect, Grey, {{8, 9}, {10, 16}}}}},                                           // stay on top
      {11, {{TShape::Rect, Black, {{3, 2}, {13, 4}}}, {TShape::Poly, Black, {{3, 12}, {8, 6}, {13, 12}}}}},
      {12, {{TShape::Rect, Black, {{3, 12}, {13, 14}}}, {TShape::Poly, Black, {{3, 4}, {8, 10}, {13, 4}}}}},
      {13, {{TShape::Rect, Blue, {{4, 3}, {7, 13}}}, {TShape::Rect, Blue, {{9, 3}, {12, 13}}}}},  // pause
      {14, {{TShape::Ellipse, Grey, {{2, 2}, {14, 14}}}, {TShape::Ellipse, White, {{6, 6}, {10, 10}}}}},
      {15, {{TShape::Text, Blue, {{3, 0}}, L"A"}}},                                              // ASCII
      {16, {{TShape::Text, Blue, {{1, 2}}, L"0x"}}},                                             // hex
      {17, {{TShape::Frame, Black, {{1, 1}, {15, 15}}}, {TShape::Rect, Black, {{7, 4}, {9, 9}}}, {TShape::Rect, Black, {{7, 7}, {12, 9}}}}},
      {18, {{TShape::Rect, Blue, {{1, 2}, {5, 14}}}, {TShape::Rect, Blue, {{6, 2}, {10, 14}}}, {TShape::Rect, Blue, {{11, 2}, {15, 14}}}}},
      {19, {{TShape::Frame, Black, {{3, 1}, {13, 15}}}, {TShape::Rect, Black, {{5, 4}, {11, 5}}}, {TShape::Rect, Black, {{5, 7}, {11, 8}}}, {TShape::Rect, Black, {{5, 10}, {11, 11}}}}},
      {20, {{TShape::Frame, Black, {{2, 1}, {11, 14}}}, {TShape::Rect, Green, {{7, 10}, {16, 12}}},
            {TShape::Rect, Green, {{10, 7}, {12, 15}}}}},                                         // new rule
      {21, {{TShape::Frame, Black, {{2, 1}, {11, 14}}}, {TShape::Rect, Red, {{7, 10}, {16, 12}}}}},  // delete rule
      {22, {{TShape::Frame, Black, {{5, 1}, {11, 9}}}, {TShape::Rect, Yellow, {{3, 7}, {13, 15}}}}},  // scroll lock
  };
  return pictures;
}

const int ActionPictureCount = 23;
const COLORREF MaskColor = RGB(255, 0, 255);

void DrawPicture(HDC dc, const TPicture* picture, bool disabled) {
  RECT cell{0, 0, 16, 16};
  TBrushHandle mask(CreateSolidBrush(MaskColor));
  FillRect(dc, &cell, mask.Get());
  if (!picture) return;
  for (const TStroke& s : picture->Strokes) {
    const COLORREF color = disabled && s.Color != White ? RGB(160, 160, 160) : s.Color;
    TBrushHandle brush(CreateSolidBrush(color));
    TDgnUniqueHandle<TGdiObjectTraits<HPEN>> pen(CreatePen(PS_SOLID, 1, color));
    TSelectObject b(dc, brush.Get()), p(dc, pen.Get());
    const POINT* pts = s.Points.data();
    switch (s.Shape) {
      case TShape::Poly: Polygon(dc, pts, static_cast<int>(s.Points.size())); break;
      case TShape::Rect: {
        RECT r{pts[0].x, pts[0].y, pts[1].x, pts[1].y};
        FillRect(dc, &r, brush.Get());
        break;
      }
      case TShape::Ellipse: Ellipse(dc, pts[0].x, pts[0].y, pts[1].x, pts[1].y); break;
      case TShape::Frame: {
        RECT r{pts[0].x, pts[0].y, pts[1].x, pts[1].y};
        FrameRect(dc, &r, brush.Get());
        break;
      }
      case TShape::Text: {
        // Two letters take a smaller face to fit the cell.
        const int height = lstrlenW(s.Text) > 1 ? -11 : -15;
        TFontHandle font(CreateFontW(height, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Arial"));
        TSelectObject f(dc, font.Get());
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, color);
        TextOutW(dc, pts[0].x, pts[0].y, s.Text, lstrlenW(s.Text));
        break;
      }
    }
  }
}

void AddActionPictures(TImageList* list, bool disabled) {
  TWindowDC screen(nullptr);
  HDC dc = CreateCompatibleDC(screen.Get());
  for (int i = 0; i < ActionPictureCount; ++i) {
    const TPicture* picture = nullptr;
    for (const TPicture& p : ActionPictures())
      if (p.Index == i) picture = &p;
    TBitmapHandle bitmap(CreateCompatibleBitmap(screen.Get(), 16, 16));
    {
      TSelectObject select(dc, bitmap.Get());
      DrawPicture(dc, picture, disabled);
    }
    list->AddMasked(bitmap.Get(), MaskColor);
  }
  DeleteDC(dc);
}

// ---- plug-in toolbar --------------------------------------------------------------------------

// A plug-in's command as an action of the window: texts and state come from the plug-in.
class TPluginToolAction : public TAction {
public:
  TPluginToolAction(TComponent* owner, TActionList* list, std::unique_ptr<TAppPluginAction> action)
      : TAction(owner, list, std::wstring()), FPluginAction(std::move(action)) {
    SetCaption(FPluginAction->GetCaption());
    SetHint(FPluginAction->GetHint());
    SetImageIndex(FPluginAction->GetImageIndex());
    OnUpdate = [this](TAction*) {
      FPluginAction->Update();
      SetEnabled(FPluginAction->GetEnabled());
      SetVisible(FPluginAction->GetVisible());
    };
    // The plug-in may remove this action inside Execute: nothing of it is touched afterwards.
    OnExecute = [this](TAction*) { FPluginAction->Execute(); };
  }
  TAppPluginAction* PluginAction() const { return FPluginAction.get(); }

private:
  std::unique_ptr<TAppPluginAction> FPluginAction;
};

std::wstring CommaText(const std::vector<std::wstring>& parts) {
  std::wstring s;
  for (const std::wstring& p : parts) s += (s.empty() ? L"" : L", ") + p;
  return s;
}

std::wstring Message(const TMessageId& id) { return GetMultiLanguage()->MessageText(id); }

// The program's icon in the title bar and the task list, each size as the system asks for it
// (shared icons: the system keeps them for the program's life).
void ShowProgramIcon(TForm& form) {
  const struct {
    WPARAM Kind;
    int Width, Height;
  } sizes[] = {{ICON_BIG, SM_CXICON, SM_CYICON}, {ICON_SMALL, SM_CXSMICON, SM_CYSMICON}};
  for (const auto& size : sizes)
    if (HANDLE icon = LoadImageW(GetModuleHandleW(nullptr), L"MAINICON", IMAGE_ICON, GetSystemMetrics(size.Width),
                                 GetSystemMetrics(size.Height), LR_SHARED))
      form.Perform(WM_SETICON, size.Kind, reinterpret_cast<LPARAM>(icon));
}

void ReplaceAll(std::wstring& s, const std::wstring& from, const std::wstring& to) {
  for (size_t i = s.find(from); i != std::wstring::npos; i = s.find(from, i + to.size())) s.replace(i, from.size(), to);
}

}  // namespace

TMainWindowEntryPoints& MainWindowEntryPoints() {
  static TMainWindowEntryPoints entryPoints;
  return entryPoints;
}

// ---- readers and hint window --------------------------------------------------------------------

void TListViewTEQReader::GetParamText(ITracerEventParam* param, std::wstring& text) {
  TSimpleTEQReader::GetParamText(param, text);
  ReplaceAll(text, L"\r\n", L" ");
  ReplaceAll(text, L"\n", L" ");
  ReplaceAll(text, L"\t", L" ");
}

namespace {

void AppendNamedParam(TSimpleTEQReader& reader, ITracerEventParam* param, std::wstring& text, const wchar_t* separator) {
  if (!text.empty()) text += separator;
  TBStr name;
  OleCheck(param->get_Name(name.Put()));
  std::wstring value;
  reader.GetParamText(param, value);
  text += WideFormat(L"%ls=%ls", BStrToWide(name.Get()).c_str(), value.c_str());
}

}  // namespace

void TListViewTEQReader::AppendParamText(ITracerEventParam* param, std::wstring& text) {
  AppendNamedParam(*this, param, text, L" ");
}

void TSmartHintTEQReader::AppendParamText(ITracerEventParam* param, std::wstring& text) {
  AppendNamedParam(*this, param, text, L"\n");
}

TSmartHintWindow::TSmartHintWindow(HFONT mainFont) : THintWindow(mainFont, L"TSmartHintWindow") {}

LRESULT TSmartHintWindow::OnMessage(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCPAINT) {
    WMNCPaint();
    return 0;
  }
  return THintWindow::OnMessage(msg, wp, lp);
}

void TSmartHintWindow::WMNCPaint() {
  HDC dc = GetWindowDC(Handle());
  if (!dc) return;
  RECT r{0, 0, Width(), Height()};
  FrameRect(dc, &r, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  ReleaseDC(Handle(), dc);
}

// ---- objects for the automation model ------------------------------------------------------------

HIMAGELIST TToolbarPluginActionsImpl::GetImages() {
  return FToolBar->Images() ? FToolBar->Images()->Handle() : nullptr;
}

void TToolbarPluginActionsImpl::AddAction(std::unique_ptr<TAppPluginAction> Action) {
  auto* button = new TToolButton(FToolBar, FToolBar, std::wstring());
  // The button owns its action: freeing the button frees both.
  auto* action = new TPluginToolAction(button, FActionList, std::move(Action));
  button->SetAction(action);
  FToolBar->SetVisible(true);
  if (FToolBar->Parent()) FToolBar->Parent()->AlignControls();
}

void TToolbarPluginActionsImpl::RemoveActions(IAppPluginAction* Action) {
  for (int i = FToolBar->ButtonCount() - 1; i >= 0; --i) {
    TToolButton* button = FToolBar->Button(i);
    auto* action = dynamic_cast<TPluginToolAction*>(button->Action());
    if (action && action->PluginAction()->GetPluginAction() == Action) delete button;
  }
  FToolBar->SetVisible(FToolBar->ButtonCount() > 1);
  if (FToolBar->Parent()) FToolBar->Parent()->AlignControls();
}

void* TVisibleTracerEventsImpl::GetInterface(REFIID iid) {
  if (IsEqualIID(iid, __uuidof(IVisibleTracerEventsImpl)) || IsEqualIID(iid, IID_IUnknown))
    return static_cast<IVisibleTracerEventsImpl*>(this);
  return TInterfacedObject::GetInterface(iid);
}

LONG STDMETHODCALLTYPE TVisibleTracerEventsImpl::GetFocusedIndex() { return FListView->ItemIndex(); }

void* TMainWindowHandleImpl::GetInterface(REFIID iid) {
  if (IsEqualIID(iid, __uuidof(IAppObjectMainWindowHandleImpl)) || IsEqualIID(iid, IID_IUnknown))
    return static_cast<IAppObjectMainWindowHandleImpl*>(this);
  return TInterfacedObject::GetInterface(iid);
}

// ---- free routines --------------------------------------------------------------------------------

std::wstring ProcDefRowText(TProcDef* def) {
  std::vector<std::wstring> flags;
  if (def->GetActive()) flags.push_back(Message(SActive));
  if (def->GetVisible()) flags.push_back(Message(SVisible));
  const std::wstring text = CommaText(flags);
  return text.empty() ? def->GetTitle() : def->GetTitle() + L"   (" + text + L")";
}

void FitSingleColumn(TListView& list) {
  CW_ASSERT(list.ColumnCount() == 1, UnitPath, __LINE__);
  list.SetColumnWidth(0, list.Width() - 5);
  list.SetColumnWidth(0, list.Width() - 4);
}

std::wstring FormatTimeStamp(const SYSTEMTIME& t) {
  return WideFormat(L"%4.4d%2.2d%2.2d", t.wYear, t.wMonth, t.wDay) +
         WideFormat(L"%2.2d%2.2d%2.2d", t.wHour, t.wMinute, t.wSecond);
}

std::wstring DefaultLogFileName() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return L"Calderwisp Log " + FormatTimeStamp(now);
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
  FScrollLock = true;
  FRecentFiles = std::make_unique<TRecentFiles>();
  GetExceptionHandler()->Title = Application()->Title();
  Application()->OnIdle = [this](bool& done) { AppIdle(done); };
  Application()->OnShowHint = [this](std::wstring& s, bool& canShow, THintInfo& info) { AppShowHint(s, canShow, info); };
  CreateComponents();
  ShowProgramIcon(*this);
  odgDebugApps.InitialDir = ProgramFolder();
  CreateSystemImages();
  CreateColumnManager();
  FListReader = std::make_unique<TListViewTEQReader>(FColumnManager.get());
  FHintReader = std::make_unique<TSmartHintTEQReader>(FColumnManager.get());
  // The automation model reaches the window through these, before any symbol file (and so any
  // plug-in) is loaded.
  InstallAppPluginHost();
  FPluginToolbar = std::make_unique<TToolbarPluginActionsImpl>(tbrPlugins, ActionList);
  GetAppPluginActions()->SetImpl(FPluginToolbar.get());
  GetTracerEventQueue()->VisibleEvents()->SetImpl(new TVisibleTracerEventsImpl(lvwTrace));
  GetAppObject()->SetMainWindowHandleImpl(new TMainWindowHandleImpl(Handle()));
  lvwTrace->SetExtendedStyle(LVS_EX_INFOTIP, 0);
}

TfrmMain::~TfrmMain() {
  FDestroying = true;
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

TAction* TfrmMain::NewAction(const wchar_t* name, const wchar_t* category, const wchar_t* caption, const wchar_t* hint,
                             int image) {
  auto* a = new TAction(this, ActionList, name);
  a->SetCategory(category);
  a->SetCaption(caption);
  a->SetHint(hint);
  a->SetImageIndex(image);
  return a;
}

void TfrmMain::CreateActions() {
  ActionList = new TActionList(this);
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
    b.Action->OnExecute = [this, fn = b.Execute](TAction*) { (this->*fn)(); };
    if (b.Update) b.Action->OnUpdate = [this, fn = b.Update](TAction* sender) { (this->*fn)(sender); };
  }
  // The windows of other units: shown only while their entry point is there.
  actLogHighlight->OnUpdate = [this](TAction* a) { EntryPointUpdate(a, bool(MainWindowEntryPoints().EditHighlightRules), true); };
  actOptions->OnUpdate = [this](TAction* a) { EntryPointUpdate(a, bool(MainWindowEntryPoints().EditOptions), true); };
  actAbout->OnUpdate = [this](TAction* a) { EntryPointUpdate(a, bool(MainWindowEntryPoints().ShowAbout), true); };
}

TMenuItem* TfrmMain::NewMenuItem(TMenuItem* parent, const wchar_t* name, TAction* action, TShortCut shortCut) {
  auto* item = new TMenuItem(this, parent, name);
  if (action) item->SetAction(action);
  if (shortCut) item->SetShortCut(shortCut);
  return item;
}

void TfrmMain::CreateMenus() {
  mmu = new TMainMenu(this, L"mmu");
  auto separator = [this](TMenuItem* parent) { new TMenuItem(this, parent, std::wstring(), L"-"); };
  mniTracer = new TMenuItem(this, mmu, L"mniTracer", L"&Tracer");
  mniRun = NewMenuItem(mniTracer, L"mniRun", actTracerRun, TShortCut{VK_F9, 0});
  mniAttach = NewMenuItem(mniTracer, L"mniAttach", actTracerAttach);
  mniPause = NewMenuItem(mniTracer, L"mniPause", actTracerPause);
  mniStop = NewMenuItem(mniTracer, L"mniStop", actTracerStop, TShortCut{VK_F2, FCONTROL});
  separator(mniTracer);
  mniLanguage = new TMenuItem(this, mniTracer, L"mniLanguage", L"Language");
  separator(mniTracer);
  mniExit = NewMenuItem(mniTracer, L"mniExit", actTracerExit);
  mniLog = new TMenuItem(this, mmu, L"mniLog", L"&Log");
  mniProperties = NewMenuItem(mniLog, L"mniProperties", actLogProperties);
  mniSaveLog = NewMenuItem(mniLog, L"mniSaveLog", actLogSave, TShortCut{'S', FCONTROL});
  mniClearLog = NewMenuItem(mniLog, L"mniClearLog", actLogClear);
  mniHighlight = NewMenuItem(mniLog, L"mniHighlight", actLogHighlight);
  mniScrollLock = NewMenuItem(mniLog, L"mniScrollLock", actLogScrollLock);
  mniTools = new TMenuItem(this, mmu, L"mniTools", L"T&ools");
  mniOptions = NewMenuItem(mniTools, L"mniOptions", actOptions);
  mniHelp = new TMenuItem(this, mmu, L"mniHelp", L"&Help");
  mniContents = NewMenuItem(mniHelp, L"mniContents", actContents);
  mniAbout = NewMenuItem(mniHelp, L"mniAbout", actAbout);
  SetMenu(mmu);

  pmnTracer = new TPopupMenu(this, L"pmnTracer");
  NewMenuItem(pmnTracer, L"mniRun2", actTracerRun);
  NewMenuItem(pmnTracer, L"mniAttach2", actTracerAttach);
  NewMenuItem(pmnTracer, L"mniStop2", actTracerStop);
  separator(pmnTracer);
  NewMenuItem(pmnTracer, L"mniSaveLog2", actLogSave);
  NewMenuItem(pmnTracer, L"mniClearLog2", actLogClear);
  NewMenuItem(pmnTracer, L"mniHighlight2", actLogHighlight);
  mniScrollLock2 = NewMenuItem(pmnTracer, L"mniScrollLock2", actLogScrollLock);
  pmnRecents = new TPopupMenu(this, L"pmnRecents");
}

TToolButton* TfrmMain::NewToolButton(const wchar_t* name, TAction* action) {
  auto* b = new TToolButton(this, tbrTracer, name,
                            action == actLogScrollLock ? TToolButtonStyle::Check : TToolButtonStyle::Button);
  b->SetAction(action);
  return b;
}

void TfrmMain::CreateComponents() {
  imlMain = new TImageList(this, L"imlMain");
  imlMainDisabled = new TImageList(this, L"imlMainDisabled");
  imlPlugins = new TImageList(this, L"imlPlugins");
  imlSystem = new TImageList(this, L"imlSystem");
  AddActionPictures(imlMain, false);
  AddActionPictures(imlMainDisabled, true);
  CreateActions();
  CreateMenus();

  sbr = new TStatusBar(this, this, L"sbr", 19);
  pcl = new TPageControl(this, this, L"pcl", 0, 0, 632, 453);
  pcl->SetAlign(TAlign::alClient);
  tshTrace = new TTabSheet(this, pcl, L"tshTrace", L"Tracer");
  tshSymbols = new TTabSheet(this, pcl, L"tshSymbols", L"Symbols");
  pcl->SetActivePage(tshTrace);

  pnlToolbars = new TPanel(this, tshTrace, 0, 0, 624, 25);
  pnlToolbars->SetAlign(TAlign::alTop);
  tbrTracer = new TToolBar(this, pnlToolbars, L"tbrTracer", 0, 0, 361, 25);
  tbrTracer->SetAlign(TAlign::alLeft);
  tbrTracer->SetImages(imlMain);
  tbrTracer->SetDisabledImages(imlMainDisabled);
  btnRun = new TToolButton(this, tbrTracer, L"btnRun", TToolButtonStyle::DropDown);
  btnRun->SetAction(actTracerRun);
  btnRun->DropdownMenu = pmnRecents;
  btnAttach = NewToolButton(L"btnAttach", actTracerAttach);
  btnPause = NewToolButton(L"btnPause", actTracerPause);
  btnDebugStop = NewToolButton(L"btnDebugStop", actTracerStop);
  new TToolButton(this, tbrTracer, std::wstring(), TToolButtonStyle::Separator);
  btnProperties = NewToolButton(L"btnProperties", actLogProperties);
  btnSave = NewToolButton(L"btnSave", actLogSave);
  btnClear = NewToolButton(L"btnClear", actLogClear);
  btnColorize = NewToolButton(L"btnColorize", actLogHighlight);
  btnScrollLock = NewToolButton(L"btnScrollLock", actLogScrollLock);
  new TToolButton(this, tbrTracer, std::wstring(), TToolButtonStyle::Separator);
  btnFirst = NewToolButton(L"btnFirst", actLogFirst);
  btnPrior = NewToolButton(L"btnPrior", actLogUp);
  btnNext = NewToolButton(L"btnNext", actLogDown);
  btnLast = NewToolButton(L"btnLast", actLogLast);
  new TToolButton(this, tbrTracer, std::wstring(), TToolButtonStyle::Separator);
  btnOptions = NewToolButton(L"btnOptions", actOptions);
  tbrTracer->SetShowHint(true);
  tbrPlugins = new TToolBar(this, pnlToolbars, L"tbrPlugins", 361, 0, 263, 25);
  tbrPlugins->SetAlign(TAlign::alClient);
  tbrPlugins->SetImages(imlPlugins);
  tbrPlugins->SetShowHint(true);
  s4 = new TToolButton(this, tbrPlugins, L"s4", TToolButtonStyle::Divider);
  tbrPlugins->SetVisible(false);

  TListViewStyle traceStyle;
  traceStyle.OwnerData = true;
  traceStyle.RowSelect = true;
  traceStyle.GridLines = true;
  traceStyle.ShowSelAlways = true;
  lvwTrace = new TListView(this, tshTrace, L"lvwTrace", 0, 25, 624, 400, traceStyle);
  lvwTrace->SetAlign(TAlign::alClient);
  lvwTrace->SetShowHint(true);
  lvwTrace->SetPopupMenu(pmnTracer);
  const std::pair<const wchar_t*, int> columns[] = {
      {L"Thread Id", 60}, {L"Call", 100}, {L"Time (ms)", 70}, {L"Result", 85}, {L"Parameters", 300}};
  for (const auto& [caption, width] : columns) lvwTrace->AddColumn(caption, width);
  lvwTrace->OnData = [this](TListView*, int index, std::vector<std::wstring>& texts) { lvwTraceData(index, texts); };
  lvwTrace->OnCustomDrawItem = [this](TListView*, int index, COLORREF& text, COLORREF& back) {
    lvwTraceCustomDrawItem(index, text, back);
  };
  lvwTrace->OnChange = [this](TListView*, int) { lvwTraceChange(); };
  lvwTrace->OnDblClick = [this](TListView*) { lvwTraceDblClick(); };
  // No info tips of the list's own: the hints show the cells.
  lvwTrace->OnInfoTip = [](TListView*, int, std::wstring&) {};

  pnlSymbolFiles = new TPanel(this, tshSymbols, 0, 0, 193, 400);
  pnlSymbolFiles->SetAlign(TAlign::alLeft);
  TListViewStyle fileStyle;
  fileStyle.CheckBoxes = true;
  fileStyle.RowSelect = true;
  fileStyle.ShowSelAlways = true;
  lvwSymbolFiles = new TListView(this, pnlSymbolFiles, L"lvwSymbolFiles", 0, 0, 193, 400, fileStyle);
  lvwSymbolFiles->SetAlign(TAlign::alClient);
  lvwSymbolFiles->AddColumn(L"Loaded symbols", 189);
  lvwSymbolFiles->OnChange = [this](TListView*, int index) { lvwSymbolFilesChange(index); };
  lvwSymbolFiles->OnResize = [this](TControl*) { FitSingleColumn(*lvwSymbolFiles); };
  Splitter1 = new TSplitter(this, tshSymbols, L"Splitter1", TAlign::alLeft);
  TListViewStyle procStyle;
  procStyle.RowSelect = true;
  lvwProcDefs = new TListView(this, tshSymbols, L"lvwProcDefs", 196, 0, 428, 400, procStyle);
  lvwProcDefs->SetAlign(TAlign::alClient);
  lvwProcDefs->AddColumn(L"Loaded functions", 457);
  lvwProcDefs->SetImages(imlSystem, LVSIL_SMALL);
  lvwProcDefs->SetImages(imlSystem, LVSIL_STATE);
  lvwProcDefs->OnClick = [this](TListView*) { lvwProcDefsClick(); };
  lvwProcDefs->OnResize = [this](TControl*) { FitSingleColumn(*lvwProcDefs); };

  odgDebugApps.Filter = L"*.exe|*.exe|*.*|*.*";
  sdgLog.DefaultExt = L"htm";
  // The dialog asks before an existing file is replaced: the writers then replace it unasked.
  sdgLog.Options = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_ENABLESIZING | OFN_OVERWRITEPROMPT;
  tmrRefresh = new TTimer(this, L"tmrRefresh", 500);
  // Empty: the timer only keeps idle passes coming.
  tmrRefresh->OnTimer = [](TTimer*) {};
  OnCloseQuery = [this](TForm*, bool& canClose) { FormCloseQuery(canClose); };
  SetCaption(L"Calderwisp");
  AlignControls();
}

void TfrmMain::CreateSystemImages() {
  TComPtr<ISystemBitmaps> bitmaps(new TSystemBitmaps());
  FSystemImages = std::make_unique<TSystemImagesStorage>(bitmaps.Get(), imlSystem->Handle());
  FActionImages = std::make_unique<TSystemImagesStorage>(bitmaps.Get(), imlMain->Handle());
}

void TfrmMain::CreateColumnManager() {
  FColumnManager = std::make_unique<TTEQColumnManager>();
  for (int i = 0; i < lvwTrace->ColumnCount(); ++i)
    FColumnManager->AddColumn(lvwTrace->ColumnCaption(i))->SetWidth(lvwTrace->ColumnWidth(i));
  FColumnManager->UpdateVisibleColumns();
}

void TfrmMain::FormCreate() {
  TfrmBase::FormCreate();
  mniScrollLock->SetImageIndex(-1);
  mniScrollLock2->SetImageIndex(-1);
  LoadSettings();
  BuildLanguageMenu();
  FillSymbolFiles();
}

void TfrmMain::LoadSettings() {
  TConfig* config = GetConfig();
  config->RegisterCollection(FRecentFiles.get(), L"recentfiles");
  config->RegisterCollection(GetColorInfos(), L"log:highlight");
  config->RegisterObjectProperties(this, L"main", {L"Language", L"ScrollLock"});
  config->RegisterObject(GetSymbolFiles(), L"symbolfiles");
  config->RegisterCollection(&GetAppSettings()->Items(), L"settings");
  config->RegisterInteger(TimeFormatDigits, L"time:format");
  config->RegisterObject(FColumnManager.get(), L"log:columns");
  try {
    config->Load();
  } catch (Exception& e) {
    RebuildTraceColumns();
    RebuildRecentMenu();
    PrependExceptionLine(e, L"Error loading settings");
    throw;
  }
  RebuildTraceColumns();
  RebuildRecentMenu();
}

void TfrmMain::SaveSettings() {
  try {
    StoreColumnWidths();
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

void TfrmMain::BuildLanguageMenu() {
  const std::wstring current = GetLanguage();
  std::vector<std::wstring> names = GetMultiLanguage()->Languages();
  const bool none = names.empty();
  if (none) names.push_back(L"English");
  for (const std::wstring& name : names) {
    auto* item = new TMenuItem(this, mniLanguage, std::wstring(), name);
    item->SetLiteralCaption(true);
    item->SetRadioItem(true);
    item->SetGroupIndex(1);
    item->SetAutoCheck(true);
    item->SetChecked(name == current);
    item->OnClick = [this](TMenuItem* sender) { LanguageItemClick(sender); };
    if (none) item->SetEnabled(false);
  }
}

void TfrmMain::LanguageItemClick(TMenuItem* sender) { SetLanguage(StripHotKeys(sender->Caption())); }

void TfrmMain::Translate() {
  TfrmBase::Translate();
  UpdateStatus();
  const TTEQColumns& visible = FColumnManager->VisibleColumns();
  for (int i = 0; i < visible.GetCount() && i < lvwTrace->ColumnCount(); ++i) {
    std::wstring caption;
    visible.GetItem(i)->GetCaption(caption);
    lvwTrace->SetColumnCaption(i, caption);
  }
  // The rows show translated words ("Error", "Start"): read them again.
  FListReader->InvalidateCache();
  FHintReader->InvalidateCache();
  lvwTrace->InvalidateData();
  TranslateColumns(*lvwSymbolFiles);
  TranslateColumns(*lvwProcDefs);
  // A new hint window of the current class, with this window's font.
  Application()->SetShowHint(false);
  Application()->SetShowHint(true);
}

void TfrmMain::SetCaption(const std::wstring& caption) {
  TfrmBase::SetCaption(caption);
  FShownTitle = caption;
}

std::wstring TfrmMain::GetHelpKeyword() {
  TTabSheet* page = pcl->ActivePage();
  if (page == tshTrace) return L"html\\main1.htm";
  if (page == tshSymbols) return L"html\\main2.htm";
  return TfrmBase::GetHelpKeyword();
}

void TfrmMain::RebuildTraceColumns() {
  lvwTrace->BeginUpdate();
  lvwTrace->ClearColumns();
  for (TTEQColumn* column : FColumnManager->VisibleColumns()) {
    std::wstring caption;
    column->GetCaption(caption);
    lvwTrace->AddColumn(caption, column->Width());
  }
  lvwTrace->EndUpdate();
}

void TfrmMain::StoreColumnWidths() {
  const TTEQColumns& visible = FColumnManager->VisibleColumns();
  CW_ASSERT(lvwTrace->ColumnCount() == visible.GetCount(), UnitPath, __LINE__);
  for (int i = 0; i < visible.GetCount(); ++i) visible.GetItem(i)->SetWidth(lvwTrace->ColumnWidth(i));
}

// ---- Symbols tab ----------------------------------------------------------------------------------

void TfrmMain::FillSymbolFiles() {
  TSymbolFiles* files = GetSymbolFiles();
  std::vector<std::wstring> paths;
  {
    TSymbolFilesEnumerator e(files, UnitPath, __LINE__);
    while (e.MoveNext()) paths.push_back(e.GetCurrent()->GetFileName());
  }
  std::sort(paths.begin(), paths.end(),
            [](const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) < 0; });
  FFillingSymbolFiles = true;
  lvwSymbolFiles->BeginUpdate();
  try {
    lvwSymbolFiles->Clear();
    for (const std::wstring& path : paths) {
      TSymbolFile* file = nullptr;
      CW_ASSERT(files->FindFile(path, file), UnitPath, __LINE__);
      const int index = lvwSymbolFiles->AddItem(file->GetName());
      lvwSymbolFiles->SetChecked(index, file->IsLoaded());
      // Attached after the box is set: filling never loads or unloads a file.
      lvwSymbolFiles->SetItemData(index, reinterpret_cast<LPARAM>(file));
    }
  } catch (...) {
    FFillingSymbolFiles = false;
    lvwSymbolFiles->EndUpdate();
    throw;
  }
  FFillingSymbolFiles = false;
  lvwSymbolFiles->EndUpdate();
}

void TfrmMain::lvwSymbolFilesChange(int index) {
  if (FDestroying || FFillingSymbolFiles || index < 0) return;
  auto* file = reinterpret_cast<TSymbolFile*>(lvwSymbolFiles->ItemData(index));
  if (!file) return;
  // Every box follows its file afterwards, also when a load failed (loading one file may
  // unload conflicting ones; a failed one is not loaded, and its box must not ask again).
  auto resync = [this] {
    FFillingSymbolFiles = true;
    for (int i = 0; i < lvwSymbolFiles->ItemCount(); ++i)
      if (auto* f = reinterpret_cast<TSymbolFile*>(lvwSymbolFiles->ItemData(i)))
        if (lvwSymbolFiles->Checked(i) != f->IsLoaded()) lvwSymbolFiles->SetChecked(i, f->IsLoaded());
    FFillingSymbolFiles = false;
  };
  try {
    const bool checked = lvwSymbolFiles->Checked(index);
    if (checked != file->IsLoaded()) {
      try {
        if (checked)
          file->Load();
        else
          file->Unload(true);
      } catch (...) {
        resync();
        throw;
      }
      resync();
    }
  } catch (...) {
    RefreshProcDefs();
    throw;
  }
  RefreshProcDefs();
}

TSymbolFile* TfrmMain::GetSelectedSymbolFile() {
  int index = lvwSymbolFiles->ItemIndex();
  if (index < 0) index = static_cast<int>(lvwSymbolFiles->Perform(LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
  if (index < 0) return nullptr;
  auto* file = reinterpret_cast<TSymbolFile*>(lvwSymbolFiles->ItemData(index));
  CW_ASSERT(file != nullptr, UnitPath, __LINE__);
  return file;
}

void TfrmMain::RefreshProcDefs() {
  TSymbolFile* file = GetSelectedSymbolFile();
  FillProcDefs(file);
  UpdateProcDefIcons(file);
}

void TfrmMain::FillProcDefs(TSymbolFile* file) {
  lvwProcDefs->BeginUpdate();
  lvwProcDefs->Clear();
  if (file && file->IsLoaded()) {
    TProcDefsEnumerator e(file->GetProcs(), UnitPath, __LINE__);
    while (e.MoveNext()) lvwProcDefs->AddItem(ProcDefRowText(e.GetCurrent()), reinterpret_cast<LPARAM>(e.GetCurrent()));
  }
  lvwProcDefs->EndUpdate();
}

void TfrmMain::UpdateProcDefIcons(TSymbolFile* file) {
  if (!file || !file->IsLoaded()) return;
  lvwProcDefs->BeginUpdate();
  for (int i = 0; i < lvwProcDefs->ItemCount(); ++i) {
    auto* def = reinterpret_cast<TProcDef*>(lvwProcDefs->ItemData(i));
    CW_ASSERT(def != nullptr, UnitPath, __LINE__);
    lvwProcDefs->SetItemStateImage(i, FSystemImages->CheckBoxImageIndex(def->GetActive()));
    lvwProcDefs->SetItemImage(i, FSystemImages->CheckBoxImageIndex(def->GetVisible()));
  }
  lvwProcDefs->EndUpdate();
}

void TfrmMain::lvwProcDefsClick() {
  POINT pt;
  GetCursorPos(&pt);
  ScreenToClient(lvwProcDefs->Handle(), &pt);
  UINT flags = 0;
  const int index = lvwProcDefs->ItemAt(pt, &flags);
  if (index < 0) return;
  auto* def = reinterpret_cast<TProcDef*>(lvwProcDefs->ItemData(index));
  CW_ASSERT(def != nullptr, UnitPath, __LINE__);
  if (flags & LVHT_ONITEMICON)
    def->SetVisible(!def->GetVisible());
  else if (flags & LVHT_ONITEMSTATEICON)
    def->SetActive(!def->GetActive());
  UpdateProcDefIcons(GetSelectedSymbolFile());
}

// ---- tracing actions ------------------------------------------------------------------------------

void TfrmMain::CheckLoadedFunctions() {
  if (!GetLoadedProcDefs()->IsEmpty()) return;
  pcl->SetActivePage(tshSymbols);
  throw Exception(Message(SNoLoadedSymbols));
}

void TfrmMain::RunProgram(const std::wstring& commandLine) {
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
  while (pmnRecents->Count() < FRecentFiles->GetCount()) {
    auto* item = new TMenuItem(this, pmnRecents);
    item->SetLiteralCaption(true);
    item->OnClick = [this](TMenuItem* sender) { RecentFileClick(sender); };
  }
  for (int i = 0; i < FRecentFiles->GetCount(); ++i) pmnRecents->Item(i)->SetCaption(FRecentFiles->GetItem(i)->GetFileName());
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
    actTracerStop->Execute();
  }
}

void TfrmMain::EntryPointUpdate(TAction* sender, bool present, bool enabled) {
  sender->SetVisible(present);
  sender->SetEnabled(present && enabled);
}

void TfrmMain::actLogPropertiesExecute() {
  if (lvwTrace->ItemCount() > 0 && MainWindowEntryPoints().ShowEventProperties)
    MainWindowEntryPoints().ShowEventProperties(*this);
}

void TfrmMain::actLogPropertiesUpdate(TAction* sender) {
  EntryPointUpdate(sender, bool(MainWindowEntryPoints().ShowEventProperties), SelectedRow() >= 0);
}

void TfrmMain::actLogSaveExecute() { SaveLog(); }

void TfrmMain::actLogSaveUpdate(TAction* sender) {
  const bool any = GetTracerEventQueue()->VisibleEvents()->List().Count() > 0;
  if (sender == actLogSave)
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
  struct TReset {
    bool& Flag;
    ~TReset() { Flag = false; }
  } reset{FSavingLog};
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
  FListReader->InvalidateCache();
  FHintReader->InvalidateCache();
  RefreshRowCount();
  lvwTrace->InvalidateData();
  lvwTrace->Invalidate();
  RefreshEventProps();
}

void TfrmMain::actLogHighlightExecute() {
  if (!MainWindowEntryPoints().EditHighlightRules) return;
  TColorInfos* rules = GetColorInfos();
  TColorInfos saved;
  for (int i = 0; i < rules->GetCount(); ++i) saved.Add()->CopyFrom(*rules->GetItem(i));
  auto restore = [&] {
    rules->Clear();
    for (int i = 0; i < saved.GetCount(); ++i) rules->Add()->CopyFrom(*saved.GetItem(i));
  };
  bool ok = false;
  try {
    ok = MainWindowEntryPoints().EditHighlightRules(*this);
  } catch (...) {
    restore();
    lvwTrace->Invalidate();
    throw;
  }
  if (!ok) restore();
  lvwTrace->InvalidateData();
  lvwTrace->Invalidate();
}

void TfrmMain::actLogScrollLockExecute() { FScrollLock = !FScrollLock; }

void TfrmMain::actLogScrollLockUpdate(TAction* sender) { sender->SetChecked(FScrollLock); }

void TfrmMain::actLogFirstExecute() { SelectRow(0); }

void TfrmMain::actLogUpExecute() {
  if (SelectedRow() > 0) SelectRow(SelectedRow() - 1);
}

void TfrmMain::actLogDownExecute() {
  if (SelectedRow() < lvwTrace->ItemCount() - 1) SelectRow(SelectedRow() + 1);
}

void TfrmMain::actLogLastExecute() { SelectRow(lvwTrace->ItemCount() - 1); }

void TfrmMain::actLogFirstUpdate(TAction* sender) { sender->SetEnabled(SelectedRow() > 0); }

void TfrmMain::actLogLastUpdate(TAction* sender) { sender->SetEnabled(SelectedRow() < lvwTrace->ItemCount() - 1); }

void TfrmMain::SelectRow(int index) {
  lvwTrace->SetItemIndex(index);
  MakeSelectionVisible();
}

void TfrmMain::actOptionsExecute() {
  if (!MainWindowEntryPoints().EditOptions) return;
  TMainOptions options;
  options.TimeFormatCaption = Message(STimeFormat);
  options.TimeFormats = {L"1 ms", L"0.1 ms", L"0.01 ms"};
  options.TimeFormat = TimeFormatDigits;
  options.ColumnsCaption = Message(SVisibleColumns);
  std::vector<TTEQColumn*> columns(FColumnManager->AllColumns().begin(), FColumnManager->AllColumns().end());
  std::stable_sort(columns.begin(), columns.end(),
                   [](TTEQColumn* a, TTEQColumn* b) { return a->ColumnId() < b->ColumnId(); });
  for (TTEQColumn* column : columns) {
    std::wstring caption;
    column->GetCaption(caption);
    options.ColumnCaptions.push_back(caption);
    options.ColumnsVisible.push_back(column->Visible());
  }
  if (!MainWindowEntryPoints().EditOptions(*this, options)) return;
  auto rebuild = [this] {
    FColumnManager->UpdateVisibleColumns();
    RebuildTraceColumns();
    FListReader->InvalidateCache();
    FHintReader->InvalidateCache();
    lvwTrace->Invalidate();
  };
  try {
    TimeFormatDigits = options.TimeFormat;
    StoreColumnWidths();
    for (size_t i = 0; i < columns.size() && i < options.ColumnsVisible.size(); ++i)
      columns[i]->SetVisible(options.ColumnsVisible[i]);
  } catch (...) {
    rebuild();
    throw;
  }
  rebuild();
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

void TfrmMain::lvwTraceData(int index, std::vector<std::wstring>& texts) {
  TTEQColumnValueStrDynArray cells;
  FListReader->ReadRow(index, cells);
  texts.clear();
  for (const TTEQColumnValueStr& cell : cells) texts.push_back(cell.Text);
}

void TfrmMain::lvwTraceCustomDrawItem(int index, COLORREF& textColor, COLORREF& backColor) {
  int32_t text = 0, back = 0;
  FListReader->GetRowColors(index, text, back);
  textColor = ColorToRGB(text);
  backColor = ColorToRGB(back);
}

void TfrmMain::lvwTraceChange() {
  RefreshEventProps();
  UpdateStatus();
}

void TfrmMain::lvwTraceDblClick() { actLogProperties->Execute(); }

void TfrmMain::MakeSelectionVisible() {
  const int index = SelectedRow();
  if (index >= 0) lvwTrace->EnsureVisible(index, false);
}

void TfrmMain::RefreshEventProps() {
  if (MainWindowEntryPoints().RefreshEventProperties) MainWindowEntryPoints().RefreshEventProperties(*this);
}

// ---- idle -----------------------------------------------------------------------------------------

void TfrmMain::AppIdle(bool& done) {
  RefreshRowCount();
  UpdateStatus();
  // Recomputed on every pass and written when the window shows another text: a language
  // switch may have put the translated form caption there.
  const std::wstring title = GetMainTitle();
  if (title != FShownTitle) {
    SetCaption(title);
    Application()->SetTitle(title);
  }
  done = true;
}

void TfrmMain::RefreshRowCount() {
  const int count = GetTracerEventQueue()->VisibleEvents()->List().Count();
  if (lvwTrace->ItemCount() != count) {
    lvwTrace->SetItemCount(count);
    // Rows at or after the cached one may be other events now.
    FListReader->InvalidateCache();
    lvwTrace->InvalidateData();
    if (!FScrollLock && count > 0) lvwTrace->EnsureVisible(count - 1, false);
  } else if (!FScrollLock && count > 0 && FFollowedScrollLock) {
    // Scroll lock just went off: follow from now on.
    lvwTrace->EnsureVisible(count - 1, false);
  }
  FFollowedScrollLock = FScrollLock;
}

void TfrmMain::UpdateStatus() {
  const int index = SelectedRow();
  const std::wstring text =
      index < 0 ? std::wstring() : WideFormat(Message(SRecordXFromY).c_str(), index + 1, lvwTrace->ItemCount());
  if (text == FShownStatus && text == sbr->SimpleText()) return;
  FShownStatus = text;
  sbr->SetSimpleText(text);
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

// ---- hints ----------------------------------------------------------------------------------------

void TfrmMain::AppShowHint(std::wstring& hintStr, bool& canShow, THintInfo& hintInfo) {
  if (hintInfo.HintControl == lvwTrace) ShowTraceHint(hintStr, canShow, hintInfo);
}

void TfrmMain::ShowTraceHint(std::wstring& hintStr, bool& canShow, THintInfo& hintInfo) {
  const int item = lvwTrace->ItemAt(hintInfo.CursorPos);
  if (item < 0) return;
  const RECT bounds = lvwTrace->ItemRect(item, LVIR_BOUNDS);
  POINT pos{bounds.left, bounds.top};
  ClientToScreen(lvwTrace->Handle(), &pos);
  hintInfo.HintPos = pos;
  canShow = false;
  POINT cursor = hintInfo.CursorPos;
  ClientToScreen(lvwTrace->Handle(), &cursor);
  const int x = cursor.x;
  int left = pos.x;
  const TTEQColumns& visible = FColumnManager->VisibleColumns();
  for (int i = 0; i < lvwTrace->ColumnCount(); ++i) {
    const int right = left + lvwTrace->ColumnWidth(i);
    if (left <= x && x <= right) {
      hintInfo.HintPos.x = left;
      TTEQColumnValueStrDynArray cells;
      FHintReader->ReadRow(item, cells);
      hintStr = i < static_cast<int>(cells.size()) ? cells[i].Text : std::wstring();
      ReplaceTabs(hintStr, L"    ");
      hintInfo.HintStr = hintStr;
      if (i < visible.GetCount() && visible.GetItem(i)->ColumnId() == colParams) {
        canShow = true;
      } else {
        TWindowDC dc(lvwTrace->Handle());
        TSelectObject font(dc.Get(), lvwTrace->Font());
        SIZE size{};
        GetTextExtentPoint32W(dc.Get(), hintStr.c_str(), static_cast<int>(hintStr.size()), &size);
        canShow = size.cx > lvwTrace->ColumnWidth(i);
      }
      // The hint stays for this cell only: the next cell brings its own.
      POINT cellTopLeft{left, bounds.top}, cellBottomRight{right, bounds.bottom};
      ScreenToClient(lvwTrace->Handle(), &cellTopLeft);
      cellBottomRight.x = cellTopLeft.x + (right - left);
      cellBottomRight.y = bounds.bottom;
      hintInfo.CursorRect = RECT{cellTopLeft.x, bounds.top, cellBottomRight.x, bounds.bottom};
      break;
    }
    left = right;
  }
  if (canShow) {
    hintInfo.HintPos.x += 3;
    hintInfo.HintPos.y -= 3;
    hintInfo.HintMaxWidth = GetSystemMetrics(SM_CXSCREEN) - hintInfo.HintPos.x;
  }
}
