#include "Tracer/app/uAppServices.h"

#include <atomic>

#include "Tracer/app/uAppPlugins.h"
#include "Tracer/app/uAppSettings.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/engine/uProcessMemory.h"

static const wchar_t* const UnitPath = L"src/Tracer/uAppServices";

namespace {

std::atomic<TShowHelpTopicProc> ShowHelpTopic{nullptr};

// An interface of an object as a new reference for an out-parameter.
template <class I>
void HandOut(I* Source, I** Target) {
  if (!Target) OleCheck(E_POINTER);
  *Target = Source;
  if (Source) Source->AddRef();
}

}  // namespace

TShowHelpTopicProc SetShowHelpTopicProc(TShowHelpTopicProc Proc) { return ShowHelpTopic.exchange(Proc); }

TAppObject::TAppObject() : TAutoIntfObject<IAppObject>(__uuidof(IAppObject)) {}

void TAppObject::SetMainWindowHandleImpl(IAppObjectMainWindowHandleImpl* Impl) {
  TComPtr<IAppObjectMainWindowHandleImpl> previous(Impl);
  std::lock_guard<std::mutex> guard(FImplLock);
  std::swap(previous, FMainWindowHandleImpl);
}

HRESULT STDMETHODCALLTYPE TAppObject::get_PluginActions(IAppPluginActions** Actions) {
  return ComMethodGuard([&] { HandOut<IAppPluginActions>(GetAppPluginActions(), Actions); });
}

HRESULT STDMETHODCALLTYPE TAppObject::get_AllEvents(ITracerEvents** Events) {
  return ComMethodGuard([&] {
    if (Events) *Events = nullptr;
    TTracerEvents* events = GetTracerEventQueue()->AllEvents();
    CW_ASSERT(events != nullptr, UnitPath, 62);
    HandOut<ITracerEvents>(events, Events);
  });
}

HRESULT STDMETHODCALLTYPE TAppObject::get_VisibleEvents(IVisibleTracerEvents** Events) {
  return ComMethodGuard([&] {
    if (Events) *Events = nullptr;
    TVisibleTracerEvents* events = GetTracerEventQueue()->VisibleEvents();
    CW_ASSERT(events != nullptr, UnitPath, 68);
    HandOut<IVisibleTracerEvents>(events, Events);
  });
}

HRESULT STDMETHODCALLTYPE TAppObject::get_MainWindowHandle(LONG* Handle) {
  return ComMethodGuard([&] {
    if (!Handle) OleCheck(E_POINTER);
    TComPtr<IAppObjectMainWindowHandleImpl> impl;
    {
      std::lock_guard<std::mutex> guard(FImplLock);
      impl = FMainWindowHandleImpl;
    }
    *Handle = impl ? static_cast<LONG>(reinterpret_cast<INT_PTR>(impl->GetHandle())) : 0;
  });
}

HRESULT STDMETHODCALLTYPE TAppObject::ShowHelp(BSTR Topic) {
  return ComMethodGuard([&] {
    TShowHelpTopicProc show = ShowHelpTopic.load();
    if (show == nullptr) throw Exception(L"Help is not available");
    show(BStrToWide(Topic));
  });
}

HRESULT STDMETHODCALLTYPE TAppObject::get_Settings(IAppSettings** Settings) {
  return ComMethodGuard([&] { HandOut<IAppSettings>(GetAppSettings(), Settings); });
}

HRESULT STDMETHODCALLTYPE TAppObject::get_MemoryManager(IDebuggeeMemory** Memory) {
  return ComMethodGuard([&] {
    if (!Memory) OleCheck(E_POINTER);
    *Memory = nullptr;
    // The holder passes the query on to the current manager, or fails with its own error.
    HRESULT hr = GetProcessMemory()->QueryInterface(__uuidof(IDebuggeeMemory), reinterpret_cast<void**>(Memory));
    if (FAILED(hr)) RaisePluginCallError(hr);
  });
}

static TObject* AppObjectInstance = nullptr;

TAppObject* GetAppObject() {
  static const TAppObject::TFactory factory;
  return GetServiceInstance<TAppObject>(factory, AppObjectInstance);
}
