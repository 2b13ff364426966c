// Helpers of the automation-model tests: the program's type library, the fixture plug-in's
// registration, a plug-in toolbar of the test's own, late-bound calls and a JScript engine.
#pragma once
#include <windows.h>
#include <commctrl.h>
#include <oaidl.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "Tracer/app/uAppPlugins.h"
#include "Tracer/foundation/uHolders.h"
#include "support/DispatchCall.h"
#include "support/TestSupport.h"

// Points the COM server object at the built Calderwisp.tlb, frees the services at the end of
// the program (before COM goes) and makes TAppPlugins the symbol files' host. Once.
void PrepareAutomation();

// The fixture plug-in's classes, registered in the build's private prefix by the first call.
extern const wchar_t* const PlugFixClass;        // a new instance per load
extern const wchar_t* const PlugFixSharedClass;  // answers a query for its own class id
void RegisterPlugFix();
// The fixture's counters: Connect calls so far, and instances alive.
LONG PlugFixConnects();
LONG PlugFixLive();

// The plug-in toolbar as the main window will have it: an image list and the actions it owns.
class TTestToolbar : public IAppPluginActionsImpl {
public:
  TTestToolbar();
  ~TTestToolbar();
  HIMAGELIST GetImages() override { return FImages; }
  void AddAction(std::unique_ptr<TAppPluginAction> Action) override;
  void RemoveActions(IAppPluginAction* Action) override;
  std::vector<std::unique_ptr<TAppPluginAction>> Actions;
  // Called by RemoveActions before it removes anything.
  std::function<void()> OnRemove;

private:
  HIMAGELIST FImages;
};

// Sets the toolbar of the plug-in actions for the test's time.
class TToolbarScope {
public:
  explicit TToolbarScope(IAppPluginActionsImpl* toolbar) { GetAppPluginActions()->SetImpl(toolbar); }
  ~TToolbarScope() { GetAppPluginActions()->SetImpl(nullptr); }
};

// The real Script Control with JScript, objects added by name.
class TJScript {
public:
  TJScript();
  void AddObject(const std::wstring& name, IDispatch* object);
  void AddCode(const std::wstring& code);
  // The expression's value as text, or "failed: <description>".
  std::wstring Eval(const std::wstring& expression);

private:
  TComPtr<IDispatch> FControl;
};
