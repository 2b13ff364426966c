#include "Tracer/app/uAppPlugins.h"

#include <type_traits>

#include "Tracer/app/uAppServices.h"
#include "Tracer/foundation/uGuards.h"
#include "Tracer/foundation/uRaise.h"
#include "Tracer/foundation/uWideStrUtils.h"

static const wchar_t* const UnitPath = L"src/Tracer/uAppPlugins";

// --- Plug-in actions -------------------------------------------------------------------------

TAppPluginAction::TAppPluginAction(IAppPluginAction* PluginAction) : FPluginAction(PluginAction) {}

void TAppPluginAction::Update() noexcept {
  try {
    LONG flags = 0;
    PluginCallGuard([&] { flags = FPluginAction->GetState(); });
    FEnabled = (flags & AppPluginActionEnabled) != 0;
    FVisible = (flags & AppPluginActionVisible) != 0;
  } catch (...) {
    FVisible = false;
  }
}

void TAppPluginAction::Execute() noexcept {
  // The plug-in may remove this very action inside Execute: what is needed afterwards is
  // held here, not in the action.
  TComPtr<IAppPluginAction> action = FPluginAction;
  TAppPluginActions* actions = nullptr;
  try {
    actions = GetAppPluginActions();
  } catch (...) {
    HandleApplicationException();
    return;
  }
  TComPtr<IAppPluginActions> keep(static_cast<IAppPluginActions*>(actions));
  actions->BeginExecute();
  try {
    PluginCallGuard([&action] { action->Execute(); });
  } catch (...) {
    HandleApplicationException();
  }
  actions->EndExecute();
}

void* TAppPluginActions::GetInterface(REFIID iid) {
  if (IsEqualIID(iid, __uuidof(IAppPluginActions)) || IsEqualIID(iid, IID_IUnknown))
    return static_cast<IAppPluginActions*>(this);
  return TInterfacedObject::GetInterface(iid);
}

void STDMETHODCALLTYPE TAppPluginActions::Add(BSTR Caption, BSTR Hint, HICON Icon, IAppPluginAction* Action) {
  // A plug-in's call: a failure travels back as error information.
  try {
    if (FImpl == nullptr || Action == nullptr) return;
    auto action = std::make_unique<TAppPluginAction>(Action);
    action->SetCaption(BStrToWide(Caption));
    action->SetHint(BStrToWide(Hint));
    // The image list keeps a copy: the plug-in owns its icon.
    HIMAGELIST images = FImpl->GetImages();
    if (images != nullptr && Icon != nullptr) action->SetImageIndex(ImageList_ReplaceIcon(images, -1, Icon));
    FImpl->AddAction(std::move(action));
  } catch (...) {
    HandleComException(__uuidof(IAppPluginActions));
  }
}

void STDMETHODCALLTYPE TAppPluginActions::Remove(IAppPluginAction* Action) {
  try {
    if (FImpl == nullptr || Action == nullptr) return;
    if (FExecuting > 0) {
      FPendingRemovals.emplace_back(Action);
      return;
    }
    FImpl->RemoveActions(Action);
  } catch (...) {
    HandleComException(__uuidof(IAppPluginActions));
  }
}

void TAppPluginActions::EndExecute() {
  if (--FExecuting > 0) return;
  while (!FPendingRemovals.empty()) {
    TComPtr<IAppPluginAction> action = std::move(FPendingRemovals.front());
    FPendingRemovals.erase(FPendingRemovals.begin());
    try {
      if (FImpl) FImpl->RemoveActions(action.Get());
    } catch (...) {
      HandleApplicationException();
    }
  }
}

static TObject* AppPluginActionsInstance = nullptr;

TAppPluginActions* GetAppPluginActions() {
  static const TAppPluginActions::TFactory factory;
  return GetServiceInstance<TAppPluginActions>(factory, AppPluginActionsInstance);
}

// --- Plug-ins --------------------------------------------------------------------------------

TAppPlugins::~TAppPlugins() {
  if (GetSymbolFilePluginHost() == this) SetSymbolFilePluginHost(nullptr);
  FLoadedPlugins.Clear();
}

void TAppPlugins::LoadPlugin(const std::wstring& ClassIdText, TComPtr<IAppPlugin>& Plugin) {
  try {
    const GUID classId = WideStringToGUID(ClassIdText);
    TComPtr<IAppPlugin> plugin;
    // A plug-in that answers a query for its class id is shared by every file naming it.
    for (const TComPtr<IAppPlugin>& loaded : FLoadedPlugins.Snapshot()) {
      TComPtr<IUnknown> same;
      if (SUCCEEDED(loaded->QueryInterface(classId, reinterpret_cast<void**>(same.Put()))) && same) {
        plugin = loaded;
        break;
      }
    }
    if (!plugin) {
      OleCheck(CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IAppPlugin),
                                reinterpret_cast<void**>(plugin.Put())));
      TComPtr<IAppObject> app(static_cast<IAppObject*>(GetAppObject()));
      PluginCallGuard([&] { plugin->Connect(app.Get()); });
    }
    FLoadedPlugins.Add(plugin.Get());
    Plugin = plugin;
  } catch (Exception& e) {
    PrependExceptionLine(e, L"Error loading plugin " + ClassIdText);
    throw;
  }
}

void TAppPlugins::UnloadPlugin(IAppPlugin* Plugin) {
  TComPtr<IAppPlugin> answered;
  CW_ASSERT(Plugin != nullptr && SUCCEEDED(Plugin->QueryInterface(__uuidof(IAppPlugin),
                                                                   reinterpret_cast<void**>(answered.Put()))),
            UnitPath, 124);
  const int index = FLoadedPlugins.IndexOf(Plugin);
  if (index >= 0) FLoadedPlugins.Delete(index);
}

static TObject* AppPluginsInstance = nullptr;

TAppPlugins* GetAppPlugins() {
  static const TAppPlugins::TFactory factory;
  return GetServiceInstance<TAppPlugins>(factory, AppPluginsInstance);
}

void InstallAppPluginHost() { SetSymbolFilePluginHost(GetAppPlugins()); }
