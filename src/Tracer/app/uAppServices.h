// The application object: the automation root every plug-in receives when it is connected.
// From it a plug-in reaches the plug-in actions, the two event lists of the trace log, the
// main window's handle, help topics, the settings store and the traced process's memory.
#pragma once
#include <windows.h>

#include <mutex>
#include <string>

#include "Tracer/com/CalderwispTlb.h"
#include "Tracer/com/uAutoObject.h"

// The main window answers its handle.
struct IAppObjectMainWindowHandleImpl : public IUnknown {
  virtual HWND STDMETHODCALLTYPE GetHandle() = 0;
};
__CRT_UUID_DECL(IAppObjectMainWindowHandleImpl, 0x75069B9F, 0x9F8C, 0x4E54, 0x81, 0x4D, 0x99, 0x6A, 0x0F, 0xB1,
                0xEE, 0x73)

// Opens a topic of the program's help file; the help service installs it.
using TShowHelpTopicProc = void (*)(const std::wstring& Topic);
// Answers the routine it replaced (nullptr: none, and ShowHelp fails).
TShowHelpTopicProc SetShowHelpTopicProc(TShowHelpTopicProc Proc);

class TAppObject : public TAutoIntfObject<IAppObject> {
public:
  using TFactory = TServiceFactory<TAppObject, TInterfacedObjectFactory>;
  TAppObject();

  HRESULT STDMETHODCALLTYPE get_PluginActions(IAppPluginActions** Actions) override;
  HRESULT STDMETHODCALLTYPE get_AllEvents(ITracerEvents** Events) override;
  HRESULT STDMETHODCALLTYPE get_VisibleEvents(IVisibleTracerEvents** Events) override;
  // 0 while the main window has not registered itself.
  HRESULT STDMETHODCALLTYPE get_MainWindowHandle(LONG* Handle) override;
  HRESULT STDMETHODCALLTYPE ShowHelp(BSTR Topic) override;
  HRESULT STDMETHODCALLTYPE get_Settings(IAppSettings** Settings) override;
  // The current memory manager's own interface; "Process memory bridge not initialized"
  // while no process is traced.
  HRESULT STDMETHODCALLTYPE get_MemoryManager(IDebuggeeMemory** Memory) override;

  // The main window sets itself when it is made and clears it when it goes (nullptr).
  void SetMainWindowHandleImpl(IAppObjectMainWindowHandleImpl* Impl);

private:
  std::mutex FImplLock;
  TComPtr<IAppObjectMainWindowHandleImpl> FMainWindowHandleImpl;
};

TAppObject* GetAppObject();

