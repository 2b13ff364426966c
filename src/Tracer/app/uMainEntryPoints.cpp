#include "Tracer/app/uMainEntryPoints.h"

#include "Tracer/app/fAboutDlg.h"
#include "Tracer/app/fEventProps.h"
#include "Tracer/app/fMain.h"
#include "Tracer/app/fOptions.h"
#include "Tracer/app/fStmtColorDlg.h"
#include "Tracer/app/uSaveLog.h"

namespace {

// The main window as the event-properties window sees it.
class TMainEventPropsHost : public IEventPropsHost {
public:
  explicit TMainEventPropsHost(TfrmMain& main) : FMain(main) {}
  TImageList* Images() override { return FMain.Layout().imlMain; }
  TAction* NavigationAction(TNavigation which) override {
    switch (which) {
      case navFirst: return FMain.Layout().actLogFirst;
      case navUp: return FMain.Layout().actLogUp;
      case navDown: return FMain.Layout().actLogDown;
      case navLast: return FMain.Layout().actLogLast;
    }
    return nullptr;
  }
  TTEQColumnManager* ColumnManager() override { return &FMain.LogView().ColumnManager(); }

private:
  TfrmMain& FMain;
};

void UseMainWindow(TfrmMain& main) {
  static std::unique_ptr<TMainEventPropsHost> host;
  static TfrmMain* hosted = nullptr;
  if (hosted == &main) return;
  FreeEventPropsForm();
  host = std::make_unique<TMainEventPropsHost>(main);
  hosted = &main;
  SetEventPropsHost(host.get());
}

}  // namespace

void InstallMainWindowEntryPoints() {
  TMainWindowEntryPoints& e = MainWindowEntryPoints();
  e.ShowEventProperties = [](TfrmMain& main) {
    UseMainWindow(main);
    ShowEventProperties();
  };
  e.RefreshEventProperties = [](TfrmMain&) { RefreshEventProps(); };
  e.EditHighlightRules = [](TfrmMain& main) {
    return EditHighlightRules(&main, main.Layout().imlMain, main.Layout().imlMainDisabled);
  };
  e.EditOptions = [](TfrmMain& main, TMainOptions& options) {
    return EditMainOptions(&main, main.Layout().imlMain, main.Layout().ActionImages(), options);
  };
  e.ShowAbout = [](TfrmMain& main) { ShowAbout(&main); };
  e.CanWriteExcel = [] { return CanWriteExcel(); };
  e.WriteLog = [](TfrmMain& main, int filterIndex, const std::wstring& fileName) {
    WriteLogWithProgress(&main, &main.LogView().ColumnManager(), filterIndex, fileName);
  };
}
