// Start-up of the program: COM and the program's own automation server (type library beside
// the program, the dictionary's class factory, the "REGSERVER"/"UNREGSERVER" switches), the
// check of the two system classes the program relies on, then the one main window and the
// message loop.
#include <windows.h>
#include <objbase.h>

#include "Tracer/app/fMain.h"
#include "Tracer/app/uMainEntryPoints.h"
#include "Tracer/com/uAppDictionary.h"
#include "Tracer/com/uMiniComServer.h"
#include "Tracer/foundation/uGuards.h"
#include "Tracer/foundation/uSingletons.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/window/uWinForms.h"
#include "lib/dgn/windows/DgnStackInfo.h"

namespace {

const CLSID CLSID_DOMDocument = {0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const CLSID CLSID_ScriptControl = {0x0E59F1D5, 0x1FBE, 0x11D0, {0x8F, 0xF2, 0x00, 0xA0, 0xD1, 0x00, 0x38, 0xBC}};

// The steps that run before the title is set and before any window exists.
void StartupHook() {
  Application()->SetHintWindowFactory([](HFONT font) { return std::make_unique<TSmartHintWindow>(font); });
  CoInitFlags = COINIT_APARTMENTTHREADED;
  TMiniComServer* server = GetMiniComServer();
  server->SetTypeLibFileName(ProgramFolder() + L"\\Calderwisp.tlb");
  CreateDictionaryFactory(*server);
  // Under a registration switch this ends the process with exit code 0.
  server->Initialize();
  CheckCOMClassRegistered(CLSID_DOMDocument, L"DOM Document", L"regsvr32.exe msxml.dll");
  CheckCOMClassRegistered(CLSID_ScriptControl, L"Script Control", L"regsvr32.exe msscript.ocx");
}

// Runs until the main window has closed; the window is freed before the services go.
void Run() {
  StartupHook();
  Application()->SetTitle(ApplicationTitle);
  SetShowHelpTopicProc(ShowHelpTopic);
  InstallMainWindowEntryPoints();
  // A failure here (a missing type library among them) ends the program before any window
  // opens: the plain message box of the program's entry.
  auto main = std::make_unique<TfrmMain>(nullptr);
  // A failing creation step (the settings, a symbol file) is shown, and the window still opens.
  try {
    main->Create();
  } catch (...) {
    HandleApplicationException();
  }
  SetApplicationWindow(main->Handle());
  main->Show();
  Application()->Run();
  SetApplicationWindow(nullptr);
  main.reset();
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // A fault in our own code fails the step it happens in, from the first line on (not only
  // once the main window's exception handler has turned tracking on).
  PrepareProgramEntry();
  // The library's own initialisation of COM for the main thread comes first.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const int exitCode = ProgramEntryGuard(1, [] {
    Run();
    return 0;
  });
  // The services go first (the exception handler among them gives back its route and turns
  // tracking off), then the diagnostics library's registries. A service that fails to go is
  // shown, but does not change how the run ended.
  SetShutdownExitCode(exitCode);
  ProgramEntryGuard(exitCode, [] {
    FreeInstanceList();
    return 0;
  });
  DgnStackInfoShutdown();
  CoUninitialize();
  return exitCode;
}
