// The plug-in host: plug-ins are in-process COM objects named by class id in symbol files,
// created and connected with the application object when their file loads and kept until it
// unloads. Their commands become plug-in actions on the main window's plug-in toolbar.
//
// Calls into a plug-in run inside PluginCallGuard: the contract's methods return nothing, so
// a plug-in reports a failure as the thread's COM error information, which the host clears
// before each call and reads after it.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <memory>
#include <string>
#include <vector>

#include "Tracer/com/CalderwispTlb.h"
#include "Tracer/com/uAutoObject.h"
#include "Tracer/com/uInterfaceList.h"
#include "Tracer/engine/uSymbolFiles.h"

// One command of a plug-in, as the plug-in toolbar shows it: caption, hint, image, and the
// enabled and visible state the plug-in reports.
class TAppPluginAction {
public:
  explicit TAppPluginAction(IAppPluginAction* PluginAction);
  virtual ~TAppPluginAction() = default;
  TAppPluginAction(const TAppPluginAction&) = delete;
  TAppPluginAction& operator=(const TAppPluginAction&) = delete;

  // Update handler: GetState's bit 1 is enabled, bit 0 visible; a failing GetState hides it.
  void Update() noexcept;
  // Execute handler: a failure goes to the application's exception handler. A plug-in that
  // removes this action inside Execute has it removed when Execute returns, so the caller
  // must not touch the action after this call.
  void Execute() noexcept;

  IAppPluginAction* GetPluginAction() const { return FPluginAction.Get(); }
  const std::wstring& GetCaption() const { return FCaption; }
  void SetCaption(const std::wstring& Value) { FCaption = Value; }
  const std::wstring& GetHint() const { return FHint; }
  void SetHint(const std::wstring& Value) { FHint = Value; }
  int GetImageIndex() const { return FImageIndex; }
  void SetImageIndex(int Value) { FImageIndex = Value; }
  bool GetEnabled() const { return FEnabled; }
  bool GetVisible() const { return FVisible; }

private:
  TComPtr<IAppPluginAction> FPluginAction;
  std::wstring FCaption;
  std::wstring FHint;
  int FImageIndex = -1;
  bool FEnabled = true;
  bool FVisible = true;
};

// What the main window's plug-in toolbar offers the host.
class IAppPluginActionsImpl {
public:
  // The toolbar's image list.
  virtual HIMAGELIST GetImages() = 0;
  // A new button at the end of the toolbar; the toolbar owns the action from now on.
  virtual void AddAction(std::unique_ptr<TAppPluginAction> Action) = 0;
  // Frees every button and action whose plug-in action is this same reference.
  virtual void RemoveActions(IAppPluginAction* Action) = 0;

protected:
  ~IAppPluginActionsImpl() = default;
};

// The collection plug-ins add their actions to (IAppObject.PluginActions). Without a toolbar
// adding and removing do nothing.
class TAppPluginActions : public TInterfacedObject, public IAppPluginActions {
public:
  using TFactory = TServiceFactory<TAppPluginActions, TInterfacedObjectFactory>;
  CW_IUNKNOWN_COUNTED
  void* GetInterface(REFIID iid) override;

  void STDMETHODCALLTYPE Add(BSTR Caption, BSTR Hint, HICON Icon, IAppPluginAction* Action) override;
  void STDMETHODCALLTYPE Remove(IAppPluginAction* Action) override;

  // The main window sets its toolbar when it is made and clears it when it goes.
  void SetImpl(IAppPluginActionsImpl* Impl) { FImpl = Impl; }
  IAppPluginActionsImpl* GetImpl() const { return FImpl; }

  // Around a plug-in action's Execute: removals wait until the outermost one returns.
  void BeginExecute() { ++FExecuting; }
  void EndExecute();

private:
  IAppPluginActionsImpl* FImpl = nullptr;
  int FExecuting = 0;
  std::vector<TComPtr<IAppPluginAction>> FPendingRemovals;
};

TAppPluginActions* GetAppPluginActions();

// The loaded plug-ins, in order of loading; one plug-in stands in the list once per load.
class TAppPlugins : public TObject, public TSymbolFilePluginHost {
public:
  using TFactory = TServiceFactory<TAppPlugins, TSimpleObjectFactory>;
  TAppPlugins() = default;
  // Releases every plug-in still held, and stops being the symbol files' host.
  ~TAppPlugins() override;

  // A loaded plug-in that answers a query for the class id, else a new instance connected
  // with the application object; appended to the list either way. A failure raises with
  // "Error loading plugin <ClassIdText>" in front.
  void LoadPlugin(const std::wstring& ClassIdText, TComPtr<IAppPlugin>& Plugin) override;
  // Drops the list's first reference of Plugin.
  void UnloadPlugin(IAppPlugin* Plugin) override;

  TInterfaceList<IAppPlugin>& LoadedPlugins() { return FLoadedPlugins; }

private:
  TInterfaceList<IAppPlugin> FLoadedPlugins;
};

TAppPlugins* GetAppPlugins();
// Makes TAppPlugins the host through which symbol files load their plug-ins (the main window,
// when it is made, before any symbol file is loaded).
void InstallAppPluginHost();
